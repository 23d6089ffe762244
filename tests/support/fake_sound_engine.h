// A stand-in for the sound engine: streams are measured from the real files, nothing
// sounds, and every call is recorded for the test to check. Any thread.
#pragma once

#include "platform/sound/decoder.h"
#include "platform/sound/sound_engine.h"

#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace sonarello::test
{

class FakeSoundEngine : public sound::SoundEngine
{
  public:
    bool startSucceeds = true;
    std::uint32_t reportedTimeMs = 0;
    std::uint32_t reportedPositionBytes = 0;
    std::set<sound::StreamHandle> endedStreams;
    bool channelsBusy = false; // every play is refused, as when all channels sound
    // Receives the whole record when the engine goes, as the program's shutdown ends.
    std::function<void(const std::vector<std::string>&)> onDestroy;

    ~FakeSoundEngine() override
    {
        if (onDestroy)
            onDestroy(calls);
    }
    std::vector<std::string> calls; // "open <path>", "close <handle>", ...

    bool start(const sound::EngineOptions& options) override
    {
        record("start " + options.output);
        return startSucceeds;
    }
    float version() const override { return 1.0f; }
    int outputRate() const override { return 44100; }
    void setSpectrumActive(bool) override {}
    void preload(const std::string& path) override { record("preload " + path); }

    sound::StreamHandle openStream(const std::string& path) override
    {
        std::lock_guard lock(mutex_);
        calls.push_back("open " + path);
        const auto m = sound::measureFile(path);
        if (!m)
            return sound::kNoStream;
        streams_[++lastHandle_] = *m;
        return lastHandle_;
    }
    sound::ChannelHandle playStream(sound::StreamHandle s, int volume, int rate) override
    {
        record("play " + std::to_string(s) + " " + std::to_string(volume) + " " +
               std::to_string(rate));
        return s == sound::kNoStream || channelsBusy ? sound::kNoChannel
                                                     : static_cast<sound::ChannelHandle>(s + 4096);
    }
    bool stopStream(sound::StreamHandle s) override { return record("stop " + std::to_string(s)); }
    bool closeStream(sound::StreamHandle s) override
    {
        std::lock_guard lock(mutex_);
        calls.push_back("close " + std::to_string(s));
        return streams_.erase(s) > 0;
    }
    std::uint32_t lengthBytes(sound::StreamHandle s) override
    {
        std::lock_guard lock(mutex_);
        const auto it = streams_.find(s);
        return it == streams_.end() ? 0 : static_cast<std::uint32_t>(it->second.sizeBytes);
    }
    std::uint32_t lengthMs(sound::StreamHandle s) override
    {
        std::lock_guard lock(mutex_);
        const auto it = streams_.find(s);
        return it == streams_.end() ? 0 : it->second.lengthMs;
    }
    std::uint32_t positionBytes(sound::StreamHandle s) override
    {
        return s == sound::kNoStream ? 0 : reportedPositionBytes;
    }
    bool setPositionBytes(sound::StreamHandle s, std::uint32_t b) override
    {
        return record("setPosition " + std::to_string(s) + " " + std::to_string(b));
    }
    std::uint32_t timeMs(sound::StreamHandle s) override
    {
        return s == sound::kNoStream ? 0 : reportedTimeMs;
    }
    bool setTimeMs(sound::StreamHandle s, std::uint32_t ms) override
    {
        return record("setTime " + std::to_string(s) + " " + std::to_string(ms));
    }
    int sampleRate(sound::StreamHandle s) override
    {
        std::lock_guard lock(mutex_);
        const auto it = streams_.find(s);
        return it == streams_.end() ? 0 : it->second.format.sampleRate;
    }
    bool setLoop(sound::StreamHandle s, bool on) override
    {
        return record("loop " + std::to_string(s) + (on ? " on" : " off"));
    }
    bool ended(sound::StreamHandle s) override
    {
        std::lock_guard lock(mutex_);
        return endedStreams.count(s) > 0;
    }
    // The calls recorded since the last take, which empties the record.
    std::vector<std::string> takeCalls()
    {
        std::lock_guard lock(mutex_);
        return std::exchange(calls, {});
    }
    bool setVolume(sound::ChannelHandle c, int v) override
    {
        return record("volume " + std::to_string(c) + " " + std::to_string(v));
    }
    bool setFrequency(sound::ChannelHandle c, int hz) override
    {
        return record("frequency " + std::to_string(c) + " " + std::to_string(hz));
    }
    bool currentLevels(sound::ChannelHandle, float& l, float& r) override
    {
        l = r = 0.0f;
        return false;
    }

  private:
    bool record(const std::string& call)
    {
        std::lock_guard lock(mutex_);
        calls.push_back(call);
        return true;
    }

    std::mutex mutex_;
    std::map<sound::StreamHandle, sound::FileMeasure> streams_;
    sound::StreamHandle lastHandle_ = 0;
};

} // namespace sonarello::test
