// The output to an ALSA PCM over libasound. Opened and closed on control threads; a thread of
// its own renders.
#pragma once

#include "engine/output.h"

#include <memory>
#include <string>

namespace sonarello::sound
{

// The PCM `device` with a buffer of two periods, at the asked rate or the nearest the device
// takes without ALSA's resampler. A PCM that never blocks is paced by the steady clock.
std::unique_ptr<Output> openAlsaOutput(Mixer& mixer, const std::string& device, int askedRate,
                                       int periodFrames, std::string& error);

} // namespace sonarello::sound
