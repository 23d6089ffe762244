// The MIDI service for the ALSA sequencer: ports by number, the "Sonarello" input, chosen
// devices reopened by name. Control threads; RtMidi's and the observer's threads inside.
#pragma once

#include "midi/midi_service.h"

#include <memory>
#include <string_view>

namespace sonarello::midi
{

// True when the system has an ALSA sequencer.
bool sequencerExists();

// `api` "alsa", or "none" for a service that lists no port and opens nothing. Never fails:
// without a sequencer it behaves as "none", and RtMidi's exceptions become "no port".
std::unique_ptr<MidiService> createSequencerService(std::string_view api);

} // namespace sonarello::midi
