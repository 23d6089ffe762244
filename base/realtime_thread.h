// Scheduling classes of the player's threads: the outputs' render threads ask for the
// real-time class, the MIDI dispatch thread for the lowest real-time priority. Any thread.
#pragma once

#include <pthread.h>

namespace sonarello
{

// The priority of a thread that renders sound, below JACK's own (which is usually 80 or more).
constexpr int kRenderPriority = 70;

// Puts `thread` in SCHED_FIFO at `priority` (0: back to the ordinary class). Where the system
// refuses, the thread keeps the class it had; false says so. Real-time safe.
bool setRealtimePriority(pthread_t thread, int priority) noexcept;

// The lowest real-time priority: ahead of every ordinary thread, behind every audio thread.
int lowestRealtimePriority() noexcept;

} // namespace sonarello
