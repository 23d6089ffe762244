// The audio of the player's JACK client as an engine output: out_1 and out_2 of the session.
// Opened and closed on control threads; JACK's process thread renders.
#pragma once

#include "engine/output.h"

#include <memory>
#include <string>

namespace sonarello::jack
{

// `connect`: out_1 and out_2 go to the system's playback ports. nullptr with a reason in
// `error` when no server answers.
std::unique_ptr<sound::Output> openJackOutput(sound::Mixer& mixer, bool connect, int periodFrames,
                                              std::string& error);

} // namespace sonarello::jack
