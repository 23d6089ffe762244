#include "mixer.h"

#include "../raii.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <samplerate.h>

#if defined(__x86_64__) || defined(__i386__)
#include <xmmintrin.h>
#endif

namespace sonarello::sound
{

namespace
{

using SrcState = std::unique_ptr<SRC_STATE, Deleter<src_delete>>;

constexpr int kStageFrames = kMaxRenderBlock * 9; // resampler input for one block at kMaxStep
constexpr int kPrimeFrames = 64;                  // history fed to the resampler when it takes over
constexpr int kCrossfadeFrames = 64;              // from the resampler back to the plain copy
constexpr double kVolumeRampSeconds = 0.005;
constexpr double kFadeSeconds = 0.003;    // stops, seeks, holding at rate 0
constexpr std::size_t kTimedNotes = 1024; // notes from MIDI threads waiting for their block
constexpr std::uintptr_t kFired = 1;

constexpr std::uint64_t packVoice(int slot, std::uint32_t serial)
{
    return static_cast<std::uint64_t>(slot) << 32 | serial;
}

std::int64_t steadyNow() noexcept
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Flushes denormals to zero for the scope of one callback.
class DenormalGuard
{
  public:
#if defined(__x86_64__) || defined(__i386__)
    DenormalGuard() noexcept : saved_(_mm_getcsr())
    {
        _mm_setcsr(saved_ | 0x8040);
    }
    ~DenormalGuard() noexcept
    {
        _mm_setcsr(saved_);
    }

  private:
    unsigned saved_;
#elif defined(__aarch64__)
    DenormalGuard() noexcept
    {
        asm volatile("mrs %0, fpcr" : "=r"(saved_));
        asm volatile("msr fpcr, %0" : : "r"(saved_ | (1ull << 24)));
    }
    ~DenormalGuard() noexcept
    {
        asm volatile("msr fpcr, %0" : : "r"(saved_));
    }

  private:
    unsigned long long saved_;
#endif
};

void raisePeak(std::atomic<float>& peak, float value) noexcept
{
    float seen = peak.load(std::memory_order_relaxed);
    while (value > seen && !peak.compare_exchange_weak(seen, value, std::memory_order_relaxed))
    {
    }
}

} // namespace

struct Mixer::Voice
{
    enum class Phase
    {
        Idle,
        Playing,
        Stopping
    };

    // audio thread
    Phase phase = Phase::Idle;
    StreamState* stream = nullptr;
    std::uint32_t serial = 0;
    std::int64_t cursor = 0; // next file frame of the plain copy
    bool sourceDone = false; // a stream that does not loop ran out of frames
    bool started = false;    // some sound has been produced
    int rateHz = 0;
    int heldRate = 0; // the last rate above 0, used while fading into a hold
    float gain = 1, gainTarget = 1, gainStep = 0;
    int gainLeft = 0;
    float fade = 1; // stop, seek and hold ramp
    std::int64_t pendingSeek = -1;
    std::uint32_t epoch = 0;
    std::int64_t floor = 0;

    SrcState src;
    bool resampling = false;
    double lastRatio = 1;  // output/input ratio libsamplerate ended its last call with
    double srcTime = 0;    // file frame of the resampler's next output
    std::int64_t feed = 0; // next file frame fed to the resampler
    std::int64_t wrapLength = 0;
    int staged = 0;
    int discard = 0;
    int crossfadeLeft = 0;
    std::vector<float> stage = std::vector<float>(kStageFrames * 2);
    std::vector<float> buffer = std::vector<float>(kMaxRenderBlock * 2);
    std::vector<float> side = std::vector<float>(kMaxRenderBlock * 2);

    // published
    std::atomic<std::uint32_t> played{0}; // serial of the last sound started here
    std::atomic<std::uint32_t> running{0};
    std::atomic<float> peakLeft{0};
    std::atomic<float> peakRight{0};

    Voice()
    {
        int error = 0;
        src.reset(src_new(SRC_SINC_FASTEST, 2, &error));
    }

    // ---- source, audio thread ----

    std::int64_t endFrame() const noexcept
    {
        const StreamState& s = *stream;
        if (!s.streamed())
            return s.head->headFrames;
        if (s.servedEpoch.load(std::memory_order_acquire) != epoch)
            return s.totalFrames();
        return std::max(s.dataEnd.load(std::memory_order_relaxed), s.head->headFrames);
    }

    // Copies frames from `frame` on while they are at hand; 0 when the ring lags behind.
    int fetch(std::int64_t frame, float* dst, int n) const noexcept
    {
        const StreamState& s = *stream;
        const DecodedHead& head = *s.head;
        if (frame < 0)
            return 0;
        if (frame < head.headFrames)
        {
            const int m = static_cast<int>(std::min<std::int64_t>(n, head.headFrames - frame));
            std::memcpy(dst, head.frames.data() + frame * 2, sizeof(float) * 2 * std::size_t(m));
            return m;
        }
        if (!s.streamed() || s.servedEpoch.load(std::memory_order_acquire) != epoch)
            return 0;
        const std::int64_t start = s.windowStart.load(std::memory_order_relaxed);
        const std::int64_t end = s.windowEnd.load(std::memory_order_acquire);
        if (frame < start || frame >= end || frame < floor)
            return 0;
        const std::int64_t slot = frame % s.ringFrames;
        const int m =
            static_cast<int>(std::min({std::int64_t{n}, end - frame, s.ringFrames - slot}));
        std::memcpy(dst, s.ring.get() + slot * 2, sizeof(float) * 2 * std::size_t(m));
        return m;
    }

    // Asks the streamer for the frames from `frame` on (after a start, seek or loop).
    void requestWindow(std::int64_t frame) noexcept
    {
        StreamState& s = *stream;
        if (!s.streamed())
            return;
        const std::int64_t start = std::clamp(frame, s.head->headFrames, s.totalFrames());
        floor = start - kRingHistoryFrames;
        s.readFloor.store(floor, std::memory_order_relaxed);
        s.wantedFrame.store(start, std::memory_order_relaxed);
        s.wantedEpoch.store(++epoch, std::memory_order_release);
    }

    // Lets the streamer overwrite what lies more than the history behind `lowest`.
    void publishFloor(std::int64_t lowest) noexcept
    {
        StreamState& s = *stream;
        if (!s.streamed() || s.servedEpoch.load(std::memory_order_relaxed) != epoch)
            return;
        const std::int64_t f = lowest - kRingHistoryFrames;
        if (f > floor)
        {
            floor = f;
            s.readFloor.store(f, std::memory_order_release);
        }
    }

    // Reads frames in play order, wrapping at the end of a looping stream.
    int pull(std::int64_t& at, float* dst, int n) noexcept
    {
        int got = 0;
        while (got < n)
        {
            const std::int64_t end = endFrame();
            if (at >= end)
            {
                if (stream->loop.load(std::memory_order_relaxed) && end > 0)
                {
                    wrapLength = end;
                    at = 0;
                    requestWindow(0);
                    continue;
                }
                sourceDone = true;
                break;
            }
            const int m = fetch(at, dst + 2 * got,
                                static_cast<int>(std::min<std::int64_t>(n - got, end - at)));
            if (m == 0)
                break;
            at += m;
            got += m;
        }
        return got;
    }

    // ---- varispeed, audio thread ----

    static double stepFor(int rate, int outputRate) noexcept
    {
        if (rate == outputRate)
            return 1.0;
        return std::clamp(static_cast<double>(rate) / outputRate, kMinStep, kMaxStep);
    }

    void startResampler(double step) noexcept
    {
        src_reset(src.get());
        staged = 0;
        discard = 0;
        feed = cursor;
        srcTime = static_cast<double>(cursor);
        resampling = true;
        if (started && cursor >= kPrimeFrames && !sourceDone &&
            fetch(cursor - kPrimeFrames, stage.data(), kPrimeFrames) == kPrimeFrames)
        {
            // The filter starts from the frames just heard, at the ratio just heard, so the
            // change of ratio glides over the next call instead of jumping.
            src_set_ratio(src.get(), 1.0);
            SRC_DATA d{};
            d.data_in = stage.data();
            d.input_frames = kPrimeFrames;
            d.data_out = side.data();
            d.output_frames = kPrimeFrames;
            d.src_ratio = 1.0;
            src_process(src.get(), &d);
            staged = static_cast<int>(kPrimeFrames - d.input_frames_used);
            std::memmove(stage.data(), stage.data() + d.input_frames_used * 2,
                         sizeof(float) * 2 * std::size_t(staged));
            discard = static_cast<int>(kPrimeFrames - d.output_frames_gen);
            lastRatio = 1.0;
            return;
        }
        lastRatio = 1.0 / step;
        src_set_ratio(src.get(), lastRatio);
    }

    // Resampled frames into out; returns how many (fewer at a stall or at the end).
    int resample(float* out, int n, double step, bool& drained) noexcept
    {
        const double ratio = 1.0 / step;
        int done = 0;
        while (done < n)
        {
            const int want = std::min(kStageFrames, static_cast<int>(std::ceil((n - done) * step)) +
                                                        kPrimeFrames / 4);
            if (staged < want && !sourceDone)
                staged += pull(feed, stage.data() + staged * 2, want - staged);
            SRC_DATA d{};
            d.data_in = stage.data();
            d.input_frames = staged;
            d.data_out = out + done * 2;
            d.output_frames = n - done;
            d.src_ratio = ratio;
            d.end_of_input = sourceDone ? 1 : 0;
            if (src_process(src.get(), &d) != 0)
            {
                drained = true;
                break;
            }
            const int used = static_cast<int>(d.input_frames_used);
            int gen = static_cast<int>(d.output_frames_gen);
            staged -= used;
            std::memmove(stage.data(), stage.data() + used * 2,
                         sizeof(float) * 2 * std::size_t(staged));
            if (discard > 0 && gen > 0)
            {
                const int drop = std::min(discard, gen);
                std::memmove(out + done * 2, out + (done + drop) * 2,
                             sizeof(float) * 2 * std::size_t(gen - drop));
                discard -= drop;
                gen -= drop;
            }
            srcTime += gen * 2.0 / (lastRatio + ratio);
            lastRatio = ratio;
            if (wrapLength > 0 && srcTime >= static_cast<double>(wrapLength) &&
                srcTime > static_cast<double>(feed))
                srcTime -= static_cast<double>(wrapLength);
            done += gen;
            if (d.output_frames_gen == 0 && used == 0)
            {
                drained = sourceDone;
                break;
            }
        }
        return done;
    }

    // ---- commands, audio thread ----

    void play(const MixerCommand& c, int outputRate) noexcept
    {
        stream = c.stream;
        serial = c.serial;
        phase = Phase::Playing;
        cursor = std::clamp<std::int64_t>(c.frame, 0, stream->totalFrames());
        sourceDone = false;
        started = false;
        rateHz = std::max(c.rateHz, 0);
        heldRate = rateHz;
        gain = gainTarget = c.gain;
        gainLeft = 0;
        fade = rateHz > 0 ? 1.0f : 0.0f;
        pendingSeek = -1;
        crossfadeLeft = 0;
        wrapLength = 0;
        resampling = false;
        epoch = stream->wantedEpoch.load(std::memory_order_relaxed);
        requestWindow(cursor);
        if (rateHz > 0 && stepFor(rateHz, outputRate) != 1.0)
            startResampler(stepFor(rateHz, outputRate));
        peakLeft.store(0, std::memory_order_relaxed);
        peakRight.store(0, std::memory_order_relaxed);
        played.store(serial, std::memory_order_release);
        running.store(serial, std::memory_order_release);
    }

    void seekNow(std::int64_t frame, int outputRate) noexcept
    {
        cursor = std::clamp<std::int64_t>(frame, 0, stream->totalFrames());
        sourceDone = false;
        crossfadeLeft = 0;
        wrapLength = 0;
        stream->ended.store(false, std::memory_order_relaxed);
        requestWindow(cursor);
        if (resampling)
        {
            resampling = false;
            startResampler(stepFor(heldRate, outputRate)); // no history: starts at its ratio
        }
        stream->position.store(cursor, std::memory_order_relaxed);
    }

    void setVolume(float g, int rampFrames) noexcept
    {
        gainTarget = g;
        gainLeft = started ? rampFrames : 0;
        if (gainLeft == 0)
            gain = g;
        else
            gainStep = (gainTarget - gain) / static_cast<float>(gainLeft);
    }

    void release() noexcept
    {
        phase = Phase::Idle;
        stream = nullptr;
        running.store(0, std::memory_order_release);
    }

    // ---- one block, audio thread ----

    void render(float* mix, int n, int outputRate) noexcept
    {
        const float fadeStep = 1.0f / static_cast<float>(std::max(1.0, kFadeSeconds * outputRate));
        if (fade == 0.0f)
        {
            if (phase == Phase::Stopping)
            {
                release();
                return;
            }
            if (pendingSeek >= 0)
            {
                seekNow(pendingSeek, outputRate);
                pendingSeek = -1;
            }
        }
        const bool fadingOut = phase == Phase::Stopping || pendingSeek >= 0 || rateHz == 0;
        if (fadingOut && fade == 0.0f)
            return; // held silent where it is
        const int rate = rateHz > 0 ? rateHz : heldRate;
        const double step = stepFor(rate, outputRate);

        int produced = 0;
        bool drained = false;
        if (resampling && step == 1.0 && lastRatio == 1.0 && !sourceDone)
        {
            // Back to the plain copy, crossfaded over the resampler's sub-frame offset.
            resampling = false;
            cursor = std::llround(srcTime);
            crossfadeLeft = kCrossfadeFrames;
        }
        else if (!resampling && step != 1.0)
        {
            crossfadeLeft = 0;
            startResampler(step);
        }
        if (resampling)
            produced = resample(buffer.data(), n, step, drained);
        else
        {
            produced = pull(cursor, buffer.data(), n);
            drained = sourceDone && produced < n;
            if (crossfadeLeft > 0)
            {
                const int m = std::min(crossfadeLeft, produced);
                bool ignored = false;
                const int r = resample(side.data(), m, 1.0, ignored);
                for (int i = 0; i < r; ++i)
                {
                    const float w = static_cast<float>(kCrossfadeFrames - crossfadeLeft + i + 1) /
                                    (kCrossfadeFrames + 1);
                    buffer[2 * i] = side[2 * i] * (1 - w) + buffer[2 * i] * w;
                    buffer[2 * i + 1] = side[2 * i + 1] * (1 - w) + buffer[2 * i + 1] * w;
                }
                crossfadeLeft = r < m ? 0 : crossfadeLeft - m;
            }
        }
        if (produced > 0)
            started = true;
        else if (fadingOut)
            fade = 0; // nothing sounds that could click: stop or seek at once

        float peakL = 0, peakR = 0;
        for (int i = 0; i < produced; ++i)
        {
            if (gainLeft > 0 && --gainLeft == 0)
                gain = gainTarget;
            else if (gainLeft > 0)
                gain += gainStep;
            if (fadingOut)
                fade = std::max(0.0f, fade - fadeStep);
            else if (fade < 1.0f)
                fade = std::min(1.0f, fade + fadeStep);
            const float g = gain * fade;
            const float l = buffer[2 * i] * g;
            const float r = buffer[2 * i + 1] * g;
            mix[2 * i] += l;
            mix[2 * i + 1] += r;
            peakL = std::max(peakL, std::fabs(l));
            peakR = std::max(peakR, std::fabs(r));
        }
        raisePeak(peakLeft, peakL);
        raisePeak(peakRight, peakR);

        StreamState& s = *stream;
        const std::int64_t heard = resampling ? std::llround(srcTime) : cursor;
        publishFloor(resampling ? std::min<std::int64_t>(heard, feed - staged) : cursor);
        if (phase == Phase::Playing && pendingSeek < 0)
            s.position.store(std::clamp<std::int64_t>(heard, 0, s.totalFrames()),
                             std::memory_order_relaxed);
        if (drained && phase == Phase::Playing)
        {
            s.position.store(endFrame(), std::memory_order_relaxed);
            s.ended.store(true, std::memory_order_release);
            release();
        }
    }
};

Mixer::Mixer(int voices, int outputRate)
    : commands_(static_cast<std::size_t>(std::max(voices, kMinVoices)) * 16),
      outputRate_(outputRate), notes_(kTimedNotes)
{
    const auto count = static_cast<std::size_t>(std::max(voices, kMinVoices));
    voices_.reserve(count);
    for (std::size_t i = 0; i < count; ++i)
        voices_.push_back(std::make_unique<Voice>());
    spares_ = std::make_unique<std::atomic<std::uint32_t>[]>(count);
    waiting_.reserve(kTimedNotes);
    actions_.reserve(kTimedNotes * 2);
}

Mixer::~Mixer() = default;

void Mixer::setOutputRate(int rate)
{
    outputRate_.store(rate, std::memory_order_relaxed);
}

bool Mixer::post(const MixerCommand& command) noexcept
{
    if (command.slot >= voices_.size() || !commands_.push(command))
        return false;
    ++posted_;
    return true;
}

std::uint32_t Mixer::playedSerial(int slot) const
{
    if (slot < 0 || slot >= voiceCount())
        return 0;
    return voices_[static_cast<std::size_t>(slot)]->played.load(std::memory_order_acquire);
}

std::uint32_t Mixer::runningSerial(int slot) const
{
    if (slot < 0 || slot >= voiceCount())
        return 0;
    return voices_[static_cast<std::size_t>(slot)]->running.load(std::memory_order_acquire);
}

void Mixer::takePeaks(int slot, float& left, float& right)
{
    left = right = 0;
    if (slot < 0 || slot >= voiceCount())
        return;
    Voice& v = *voices_[static_cast<std::size_t>(slot)];
    left = v.peakLeft.exchange(0, std::memory_order_relaxed);
    right = v.peakRight.exchange(0, std::memory_order_relaxed);
}

void Mixer::apply(const MixerCommand& c) noexcept
{
    Voice& v = *voices_[c.slot];
    const int rate = outputRate();
    if (c.kind == MixerCommand::Kind::Play)
    {
        if (!c.stream)
            return;
        // One voice per stream: the ring and its window belong to one reader.
        for (auto& other : voices_)
            if (other->stream == c.stream)
                other->release();
        v.play(c, rate);
        return;
    }
    if (v.phase == Voice::Phase::Idle || v.serial != c.serial)
        return;
    switch (c.kind)
    {
    case MixerCommand::Kind::Stop:
        v.phase = Voice::Phase::Stopping;
        if (!v.started)
            v.fade = 0;
        break;
    case MixerCommand::Kind::Seek:
        if (v.started && v.fade > 0)
            v.pendingSeek = std::max<std::int64_t>(c.frame, 0);
        else
            v.seekNow(c.frame, rate);
        break;
    case MixerCommand::Kind::Volume:
        v.setVolume(c.gain, static_cast<int>(kVolumeRampSeconds * rate));
        break;
    case MixerCommand::Kind::Rate:
        v.rateHz = std::max(c.rateHz, 0);
        if (v.rateHz > 0)
            v.heldRate = v.rateHz;
        if (!v.started && v.rateHz > 0)
            v.fade = 1;
        break;
    case MixerCommand::Kind::Play:
        break;
    }
}

// ---- cues ----

bool Mixer::armCue(int key, Cue* cue, Cue*& replaced) noexcept
{
    replaced = nullptr;
    if (key < 0 || key >= kCueKeys)
        return false;
    auto& entry = cues_[static_cast<std::size_t>(key)];
    std::uintptr_t seen = entry.load(std::memory_order_acquire);
    do
    {
        if (seen & kFired)
            return false;
    } while (!entry.compare_exchange_weak(seen, reinterpret_cast<std::uintptr_t>(cue),
                                          std::memory_order_acq_rel, std::memory_order_acquire));
    replaced = reinterpret_cast<Cue*>(seen);
    return true;
}

Cue* Mixer::firedCue(int key) noexcept
{
    if (key < 0 || key >= kCueKeys)
        return nullptr;
    auto& entry = cues_[static_cast<std::size_t>(key)];
    std::uintptr_t seen = entry.load(std::memory_order_acquire);
    if (!(seen & kFired) || !entry.compare_exchange_strong(seen, 0, std::memory_order_acq_rel))
        return nullptr;
    return reinterpret_cast<Cue*>(seen & ~kFired);
}

bool Mixer::cueFired(int key) const noexcept
{
    return key >= 0 && key < kCueKeys &&
           (cues_[static_cast<std::size_t>(key)].load(std::memory_order_acquire) & kFired) != 0;
}

void Mixer::offerSpare(int slot, std::uint32_t serial) noexcept
{
    if (slot >= 0 && slot < voiceCount())
        spares_[static_cast<std::size_t>(slot)].store(serial, std::memory_order_release);
}

void Mixer::setSounding(int key, int slot, std::uint32_t serial) noexcept
{
    if (key >= 0 && key < kCueKeys)
        sounding_[static_cast<std::size_t>(key)].store(slot < 0 ? 0 : packVoice(slot, serial),
                                                       std::memory_order_release);
}

void Mixer::setNoteDelayFrames(int frames) noexcept
{
    noteDelayFrames_.store(std::max(frames, 0), std::memory_order_relaxed);
}

// Any thread: a spare voice first, so that no cue is ever taken without one.
bool Mixer::fire(int key, Action& action) noexcept
{
    if (key < 0 || key >= kCueKeys)
        return false;
    auto& entry = cues_[static_cast<std::size_t>(key)];
    std::uintptr_t armed = entry.load(std::memory_order_acquire);
    if (armed == 0 || (armed & kFired))
        return false;
    for (int slot = 0; slot < voiceCount(); ++slot)
    {
        auto& spare = spares_[static_cast<std::size_t>(slot)];
        std::uint32_t serial = spare.load(std::memory_order_relaxed);
        if (serial == 0 || !spare.compare_exchange_strong(serial, 0, std::memory_order_acq_rel))
            continue;
        auto* cue = reinterpret_cast<Cue*>(armed);
        const Cue copy = *cue;
        if (!entry.compare_exchange_strong(armed, armed | kFired, std::memory_order_acq_rel))
        {
            spare.store(serial, std::memory_order_release); // the cue went meanwhile
            return false;
        }
        // Only the thread that fired it writes the cue until firedCue() hands it back.
        cue->slot = static_cast<std::uint16_t>(slot);
        cue->serial = serial;
        action.play.kind = MixerCommand::Kind::Play;
        action.play.slot = static_cast<std::uint16_t>(slot);
        action.play.serial = serial;
        action.play.stream = copy.stream;
        action.play.gain = copy.gain;
        action.play.rateHz = copy.rateHz;
        action.stop = sounding_[static_cast<std::size_t>(key)].exchange(packVoice(slot, serial),
                                                                        std::memory_order_acq_rel);
        return true;
    }
    return false;
}

bool Mixer::noteAt(int key, bool on, std::int64_t arrival) noexcept
{
    if (key < 0 || key >= kCueKeys)
        return false;
    std::lock_guard lock(noteProducers_);
    if (notes_.full())
        return false;
    Action note;
    note.time = arrival;
    if (on)
    {
        if (!fire(key, note))
            return false;
    }
    else if ((note.stop =
                  sounding_[static_cast<std::size_t>(key)].load(std::memory_order_acquire)) == 0)
        return false;
    notes_.push(note);
    return true;
}

// Audio thread: what this block does at which frame, in order.
void Mixer::gatherActions(int frames, std::int64_t now, NoteEvent* events, int eventCount) noexcept
{
    actions_.clear();
    for (int i = 0; i < eventCount; ++i)
    {
        NoteEvent& e = events[i];
        Action action;
        action.frame = std::clamp(e.frame, 0, frames - 1);
        if (e.on)
            e.handled = fire(e.key, action);
        else if (e.key >= 0 && e.key < kCueKeys)
            e.handled = (action.stop = sounding_[static_cast<std::size_t>(e.key)].load(
                             std::memory_order_acquire)) != 0;
        if (e.handled && actions_.size() < actions_.capacity())
            actions_.push_back(action);
    }
    Action note;
    while (waiting_.size() < waiting_.capacity() && notes_.pop(note))
        waiting_.push_back(note);
    const double rate = outputRate();
    const double delayNs =
        noteDelayFrames_.load(std::memory_order_relaxed) * 1e9 / std::max(rate, 1.0);
    std::size_t kept = 0;
    for (Action& n : waiting_)
    {
        const auto frame = std::llround((static_cast<double>(n.time - now) + delayNs) * rate / 1e9);
        if (frame >= frames || actions_.size() == actions_.capacity())
        {
            waiting_[kept++] = n; // due in a later block
            continue;
        }
        n.frame = static_cast<int>(std::max<long long>(frame, 0));
        actions_.push_back(n);
    }
    waiting_.resize(kept);
    // Insertion sort: few actions, already nearly in order, and no allocation.
    for (std::size_t i = 1; i < actions_.size(); ++i)
        for (std::size_t j = i; j > 0 && actions_[j - 1].frame > actions_[j].frame; --j)
            std::swap(actions_[j - 1], actions_[j]);
}

void Mixer::act(const Action& action) noexcept
{
    if (action.stop != 0)
    {
        MixerCommand stop;
        stop.kind = MixerCommand::Kind::Stop;
        stop.slot = static_cast<std::uint16_t>(action.stop >> 32);
        stop.serial = static_cast<std::uint32_t>(action.stop);
        if (stop.slot < voices_.size())
            apply(stop);
    }
    if (action.play.kind == MixerCommand::Kind::Play && action.play.stream != nullptr)
        apply(action.play);
}

void Mixer::mixVoices(float* out, int frames) noexcept
{
    const int rate = outputRate();
    for (int offset = 0; offset < frames; offset += kMaxRenderBlock)
    {
        const int n = std::min(kMaxRenderBlock, frames - offset);
        for (auto& voice : voices_)
            if (voice->phase != Voice::Phase::Idle)
                voice->render(out + std::size_t(offset) * 2, n, rate);
    }
}

void Mixer::render(float* out, int frames, std::int64_t now, NoteEvent* events,
                   int eventCount) noexcept
{
    DenormalGuard denormals;
    MixerCommand command;
    while (commands_.pop(command))
    {
        apply(command);
        ++drained_;
    }
    done_.store(drained_, std::memory_order_release);
    if (frames <= 0)
        return;
    std::fill(out, out + std::size_t(frames) * 2, 0.0f);
    gatherActions(frames, now < 0 ? steadyNow() : now, events, eventCount);
    int done = 0;
    for (const Action& action : actions_)
    {
        if (action.frame > done)
        {
            mixVoices(out + std::size_t(done) * 2, action.frame - done);
            done = action.frame;
        }
        act(action);
    }
    mixVoices(out + std::size_t(done) * 2, frames - done);
}

} // namespace sonarello::sound
