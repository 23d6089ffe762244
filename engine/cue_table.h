// The cue armed on each MIDI key: a stream made ready at its volume and rate that a note starts
// on the audio or a MIDI thread, owned here while the mixer may fire it. Control threads, under
// the engine's lock.
#pragma once

#include "engine/sound_engine.h"
#include "mixer.h"

#include <array>
#include <memory>
#include <vector>

namespace sonarello::sound
{

class CueTable
{
  public:
    void clear();

    // Publishes `cue` on the key with its stream (nullptr clears the key). The streams no longer
    // cued are added to `unused`, for the caller to close. False, with nothing changed but
    // `stream` added to `unused`, while a cue a note fired waits to be taken.
    bool arm(Mixer& mixer, int key, std::unique_ptr<Cue> cue, StreamHandle stream,
             std::vector<StreamHandle>& unused);
    // The cue a note fired on the key, taken out of the table: its stream and the voice it
    // started. False when no note fired it.
    bool takeFired(Mixer& mixer, int key, StreamHandle& stream, int& slot, std::uint32_t& serial);

  private:
    struct Entry
    {
        std::unique_ptr<Cue> cue; // armed, or fired and waiting to be taken
        StreamHandle stream = kNoStream;
    };
    std::array<Entry, kCueKeys> entries_;
};

} // namespace sonarello::sound
