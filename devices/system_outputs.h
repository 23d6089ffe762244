// Every output the player is built with, opened by kind for the engine: JACK (and PipeWire
// through its JACK library), PulseAudio, ALSA, the silent clock and the WAV recorder.
// Control threads.
#pragma once

#include "engine/output.h"
#include "engine/sound_engine.h"

#include <memory>

namespace sonarello::sound
{

OutputDevices& systemOutputs();

// The engine over the system's outputs.
std::unique_ptr<SoundEngine> createSystemEngine();

} // namespace sonarello::sound
