#include "feedback.h"

#include "base/raii.h"

#include <lo/lo_lowlevel.h>

#include <algorithm>
#include <memory>
#include <string>

namespace sonarello::osc
{

namespace
{

using Message = std::unique_ptr<void, Deleter<lo_message_free>>;

bool serialise(const Message& m, const std::string& path, std::vector<std::uint8_t>& bytes)
{
    if (!m)
        return false;
    std::size_t size = lo_message_length(m.get(), path.c_str());
    bytes.resize(size);
    return lo_message_serialise(m.get(), path.c_str(), bytes.data(), &size) != nullptr;
}

} // namespace

Subscriptions::Outcome Subscriptions::subscribe(Endpoint to, std::int64_t now)
{
    for (Subscriber& s : list)
        if (s.to == to)
        {
            s.renewed = now;
            return Outcome::Renewed;
        }
    if (list.size() >= kMaxSubscribers)
        return Outcome::Full;
    list.push_back({to, now, true});
    return Outcome::Added;
}

void Subscriptions::unsubscribe(Endpoint to)
{
    std::erase_if(list, [&](const Subscriber& s) { return s.to == to; });
}

void Subscriptions::lapse(std::int64_t now)
{
    std::erase_if(list,
                  [&](const Subscriber& s) { return now - s.renewed > kSubscriptionLapseNs; });
}

bool Subscriptions::anyOnHost(std::uint32_t address) const
{
    return std::any_of(list.begin(), list.end(),
                       [&](const Subscriber& s) { return s.to.address == address; });
}

bool stateMessage(int row, const RowState& state, std::vector<std::uint8_t>& bytes)
{
    const Message m{lo_message_new()};
    if (!m)
        return false;
    lo_message_add_int32(m.get(), state.playing ? 1 : 0);
    lo_message_add_int32(m.get(), state.loop ? 1 : 0);
    lo_message_add_string(m.get(), state.title.c_str());
    lo_message_add_float(m.get(), state.volume);
    lo_message_add_float(m.get(), state.speed);
    lo_message_add_float(m.get(), state.seconds);
    return serialise(m, std::string(kPrefix) + "row/" + std::to_string(row) + "/state", bytes);
}

bool errorMessage(std::string_view address, std::string_view reason,
                  std::vector<std::uint8_t>& bytes)
{
    const Message m{lo_message_new()};
    if (!m)
        return false;
    lo_message_add_string(m.get(), std::string(address).c_str());
    lo_message_add_string(m.get(), std::string(reason).c_str());
    return serialise(m, std::string(kPrefix) + "error", bytes);
}

bool countersMessage(std::span<const Count> counts, std::vector<std::uint8_t>& bytes)
{
    const Message m{lo_message_new()};
    if (!m)
        return false;
    for (const Count& c : counts)
    {
        lo_message_add_string(m.get(), c.name);
        lo_message_add_int64(m.get(), static_cast<std::int64_t>(c.value));
    }
    return serialise(m, std::string(kPrefix) + "counters", bytes);
}

} // namespace sonarello::osc
