// Outputs without a device: a clock that renders one period at a time at the wall clock's pace
// ("null"), and the same clock recording what it renders to a WAV file ("wav:FILE").
// Opened and closed on control threads; the clock's thread is the audio thread.
#pragma once

#include "engine/output.h"

#include <memory>
#include <string>

namespace sonarello::sound
{

// `wavPath` empty: nothing is written. nullptr with a reason in `error` when the file cannot
// be created.
std::unique_ptr<Output> openClockOutput(Mixer& mixer, int rate, int periodFrames,
                                        const std::string& wavPath, std::string& error);

} // namespace sonarello::sound
