// Chooses the engine's output (the one asked for, or the first that answers), keeps it open,
// and reopens it when its device returns after a loss. Control threads and its own watch thread.
#pragma once

#include "output.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace sonarello::sound
{

class OutputKeeper
{
  public:
    explicit OutputKeeper(OutputDevices* devices) : devices_(devices) {}
    ~OutputKeeper();
    OutputKeeper(const OutputKeeper&) = delete;
    OutputKeeper& operator=(const OutputKeeper&) = delete;

    // `asked`: auto | jack | jack:noconnect | pulse | alsa | null | wav:FILE. "auto" takes a
    // JACK server that answers, else PulseAudio, else ALSA, else the silent clock. False, with
    // one line on standard error, when the asked output cannot start or the word is unknown.
    bool start(const std::string& asked, Mixer& mixer, int askedRate, int periodFrames);
    void stop();

    OutputKind kind() const { return choice_.kind; }
    unsigned underruns();

  private:
    void watch(Mixer& mixer);

    OutputDevices* devices_;
    OutputChoice choice_;
    int askedRate_ = 0;
    int periodFrames_ = 0;

    std::mutex outputMutex_;
    std::unique_ptr<Output> output_;

    std::mutex watchMutex_;
    std::condition_variable watchWake_;
    bool quitWatch_ = false;
    std::thread watcher_;
};

// One line of the engine's own on standard error: "Sonarello: text".
void warn(const std::string& text);

} // namespace sonarello::sound
