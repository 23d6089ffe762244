// Ownership of C library handles: a unique_ptr whose deleter calls the library's release.
// Any thread; the release runs where the owner dies.
#pragma once

#include <memory>

namespace sonarello
{

template <auto F> struct Deleter
{
    void operator()(auto* p) const noexcept { F(p); }
};

} // namespace sonarello
