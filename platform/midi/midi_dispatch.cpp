#include "platform/midi/midi_dispatch.h"

#include <limits>

namespace sonarello::midi
{

MidiDispatcher::MidiDispatcher()
    : slots_(std::make_unique<std::array<Slot, kMaxInputSlots>>()), thread_([this] { run(); })
{
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

// MIDI library thread
bool MidiDispatcher::post(int slot, ShortMessage message) noexcept
{
    if (slot < 0 || slot >= kMaxInputSlots)
        return false;
    Slot& s = (*slots_)[static_cast<std::size_t>(slot)];
    if (!s.started.load(std::memory_order_acquire))
        return false;
    const std::size_t head = s.head.load(std::memory_order_relaxed);
    if (head - s.tail.load(std::memory_order_acquire) == kSlotQueueCapacity)
        return false;
    s.entries[head & (kSlotQueueCapacity - 1)] = {
        nextOrder_.fetch_add(1, std::memory_order_relaxed), message,
        s.generation.load(std::memory_order_acquire)};
    s.head.store(head + 1, std::memory_order_release);
    wake_.fetch_add(1, std::memory_order_release);
    wake_.notify_one();
    return true;
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
            const std::size_t tail = s.tail.load(std::memory_order_relaxed);
            if (tail == s.head.load(std::memory_order_acquire))
                continue;
            const Entry& e = s.entries[tail & (kSlotQueueCapacity - 1)];
            if (e.order < oldestOrder)
            {
                oldestOrder = e.order;
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

    const std::size_t tail = oldest->tail.load(std::memory_order_relaxed);
    const Entry entry = oldest->entries[tail & (kSlotQueueCapacity - 1)];
    oldest->tail.store(tail + 1, std::memory_order_release);
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
        catch (...)
        {
            // A failing message must not end the dispatch of the ones after it.
        }
    }
    return true;
}

} // namespace sonarello::midi
