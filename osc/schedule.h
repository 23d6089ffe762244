// Time tags: an OSC (NTP) instant mapped to the steady clock through the system clock read at
// receipt, and the actions of bundles waiting for their instant. OSC thread.
#pragma once

#include "osc/address_space.h"

#include <cstdint>
#include <limits>
#include <vector>

namespace sonarello::osc
{

constexpr std::int64_t kNsPerSecond = 1'000'000'000;
constexpr std::int64_t kHorizonNs = 10 * kNsPerSecond; // tags further ahead are refused
// Starts are handed to the engine this long before their instant, ahead of any output's period.
constexpr std::int64_t kCueLeadNs = 100'000'000;
constexpr std::size_t kMaxWaiting = 256;
constexpr std::int64_t kNever = std::numeric_limits<std::int64_t>::max();

// Nanoseconds since the Unix epoch of an NTP time tag, and back.
std::int64_t systemFromTimeTag(std::uint64_t tag);
std::uint64_t timeTagFromSystem(std::int64_t ns);

enum class When
{
    Now,    // "immediately", or an instant gone by
    Later,  // within the horizon: `steadyAt` is its instant on the steady clock
    TooFar, // beyond the horizon: refused
};
When whenDue(std::uint64_t tag, std::int64_t systemNow, std::int64_t steadyNow,
             std::int64_t& steadyAt);

struct Waiting
{
    Action action;
    std::int64_t due = 0;
    bool cued = false; // a start handed to the engine at its lead
    bool leadDone = false;
};

// The actions waiting for their instant, in order of instant and then of arrival.
class Schedule
{
  public:
    Schedule() { waiting.reserve(kMaxWaiting); }
    bool add(const Action& action, std::int64_t due); // false when full
    std::int64_t nextWake() const;                    // kNever when nothing waits
    std::size_t size() const { return waiting.size(); }

    // cue(action, due) -> bool for each start whose lead came (once), then act(action, cued)
    // for each action due, in order.
    template <class Cue, class Act> void run(std::int64_t now, Cue&& cue, Act&& act)
    {
        for (Waiting& w : waiting)
            if (!w.leadDone && w.due - kCueLeadNs <= now)
            {
                w.leadDone = true;
                w.cued = w.action.verb == Verb::Start && cue(w.action, w.due);
            }
        std::size_t done = 0;
        while (done < waiting.size() && waiting[done].due <= now)
        {
            act(waiting[done].action, waiting[done].cued);
            ++done;
        }
        waiting.erase(waiting.begin(), waiting.begin() + static_cast<std::ptrdiff_t>(done));
    }

  private:
    std::vector<Waiting> waiting;
};

} // namespace sonarello::osc
