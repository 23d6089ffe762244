// Carries short messages from the MIDI library's threads to the player: one lock-free queue
// per open input, filled by the library's callback, emptied in arrival order by our thread.
#pragma once

#include "base/spsc_queue.h"
#include "midi/midi_service.h"

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

namespace sonarello::midi
{

constexpr int kMaxInputSlots = 16;               // open inputs at once, virtual port included
constexpr std::size_t kSlotQueueCapacity = 4096; // messages waiting per input: a JACK buffer

// Owns the MIDI dispatch thread: it calls the handler for every posted message, one at a
// time, oldest first across all inputs.
class MidiDispatcher
{
  public:
    MidiDispatcher();
    ~MidiDispatcher();
    MidiDispatcher(const MidiDispatcher&) = delete;
    MidiDispatcher& operator=(const MidiDispatcher&) = delete;

    // Returns once the previous handler is no longer running. Never call it while holding a
    // lock that the handler takes.
    void setHandler(MessageHandler handler);

    // Control threads. A slot is claimed stopped; releasing it drops what is still queued.
    // At most one thread posts to a slot at a time (its library callback).
    int claimSlot(); // -1 when every slot is taken
    void releaseSlot(int slot);
    void setStarted(int slot, bool started);
    bool started(int slot) const;

    // A note waits for this thread to set its row's cue again: where the system allows it,
    // the thread runs ahead of ordinary work (a busy machine) and below every audio thread,
    // unless told not to. It starts ahead.
    void setRunAhead(bool ahead);

    // Where notes start cued sounds as they are posted (MIDI that arrives off the audio
    // thread); nullptr for none.
    void setNoteStarter(sound::NoteStarter* starter);
    // A controller's pads: their notes start their rows' cues (nullptr: the note is the key).
    // With velocity on, pads' notes are left to the control side, which starts them at their
    // velocity's gain.
    void setPadRouting(const PadRouting* routing);

    // MIDI library thread: never locks, allocates or calls user code. A note first goes to
    // the note starter, which marks it kStartedByNote when it started a sound. False when the
    // slot is stopped or its queue is full (the message is dropped). `wakeNow` false leaves
    // the dispatch thread asleep until wake(): a caller that posts many messages at once (a
    // JACK cycle) wakes it once.
    bool post(int slot, ShortMessage message, bool wakeNow = true) noexcept;
    // The same without the note starter: the caller (the audio thread) has already acted.
    bool postStarted(int slot, ShortMessage message, bool wakeNow = true) noexcept;
    void wake() noexcept;
    // How many times the dispatch thread was woken (a system call each).
    std::uint64_t wakes() const noexcept { return wakes_.load(std::memory_order_relaxed); }
    // How many posts to the slot would be taken now (0 while it is stopped); only the slot's
    // one producer may rely on it.
    int room(int slot) const noexcept;

  private:
    struct Entry
    {
        std::uint64_t order = 0;
        ShortMessage message = 0;
        std::uint32_t generation = 0;
    };
    struct Slot
    {
        SpscQueue<Entry> queue{kSlotQueueCapacity}; // the input's callback to our thread
        std::atomic<std::uint32_t> generation{0};
        std::atomic<bool> started{false};
        bool claimed = false; // under slotsMutex_
    };

    void run();
    bool deliverOldest();

    std::unique_ptr<std::array<Slot, kMaxInputSlots>> slots_;
    std::mutex slotsMutex_;
    std::atomic<std::uint64_t> nextOrder_{0};
    std::atomic<std::uint32_t> wake_{0};
    std::atomic<std::uint64_t> wakes_{0};
    std::atomic<bool> stopping_{false};
    std::atomic<sound::NoteStarter*> noteStarter_{nullptr};
    std::atomic<const PadRouting*> routing_{nullptr};
    std::mutex handlerMutex_;
    MessageHandler handler_;
    std::thread thread_;
};

} // namespace sonarello::midi
