// The mixer's voices as the control side hands them out: the stream each may still read, the
// generation that makes an old channel handle reach nothing, and the spares offered to notes.
// Control threads, under the engine's lock.
#pragma once

#include "engine/sound_engine.h"
#include "streamer.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace sonarello::sound
{

class Mixer;

constexpr int kSlotBits = 12; // a channel handle: generation << kSlotBits | slot
constexpr int kMaxSlots = 1 << kSlotBits;

class SlotTable
{
  public:
    void reset(int count);
    int size() const { return static_cast<int>(slots_.size()); }

    // A slot neither playing nor offered; -1 when every one is.
    int findFree() const;
    // The serial of the next sound, never 0.
    std::uint32_t nextSerial();
    // The slot now plays `serial` of `stream`, which it keeps alive while the voice may read
    // it: a new generation, and the channel handle that names it.
    ChannelHandle give(int slot, std::uint32_t serial, std::shared_ptr<StreamState> stream);
    // The same for a spare a note took.
    ChannelHandle takeSpare(int slot, std::uint32_t serial, std::shared_ptr<StreamState> stream);

    std::uint32_t serial(int slot) const { return at(slot).serial; }
    StreamState* stream(int slot) const { return at(slot).keep.get(); }
    // The slot a handle names while its generation is current, else -1.
    int slotOf(ChannelHandle channel) const;
    // The voice on the slot was asked to start and has not finished yet.
    bool live(int slot, const Mixer& mixer) const;
    // Frees the slots whose voices went silent; their stream memory goes here, off the audio
    // thread.
    void sweep(const Mixer& mixer);
    // Keeps `count` free voices offered to the notes that start cues.
    void offerSpares(Mixer& mixer, int count);

  private:
    struct Slot
    {
        std::uint32_t generation = 0;
        std::uint32_t serial = 0;
        bool spare = false;                // offered to the notes that start cues
        std::shared_ptr<StreamState> keep; // alive while the voice may read it
    };
    const Slot& at(int slot) const { return slots_[static_cast<std::size_t>(slot)]; }
    Slot& at(int slot) { return slots_[static_cast<std::size_t>(slot)]; }
    ChannelHandle handOut(Slot& s, int slot, std::uint32_t serial,
                          std::shared_ptr<StreamState> stream);

    std::vector<Slot> slots_;
    std::uint32_t nextSerial_ = 1;
    int spares_ = 0;
};

} // namespace sonarello::sound
