// The single-instance lock: an advisory lock on a file named "Sonarello.exe" in the user's
// runtime folder, released by the kernel when the process ends. Main thread.
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
        Unavailable,   // the lock file could not be created
    };

    explicit InstanceLock(const std::string& name = "Sonarello.exe");
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    State state() const { return state_; }
    void release();

    // $XDG_RUNTIME_DIR, else the temporary folder.
    static std::string folder();

  private:
    int fd_ = -1;
    State state_ = State::Unavailable;
};

} // namespace sonarello::os
