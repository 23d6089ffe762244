// The steady clock in nanoseconds, and another clock read at the same instant as it, for the
// offset between the two. Any thread, real-time safe (a clock read, no lock or allocation).
#pragma once

#include <chrono>
#include <cstdint>
#include <utility>

namespace sonarello
{

inline std::int64_t steadyNs() noexcept
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// `read()` and the steady clock halfway between two readings around it, so that no work or
// preemption between two far-apart readings shifts the offset between the clocks.
template <class Read> auto readBesideSteady(Read read) noexcept(noexcept(read()))
{
    const std::int64_t before = steadyNs();
    auto value = read();
    return std::pair{value, before + (steadyNs() - before) / 2};
}

} // namespace sonarello
