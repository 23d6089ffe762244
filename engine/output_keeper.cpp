#include "output_keeper.h"

#include <chrono>
#include <cstdio>

namespace sonarello::sound
{

namespace
{

constexpr auto kWatchPoll = std::chrono::milliseconds(250);
constexpr auto kReopenEvery = std::chrono::milliseconds(500);

} // namespace

void warn(const std::string& text)
{
    std::fprintf(stderr, "Sonarello: %s\n", text.c_str());
}

OutputKeeper::~OutputKeeper()
{
    stop();
}

bool OutputKeeper::start(const std::string& asked, Mixer& mixer, int askedRate, int periodFrames)
{
    stop();
    askedRate_ = askedRate;
    periodFrames_ = periodFrames;
    bool valid = true;
    const auto explicitChoice = parseOutputChoice(asked, valid);
    if (!valid)
    {
        warn("unknown audio output \"" + asked + "\"");
        return false;
    }
    std::unique_ptr<Output> output;
    std::string error;
    if (explicitChoice)
    {
        choice_ = *explicitChoice;
        output = devices_->open(choice_, mixer, askedRate_, periodFrames_, error);
        if (!output)
        {
            warn("cannot open the audio output \"" + asked + "\": " + error);
            return false;
        }
    }
    else
    {
        const bool jack = devices_->jackServerRunning();
        for (OutputKind kind : {OutputKind::Jack, OutputKind::Pulse, OutputKind::Alsa})
        {
            if (kind == OutputKind::Jack && !jack)
                continue;
            choice_ = OutputChoice{kind, true, {}};
            output = devices_->open(choice_, mixer, askedRate_, periodFrames_, error);
            if (output)
                break;
        }
        if (output)
            warn("sound through " + devices_->name(choice_.kind));
        else
        {
            warn("no sound device answers; playing without sound");
            choice_ = OutputChoice{};
            output = devices_->open(choice_, mixer, askedRate_, periodFrames_, error);
        }
    }
    if (!output)
        return false;
    const bool watched = !output->recoversByItself();
    {
        std::lock_guard lock(outputMutex_);
        output_ = std::move(output);
    }
    if (watched)
    {
        quitWatch_ = false;
        watcher_ = std::thread([this, &mixer] { watch(mixer); });
    }
    return true;
}

void OutputKeeper::stop()
{
    {
        std::lock_guard lock(watchMutex_);
        quitWatch_ = true;
    }
    watchWake_.notify_all();
    if (watcher_.joinable())
        watcher_.join();
    std::lock_guard lock(outputMutex_);
    output_.reset();
}

unsigned OutputKeeper::underruns()
{
    std::lock_guard lock(outputMutex_);
    return output_ ? output_->underruns() : 0;
}

// Watch thread: an output whose device went away is closed, and opened again once the device
// answers. The voices keep their state meanwhile.
void OutputKeeper::watch(Mixer& mixer)
{
    auto nextTry = std::chrono::steady_clock::now();
    bool lost = false;
    std::unique_lock lock(watchMutex_);
    while (!quitWatch_)
    {
        watchWake_.wait_for(lock, kWatchPoll);
        if (quitWatch_)
            break;
        std::lock_guard outputLock(outputMutex_);
        if (output_ && !output_->running())
        {
            warn("the sound output stopped; it reopens when its device returns");
            output_.reset();
            lost = true;
        }
        if (!output_ && lost && std::chrono::steady_clock::now() >= nextTry)
        {
            std::string error;
            output_ = devices_->open(choice_, mixer, askedRate_, periodFrames_, error);
            if (output_)
            {
                warn("the sound output is back");
                lost = false;
            }
            nextTry = std::chrono::steady_clock::now() + kReopenEvery;
        }
    }
}

} // namespace sonarello::sound
