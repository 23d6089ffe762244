// Tiny sizes for a smoke run: with SONARELLO_BENCH_SMOKE set, each benchmark runs in a second
// or two so the suite shows that it still builds and runs; its figures then mean nothing.
#pragma once

#include <cstdlib>

namespace sonarello::bench
{

inline bool smoke()
{
    return std::getenv("SONARELLO_BENCH_SMOKE") != nullptr;
}

template <typename T> T sized(T full, T tiny)
{
    return smoke() ? tiny : full;
}

} // namespace sonarello::bench
