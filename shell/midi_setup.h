// MIDI in the running player: the devices opened at start-up, each message handled whole
// under the program lock, the device choices of the Setup menu, the close at shutdown. GUI
// thread, except the message handler, which runs on the MIDI thread.
#pragma once

namespace sonarello
{

struct Program;

// Opens input device 0 (with the "Sonarello" virtual input) and output device 0.
void startMidi(Program& program);
// No message reaches the player after this; then the devices are closed.
void detachMidi(Program& program);
void closeMidi(Program& program);

// The "&Midi in" and "&Midi out" commands: a dialog lists the devices; a confirmed entry is
// announced and becomes the device in use.
void chooseMidiInDevice(Program& program);
void chooseMidiOutDevice(Program& program);

} // namespace sonarello
