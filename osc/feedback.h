// Feedback to OSC clients: the subscriptions (renewed, lapsing, limited in number) and the
// messages sent to them, serialised by liblo. OSC thread.
#pragma once

#include "osc/address_space.h"
#include "osc/row_target.h"

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace sonarello::osc
{

constexpr std::size_t kMaxSubscribers = 8;
constexpr std::int64_t kSubscriptionLapseNs = 60'000'000'000; // without a renewal

// An IPv4 address and port, host order.
struct Endpoint
{
    std::uint32_t address = 0;
    std::uint16_t port = 0;
    bool operator==(const Endpoint&) const = default;
};

struct Subscriber
{
    Endpoint to;
    std::int64_t renewed = 0;
    bool fresh = true; // gets every row at the next tick
};

class Subscriptions
{
  public:
    enum class Outcome
    {
        Added,
        Renewed,
        Full,
    };
    Subscriptions() { list.reserve(kMaxSubscribers); }
    Outcome subscribe(Endpoint to, std::int64_t now);
    void unsubscribe(Endpoint to);
    // Drops the subscriptions not renewed for kSubscriptionLapseNs.
    void lapse(std::int64_t now);
    // A client asked for replies when it subscribed from the sender's host.
    bool anyOnHost(std::uint32_t address) const;
    std::vector<Subscriber>& all() { return list; }

  private:
    std::vector<Subscriber> list;
};

struct Count
{
    const char* name;
    std::uint64_t value;
};

// The messages, written into `bytes` (resized); false when liblo could not build one.
// /sonarello/row/N/state iisfff: playing, loop, title, volume, speed, seconds.
bool stateMessage(int row, const RowState& state, std::vector<std::uint8_t>& bytes);
// /sonarello/error ss: the refused address and the reason.
bool errorMessage(std::string_view address, std::string_view reason,
                  std::vector<std::uint8_t>& bytes);
// /sonarello/counters followed by name (s) and value (h) pairs.
bool countersMessage(std::span<const Count> counts, std::vector<std::uint8_t>& bytes);

} // namespace sonarello::osc
