// The OSC socket and its thread: datagrams received where the user asked, senders checked
// against the allow-list, a flood held back, actions run on the rows under the program lock,
// bundles waiting for their time tag, and the feedback of each tick. start() and stop() on
// the main thread; everything else on the OSC thread; the counters any thread.
#pragma once

#include "osc/allow_list.h"
#include "osc/row_target.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

namespace sonarello::osc
{

constexpr std::size_t kMaxPacketBytes = 8192;     // larger datagrams are dropped unread
constexpr double kPacketsPerSecond = 2000;        // from all senders together; more is a flood
constexpr double kPacketBurst = 500;              // taken at once before the rate holds
constexpr std::int64_t kTickNs = 100'000'000;     // feedback, as the row timer
constexpr std::int64_t kStopFadeNs = 250'000'000; // /sonarello/stop

struct OscOptions
{
    std::string address{kDefaultAddress};
    int port = kDefaultPort;
    AllowList allow;
};

struct Counters
{
    std::atomic<std::uint64_t> received{0};   // datagrams
    std::atomic<std::uint64_t> acted{0};      // messages carried out
    std::atomic<std::uint64_t> notAllowed{0}; // datagrams from senders off the allow-list
    std::atomic<std::uint64_t> flooded{0};    // datagrams past the rate
    std::atomic<std::uint64_t> oversized{0};  // datagrams past kMaxPacketBytes
    std::atomic<std::uint64_t> malformed{0};  // datagrams or elements liblo could not read
    std::atomic<std::uint64_t> refused{0};    // messages: unknown, wrong, no such row, too many
    std::atomic<std::uint64_t> tooFar{0};     // messages past the horizon or with no room to wait
    std::atomic<std::uint64_t> replies{0};    // messages sent back
};

class OscServer
{
  public:
    explicit OscServer(RowTarget& target);
    ~OscServer();
    OscServer(const OscServer&) = delete;
    OscServer& operator=(const OscServer&) = delete;

    // Binds the socket and starts the thread; false with the reason.
    bool start(const OscOptions& options, std::string& error);
    void stop();
    int port() const { return boundPort; }
    const Counters& counters() const { return count; }
    // "received N, acted N, ..." for the line at shutdown.
    std::string countersText() const;

  private:
    struct Loop;
    RowTarget& target;
    Counters count;
    int boundPort = 0;
    std::unique_ptr<Loop> loop;
    std::atomic<bool> stopping{false};
    std::thread thread;
};

} // namespace sonarello::osc
