// The MIDI service over RtMidi for the ALSA sequencer: the system's ports by number, the
// "Sonarello" virtual input, chosen devices found again by name when they return. Control
// threads; RtMidi's threads post to the dispatcher. Every RtMidi call is wrapped: its
// exceptions become "no port".
#pragma once

#include "midi/midi_service.h"

#include <memory>
#include <string_view>

namespace sonarello::midi
{

// True when the system has an ALSA sequencer.
bool sequencerExists();

// `api` "alsa", or "none" for a service that lists no port and opens nothing. Never fails:
// without a sequencer it behaves as "none".
std::unique_ptr<MidiService> createSequencerService(std::string_view api);

} // namespace sonarello::midi
