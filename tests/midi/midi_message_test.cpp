// What each kind of short message shows and does: exact texts for a table of cases, and the
// rules of every kind over every status and first data byte.
#include "midi/midi_message.h"

#include "midi/midi_service.h"

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
                      Case{0xB0, 7, 100, "Controller Change 100", kNone, 0},
                      Case{0xC1, 4, 0, "Program Change  5 193", kNone, 0},
                      Case{0xE0, 0, 64, "Bender Change 64", kNone, 0},
                      Case{0xD0, 50, 0, "", kNone, 0})); // channel pressure

// Notes start (velocity above 0) or stop the row 35 below them and show their four fields;
// controllers, programs and bends show their own text; pressure, system messages and stray
// data bytes show nothing and do nothing.
TEST(MidiMessageRules, HoldForEveryMessage)
{
    for (int status = 0; status < 256; ++status)
        for (int data1 = 0; data1 < 256; ++data1)
            for (int data2 : {0, 1, 64, 127, 128, 255})
            {
                const MidiMeaning m = decodeMidiMessage(packShortMessage(status, data1, data2));
                const int kind = status >> 4;
                const bool note = kind == 0x8 || kind == 0x9;
                const RowAction action = !note                      ? RowAction::None
                                         : kind == 0x9 && data2 > 0 ? RowAction::Start
                                                                    : RowAction::Stop;
                const char* prefix = note          ? "C: "
                                     : kind == 0xB ? "Controller Change "
                                     : kind == 0xC ? "Program Change "
                                     : kind == 0xE ? "Bender Change "
                                                   : "";
                ASSERT_EQ(m.action, action) << status << ' ' << data1 << ' ' << data2;
                ASSERT_TRUE(m.text.starts_with(prefix) && m.text.empty() == !*prefix) << m.text;
                if (note)
                {
                    ASSERT_TRUE(m.note == data1 && m.row == data1 - kMidiRowOffset) << m.text;
                }
            }
}

} // namespace
} // namespace sonarello
