#include "midi/midi_message.h"

#include "base/text.h"

namespace sonarello
{
namespace
{

using text::numberText;

constexpr std::uint32_t kByte = 256;
constexpr std::uint32_t kTwoBytes = 65536;

enum Kind : int
{
    kNoteOff = 0x8,
    kNoteOn = 0x9,
    kKeyPressure = 0xA,
    kControlChange = 0xB,
    kProgramChange = 0xC,
    kChannelPressure = 0xD,
    kPitchBend = 0xE,
    kSystem = 0xF,
};

} // namespace

MidiMeaning decodeMidiMessage(std::uint32_t message)
{
    MidiMeaning meaning;
    const int status = static_cast<int>(message % kByte);
    const int data1 = static_cast<int>(message / kByte % kByte);
    const int data2 = static_cast<int>(message / kTwoBytes % kByte);
    // The two value texts take the whole upper part of the message, as the display always has.
    const auto upper = static_cast<std::int64_t>(message / kTwoBytes);
    const int channel = status % 16 + 1;

    switch (status / 16)
    {
    case kNoteOff:
    case kNoteOn:
        meaning.note = data1;
        meaning.row = data1 - kMidiRowOffset;
        meaning.action = midi::noteOf(message).on ? RowAction::Start : RowAction::Stop;
        meaning.text = "C:" + numberText(channel) + " N:" + numberText(data1) +
                       " T:" + numberText(meaning.row) + " V:" + numberText(data2);
        break;
    case kControlChange:
        meaning.text = "Controller Change" + numberText(upper);
        break;
    case kProgramChange:
        meaning.text = "Program Change " + numberText(data1 + 1) + numberText(status);
        break;
    case kPitchBend:
        meaning.text = "Bender Change" + numberText(upper);
        break;
    case kKeyPressure:
    case kChannelPressure:
    case kSystem:
    default: // data bytes without a status
        break;
    }
    return meaning;
}

} // namespace sonarello
