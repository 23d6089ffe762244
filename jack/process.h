// The JACK client's process callback: reads midi_in with each event's frame, starts notes' cues
// at their frame while the mixer renders into out_1 and out_2, and posts every message to the
// MIDI dispatcher. cycle() is the audio thread; attach and detach are control threads.
#pragma once

#include "base/spsc_queue.h"
#include "engine/mixer.h"
#include "midi/midi_dispatch.h"
#include "midi/pad_routing.h"

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

namespace sonarello::jack
{

// What one cycle reads and writes: JACK's port buffers, or a test's own.
class CycleIo
{
  public:
    virtual ~CycleIo() = default;
    virtual int midiEventCount() noexcept = 0;
    // False when the event cannot be read.
    virtual bool midiEvent(int index, std::uint32_t& frame, const std::uint8_t*& bytes,
                           std::size_t& size) noexcept = 0;
    // Where the cycle writes a side (0 left, 1 right); nullptr where the port is missing.
    virtual float* audioOut(int side) noexcept = 0;
    virtual void clearMidiOut() noexcept = 0;
    // After clearMidiOut, frames in order; false when midi_out has no room or no port.
    virtual bool writeMidiOut(std::uint32_t, const std::uint8_t*, std::size_t) noexcept
    {
        return false;
    }
    // The steady clock's time of the cycle's first frame as the server reckons it (nanoseconds),
    // so that an instant maps to the frame the server plays it at; below 0 when unknown.
    virtual std::int64_t cycleStart() noexcept { return -1; }
    // The cycle's first frame on the server's count, and the frames of it gone by now; false
    // where the server cannot tell.
    virtual bool cycleFrames(std::uint32_t& /*first*/, std::uint32_t& /*gone*/) noexcept
    {
        return false;
    }
};

// The player's own late periods: a cycle it ended after the cycle's time was up, or one it never
// ran (the next began further on than the last one's end). A server that starts again counts
// from 0: a count going back is a new server, not a late period. Audio thread; read anywhere.
class LatePeriods
{
  public:
    void ended(std::uint32_t first, std::uint32_t frames, std::uint32_t gone) noexcept;
    std::uint64_t count() const noexcept { return count_.load(std::memory_order_relaxed); }

  private:
    bool known_ = false;
    std::uint32_t end_ = 0;
    std::atomic<std::uint64_t> count_{0};
};

// A message a control thread sends through midi_out: a controller's light or mode change.
constexpr std::size_t kMaxOutBytes = 64;
struct OutMessage
{
    std::uint8_t size = 0;
    std::array<std::uint8_t, kMaxOutBytes> bytes{};
};
constexpr std::size_t kOutQueueCapacity = 512; // every pad of a grid set twice over

// The most MIDI events one cycle takes: more than a JACK MIDI buffer of a normal period holds.
constexpr int kMaxCycleEvents = 4096;

class Process
{
  public:
    // Control threads. What a cycle uses is read once at its start; a detach (nullptr) returns
    // only once no cycle uses what it replaced, so the caller may free it then. A cycle never
    // blocks, so the wait is short; with the server gone no cycle runs and it returns at once.
    void attachMixer(sound::Mixer* mixer) noexcept;
    void attachDispatcher(midi::MidiDispatcher* dispatcher, int slot) noexcept;
    // A controller's pads: the cues their notes start and the lights a start or stop writes
    // to midi_out at the note's frame (nullptr: the note number is the cue key, no light).
    void attachRouting(midi::PadRouting* routing) noexcept;
    // Control threads, one at a time: queued for midi_out, written at the start of a cycle.
    // False when the queue is full or the message too long.
    bool queueOut(const std::uint8_t* bytes, std::size_t size) noexcept;
    // True once every queued message was written (or the queue was dropped with its server).
    bool outDrained() const noexcept { return out_.front() == nullptr; }
    // Any thread.
    std::uint64_t latePeriods() const noexcept { return late_.count(); }

    // Audio thread (see engine/realtime.h): takes no lock, allocates nothing, and wakes the
    // dispatch thread at most once.
    void cycle(CycleIo& io, std::uint32_t frames) noexcept;

  private:
    int readMidi(CycleIo& io, midi::MidiDispatcher& d, bool rendering) noexcept;
    void render(CycleIo& io, sound::Mixer& m, std::uint32_t frames, int noteCount) noexcept;
    void post(midi::MidiDispatcher& d, int count) noexcept;
    void writeQueued(CycleIo& io) noexcept;
    void writeLights(CycleIo& io, midi::PadRouting& routing, int count) noexcept;
    void settle() noexcept;

    std::atomic<sound::Mixer*> mixer_{nullptr};
    std::atomic<midi::MidiDispatcher*> dispatcher_{nullptr};
    std::atomic<int> slot_{-1};
    std::atomic<midi::PadRouting*> routing_{nullptr};
    SpscQueue<OutMessage> out_{kOutQueueCapacity};
    LatePeriods late_;
    // Cycles begun and ended: a detach waits for the ones begun before it to end.
    std::atomic<std::uint64_t> begun_{0};
    std::atomic<std::uint64_t> ended_{0};

    static constexpr std::size_t kMaxFrames = 8192; // longer cycles render in pieces
    std::array<float, kMaxFrames * 2> block_{};
    std::array<sound::NoteEvent, kMaxCycleEvents> events_{};
    std::array<std::uint32_t, kMaxCycleEvents> messages_{};
    std::array<int, kMaxCycleEvents> eventOf_{};
    std::array<std::uint32_t, kMaxCycleEvents> frameOf_{};
};

} // namespace sonarello::jack
