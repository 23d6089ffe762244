// The output to the desktop's sound server over libpulse (PulseAudio, and PipeWire's
// pipewire-pulse). Opened and closed on control threads; libpulse's main loop thread renders.
#pragma once

#include "engine/output.h"

#include <memory>
#include <string>

namespace sonarello::sound
{

// A stream on the default sink whose buffer is about four periods; it plays at the server's
// rate. nullptr with a reason in `error` when no server answers.
std::unique_ptr<Output> openPulseOutput(Mixer& mixer, int askedRate, int periodFrames,
                                        std::string& error);

} // namespace sonarello::sound
