// What each kind of short message shows and does.
#include "midi/midi_message.h"

#include "platform/midi/midi_service.h"

#include <gtest/gtest.h>

#include <ostream>

namespace sonarello
{
namespace
{

using midi::packShortMessage;

struct Case
{
    int status, data1, data2;
    const char* text;
    RowAction action;
    int row;
};

void PrintTo(const Case& c, std::ostream* os)
{
    *os << std::hex << c.status << ' ' << c.data1 << ' ' << c.data2;
}

class MidiMessageDecoding : public ::testing::TestWithParam<Case>
{
};

TEST_P(MidiMessageDecoding, GivesTheDisplayTextAndTheRowAction)
{
    const Case& c = GetParam();
    const MidiMeaning m = decodeMidiMessage(packShortMessage(c.status, c.data1, c.data2));
    EXPECT_EQ(m.text, c.text);
    EXPECT_EQ(m.action, c.action);
    if (c.action != RowAction::None)
    {
        EXPECT_EQ(m.row, c.row);
        EXPECT_EQ(m.note, c.data1);
    }
}

constexpr auto kNone = RowAction::None;
constexpr auto kStart = RowAction::Start;
constexpr auto kStop = RowAction::Stop;

INSTANTIATE_TEST_SUITE_P(
    EveryKind, MidiMessageDecoding,
    ::testing::Values(Case{0x90, 36, 100, "C: 1 N: 36 T: 1 V: 100", kStart, 1},
                      Case{0x99, 36, 127, "C: 10 N: 36 T: 1 V: 127", kStart, 1},
                      Case{0x90, 37, 0, "C: 1 N: 37 T: 2 V: 0", kStop, 2},
                      Case{0x85, 36, 64, "C: 6 N: 36 T: 1 V: 64", kStop, 1},
                      Case{0x80, 36, 0, "C: 1 N: 36 T: 1 V: 0", kStop, 1},
                      Case{0x9F, 0, 1, "C: 16 N: 0 T:-35 V: 1", kStart, -35},
                      Case{0x90, 127, 127, "C: 1 N: 127 T: 92 V: 127", kStart, 92},
                      Case{0x90, 35, 5, "C: 1 N: 35 T: 0 V: 5", kStart, 0},
                      Case{0x90, 20, 5, "C: 1 N: 20 T:-15 V: 5", kStart, -15},
                      Case{0xB0, 7, 100, "Controller Change 100", kNone, 0},
                      Case{0xC1, 4, 0, "Program Change  5 193", kNone, 0},
                      Case{0xE0, 0, 64, "Bender Change 64", kNone, 0},
                      Case{0xA0, 36, 50, "", kNone, 0},     // key pressure
                      Case{0xD0, 50, 0, "", kNone, 0},      // channel pressure
                      Case{0xF8, 0, 0, "", kNone, 0},       // clock
                      Case{0xFE, 0, 0, "", kNone, 0},       // active sensing
                      Case{0xF0, 0x7E, 0x7F, "", kNone, 0}, // system exclusive
                      Case{0x24, 100, 0, "", kNone, 0}));   // data bytes of a running status

} // namespace
} // namespace sonarello
