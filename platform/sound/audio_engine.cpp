#include "audio_engine.h"

#include "mixer.h"
#include "output.h"
#include "streamer.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <list>
#include <mutex>
#include <thread>
#include <unordered_map>

namespace sonarello::sound
{

namespace
{

constexpr int kSlotBits = 12;
constexpr int kMaxSlots = 1 << kSlotBits;
constexpr std::uint32_t kMaxGeneration = (1u << (31 - kSlotBits)) - 1;
constexpr std::size_t kPreloadedFiles = 80; // the rows' files and a few they left
constexpr auto kWatchdogPoll = std::chrono::milliseconds(250);
constexpr auto kReopenEvery = std::chrono::milliseconds(500);
constexpr int kSpareVoices = 16; // voices offered to notes that start cues on their own

void warn(const std::string& text)
{
    std::fprintf(stderr, "Sonarello: %s\n", text.c_str());
}

struct OpenedFile
{
    FileMeasure measure;
    std::unique_ptr<Decoder> decoder;
    std::shared_ptr<const FileHold> hold; // what the decoder reads, kept for the streamer
};

std::optional<OpenedFile> openFile(const std::string& path)
{
    OpenedFile file;
    file.hold = std::make_shared<const FileHold>(path);
    file.decoder = openDecoder(file.hold->isOpen() ? file.hold->path() : path);
    if (!file.decoder)
        return std::nullopt;
    file.measure = measureOf(*file.decoder, path);
    return file;
}

class Engine final : public SoundEngine, public ManualEngine
{
  public:
    explicit Engine(bool ownThreads) : streamer_(ownThreads)
    {
        prefetcher_ = std::thread([this] { prefetchFiles(); });
    }

    ~Engine() override
    {
        stopWatchdog();
        {
            std::lock_guard lock(outputMutex_);
            output_.reset();
        }
        {
            std::lock_guard lock(prefetchMutex_);
            quitPrefetch_ = true;
        }
        prefetchWake_.notify_all();
        prefetcher_.join();
    }

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
        for (CueEntry& cue : cues_)
            cue = CueEntry{};
        mixer_ = std::make_unique<Mixer>(std::clamp(channels, kMinVoices, kMaxSlots), rate);
        slots_.assign(static_cast<std::size_t>(mixer_->voiceCount()), SlotEntry{});
        spareCount_ = 0;
    }

    // ---- SoundEngine ----

    bool start(const EngineOptions& options) override
    {
        stopWatchdog();
        {
            std::lock_guard outputLock(outputMutex_);
            output_.reset();
        }
        bool valid = true;
        const auto explicitChoice = parseOutputChoice(options.output, valid);
        if (!valid)
        {
            warn("unknown audio output \"" + options.output + "\"");
            return false;
        }
        {
            std::lock_guard lock(mutex_);
            makeMixer(options.mixRate, options.channels);
        }
        askedRate_ = options.mixRate > 0 ? options.mixRate : 44100;
        periodFrames_ = std::clamp(options.periodFrames, 32, 8192);
        std::unique_ptr<Output> output;
        std::string error;
        if (explicitChoice)
        {
            choice_ = *explicitChoice;
            output = openOutput(choice_, *mixer_, askedRate_, periodFrames_, error);
            if (!output)
            {
                warn("cannot open the audio output \"" + options.output + "\": " + error);
                return false;
            }
        }
        else
        {
            const bool jack = jackServerRunning();
            for (OutputKind kind : {OutputKind::Jack, OutputKind::Pulse, OutputKind::Alsa})
            {
                if (kind == OutputKind::Jack && !jack)
                    continue;
                choice_ = OutputChoice{kind, true, {}};
                output = openOutput(choice_, *mixer_, askedRate_, periodFrames_, error);
                if (output)
                    break;
            }
            if (!output)
            {
                warn("no sound device answers; playing without sound");
                choice_ = OutputChoice{};
                output = openOutput(choice_, *mixer_, askedRate_, periodFrames_, error);
            }
            else
                warn("sound through " + outputName(choice_.kind));
        }
        if (!output)
            return false;
        {
            std::lock_guard outputLock(outputMutex_);
            output_ = std::move(output);
        }
        startWatchdog();
        return true;
    }

    float version() const override
    {
        float minor = SONARELLO_VERSION_MINOR;
        while (minor >= 1.0f)
            minor /= 10.0f;
        return static_cast<float>(SONARELLO_VERSION_MAJOR) + minor;
    }

    int outputRate() const override { return mixer_ ? mixer_->outputRate() : 0; }
    void setSpectrumActive(bool) override {}

    void prefetch(const std::string& path) override
    {
        {
            std::lock_guard lock(prefetchMutex_);
            if (std::find(prefetchQueue_.begin(), prefetchQueue_.end(), path) !=
                prefetchQueue_.end())
                return;
            prefetchQueue_.push_back(path);
        }
        prefetchWake_.notify_one();
    }

    bool preloaded(const std::string& path) override
    {
        std::lock_guard lock(mutex_);
        return std::any_of(preloaded_.begin(), preloaded_.end(),
                           [&](const auto& entry) { return entry.first == path; });
    }

    void preload(const std::string& path) override
    {
        auto file = openFile(path);
        std::shared_ptr<DecodedHead> head;
        if (file)
        {
            head = decodeHead(*file->decoder, file->measure);
            head->file = file->hold;
        }
        std::lock_guard lock(mutex_);
        std::erase_if(preloaded_, [&](const auto& entry) { return entry.first == path; });
        if (!head)
            return;
        preloaded_.emplace_front(path, std::move(head));
        if (preloaded_.size() > kPreloadedFiles)
            preloaded_.pop_back();
    }

    StreamHandle openStream(const std::string& path) override
    {
        auto state = std::make_shared<StreamState>();
        state->path = path;
        FileMeasure measure;
        {
            std::lock_guard lock(mutex_);
            for (auto it = preloaded_.begin(); it != preloaded_.end(); ++it)
                if (it->first == path)
                {
                    // A head whose file was cut or rewritten since is no longer its start.
                    if (it->second->file && it->second->file->changed())
                    {
                        preloaded_.erase(it);
                        break;
                    }
                    state->head = it->second;
                    state->file = state->head->file;
                    measure = state->head->measure;
                    preloaded_.splice(preloaded_.begin(), preloaded_, it);
                    break;
                }
        }
        if (!state->head)
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
        sweepSlots();
        stopVoice(*entry);
        const auto free = std::find_if(slots_.begin(), slots_.end(),
                                       [](const SlotEntry& s) { return !s.keep && !s.spare; });
        if (free == slots_.end())
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
        const auto slot = static_cast<std::uint16_t>(free - slots_.begin());
        MixerCommand play;
        play.kind = MixerCommand::Kind::Play;
        play.slot = slot;
        play.serial = nextSerial_++;
        if (nextSerial_ == 0)
            nextSerial_ = 1;
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
        SlotEntry& s = *free;
        s.generation = s.generation >= kMaxGeneration ? 1 : s.generation + 1;
        s.serial = play.serial;
        s.keep = entry->state;
        entry->slot = slot;
        entry->serial = play.serial;
        if (state.streamed())
        {
            streamer_.add(entry->state);
            streamer_.expectRequest();
        }
        return static_cast<ChannelHandle>(s.generation << kSlotBits | slot);
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
        sweepSlots();
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
            slots_[static_cast<std::size_t>(slot)].keep->rateHz.store(command.rateHz);
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
            mixer_->setSounding(key, playing, slots_[static_cast<std::size_t>(playing)].serial);
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
        CueEntry& cue = cues_[static_cast<std::size_t>(key)];
        Cue* replaced = nullptr;
        if (!mixer_->armCue(key, fresh.get(), replaced))
        {
            closeLocked(stream);
            return false;
        }
        if (cue.stream != stream)
            closeLocked(cue.stream);
        cue.cue = std::move(fresh);
        cue.stream = cue.cue ? stream : kNoStream;
        if (!cue.cue)
            closeLocked(stream);
        offerSpares();
        return cue.cue != nullptr;
    }

    bool takeStartedCue(int key, StreamHandle& stream, ChannelHandle& channel) override
    {
        std::lock_guard lock(mutex_);
        if (!mixer_ || key < 0 || key >= kCueKeys)
            return false;
        const Cue* fired = mixer_->firedCue(key);
        if (fired == nullptr)
            return false;
        const int slot = fired->slot;
        const std::uint32_t serial = fired->serial;
        CueEntry& cue = cues_[static_cast<std::size_t>(key)];
        StreamEntry* entry = find(cue.stream);
        SlotEntry& s = slots_[static_cast<std::size_t>(slot)];
        s.spare = false;
        --spareCount_;
        s.generation = s.generation >= kMaxGeneration ? 1 : s.generation + 1;
        s.serial = serial;
        stream = cue.stream;
        channel = static_cast<ChannelHandle>(s.generation << kSlotBits | slot);
        cue = CueEntry{}; // frees the cue
        if (entry)
        {
            s.keep = entry->state;
            entry->slot = slot;
            entry->serial = serial;
            StreamState& state = *entry->state;
            state.allocateRing();
            state.playing.store(true, std::memory_order_relaxed);
            if (state.streamed())
                streamer_.add(entry->state);
        }
        offerSpares();
        return entry != nullptr;
    }

    NoteStarter* noteStarter() override { return mixer_.get(); }

    bool midiMayRunAhead() override { return choice_.kind != OutputKind::Pulse; }

    unsigned underruns() override
    {
        std::lock_guard lock(outputMutex_);
        return output_ ? output_->underruns() : 0;
    }

  private:
    struct CueEntry
    {
        std::unique_ptr<Cue> cue; // armed, or fired and waiting to be taken
        StreamHandle stream = kNoStream;
    };

    // Keeps kSpareVoices free voices offered to the notes that start cues.
    void offerSpares()
    {
        for (std::size_t i = 0; i < slots_.size() && spareCount_ < kSpareVoices; ++i)
        {
            SlotEntry& s = slots_[i];
            if (s.keep || s.spare)
                continue;
            s.spare = true;
            s.serial = nextSerial_++;
            if (nextSerial_ == 0)
                nextSerial_ = 1;
            mixer_->offerSpare(static_cast<int>(i), s.serial);
            ++spareCount_;
        }
    }

    void closeLocked(StreamHandle stream)
    {
        StreamEntry* entry = find(stream);
        if (!entry)
            return;
        stopVoice(*entry);
        streamer_.remove(entry->state.get());
        streams_.erase(stream);
    }

    // Worker thread: decodes the heads asked for by prefetch(), oldest first.
    void prefetchFiles()
    {
        std::unique_lock lock(prefetchMutex_);
        while (true)
        {
            prefetchWake_.wait(lock, [this] { return quitPrefetch_ || !prefetchQueue_.empty(); });
            if (quitPrefetch_)
                return;
            const std::string path = prefetchQueue_.front();
            prefetchQueue_.pop_front();
            lock.unlock();
            if (!preloaded(path))
                preload(path);
            lock.lock();
        }
    }

    struct StreamEntry
    {
        std::shared_ptr<StreamState> state;
        FileMeasure measure;
        int slot = -1; // the voice playing it, -1 none
        std::uint32_t serial = 0;
    };

    struct SlotEntry
    {
        std::uint32_t generation = 0;
        std::uint32_t serial = 0;
        bool spare = false;                // offered to the notes that start cues
        std::shared_ptr<StreamState> keep; // alive while the voice may read it
    };

    StreamEntry* find(StreamHandle stream)
    {
        const auto it = streams_.find(stream);
        return it == streams_.end() ? nullptr : &it->second;
    }

    // The voice on this slot was asked to start and has not finished yet.
    bool voiceLive(int slot) const
    {
        const SlotEntry& s = slots_[static_cast<std::size_t>(slot)];
        return s.keep &&
               (mixer_->playedSerial(slot) != s.serial || mixer_->runningSerial(slot) == s.serial);
    }

    // Frees the slots whose voices went silent; their stream memory is released here, on a
    // control thread.
    void sweepSlots()
    {
        for (int i = 0; i < static_cast<int>(slots_.size()); ++i)
            if (slots_[static_cast<std::size_t>(i)].keep && !voiceLive(i))
                slots_[static_cast<std::size_t>(i)].keep.reset();
    }

    bool playingOn(const StreamEntry& entry) const
    {
        return entry.slot >= 0 &&
               slots_[static_cast<std::size_t>(entry.slot)].serial == entry.serial &&
               voiceLive(entry.slot);
    }

    void stopVoice(StreamEntry& entry)
    {
        if (playingOn(entry))
            mixer_->post(commandFor(entry.slot, MixerCommand::Kind::Stop));
        entry.slot = -1;
        entry.state->playing.store(false, std::memory_order_relaxed);
    }

    // The slot a channel handle names, when its voice still plays; -1 otherwise.
    int resolve(ChannelHandle channel) const
    {
        if (channel <= 0 || !mixer_)
            return -1;
        const int slot = channel & (kMaxSlots - 1);
        const auto generation = static_cast<std::uint32_t>(channel) >> kSlotBits;
        if (slot >= static_cast<int>(slots_.size()) ||
            slots_[static_cast<std::size_t>(slot)].generation != generation || !voiceLive(slot))
            return -1;
        for (const auto& [handle, entry] : streams_)
            if (entry.slot == slot && entry.serial == slots_[std::size_t(slot)].serial)
                return slot;
        return -1;
    }

    MixerCommand commandFor(int slot, MixerCommand::Kind kind) const
    {
        MixerCommand command;
        command.kind = kind;
        command.slot = static_cast<std::uint16_t>(slot);
        command.serial = slots_[static_cast<std::size_t>(slot)].serial;
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

    // ---- device loss ----

    void startWatchdog()
    {
        quitWatchdog_ = false;
        watchdog_ = std::thread([this] { watch(); });
    }

    void stopWatchdog()
    {
        {
            std::lock_guard lock(watchdogMutex_);
            quitWatchdog_ = true;
        }
        watchdogWake_.notify_all();
        if (watchdog_.joinable())
            watchdog_.join();
    }

    // Watchdog thread: RtAudio does not report a JACK server that went away, so the output
    // is polled, and reopened once its server answers again. Voices keep their state.
    void watch()
    {
        auto nextTry = std::chrono::steady_clock::now();
        bool lost = false;
        std::unique_lock lock(watchdogMutex_);
        while (!quitWatchdog_)
        {
            watchdogWake_.wait_for(lock, kWatchdogPoll);
            if (quitWatchdog_)
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
                output_ = openOutput(choice_, *mixer_, askedRate_, periodFrames_, error);
                if (output_)
                {
                    warn("the sound output is back");
                    lost = false;
                }
                nextTry = std::chrono::steady_clock::now() + kReopenEvery;
            }
        }
    }

    std::mutex mutex_; // the tables
    std::unique_ptr<Mixer> mixer_;
    Streamer streamer_;
    std::unordered_map<StreamHandle, StreamEntry> streams_;
    std::vector<SlotEntry> slots_;
    std::list<std::pair<std::string, std::shared_ptr<const DecodedHead>>> preloaded_;
    StreamHandle nextHandle_ = 1;
    std::uint32_t nextSerial_ = 1;

    std::mutex outputMutex_;
    std::unique_ptr<Output> output_;
    OutputChoice choice_;
    int askedRate_ = 44100;
    int periodFrames_ = 256;

    std::mutex watchdogMutex_;
    std::condition_variable watchdogWake_;
    bool quitWatchdog_ = false;
    std::thread watchdog_;

    std::array<CueEntry, kCueKeys> cues_;
    int spareCount_ = 0;

    std::mutex prefetchMutex_;
    std::condition_variable prefetchWake_;
    std::deque<std::string> prefetchQueue_;
    bool quitPrefetch_ = false;
    std::thread prefetcher_;
};

} // namespace

std::unique_ptr<SoundEngine> createAudioEngine()
{
    return std::make_unique<Engine>(true);
}

std::unique_ptr<ManualEngine> createManualEngine(int outputRate, int channels)
{
    auto engine = std::make_unique<Engine>(false);
    engine->makeMixer(outputRate, channels);
    return engine;
}

} // namespace sonarello::sound
