// The one lock of the whole player: row operations, MIDI messages, timer ticks and every
// toolkit call hold it. Any thread; recursive, as row code calls the toolkit while holding it.
#pragma once

#include <mutex>

namespace sonarello
{

using ProgramLock = std::recursive_mutex;

} // namespace sonarello
