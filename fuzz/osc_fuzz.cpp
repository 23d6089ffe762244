// Any bytes as an OSC datagram: the reader never fails, every action names a row of the grid
// and a value its verb takes, and a datagram asks for at most kMaxMessagesPerPacket things.
#include "fuzz_check.h"
#include "osc/address_space.h"

#include <cstddef>
#include <cstdint>

using namespace sonarello::osc;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    constexpr Limits kGrid{72, 3000};
    static Packet packet;
    readPacket(data, size, kGrid, packet);
    FUZZ_CHECK(packet.actions.size() + packet.refusals.size() <= kMaxMessagesPerPacket + 1);
    for (const Action& a : packet.actions)
    {
        FUZZ_CHECK(a.row >= 0 && a.row <= kGrid.rows);
        if (a.verb == Verb::Volume || a.verb == Verb::Speed)
            FUZZ_CHECK(a.value >= 0 && a.value <= 100);
        if (a.verb == Verb::File)
            FUZZ_CHECK(a.value >= 1 && a.value <= kGrid.files);
        if (a.verb == Verb::Position)
            FUZZ_CHECK(a.value >= 0);
    }
    for (const Refusal& r : packet.refusals)
        FUZZ_CHECK(r.address.size() <= kMaxReportedAddress);
    return 0;
}
