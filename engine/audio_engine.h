// The sound engine of the player: stream and channel tables over the mixer, the streamer
// thread, the output and its keeper. Control threads; every call takes the engine's lock.
#pragma once

#include "output.h"
#include "sound_engine.h"

#include <memory>

namespace sonarello::sound
{

class Mixer;
class Streamer;

// The engine with an output of `devices` chosen by EngineOptions::output; `devices` outlives it.
std::unique_ptr<SoundEngine> createAudioEngine(OutputDevices& devices);

// An engine without output or threads whose blocks the caller renders: tests and
// benchmarks drive it one period at a time.
class ManualEngine
{
  public:
    virtual ~ManualEngine() = default;
    virtual SoundEngine& engine() = 0;
    // Renders one block (audio thread's work), then fills the rings (streamer's work).
    virtual void render(float* out, int frames) = 0;
    virtual void renderOnly(float* out, int frames) = 0;
    virtual void fillRings() = 0;
    // The mixer, for blocks with notes at their frames or at a given time.
    virtual Mixer& mixer() = 0;
};

std::unique_ptr<ManualEngine> createManualEngine(int outputRate,
                                                 int channels = EngineOptions{}.channels);

} // namespace sonarello::sound
