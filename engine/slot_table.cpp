#include "slot_table.h"

#include "mixer.h"

#include <algorithm>

namespace sonarello::sound
{

namespace
{

constexpr std::uint32_t kMaxGeneration = (1u << (31 - kSlotBits)) - 1;

} // namespace

void SlotTable::reset(int count)
{
    slots_.assign(static_cast<std::size_t>(std::max(count, 0)), Slot{});
    spares_ = 0;
}

int SlotTable::findFree() const
{
    const auto free = std::find_if(slots_.begin(), slots_.end(),
                                   [](const Slot& s) { return !s.keep && !s.spare; });
    return free == slots_.end() ? -1 : static_cast<int>(free - slots_.begin());
}

std::uint32_t SlotTable::nextSerial()
{
    const std::uint32_t serial = nextSerial_++;
    if (nextSerial_ == 0)
        nextSerial_ = 1;
    return serial;
}

ChannelHandle SlotTable::handOut(Slot& s, int slot, std::uint32_t serial,
                                 std::shared_ptr<StreamState> stream)
{
    s.generation = s.generation >= kMaxGeneration ? 1 : s.generation + 1;
    s.serial = serial;
    s.keep = std::move(stream);
    return static_cast<ChannelHandle>(s.generation << kSlotBits | static_cast<std::uint32_t>(slot));
}

ChannelHandle SlotTable::give(int slot, std::uint32_t serial, std::shared_ptr<StreamState> stream)
{
    return handOut(at(slot), slot, serial, std::move(stream));
}

ChannelHandle SlotTable::takeSpare(int slot, std::uint32_t serial,
                                   std::shared_ptr<StreamState> stream)
{
    Slot& s = at(slot);
    s.spare = false;
    --spares_;
    return handOut(s, slot, serial, std::move(stream));
}

int SlotTable::slotOf(ChannelHandle channel) const
{
    if (channel <= 0)
        return -1;
    const int slot = channel & (kMaxSlots - 1);
    const auto generation = static_cast<std::uint32_t>(channel) >> kSlotBits;
    return slot < size() && at(slot).generation == generation ? slot : -1;
}

bool SlotTable::live(int slot, const Mixer& mixer) const
{
    const Slot& s = at(slot);
    // Played before running: a voice publishes the two in the other order.
    return s.keep &&
           (mixer.playedSerial(slot) != s.serial || mixer.runningSerial(slot) == s.serial);
}

void SlotTable::sweep(const Mixer& mixer)
{
    for (int i = 0; i < size(); ++i)
        if (at(i).keep && !live(i, mixer))
            at(i).keep.reset();
}

void SlotTable::offerSpares(Mixer& mixer, int count)
{
    for (int i = 0; i < size() && spares_ < count; ++i)
    {
        Slot& s = at(i);
        if (s.keep || s.spare)
            continue;
        s.spare = true;
        s.serial = nextSerial();
        mixer.offerSpare(i, s.serial);
        ++spares_;
    }
}

} // namespace sonarello::sound
