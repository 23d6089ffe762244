// OSC in the running player: the rows as the OSC thread reaches them, each call under the
// program lock, and the server started at start-up when --osc asked for it. Main thread, except
// the rows' calls (OSC thread).
#pragma once

namespace sonarello
{

struct Program;

// Nothing without --osc. Otherwise one line on standard error says where it listens, or why it
// cannot; the player plays on either way.
void startOsc(Program& program);
// No OSC message reaches a row after this; one line says what the counters counted.
void stopOsc(Program& program);

} // namespace sonarello
