// What a short MIDI message means to the player: the text of the MIDI message display and
// the row it starts or stops. Pure functions, any thread.
#pragma once

#include "midi/midi_service.h"

#include <cstdint>
#include <string>

namespace sonarello
{

constexpr int kMidiRowOffset = 35; // note 36 plays row 1; also the key of a row's cue

enum class RowAction
{
    None,
    Start,
    Stop,
};

struct MidiMeaning
{
    std::string text; // empty: the display keeps what it shows
    RowAction action = RowAction::None;
    int note = 0;
    int row = 0; // note - 35, also outside the grid (the rows ignore those)
};

// `message` is status | data1 << 8 | data2 << 16. Notes give "C: 1 N: 36 T: 1 V: 100";
// controllers, programs and bends only a text; pressure and system messages nothing.
MidiMeaning decodeMidiMessage(std::uint32_t message);

} // namespace sonarello
