// One JACK cycle's port buffers played by a test: the MIDI events on midi_in and the two audio
// outputs. Any thread, one cycle at a time.
#pragma once

#include "jack/process.h"

#include <array>
#include <vector>

namespace sonarello::test
{

class FakeCycle final : public jack::CycleIo
{
  public:
    struct Event
    {
        std::uint32_t frame = 0;
        std::array<std::uint8_t, 3> bytes{};
    };
    std::vector<Event> events;
    std::vector<float> left, right;

    explicit FakeCycle(std::size_t frames) : left(frames), right(frames) {}

    int midiEventCount() noexcept override { return static_cast<int>(events.size()); }
    bool midiEvent(int index, std::uint32_t& frame, const std::uint8_t*& bytes,
                   std::size_t& size) noexcept override
    {
        const Event& e = events[static_cast<std::size_t>(index)];
        frame = e.frame;
        bytes = e.bytes.data();
        size = e.bytes.size();
        return true;
    }
    float* audioOut(int side) noexcept override { return side == 0 ? left.data() : right.data(); }
    void clearMidiOut() noexcept override {}
};

} // namespace sonarello::test
