#include "audio_engine.h"

#include "cue_table.h"
#include "file_pool.h"
#include "mixer.h"
#include "output_keeper.h"
#include "slot_table.h"
#include "streamer.h"

#include <algorithm>
#include <cmath>
#include <mutex>
#include <unordered_map>

namespace sonarello::sound
{

namespace
{

constexpr int kSpareVoices = 16; // voices offered to notes that start cues on their own

class Engine final : public SoundEngine, public ManualEngine
{
  public:
    Engine(bool ownThreads, OutputDevices* devices) : streamer_(ownThreads), output_(devices) {}
    ~Engine() override { output_.stop(); }

    // ---- ManualEngine ----

    SoundEngine& engine() override { return *this; }
    void render(float* out, int frames) override
    {
        renderOnly(out, frames);
        fillRings();
    }
    void renderOnly(float* out, int frames) override { mixer_->render(out, frames); }
    void fillRings() override { streamer_.serviceNow(); }
    Mixer& mixer() override { return *mixer_; }

    void makeMixer(int rate, int channels)
    {
        cues_.clear();
        mixer_ = std::make_unique<Mixer>(std::clamp(channels, kMinVoices, kMaxSlots), rate);
        slots_.reset(mixer_->voiceCount());
    }

    // ---- SoundEngine ----

    bool start(const EngineOptions& options) override
    {
        output_.stop();
        {
            std::lock_guard lock(mutex_);
            makeMixer(options.mixRate, options.channels);
        }
        askedRate_ = options.mixRate > 0 ? options.mixRate : 44100;
        return output_.start(options.output, *mixer_, askedRate_,
                             std::clamp(options.periodFrames, 32, 8192));
    }

    float version() const override
    {
        float minor = SONARELLO_VERSION_MINOR;
        while (minor >= 1.0f)
            minor /= 10.0f;
        return static_cast<float>(SONARELLO_VERSION_MAJOR) + minor;
    }

    int outputRate() const override { return mixer_ ? mixer_->outputRate() : 0; }

    void prefetch(const std::string& path) override { pool_.prefetch(path); }
    bool preloaded(const std::string& path) override { return pool_.preloaded(path); }
    void preload(const std::string& path) override { pool_.preload(path); }

    StreamHandle openStream(const std::string& path) override
    {
        auto state = std::make_shared<StreamState>();
        state->path = path;
        FileMeasure measure;
        state->head = pool_.find(path);
        if (state->head)
        {
            measure = state->head->measure;
            state->file = state->head->file;
        }
        else
        {
            auto file = openFile(path); // disk work outside the lock
            if (!file)
                return kNoStream;
            measure = file->measure;
            state->decoder = std::move(file->decoder);
            state->file = file->hold;
            state->decodeFrame = 0;
        }
        if (measure.format.frames <= 0 || measure.format.sampleRate <= 0)
            return kNoStream;
        std::lock_guard lock(mutex_);
        StreamHandle handle = nextHandle_;
        while (handle == kNoStream || streams_.contains(handle))
            ++handle;
        nextHandle_ = handle + 1;
        streams_.emplace(handle, StreamEntry{std::move(state), measure, -1, 0});
        return handle;
    }

    ChannelHandle playStream(StreamHandle stream, int volume, int rateHz) override
    {
        std::lock_guard lock(mutex_);
        StreamEntry* entry = find(stream);
        if (!entry || !mixer_)
            return kNoChannel;
        slots_.sweep(*mixer_);
        stopVoice(*entry);
        const int free = slots_.findFree();
        if (free < 0)
            return kNoChannel;
        StreamState& state = *entry->state;
        if (!state.head)
        {
            // Not preloaded: the head is decoded now, once.
            state.head = decodeHead(*state.decoder, entry->measure);
            state.decodeFrame = state.head->headFrames;
            if (state.head->whole)
                state.decoder.reset();
        }
        if (state.head->headFrames <= 0)
            return kNoChannel;
        state.allocateRing();
        std::int64_t start = state.position.load(std::memory_order_relaxed);
        if (start >= state.head->totalFrames() || state.ended.load(std::memory_order_relaxed))
            start = 0;
        const int rate = clampRate(rateHz <= 0 ? entry->measure.format.sampleRate : rateHz);
        MixerCommand play;
        play.kind = MixerCommand::Kind::Play;
        play.slot = static_cast<std::uint16_t>(free);
        play.serial = slots_.nextSerial();
        play.stream = &state;
        play.frame = start;
        play.gain = gainOf(volume);
        play.rateHz = rate;
        state.ended.store(false, std::memory_order_relaxed);
        state.position.store(start, std::memory_order_relaxed);
        state.rateHz.store(rate, std::memory_order_relaxed);
        state.playing.store(true, std::memory_order_relaxed);
        if (!mixer_->post(play))
        {
            state.playing.store(false, std::memory_order_relaxed);
            return kNoChannel;
        }
        const ChannelHandle channel = slots_.give(free, play.serial, entry->state);
        entry->slot = free;
        entry->serial = play.serial;
        if (state.streamed())
        {
            streamer_.add(entry->state);
            streamer_.expectRequest();
        }
        return channel;
    }

    bool stopStream(StreamHandle stream) override
    {
        std::lock_guard lock(mutex_);
        StreamEntry* entry = find(stream);
        if (!entry)
            return false;
        stopVoice(*entry);
        return true;
    }

    bool closeStream(StreamHandle stream) override
    {
        std::lock_guard lock(mutex_);
        if (!find(stream))
            return false;
        closeLocked(stream); // a fading voice's slot keeps the state until it is silent
        slots_.sweep(*mixer_);
        return true;
    }

    std::uint32_t lengthBytes(StreamHandle stream) override
    {
        std::lock_guard lock(mutex_);
        const StreamEntry* entry = find(stream);
        return entry ? static_cast<std::uint32_t>(
                           std::min<std::uint64_t>(entry->measure.sizeBytes, UINT32_MAX))
                     : 0;
    }

    std::uint32_t lengthMs(StreamHandle stream) override
    {
        std::lock_guard lock(mutex_);
        const StreamEntry* entry = find(stream);
        return entry ? entry->measure.lengthMs : 0;
    }

    std::uint32_t positionBytes(StreamHandle stream) override
    {
        std::lock_guard lock(mutex_);
        const StreamEntry* entry = find(stream);
        if (!entry)
            return 0;
        const double fraction = static_cast<double>(frameOf(*entry)) /
                                static_cast<double>(entry->measure.format.frames);
        return static_cast<std::uint32_t>(std::llround(
            fraction *
            static_cast<double>(std::min<std::uint64_t>(entry->measure.sizeBytes, UINT32_MAX))));
    }

    bool setPositionBytes(StreamHandle stream, std::uint32_t bytes) override
    {
        std::lock_guard lock(mutex_);
        StreamEntry* entry = find(stream);
        if (!entry || entry->measure.sizeBytes == 0)
            return false;
        const double fraction =
            static_cast<double>(bytes) / static_cast<double>(entry->measure.sizeBytes);
        return seek(*entry,
                    std::llround(fraction * static_cast<double>(entry->measure.format.frames)));
    }

    std::uint32_t timeMs(StreamHandle stream) override
    {
        std::lock_guard lock(mutex_);
        const StreamEntry* entry = find(stream);
        return entry ? framesToMs(frameOf(*entry), entry->measure.format.sampleRate) : 0;
    }

    bool setTimeMs(StreamHandle stream, std::uint32_t ms) override
    {
        std::lock_guard lock(mutex_);
        StreamEntry* entry = find(stream);
        if (!entry)
            return false;
        return seek(*entry, std::llround(static_cast<double>(ms) *
                                         entry->measure.format.sampleRate / 1000.0));
    }

    int sampleRate(StreamHandle stream) override
    {
        std::lock_guard lock(mutex_);
        const StreamEntry* entry = find(stream);
        return entry ? entry->measure.format.sampleRate : 0;
    }

    bool setLoop(StreamHandle stream, bool loop) override
    {
        std::lock_guard lock(mutex_);
        StreamEntry* entry = find(stream);
        if (!entry)
            return false;
        entry->state->loop.store(loop, std::memory_order_relaxed);
        return true;
    }

    bool ended(StreamHandle stream) override
    {
        std::lock_guard lock(mutex_);
        const StreamEntry* entry = find(stream);
        return entry && entry->state->ended.load(std::memory_order_acquire);
    }

    bool setVolume(ChannelHandle channel, int volume) override
    {
        std::lock_guard lock(mutex_);
        const int slot = resolve(channel);
        if (slot < 0)
            return false;
        MixerCommand command = commandFor(slot, MixerCommand::Kind::Volume);
        command.gain = gainOf(volume);
        return mixer_->post(command);
    }

    bool setFrequency(ChannelHandle channel, int hz) override
    {
        std::lock_guard lock(mutex_);
        const int slot = resolve(channel);
        if (slot < 0)
            return false;
        MixerCommand command = commandFor(slot, MixerCommand::Kind::Rate);
        command.rateHz = hz <= 0 ? 0 : clampRate(hz);
        if (command.rateHz > 0)
            slots_.stream(slot)->rateHz.store(command.rateHz);
        return mixer_->post(command);
    }

    bool currentLevels(ChannelHandle channel, float& left, float& right) override
    {
        std::lock_guard lock(mutex_);
        left = right = 0;
        const int slot = resolve(channel);
        if (slot < 0)
            return false;
        mixer_->takePeaks(slot, left, right);
        return true;
    }

    bool setCue(int key, StreamHandle stream, int volume, int rateHz,
                ChannelHandle sounding) override
    {
        std::lock_guard lock(mutex_);
        if (!mixer_ || key < 0 || key >= kCueKeys)
            return false;
        const int playing = resolve(sounding);
        // A note that fired the cue already named its own sound, newer than the caller's.
        if (playing >= 0 && !mixer_->cueFired(key))
            mixer_->setSounding(key, playing, slots_.serial(playing));
        StreamEntry* entry = find(stream);
        std::unique_ptr<Cue> fresh;
        if (entry && entry->state->head && entry->state->head->headFrames > 0 && !playingOn(*entry))
        {
            fresh = std::make_unique<Cue>();
            StreamState& state = *entry->state;
            fresh->stream = &state;
            fresh->gain = gainOf(volume);
            fresh->rateHz = clampRate(rateHz <= 0 ? entry->measure.format.sampleRate : rateHz);
            state.position.store(0, std::memory_order_relaxed);
            state.ended.store(false, std::memory_order_relaxed);
            state.rateHz.store(fresh->rateHz, std::memory_order_relaxed);
        }
        std::vector<StreamHandle> unused;
        const bool armed = cues_.arm(*mixer_, key, std::move(fresh), stream, unused);
        for (const StreamHandle s : unused)
            closeLocked(s);
        slots_.offerSpares(*mixer_, kSpareVoices);
        return armed;
    }

    bool takeStartedCue(int key, StreamHandle& stream, ChannelHandle& channel) override
    {
        std::lock_guard lock(mutex_);
        if (!mixer_ || key < 0 || key >= kCueKeys)
            return false;
        int slot = -1;
        std::uint32_t serial = 0;
        if (!cues_.takeFired(*mixer_, key, stream, slot, serial))
            return false;
        StreamEntry* entry = find(stream);
        channel = slots_.takeSpare(slot, serial, entry ? entry->state : nullptr);
        if (entry)
        {
            entry->slot = slot;
            entry->serial = serial;
            StreamState& state = *entry->state;
            state.allocateRing();
            state.playing.store(true, std::memory_order_relaxed);
            if (state.streamed())
                streamer_.add(entry->state);
        }
        slots_.offerSpares(*mixer_, kSpareVoices);
        return entry != nullptr;
    }

    NoteStarter* noteStarter() override { return mixer_.get(); }

    bool midiMayRunAhead() override { return output_.kind() != OutputKind::Pulse; }

    unsigned underruns() override { return output_.underruns(); }

  private:
    void closeLocked(StreamHandle stream)
    {
        StreamEntry* entry = find(stream);
        if (!entry)
            return;
        stopVoice(*entry);
        streamer_.remove(entry->state.get());
        streams_.erase(stream);
    }

    struct StreamEntry
    {
        std::shared_ptr<StreamState> state;
        FileMeasure measure;
        int slot = -1; // the voice playing it, -1 none
        std::uint32_t serial = 0;
    };

    StreamEntry* find(StreamHandle stream)
    {
        const auto it = streams_.find(stream);
        return it == streams_.end() ? nullptr : &it->second;
    }

    bool playingOn(const StreamEntry& entry) const
    {
        return entry.slot >= 0 && slots_.serial(entry.slot) == entry.serial &&
               slots_.live(entry.slot, *mixer_);
    }

    void stopVoice(StreamEntry& entry)
    {
        if (playingOn(entry))
            mixer_->post(commandFor(entry.slot, MixerCommand::Kind::Stop));
        entry.slot = -1;
        entry.state->playing.store(false, std::memory_order_relaxed);
    }

    // The slot a channel handle names, when its voice still plays its stream; -1 otherwise.
    int resolve(ChannelHandle channel) const
    {
        if (!mixer_)
            return -1;
        const int slot = slots_.slotOf(channel);
        if (slot < 0 || !slots_.live(slot, *mixer_))
            return -1;
        for (const auto& [handle, entry] : streams_)
            if (entry.slot == slot && entry.serial == slots_.serial(slot))
                return slot;
        return -1;
    }

    MixerCommand commandFor(int slot, MixerCommand::Kind kind) const
    {
        MixerCommand command;
        command.kind = kind;
        command.slot = static_cast<std::uint16_t>(slot);
        command.serial = slots_.serial(slot);
        return command;
    }

    std::int64_t frameOf(const StreamEntry& entry) const
    {
        return std::clamp<std::int64_t>(entry.state->position.load(std::memory_order_relaxed), 0,
                                        entry.measure.format.frames);
    }

    bool seek(StreamEntry& entry, std::int64_t frame)
    {
        frame = std::clamp<std::int64_t>(frame, 0, entry.measure.format.frames);
        StreamState& state = *entry.state;
        if (playingOn(entry))
        {
            MixerCommand command = commandFor(entry.slot, MixerCommand::Kind::Seek);
            command.frame = frame;
            if (!mixer_->post(command))
                return false;
            if (state.streamed())
                streamer_.expectRequest();
        }
        state.ended.store(false, std::memory_order_relaxed);
        state.position.store(frame, std::memory_order_relaxed);
        return true;
    }

    int clampRate(int hz) const
    {
        const int rate = mixer_ ? mixer_->outputRate() : askedRate_;
        return static_cast<int>(
            std::clamp(static_cast<double>(hz), kMinStep * rate, kMaxStep * rate));
    }

    static float gainOf(int volume)
    {
        return static_cast<float>(std::clamp(volume, 0, kMaxVolume)) / kMaxVolume;
    }

    std::mutex mutex_; // the tables
    std::unique_ptr<Mixer> mixer_;
    Streamer streamer_;
    FilePool pool_;
    std::unordered_map<StreamHandle, StreamEntry> streams_;
    SlotTable slots_;
    CueTable cues_;
    StreamHandle nextHandle_ = 1;

    OutputKeeper output_;
    int askedRate_ = 44100;
};

} // namespace

std::unique_ptr<SoundEngine> createAudioEngine(OutputDevices& devices)
{
    return std::make_unique<Engine>(true, &devices);
}

std::unique_ptr<ManualEngine> createManualEngine(int outputRate, int channels)
{
    auto engine = std::make_unique<Engine>(false, nullptr);
    engine->makeMixer(outputRate, channels);
    return engine;
}

} // namespace sonarello::sound
