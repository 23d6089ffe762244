// The system's MIDI service chosen by --midi=: JACK MIDI through the player's JACK client or
// the ALSA sequencer. Control threads.
#pragma once

#include "midi/midi_service.h"

#include <memory>
#include <string_view>

namespace sonarello::midi
{

// `choice` is auto | alsa | jack | none (see chooseMidiApi). Never fails: where the system
// has no MIDI the service lists no port and its opens return kNoPort.
std::unique_ptr<MidiService> createMidiService(std::string_view choice);

} // namespace sonarello::midi
