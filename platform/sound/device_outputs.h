// The outputs to the desktop's sound servers and devices: PulseAudio (and pipewire-pulse) over
// libpulse, ALSA over libasound. Opened and closed on control threads; each has its own thread.
#pragma once

#include "output.h"

#include <memory>
#include <string>

namespace sonarello::sound
{

// A stream on the default sink whose buffer is about two periods; it plays at the server's
// rate. nullptr with a reason in `error` when no server answers.
std::unique_ptr<Output> openPulseOutput(Mixer& mixer, int askedRate, int periodFrames,
                                        std::string& error);

// The PCM `device` with a buffer of two periods, at the asked rate or the nearest the device
// takes without ALSA's resampler. A PCM that never blocks is paced by the steady clock.
std::unique_ptr<Output> openAlsaOutput(Mixer& mixer, const std::string& device, int askedRate,
                                       int periodFrames, std::string& error);

} // namespace sonarello::sound
