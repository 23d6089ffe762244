// The MIDI service over the player's JACK client: every input arrives on Sonarello:midi_in,
// where the process callback reads it with each event's frame; a chosen device is a
// connection to midi_in (or from midi_out), kept by name and made again when it returns.
// Control threads; the process callback posts to the dispatcher.
#pragma once

#include "midi/midi_service.h"

#include <memory>

namespace sonarello::midi
{

std::unique_ptr<MidiService> createJackMidiService();

} // namespace sonarello::midi
