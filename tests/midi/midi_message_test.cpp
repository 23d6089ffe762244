// What each kind of short message shows and does: one table of messages, their display text
// and the row they start or stop. A Note On and Off and a controller are the MIDI device test's.
#include "midi/midi_message.h"

#include "midi/midi_service.h"

#include <gtest/gtest.h>

using namespace sonarello;

TEST(MidiMessage, GivesTheDisplayTextAndTheRowAction)
{
    using enum RowAction;
    const struct
    {
        int status, data1, data2;
        const char* text;
        RowAction action;
        int row;
    } cases[] = {
        {0x99, 36, 127, "C: 10 N: 36 T: 1 V: 127", Start, 1},
        {0x90, 37, 0, "C: 1 N: 37 T: 2 V: 0", Stop, 2},
        {0x85, 36, 64, "C: 6 N: 36 T: 1 V: 64", Stop, 1},
        {0x9F, 0, 1, "C: 16 N: 0 T:-35 V: 1", Start, -35},
        {0x90, 127, 127, "C: 1 N: 127 T: 92 V: 127", Start, 92},
        {0x90, 35, 5, "C: 1 N: 35 T: 0 V: 5", Start, 0},
        {0xC1, 4, 0, "Program Change  5 193", None, 0},
        {0xE0, 0, 64, "Bender Change 64", None, 0},
        {0xA0, 36, 100, "", None, 0}, // key pressure
        {0xD0, 50, 0, "", None, 0},   // channel pressure
        {0xF8, 0, 0, "", None, 0},    // a system message
        {0x24, 100, 0, "", None, 0},  // a data byte without its status
    };
    for (const auto& c : cases)
    {
        const MidiMeaning m = decodeMidiMessage(midi::packShortMessage(c.status, c.data1, c.data2));
        EXPECT_EQ(m.text, c.text) << std::hex << c.status << ' ' << c.data1 << ' ' << c.data2;
        EXPECT_EQ(m.action, c.action) << m.text;
        EXPECT_TRUE(c.action == RowAction::None || (m.row == c.row && m.note == c.data1)) << m.text;
    }
}
