// Any 32-bit word as a short MIDI message: notes start or stop the row 35 below them and
// show their four fields, the other kinds show their own text or nothing.
#include "fuzz_check.h"
#include "midi/midi_message.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

using namespace sonarello;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::uint32_t message = 0;
    std::memcpy(&message, data, size < sizeof message ? size : sizeof message);
    const MidiMeaning m = decodeMidiMessage(message);
    const std::uint32_t status = message & 0xFF;
    const int data1 = static_cast<int>(message >> 8 & 0xFF);
    const int data2 = static_cast<int>(message >> 16 & 0xFF);
    const std::string_view text = m.text;

    switch (status >> 4)
    {
    case 0x8:
    case 0x9:
        FUZZ_CHECK(m.note == data1 && m.row == data1 - kMidiRowOffset);
        FUZZ_CHECK(m.action ==
                   ((status >> 4) == 0x9 && data2 > 0 ? RowAction::Start : RowAction::Stop));
        FUZZ_CHECK(text.starts_with("C:") && text.find(" N:") != text.npos &&
                   text.find(" T:") != text.npos && text.find(" V:") != text.npos);
        break;
    case 0xB:
        FUZZ_CHECK(m.action == RowAction::None && text.starts_with("Controller Change"));
        break;
    case 0xC:
        FUZZ_CHECK(m.action == RowAction::None && text.starts_with("Program Change "));
        break;
    case 0xE:
        FUZZ_CHECK(m.action == RowAction::None && text.starts_with("Bender Change"));
        break;
    default: // pressure, system messages and stray data bytes
        FUZZ_CHECK(m.action == RowAction::None && text.empty());
        break;
    }
    return 0;
}
