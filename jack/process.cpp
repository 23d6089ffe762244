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

void LatePeriods::ended(std::uint32_t first, std::uint32_t frames, std::uint32_t gone) noexcept
{
    const auto ahead = static_cast<std::int32_t>(first - end_); // frames counts wrap
    if ((known_ && ahead > 0) || gone > frames)
        count_.fetch_add(1, std::memory_order_relaxed);
    known_ = true;
    end_ = first + frames;
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

void Process::attachRouting(midi::PadRouting* routing) noexcept
{
    routing_.store(routing, std::memory_order_seq_cst);
    if (routing == nullptr)
        settle();
}

bool Process::queueOut(const std::uint8_t* bytes, std::size_t size) noexcept
{
    if (size == 0 || size > kMaxOutBytes)
        return false;
    OutMessage message;
    message.size = static_cast<std::uint8_t>(size);
    std::copy(bytes, bytes + size, message.bytes.begin());
    return out_.push(message);
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
    midi::PadRouting* routing = routing_.load(std::memory_order_seq_cst);
    const int count = d != nullptr ? readMidi(io, *d, m != nullptr) : 0;
    io.clearMidiOut();
    writeQueued(io);
    if (m != nullptr)
    {
        int noteCount = 0;
        for (int i = 0; i < count; ++i)
            noteCount += eventOf_[static_cast<std::size_t>(i)] >= 0 ? 1 : 0;
        render(io, *m, frames, noteCount);
        if (routing != nullptr)
            writeLights(io, *routing, count);
    }
    if (count > 0)
        post(*d, count);
    std::uint32_t first = 0, gone = 0;
    if (io.cycleFrames(first, gone))
        late_.ended(first, frames, gone);
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
        frameOf_[index] = frame;
        if (!rendering || !n.isNote)
            continue;
        const midi::PadRouting* routing = routing_.load(std::memory_order_relaxed);
        const int key = routing != nullptr ? routing->cueKey(message) : n.key;
        if (key == midi::PadRouting::kNoKey)
            continue;
        sound::NoteEvent& note = events_[static_cast<std::size_t>(notes)];
        note.frame = static_cast<int>(frame);
        note.key = key;
        note.on = n.on;
        note.gain = routing != nullptr && n.on && routing->velocity.load(std::memory_order_relaxed)
                        ? midi::velocityGain(static_cast<int>(message >> 16 & 0x7F))
                        : 1.0f;
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

void Process::writeQueued(CycleIo& io) noexcept
{
    for (const OutMessage* m = out_.front(); m != nullptr; m = out_.front())
    {
        if (!io.writeMidiOut(0, m->bytes.data(), m->size))
            return; // the rest in the next cycle
        OutMessage done;
        out_.pop(done);
    }
}

// The light of each note that started or faded its row's sound, at the note's frame.
void Process::writeLights(CycleIo& io, midi::PadRouting& routing, int count) noexcept
{
    for (int i = 0; i < count; ++i)
    {
        const int e = eventOf_[static_cast<std::size_t>(i)];
        if (e < 0)
            continue;
        const sound::NoteEvent& note = events_[static_cast<std::size_t>(e)];
        const auto key = static_cast<std::size_t>(note.key);
        if (!note.handled || key >= routing.onLight.size())
            continue;
        const std::uint32_t light =
            (note.on ? routing.onLight : routing.offLight)[key].load(std::memory_order_acquire);
        const std::uint8_t bytes[midi::kMaxLightBytes] = {static_cast<std::uint8_t>(light),
                                                          static_cast<std::uint8_t>(light >> 8),
                                                          static_cast<std::uint8_t>(light >> 16)};
        const auto size = std::min<std::size_t>(light >> 24, midi::kMaxLightBytes);
        if (size > 0 && io.writeMidiOut(frameOf_[static_cast<std::size_t>(i)], bytes, size))
            routing.litByCycle[key].store(note.on ? midi::PadRouting::kLitOn
                                                  : midi::PadRouting::kLitOff,
                                          std::memory_order_release);
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
