// Mixes the voices into the output block, applying the control side's commands and the notes
// that start cued sounds at their own frame. render() is the audio thread; post() and the cue
// calls one control thread at a time; noteAt() the MIDI threads; the rest any.
#pragma once

#include "base/mpsc_queue.h"
#include "base/spsc_queue.h"
#include "realtime.h"
#include "sound_engine.h"
#include "streamer.h"
#include "varispeed.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

namespace sonarello::sound
{

constexpr int kMinVoices = 128;

class Voice;

struct MixerCommand
{
    enum class Kind : std::uint8_t
    {
        Play,
        Stop,
        Seek,
        Volume,
        Rate
    };
    Kind kind = Kind::Stop;
    std::uint16_t slot = 0;
    std::uint32_t serial = 0; // which voice on the slot the command is for
    StreamState* stream = nullptr;
    std::int64_t frame = 0; // Play: start frame; Seek: target frame
    float gain = 1.0f;      // Play, Volume
    int rateHz = 0;         // Play, Rate: file frames per second
};

constexpr int kCueKeys = 128; // one cue per MIDI note number

// A sound made ready by the control side so that a note can start it on a MIDI or audio
// thread without locks: a stream at its volume and rate. The control side owns it; the thread
// that fires it writes the voice it took, then hands it back through firedCue().
struct Cue
{
    StreamState* stream = nullptr;
    float gain = 1.0f;
    int rateHz = 0;
    std::uint16_t slot = 0;   // written when fired
    std::uint32_t serial = 0; // written when fired
};

// A note the audio thread reads with its frame in the block it renders (JACK MIDI).
struct NoteEvent
{
    int frame = 0;
    int key = 0;
    bool on = false;
    float gain = 1.0f;    // in: scales the cue's gain (a controller's velocity)
    bool handled = false; // out: a cued sound was started, or the key's sound faded, at frame
};

class Mixer final : public NoteStarter
{
  public:
    Mixer(int voices, int outputRate);
    ~Mixer() override;
    Mixer(const Mixer&) = delete;
    Mixer& operator=(const Mixer&) = delete;

    // Control thread, only while nothing renders: the device's rate, and its period, which is
    // also the delay from a note's arrival to its sound for notes that arrive off the audio
    // thread. Every output calls it once it knows its format.
    void useDevice(int rate, int periodFrames) noexcept;
    int outputRate() const { return outputRate_.load(std::memory_order_relaxed); }
    int voiceCount() const { return static_cast<int>(voices_.size()); }

    // control thread (one at a time); false when the queue is full. A Play or a Rate makes
    // the voice's filter for its rate first.
    bool post(const MixerCommand& command);
    std::uint64_t commandsPosted() const { return posted_; }

    // audio thread (see realtime.h): adds nothing but the voices, writing exactly frames stereo
    // frames.
    // `now` is the steady clock's time of the block (nanoseconds; below 0: read the clock);
    // `events`, sorted by frame, start and fade cued sounds at their frames.
    void render(float* out, int frames, std::int64_t now = -1, NoteEvent* events = nullptr,
                int eventCount = 0) noexcept;

    // ---- cues ----
    // control thread: publishes the key's cue (nullptr: none). `replaced` is the cue it
    // replaces, which no note took, for the caller to free. False, with nothing changed, while
    // a fired cue waits for firedCue().
    bool armCue(int key, Cue* cue, Cue*& replaced);
    // control thread: the cue a note fired, now the caller's again; nullptr when none did.
    Cue* firedCue(int key) noexcept;
    bool cueFired(int key) const noexcept;
    // control thread: a free voice that a note may take, with the serial it will play under.
    // It stays offered until a note takes it. Spares are made ready for every armed cue's rate.
    void offerSpare(int slot, std::uint32_t serial);
    // control thread: the voice that a Note Off of the key fades.
    void setSounding(int key, int slot, std::uint32_t serial) noexcept;
    // The serial of the last sound started on the slot.
    std::uint32_t playedSerial(int slot) const;

    // Any thread, several at once, real-time safe (see realtime.h): a note that arrived at
    // `arrival` (steady clock, nanoseconds) starts the key's cue, or fades its sound, a constant
    // delay later. True when it did; false leaves the note to the control side.
    bool noteAt(int key, bool on, std::int64_t arrival) noexcept override;
    bool startCueAt(int key, std::int64_t start) noexcept override;

    // any thread
    std::uint64_t commandsDone() const { return done_.load(std::memory_order_acquire); }
    std::uint32_t runningSerial(int slot) const;
    // The peak of each side since the previous call, after volume.
    void takePeaks(int slot, float& left, float& right);

  private:
    // A cue's start, copied when fired: the control side may take the cue back before the
    // start is due.
    struct Action
    {
        int frame = 0;
        std::int64_t time = 0;  // notes from MIDI threads: when they arrived
        bool atTime = false;    // time is the start itself, not an arrival
        std::uint64_t stop = 0; // fade this voice (slot << 32 | serial) first, 0 none
        MixerCommand play;      // then start this, when it is a Play
    };

    void apply(const MixerCommand& command) noexcept;
    void amendWaiting(const MixerCommand& command) noexcept;
    // Any thread: takes the key's cue and a spare voice; false leaves the action as it was.
    bool fire(int key, Action& action) noexcept;
    void gatherActions(int frames, std::int64_t now, NoteEvent* events, int eventCount) noexcept;
    void act(const Action& action) noexcept;
    void mixVoices(float* out, int frames) noexcept;

    std::vector<std::unique_ptr<Voice>> voices_;
    SpscQueue<MixerCommand> commands_;
    std::atomic<int> outputRate_;
    std::uint64_t posted_ = 0;
    std::uint64_t drained_ = 0;
    std::atomic<std::uint64_t> done_{0};

    // Per key: a Cue pointer, its lowest bit set once a note fired it; one atomic, so a cue
    // is armed, fired and taken back without a window between the steps.
    std::array<std::atomic<std::uintptr_t>, kCueKeys> cues_{};
    std::array<std::atomic<std::uint64_t>, kCueKeys> sounding_{};
    std::unique_ptr<std::atomic<std::uint32_t>[]> spares_; // per slot: serial, 0 not offered
    std::atomic<int> noteDelayFrames_{256};
    MpscQueue<Action> notes_;     // MIDI threads to the audio thread
    std::vector<Action> waiting_; // audio thread: notes due in a later block
    std::vector<Action> actions_; // audio thread
};

} // namespace sonarello::sound
