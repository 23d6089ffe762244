// A PulseAudio daemon of a test's own, in a private runtime folder and home, with one null
// sink "test" (no sound card) whose monitor records what it plays; every PulseAudio client of
// the process is pointed at it. Test thread.
#pragma once

#include "process.h"
#include "temp_folder.h"

#include <optional>
#include <string>

namespace sonarello::test
{

class PulseServer
{
  public:
    PulseServer();
    PulseServer(const PulseServer&) = delete;
    PulseServer& operator=(const PulseServer&) = delete;

    // False when pulseaudio or pactl is not installed.
    static bool installed();

    // Starts the daemon and waits until it answers. It ends with this process, even when a
    // failing test takes the process down.
    bool start();
    void stop() { daemon_.reset(); }
    // Waits until the null sink plays close to the clock. Idle, it renders up to two seconds
    // ahead; a recorder with short fragments on its monitor brings it down within that time.
    bool settle();

  private:
    TempFolder folder_;
    std::optional<Daemon> daemon_;
};

} // namespace sonarello::test
