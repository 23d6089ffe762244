#include "process.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace sonarello::jack
{

namespace
{

constexpr std::uint32_t kNoteOff = 0x80;
constexpr std::uint32_t kNoteOn = 0x90;

bool isNote(std::uint32_t message) noexcept
{
    const std::uint32_t kind = message & 0xF0;
    return kind == kNoteOff || kind == kNoteOn;
}

// A Note Off, or a Note On at velocity 0: what stops a row.
bool isNoteOff(std::uint32_t message) noexcept
{
    return (message & 0xF0) == kNoteOff || ((message & 0xF0) == kNoteOn && (message >> 16) == 0);
}

} // namespace

std::uint32_t shortMessage(const std::uint8_t* bytes, std::size_t size) noexcept
{
    if (size == 0 || size > 3)
        return 0;
    const std::uint8_t status = bytes[0];
    if (status < 0x80 || status == 0xF0 || status == 0xF1 || status == 0xF8 || status == 0xFE)
        return 0;
    std::uint32_t message = status;
    for (std::size_t i = 1; i < size; ++i)
        message |= static_cast<std::uint32_t>(bytes[i]) << (8 * i);
    return message;
}

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
        if (io.midiEvent(i, frame, bytes, size) && isNoteOff(shortMessage(bytes, size)))
            ++offsLeft;
    int count = 0, notes = 0;
    for (int i = 0; i < total && count < room; ++i)
    {
        if (!io.midiEvent(i, frame, bytes, size))
            continue;
        const std::uint32_t message = shortMessage(bytes, size);
        if (message == 0)
            continue;
        const bool off = isNoteOff(message);
        offsLeft -= off ? 1 : 0;
        if (!off && room - count <= offsLeft)
            continue; // the room left is the Note Offs'
        const auto index = static_cast<std::size_t>(count++);
        messages_[index] = message;
        eventOf_[index] = -1;
        if (!rendering || !isNote(message))
            continue;
        sound::NoteEvent& note = events_[static_cast<std::size_t>(notes)];
        note.frame = static_cast<int>(frame);
        note.key = static_cast<int>(message >> 8 & 0x7F);
        note.on = !off;
        note.handled = false;
        eventOf_[index] = notes++;
    }
    return count;
}

void Process::render(CycleIo& io, sound::Mixer& m, std::uint32_t frames, int noteCount) noexcept
{
    float* left = io.audioOut(0);
    float* right = io.audioOut(1);
    for (std::uint32_t done = 0; done < frames;)
    {
        const auto n = std::min<std::uint32_t>(frames - done, kMaxFrames);
        m.render(block_.data(), static_cast<int>(n), -1, done == 0 ? events_.data() : nullptr,
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
