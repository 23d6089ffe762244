#include "process.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <thread>

namespace sonarello::jack
{

namespace
{

bool stopsNote(midi::ShortMessage message) noexcept
{
    const midi::Note note = midi::noteOf(message);
    return note.isNote && !note.on;
}

} // namespace

void Process::attachMixer(sound::Mixer* mixer) noexcept
{
    mixer_.store(mixer, std::memory_order_seq_cst);
    if (mixer == nullptr)
        settle();
}

void Process::attachDispatcher(midi::MidiDispatcher* dispatcher, int slot) noexcept
{
    if (dispatcher != nullptr)
        slot_.store(slot, std::memory_order_relaxed);
    dispatcher_.store(dispatcher, std::memory_order_seq_cst);
    if (dispatcher == nullptr)
        settle();
}

// A cycle that began after the store above reads the new pointer (both are sequentially
// consistent), so only the ones counted here can still hold the old one.
void Process::settle() noexcept
{
    const std::uint64_t begun = begun_.load(std::memory_order_seq_cst);
    while (ended_.load(std::memory_order_acquire) < begun)
        std::this_thread::sleep_for(std::chrono::microseconds(100));
}

void Process::cycle(CycleIo& io, std::uint32_t frames) noexcept
{
    begun_.fetch_add(1, std::memory_order_seq_cst);
    midi::MidiDispatcher* d = dispatcher_.load(std::memory_order_seq_cst);
    sound::Mixer* m = mixer_.load(std::memory_order_seq_cst);
    const int count = d != nullptr ? readMidi(io, *d, m != nullptr) : 0;
    io.clearMidiOut();
    if (m != nullptr)
    {
        int noteCount = 0;
        for (int i = 0; i < count; ++i)
            noteCount += eventOf_[static_cast<std::size_t>(i)] >= 0 ? 1 : 0;
        render(io, *m, frames, noteCount);
    }
    if (count > 0)
        post(*d, count);
    ended_.fetch_add(1, std::memory_order_release);
}

// Reads midi_in into messages_; notes become events for the mixer when it renders here. What
// the dispatcher has no room for is dropped, Note Offs last: a row left sounding is worse than
// a controller's move missed.
int Process::readMidi(CycleIo& io, midi::MidiDispatcher& d, bool rendering) noexcept
{
    const int total = io.midiEventCount();
    const int room = std::min(kMaxCycleEvents, d.room(slot_.load(std::memory_order_relaxed)));
    int offsLeft = 0;
    std::uint32_t frame = 0;
    const std::uint8_t* bytes = nullptr;
    std::size_t size = 0;
    for (int i = 0; i < total; ++i)
        if (io.midiEvent(i, frame, bytes, size) && stopsNote(midi::shortMessageOf(bytes, size)))
            ++offsLeft;
    int count = 0, notes = 0;
    for (int i = 0; i < total && count < room; ++i)
    {
        if (!io.midiEvent(i, frame, bytes, size))
            continue;
        const std::uint32_t message = midi::shortMessageOf(bytes, size);
        if (message == 0)
            continue;
        const midi::Note n = midi::noteOf(message);
        const bool off = n.isNote && !n.on;
        offsLeft -= off ? 1 : 0;
        if (!off && room - count <= offsLeft)
            continue; // the room left is the Note Offs'
        const auto index = static_cast<std::size_t>(count++);
        messages_[index] = message;
        eventOf_[index] = -1;
        if (!rendering || !n.isNote)
            continue;
        sound::NoteEvent& note = events_[static_cast<std::size_t>(notes)];
        note.frame = static_cast<int>(frame);
        note.key = n.key;
        note.on = n.on;
        note.handled = false;
        eventOf_[index] = notes++;
    }
    return count;
}

void Process::render(CycleIo& io, sound::Mixer& m, std::uint32_t frames, int noteCount) noexcept
{
    float* left = io.audioOut(0);
    float* right = io.audioOut(1);
    const std::int64_t start = io.cycleStart();
    const double nsPerFrame = 1e9 / std::max(m.outputRate(), 1);
    for (std::uint32_t done = 0; done < frames;)
    {
        const auto n = std::min<std::uint32_t>(frames - done, kMaxFrames);
        const std::int64_t now = start < 0 ? -1 : start + std::llround(done * nsPerFrame);
        m.render(block_.data(), static_cast<int>(n), now, done == 0 ? events_.data() : nullptr,
                 done == 0 ? noteCount : 0);
        for (std::uint32_t i = 0; left != nullptr && right != nullptr && i < n; ++i)
        {
            left[done + i] = block_[2 * i];
            right[done + i] = block_[2 * i + 1];
        }
        done += n;
    }
}

void Process::post(midi::MidiDispatcher& d, int count) noexcept
{
    const int slot = slot_.load(std::memory_order_relaxed);
    for (int i = 0; i < count; ++i)
    {
        const int e = eventOf_[static_cast<std::size_t>(i)];
        std::uint32_t message = messages_[static_cast<std::size_t>(i)];
        if (e < 0)
        {
            d.post(slot, message, false);
            continue;
        }
        const sound::NoteEvent& note = events_[static_cast<std::size_t>(e)];
        if (note.on && note.handled)
            message |= midi::kStartedByNote;
        d.postStarted(slot, message, false);
    }
    d.wake();
}

} // namespace sonarello::jack
