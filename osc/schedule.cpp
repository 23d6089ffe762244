#include "schedule.h"

#include <algorithm>

namespace sonarello::osc
{

namespace
{

constexpr std::int64_t kNtpToUnixSeconds = 2'208'988'800; // 1900 to 1970
constexpr double kFractionsPerSecond = 4294967296.0;      // 2^32

} // namespace

std::int64_t systemFromTimeTag(std::uint64_t tag)
{
    const auto seconds = static_cast<std::int64_t>(tag >> 32) - kNtpToUnixSeconds;
    const auto fraction = static_cast<double>(tag & 0xFFFFFFFFu) / kFractionsPerSecond;
    return seconds * kNsPerSecond + static_cast<std::int64_t>(fraction * kNsPerSecond);
}

std::uint64_t timeTagFromSystem(std::int64_t ns)
{
    const std::int64_t seconds = ns / kNsPerSecond;
    const std::int64_t rest = ns % kNsPerSecond;
    const auto fraction =
        static_cast<std::uint64_t>(static_cast<double>(rest) * kFractionsPerSecond / kNsPerSecond);
    return static_cast<std::uint64_t>(seconds + kNtpToUnixSeconds) << 32 | fraction;
}

When whenDue(std::uint64_t tag, std::int64_t systemNow, std::int64_t steadyNow,
             std::int64_t& steadyAt)
{
    if (tag <= kImmediately)
        return When::Now;
    const std::int64_t ahead = systemFromTimeTag(tag) - systemNow;
    if (ahead <= 0)
        return When::Now;
    if (ahead > kHorizonNs)
        return When::TooFar;
    steadyAt = steadyNow + ahead;
    return When::Later;
}

bool Schedule::add(const Action& action, std::int64_t due)
{
    if (waiting.size() >= kMaxWaiting)
        return false;
    const auto at = std::upper_bound(waiting.begin(), waiting.end(), due,
                                     [](std::int64_t d, const Waiting& w) { return d < w.due; });
    waiting.insert(at, Waiting{action, due, false, false});
    return true;
}

std::int64_t Schedule::nextWake() const
{
    std::int64_t wake = kNever;
    for (const Waiting& w : waiting)
        wake = std::min(wake, w.leadDone ? w.due : w.due - kCueLeadNs);
    return wake;
}

} // namespace sonarello::osc
