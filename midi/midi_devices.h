// MIDI input and output of the player: the open devices, the notes that start and stop rows,
// and the device lists of the choice dialogs. Main thread, except onMidiInput (MIDI thread).
#pragma once

#include "midi/midi_service.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace sonarello
{

// A failed close of the MIDI output pauses the caller this long.
constexpr std::chrono::milliseconds kFailedOutputCloseWait{1000};

// What MIDI input does to the main window; the player runs each call under its program lock.
struct MidiRowTarget
{
    virtual ~MidiRowTarget() = default;
    virtual void showMidiText(const std::string& text) = 0;
    // Rows outside the grid are ignored. startedByNote: the note already started the row's cue.
    virtual void startRow(int row, bool startedByNote) = 0;
    virtual void stopRow(int row) = 0;
};

struct MidiState
{
    std::unique_ptr<midi::MidiService> service; // none: no MIDI at all
    int MidiInDevice = 0;
    int MidiOutDevice = 0;
    midi::PortHandle MidiInHandle = midi::kNoPort;
    midi::PortHandle MidiOutHandle = midi::kNoPort; // kept after a close
    int LastMidiNote = 0;                           // MIDI thread only
    int LastMidiOn = 0;                             // 1 = start, 0 = stop
};

// 1 when the device was opened; 0 when it failed or an input is already open.
int openMidiInput(MidiState& state, int device);
// 1 when the service accepted; called even after a failed open, which it refuses.
int startMidiInput(MidiState& state);
// 1 when the input was stopped and closed; otherwise the handle stays as it was.
int closeMidiInput(MidiState& state);

// Silent on failure; the output is only held open, nothing is sent to it.
void openMidiOutput(MidiState& state, int device);
// Waits kFailedOutputCloseWait when the service refuses the close.
void closeMidiOutput(MidiState& state);

// After a choice in a device dialog, the old device already closed: the chosen number
// becomes the device in use and is opened (and the input started). For the output the
// number the service reports for the open port is kept, the chosen one when the open failed.
void selectMidiInDevice(MidiState& state, int device);
void selectMidiOutDevice(MidiState& state, int device);

// One message, completely: the display first, then the row's start or stop. MIDI thread.
void onMidiInput(MidiState& state, std::uint32_t message, MidiRowTarget& target);

// The entries of a device dialog's list: " 0 name", " 1 name", ... in device order.
std::vector<std::string> deviceListEntries(const std::vector<std::string>& names);
// The device number at the start of an entry: leading blanks skipped, then the digits up to
// the first other character (0 when there is none).
int deviceNumberFromEntry(std::string_view entry);

} // namespace sonarello
