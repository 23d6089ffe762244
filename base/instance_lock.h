// The single-instance lock: an advisory lock on a file named "Sonarello.exe" in a folder
// only the user can write, released by the kernel when the process ends. Main thread.
#pragma once

#include <string>

namespace sonarello::os
{

class InstanceLock
{
  public:
    enum class State
    {
        Held,          // this process is the only running copy
        HeldElsewhere, // another copy runs
        Unavailable,   // no lock file could be made
    };

    explicit InstanceLock(const std::string& name = "Sonarello.exe");
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    State state() const { return state_; }
    void release();

    // $XDG_RUNTIME_DIR when it is the user's own, else "sonarello-UID" in the temporary
    // folder, created 0700 and checked; empty when neither will do.
    static std::string folder();

  private:
    int fd_ = -1;
    State state_ = State::Unavailable;
};

} // namespace sonarello::os
