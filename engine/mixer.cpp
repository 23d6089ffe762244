#include "mixer.h"

#include "voice.h"

#include "base/steady_clock.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <thread>

#if defined(__x86_64__) || defined(__i386__)
#include <xmmintrin.h>
#endif

namespace sonarello::sound
{

namespace
{

constexpr double kVolumeRampSeconds = 0.005;
constexpr std::size_t kTimedNotes = 1024; // notes from MIDI threads waiting for their block
// The low bits of a key's cue pointer: a thread is firing the cue (it reads the cue and takes a
// voice), or a note fired it and it waits for firedCue(). The control side never frees a cue
// while either is set.
constexpr std::uintptr_t kFired = 1;
constexpr std::uintptr_t kFiring = 2;
constexpr std::uintptr_t kCueFlags = kFired | kFiring;

// Control thread: the key's entry once no thread is in the middle of firing its cue, which takes
// a few instructions and never blocks.
std::uintptr_t settledEntry(const std::atomic<std::uintptr_t>& entry) noexcept
{
    std::uintptr_t seen = entry.load(std::memory_order_acquire);
    while (seen & kFiring)
    {
        std::this_thread::yield();
        seen = entry.load(std::memory_order_acquire);
    }
    return seen;
}

constexpr std::uint64_t packVoice(int slot, std::uint32_t serial)
{
    return static_cast<std::uint64_t>(slot) << 32 | serial;
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

} // namespace

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

void Mixer::useDevice(int rate, int periodFrames) noexcept
{
    outputRate_.store(rate, std::memory_order_relaxed);
    noteDelayFrames_.store(std::max(periodFrames, 0), std::memory_order_relaxed);
}

bool Mixer::post(const MixerCommand& command)
{
    if (command.slot >= voices_.size() || commands_.full())
        return false;
    if (command.kind == MixerCommand::Kind::Play || command.kind == MixerCommand::Kind::Rate)
        voices_[command.slot]->prepare(command.rateHz, outputRate());
    if (!commands_.push(command))
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
            if (other->playing() == c.stream)
                other->handOver(rate);
        v.play(*c.stream, c.serial, c.frame, c.gain, c.rateHz, rate);
        return;
    }
    if (!v.takesCommands() || v.serial != c.serial)
    {
        amendWaiting(c);
        return;
    }
    switch (c.kind)
    {
    case MixerCommand::Kind::Stop:
        v.stop();
        break;
    case MixerCommand::Kind::Seek:
        v.seek(c.frame, rate);
        break;
    case MixerCommand::Kind::Volume:
        v.setVolume(c.gain, static_cast<int>(kVolumeRampSeconds * rate));
        break;
    case MixerCommand::Kind::Rate:
        v.setRate(c.rateHz);
        break;
    case MixerCommand::Kind::Play:
        break;
    }
}

// A command for a voice that a note starts in a later block (a note from a MIDI thread waits
// out the note delay) changes what the note starts: the control side takes such a voice over
// as soon as the note reached it, and its volume, rate or stop must not be lost meanwhile.
void Mixer::amendWaiting(const MixerCommand& c) noexcept
{
    Action note;
    while (waiting_.size() < waiting_.capacity() && notes_.pop(note))
        waiting_.push_back(note);
    for (Action& n : waiting_)
    {
        MixerCommand& play = n.play;
        if (play.kind != MixerCommand::Kind::Play || play.stream == nullptr ||
            play.slot != c.slot || play.serial != c.serial)
            continue;
        if (c.kind == MixerCommand::Kind::Stop)
        {
            play.stream = nullptr;
            // Played and done at once, so that the control side frees the voice.
            voices_[c.slot]->played.store(c.serial, std::memory_order_release);
        }
        else if (c.kind == MixerCommand::Kind::Seek)
            play.frame = c.frame;
        else if (c.kind == MixerCommand::Kind::Volume)
            play.gain = c.gain;
        else if (c.kind == MixerCommand::Kind::Rate)
            play.rateHz = c.rateHz;
    }
}

// ---- cues ----

bool Mixer::armCue(int key, Cue* cue, Cue*& replaced)
{
    replaced = nullptr;
    if (key < 0 || key >= kCueKeys)
        return false;
    if (cue != nullptr)
        for (std::size_t slot = 0; slot < voices_.size(); ++slot)
            if (spares_[slot].load(std::memory_order_relaxed) != 0)
                voices_[slot]->prepare(cue->rateHz, outputRate());
    auto& entry = cues_[static_cast<std::size_t>(key)];
    while (true)
    {
        std::uintptr_t seen = settledEntry(entry);
        if (seen & kFired)
            return false;
        if (entry.compare_exchange_weak(seen, reinterpret_cast<std::uintptr_t>(cue),
                                        std::memory_order_acq_rel, std::memory_order_acquire))
        {
            replaced = reinterpret_cast<Cue*>(seen);
            return true;
        }
    }
}

Cue* Mixer::firedCue(int key) noexcept
{
    if (key < 0 || key >= kCueKeys)
        return nullptr;
    auto& entry = cues_[static_cast<std::size_t>(key)];
    std::uintptr_t seen = settledEntry(entry);
    // Only the control side clears a fired cue, so nothing changes it between these two steps.
    if (!(seen & kFired) || !entry.compare_exchange_strong(seen, 0, std::memory_order_acq_rel))
        return nullptr;
    return reinterpret_cast<Cue*>(seen & ~kCueFlags);
}

bool Mixer::cueFired(int key) const noexcept
{
    return key >= 0 && key < kCueKeys &&
           (settledEntry(cues_[static_cast<std::size_t>(key)]) & kFired) != 0;
}

void Mixer::offerSpare(int slot, std::uint32_t serial)
{
    if (slot < 0 || slot >= voiceCount())
        return;
    Voice& voice = *voices_[static_cast<std::size_t>(slot)];
    for (const auto& entry : cues_)
        if (const auto* cue =
                reinterpret_cast<const Cue*>(entry.load(std::memory_order_acquire) & ~kCueFlags))
            voice.prepare(cue->rateHz, outputRate());
    spares_[static_cast<std::size_t>(slot)].store(serial, std::memory_order_release);
}

void Mixer::setSounding(int key, int slot, std::uint32_t serial) noexcept
{
    if (key >= 0 && key < kCueKeys)
        sounding_[static_cast<std::size_t>(key)].store(slot < 0 ? 0 : packVoice(slot, serial),
                                                       std::memory_order_release);
}

// Any thread. The cue is claimed first (kFiring), so that the control side can neither replace
// nor free it while it is read; then a spare voice, without which the cue is left as it was.
bool Mixer::fire(int key, Action& action) noexcept
{
    if (key < 0 || key >= kCueKeys)
        return false;
    auto& entry = cues_[static_cast<std::size_t>(key)];
    std::uintptr_t armed = entry.load(std::memory_order_acquire);
    if (armed == 0 || (armed & kCueFlags) ||
        !entry.compare_exchange_strong(armed, armed | kFiring, std::memory_order_acq_rel))
        return false;
    auto* cue = reinterpret_cast<Cue*>(armed);
    for (int slot = 0; slot < voiceCount(); ++slot)
    {
        auto& spare = spares_[static_cast<std::size_t>(slot)];
        std::uint32_t serial = spare.load(std::memory_order_relaxed);
        if (serial == 0 || !spare.compare_exchange_strong(serial, 0, std::memory_order_acq_rel))
            continue;
        cue->slot = static_cast<std::uint16_t>(slot);
        cue->serial = serial;
        action.play.kind = MixerCommand::Kind::Play;
        action.play.slot = static_cast<std::uint16_t>(slot);
        action.play.serial = serial;
        action.play.stream = cue->stream;
        action.play.gain = cue->gain;
        action.play.rateHz = cue->rateHz;
        action.stop = sounding_[static_cast<std::size_t>(key)].exchange(packVoice(slot, serial),
                                                                        std::memory_order_acq_rel);
        entry.store(armed | kFired, std::memory_order_release);
        return true;
    }
    entry.store(armed, std::memory_order_release); // no voice free: the cue stays armed
    return false;
}

bool Mixer::noteAt(int key, bool on, std::int64_t arrival) noexcept
{
    if (key < 0 || key >= kCueKeys)
        return false;
    const std::uint64_t sounding =
        on ? 0 : sounding_[static_cast<std::size_t>(key)].load(std::memory_order_acquire);
    if (!on && sounding == 0)
        return false;
    auto* cell = notes_.claim();
    if (cell == nullptr)
        return false;
    Action& note = cell->value;
    note = Action{};
    note.time = arrival;
    note.stop = sounding;
    const bool acted = !on || fire(key, note);
    if (!acted)
    {
        note = Action{}; // a note that started nothing: an empty action, harmless
        note.time = arrival;
    }
    notes_.publish(cell);
    return acted;
}

bool Mixer::startCueAt(int key, std::int64_t start) noexcept
{
    if (key < 0 || key >= kCueKeys)
        return false;
    auto* cell = notes_.claim();
    if (cell == nullptr)
        return false;
    Action& action = cell->value;
    action = Action{};
    const bool fired = fire(key, action);
    if (!fired)
        action = Action{};
    action.time = start;
    action.atTime = true;
    notes_.publish(cell);
    return fired;
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
        {
            e.handled = fire(e.key, action);
            action.play.gain *= e.gain;
        }
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
        const auto frame = std::llround(
            (static_cast<double>(n.time - now) + (n.atTime ? 0.0 : delayNs)) * rate / 1e9);
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
            if (!voice->idle())
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
    gatherActions(frames, now < 0 ? steadyNs() : now, events, eventCount);
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
