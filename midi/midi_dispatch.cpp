#include "midi/midi_dispatch.h"

#include "base/realtime_thread.h"
#include "base/steady_clock.h"
#include "midi/pad_routing.h"

#include <chrono>
#include <cstdio>
#include <exception>
#include <limits>

namespace sonarello::midi
{

MidiDispatcher::MidiDispatcher()
    : slots_(std::make_unique<std::array<Slot, kMaxInputSlots>>()), thread_([this] { run(); })
{
    setRunAhead(true);
}

void MidiDispatcher::setRunAhead(bool ahead)
{
    setRealtimePriority(thread_.native_handle(), ahead ? lowestRealtimePriority() : 0);
}

MidiDispatcher::~MidiDispatcher()
{
    stopping_.store(true);
    wake_.fetch_add(1, std::memory_order_release);
    wake_.notify_one();
    thread_.join();
}

void MidiDispatcher::setHandler(MessageHandler handler)
{
    std::lock_guard lock(handlerMutex_);
    handler_.swap(handler);
}

int MidiDispatcher::claimSlot()
{
    std::lock_guard lock(slotsMutex_);
    for (int i = 0; i < kMaxInputSlots; ++i)
    {
        Slot& slot = (*slots_)[static_cast<std::size_t>(i)];
        if (!slot.claimed)
        {
            slot.claimed = true;
            slot.started.store(false);
            return i;
        }
    }
    return -1;
}

void MidiDispatcher::releaseSlot(int slot)
{
    if (slot < 0 || slot >= kMaxInputSlots)
        return;
    std::lock_guard lock(slotsMutex_);
    Slot& s = (*slots_)[static_cast<std::size_t>(slot)];
    s.started.store(false);
    // Entries still queued carry the old generation and are dropped by the dispatch thread.
    s.generation.fetch_add(1, std::memory_order_release);
    s.claimed = false;
}

void MidiDispatcher::setStarted(int slot, bool started)
{
    if (slot >= 0 && slot < kMaxInputSlots)
        (*slots_)[static_cast<std::size_t>(slot)].started.store(started);
}

bool MidiDispatcher::started(int slot) const
{
    return slot >= 0 && slot < kMaxInputSlots &&
           (*slots_)[static_cast<std::size_t>(slot)].started.load();
}

void MidiDispatcher::setNoteStarter(sound::NoteStarter* starter)
{
    noteStarter_.store(starter, std::memory_order_release);
}

void MidiDispatcher::setPadRouting(const PadRouting* routing)
{
    routing_.store(routing, std::memory_order_release);
}

int MidiDispatcher::room(int slot) const noexcept
{
    if (slot < 0 || slot >= kMaxInputSlots)
        return 0;
    const Slot& s = (*slots_)[static_cast<std::size_t>(slot)];
    if (!s.started.load(std::memory_order_acquire))
        return 0;
    return static_cast<int>(s.queue.room());
}

// MIDI library thread
bool MidiDispatcher::post(int slot, ShortMessage message, bool wakeNow) noexcept
{
    sound::NoteStarter* starter = noteStarter_.load(std::memory_order_acquire);
    const Note note = noteOf(message);
    if (starter != nullptr && note.isNote && room(slot) > 0)
    {
        const auto arrival = steadyNs();
        const PadRouting* routing = routing_.load(std::memory_order_acquire);
        const int key = routing == nullptr ? note.key
                        : routing->velocity.load(std::memory_order_relaxed)
                            ? PadRouting::kNoKey
                            : routing->cueKey(message);
        if (key != PadRouting::kNoKey && starter->noteAt(key, note.on, arrival) && note.on)
            message |= kStartedByNote;
    }
    return postStarted(slot, message, wakeNow);
}

bool MidiDispatcher::postStarted(int slot, ShortMessage message, bool wakeNow) noexcept
{
    if (room(slot) <= 0)
        return false;
    Slot& s = (*slots_)[static_cast<std::size_t>(slot)];
    s.queue.push({nextOrder_.fetch_add(1, std::memory_order_relaxed), message,
                  s.generation.load(std::memory_order_acquire)});
    if (wakeNow)
        wake();
    return true;
}

void MidiDispatcher::wake() noexcept
{
    wakes_.fetch_add(1, std::memory_order_relaxed);
    wake_.fetch_add(1, std::memory_order_release);
    wake_.notify_one();
}

void MidiDispatcher::run()
{
    while (!stopping_.load())
    {
        const std::uint32_t seen = wake_.load(std::memory_order_acquire);
        while (!stopping_.load() && deliverOldest())
        {
        }
        wake_.wait(seen, std::memory_order_acquire);
    }
}

// Takes the oldest message of all inputs and hands it to the handler; false when every
// queue is empty.
bool MidiDispatcher::deliverOldest()
{
    auto findOldest = [this]
    {
        Slot* oldest = nullptr;
        std::uint64_t oldestOrder = std::numeric_limits<std::uint64_t>::max();
        for (Slot& s : *slots_)
        {
            const Entry* e = s.queue.front();
            if (e != nullptr && e->order < oldestOrder)
            {
                oldestOrder = e->order;
                oldest = &s;
            }
        }
        return oldest;
    };
    // A message posted to a queue already passed may be older than the one found; a second
    // look sees everything its sender posted before the one found.
    if (findOldest() == nullptr)
        return false;
    Slot* oldest = findOldest();

    Entry entry;
    oldest->queue.pop(entry);
    if (entry.generation != oldest->generation.load(std::memory_order_acquire) ||
        !oldest->started.load(std::memory_order_acquire))
        return true; // closed or stopped since it arrived

    std::lock_guard lock(handlerMutex_);
    if (handler_)
    {
        try
        {
            handler_(entry.message);
        }
        catch (const std::exception& e)
        {
            // A failing message must not end the dispatch of the ones after it.
            std::fprintf(stderr, "Sonarello: MIDI message %06X failed: %s\n",
                         entry.message & 0xFFFFFF, e.what());
        }
        catch (...)
        {
            std::fprintf(stderr, "Sonarello: MIDI message %06X failed\n", entry.message & 0xFFFFFF);
        }
    }
    return true;
}

} // namespace sonarello::midi
