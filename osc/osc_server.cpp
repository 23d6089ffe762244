#include "osc_server.h"

#include "osc/feedback.h"
#include "osc/schedule.h"

#include "base/steady_clock.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>

namespace sonarello::osc
{

namespace
{

constexpr int kPacketsPerWake = 256; // then the schedule and the tick get their turn
constexpr std::int64_t kMaxWaitNs = 50'000'000;
// Once a flood spends the bucket, the socket rests this long: what comes meanwhile waits in the
// system's buffer, or the system drops it, with no work of ours.
constexpr std::int64_t kFloodRestNs = 20'000'000;

std::int64_t systemNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// The socket, closed with its owner.
struct Socket
{
    int fd = -1;
    Socket() = default;
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    ~Socket()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

// A rate over time: take() is false once the burst is spent faster than the rate refills it.
struct Bucket
{
    double tokens = kPacketBurst;
    std::int64_t last = 0;
    bool take(std::int64_t now)
    {
        tokens = std::min(kPacketBurst,
                          tokens + static_cast<double>(now - last) * kPacketsPerSecond / 1e9);
        last = now;
        if (tokens < 1)
            return false;
        tokens -= 1;
        return true;
    }
};

// late: the sound output's late periods, which are no count of OSC's but tell a show controller
// whether the audio kept up.
std::array<Count, 10> counts(const Counters& c, std::uint64_t late)
{
    auto v = [](const std::atomic<std::uint64_t>& n) { return n.load(std::memory_order_relaxed); };
    return {{{"received", v(c.received)},
             {"acted", v(c.acted)},
             {"not_allowed", v(c.notAllowed)},
             {"flooded", v(c.flooded)},
             {"oversized", v(c.oversized)},
             {"malformed", v(c.malformed)},
             {"refused", v(c.refused)},
             {"too_far", v(c.tooFar)},
             {"replies", v(c.replies)},
             {"late_periods", late}}};
}

} // namespace

struct OscServer::Loop
{
    Loop(RowTarget& t, Counters& c) : target(t), count(c) {}

    RowTarget& target;
    Counters& count;
    Socket socket;
    AllowList allow;
    Limits limits;
    std::array<std::uint8_t, kMaxPacketBytes> buffer{};
    Packet packet;
    Schedule schedule;
    Subscriptions subscriptions;
    std::vector<RowState> states, sent;
    std::vector<std::uint8_t> out;
    Bucket bucket;
    std::vector<int> fading; // rows /sonarello/stop fades out
    std::int64_t fadeStart = 0;
    std::int64_t nextTick = 0;
    std::int64_t restUntil = 0;      // a flood: the socket is not read before then
    std::uint32_t systemDropped = 0; // what the system dropped of the socket's so far

    void run(const std::atomic<bool>& stopping)
    {
        nextTick = steadyNs();
        bucket.last = nextTick;
        while (!stopping.load(std::memory_order_relaxed))
        {
            std::int64_t now = steadyNs();
            if (restUntil != 0 && now >= restUntil)
                restUntil = 0;
            const bool resting = restUntil != 0;
            std::int64_t wake =
                std::min({nextTick, schedule.nextWake(), fading.empty() ? kNever : now,
                          resting ? restUntil : now + kMaxWaitNs});
            pollfd p{resting ? -1 : socket.fd, POLLIN, 0}; // -1: poll only waits
            const auto ms =
                static_cast<int>((std::max<std::int64_t>(0, wake - now) + 999'999) / 1'000'000);
            if (::poll(&p, 1, ms) > 0)
                receive();
            now = steadyNs();
            schedule.run(
                now,
                [&](const Action& a, std::int64_t due) { return target.cueStartAt(a.row, due); },
                [&](const Action& a, bool cued)
                {
                    std::scoped_lock lock(target);
                    perform(a, cued, {});
                });
            fade(now);
            if (now >= nextTick)
            {
                tick(now);
                nextTick = std::max(nextTick + kTickNs, now);
            }
        }
    }

    void receive()
    {
        for (int i = 0; i < kPacketsPerWake && restUntil == 0; ++i)
        {
            sockaddr_in from{};
            iovec data{buffer.data(), buffer.size()};
            alignas(cmsghdr) std::array<char, CMSG_SPACE(sizeof(std::uint32_t))> control{};
            msghdr m{};
            m.msg_name = &from;
            m.msg_namelen = sizeof from;
            m.msg_iov = &data;
            m.msg_iovlen = 1;
            m.msg_control = control.data();
            m.msg_controllen = control.size();
            const ssize_t n = ::recvmsg(socket.fd, &m, MSG_DONTWAIT | MSG_TRUNC);
            if (n < 0)
                return;
            noteSystemDrops(m);
            if (from.sin_family != AF_INET)
                continue;
            datagram(static_cast<std::size_t>(n),
                     Endpoint{ntohl(from.sin_addr.s_addr), ntohs(from.sin_port)});
        }
    }

    // Packets the system dropped while the socket's buffer was full (a flood while the socket
    // rested) count as flooded.
    void noteSystemDrops(msghdr& m)
    {
        for (cmsghdr* c = CMSG_FIRSTHDR(&m); c != nullptr; c = CMSG_NXTHDR(&m, c))
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_RXQ_OVFL)
            {
                std::uint32_t total = 0;
                std::memcpy(&total, CMSG_DATA(c), sizeof total);
                count.flooded.fetch_add(total - systemDropped, std::memory_order_relaxed);
                systemDropped = total;
            }
    }

    void datagram(std::size_t size, Endpoint from)
    {
        count.received.fetch_add(1, std::memory_order_relaxed);
        if (!allow.allows(from.address))
            return void(count.notAllowed.fetch_add(1, std::memory_order_relaxed));
        const std::int64_t now = steadyNs();
        if (!bucket.take(now))
        {
            restUntil = now + kFloodRestNs;
            return void(count.flooded.fetch_add(1, std::memory_order_relaxed));
        }
        if (size > buffer.size())
            return void(count.oversized.fetch_add(1, std::memory_order_relaxed));
        readPacket(buffer.data(), size, limits, packet);
        for (const Refusal& r : packet.refusals)
        {
            (r.fault == Fault::Malformed ? count.malformed : count.refused)
                .fetch_add(1, std::memory_order_relaxed);
            reportError(from, r.address, faultText(r.fault));
        }
        if (packet.actions.empty())
            return;
        // One instant on both clocks: the time tag's steady instant moves with no work between.
        const auto [system, steady] = readBesideSteady(systemNs);
        std::scoped_lock lock(target);
        for (const Action& a : packet.actions)
        {
            std::int64_t due = 0;
            const When when = whenDue(a.timeTag, system, steady, due);
            if (when == When::Now)
                perform(a, false, from);
            else if (when == When::TooFar || !schedule.add(a, due))
            {
                count.tooFar.fetch_add(1, std::memory_order_relaxed);
                reportError(from, {},
                            when == When::TooFar ? "time tag beyond the horizon"
                                                 : "too many bundles waiting");
            }
        }
    }

    void send(Endpoint to)
    {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(to.address);
        address.sin_port = htons(to.port);
        if (::sendto(socket.fd, out.data(), out.size(), MSG_DONTWAIT,
                     reinterpret_cast<const sockaddr*>(&address), sizeof address) >= 0)
            count.replies.fetch_add(1, std::memory_order_relaxed);
    }

    // To the subscribers on the sender's host: the clients that asked for replies.
    void reportError(Endpoint from, std::string_view address, std::string_view reason)
    {
        if (!subscriptions.anyOnHost(from.address) || !errorMessage(address, reason, out))
            return;
        for (const Subscriber& s : subscriptions.all())
            if (s.to.address == from.address)
                send(s.to);
    }

    // The reply address of a message: the port it named, else the port it came from.
    static Endpoint replyTo(Endpoint from, const Action& a)
    {
        return {from.address, a.value > 0 ? static_cast<std::uint16_t>(a.value) : from.port};
    }

    void perform(const Action& a, bool cued, Endpoint from)
    {
        count.acted.fetch_add(1, std::memory_order_relaxed);
        switch (a.verb)
        {
        case Verb::Start:
            return target.startRow(a.row, cued);
        case Verb::Stop:
            return target.stopRow(a.row);
        case Verb::Toggle:
            return target.toggleRow(a.row);
        case Verb::Loop:
            return target.setLoop(a.row, a.value != 0);
        case Verb::Volume:
            return target.setVolume(a.row, static_cast<float>(a.value));
        case Verb::Speed:
            return target.setSpeed(a.row, static_cast<float>(a.value));
        case Verb::Position:
            return target.setPosition(a.row, a.value);
        case Verb::File:
            return target.setFile(a.row, static_cast<int>(a.value));
        case Verb::Next:
            return target.stepFile(a.row, +1);
        case Verb::Previous:
            return target.stepFile(a.row, -1);
        case Verb::State:
            target.rowStates(states);
            if (stateMessage(a.row, states[static_cast<std::size_t>(a.row)], out))
                send(replyTo(from, a));
            return;
        case Verb::StopAll:
            fading.clear();
            for (int row = 1; row <= limits.rows; ++row)
                if (target.playing(row))
                    fading.push_back(row);
            fadeStart = steadyNs();
            return;
        case Verb::Panic:
            fading.clear();
            for (int row = 1; row <= limits.rows; ++row)
                target.stopRow(row);
            return;
        case Verb::Subscribe:
            if (subscriptions.subscribe(replyTo(from, a), steadyNs()) ==
                Subscriptions::Outcome::Full)
            {
                count.refused.fetch_add(1, std::memory_order_relaxed);
                if (errorMessage("/sonarello/subscribe", "too many subscribers", out))
                    send(replyTo(from, a));
            }
            return;
        case Verb::Unsubscribe:
            return subscriptions.unsubscribe(replyTo(from, a));
        case Verb::Counters:
            if (countersMessage(counts(count, target.latePeriods()), out))
                send(replyTo(from, a));
            return;
        }
    }

    void fade(std::int64_t now)
    {
        if (fading.empty())
            return;
        const double share = 1.0 - static_cast<double>(now - fadeStart) / kStopFadeNs;
        std::scoped_lock lock(target);
        for (int row : fading)
            if (share > 0)
                target.fadeRow(row, static_cast<float>(share));
            else
                target.stopRow(row);
        if (share <= 0)
            fading.clear();
    }

    // Every row to a new subscriber, the rows that changed to all.
    void tick(std::int64_t now)
    {
        subscriptions.lapse(now);
        if (subscriptions.all().empty())
            return;
        target.rowStates(states);
        sent.resize(states.size());
        for (std::size_t row = 1; row < states.size(); ++row)
        {
            const bool changed = !(states[row] == sent[row]);
            bool built = false;
            for (const Subscriber& s : subscriptions.all())
                if (changed || s.fresh)
                {
                    built = built || stateMessage(static_cast<int>(row), states[row], out);
                    if (built)
                        send(s.to);
                }
            if (changed)
                sent[row] = states[row];
        }
        for (Subscriber& s : subscriptions.all())
            s.fresh = false;
    }
};

OscServer::OscServer(RowTarget& t) : target(t) {}

OscServer::~OscServer()
{
    stop();
}

bool OscServer::start(const OscOptions& options, std::string& error)
{
    auto l = std::make_unique<Loop>(target, count);
    l->allow = options.allow;
    l->limits = target.limits();
    l->states.reserve(static_cast<std::size_t>(l->limits.rows) + 1);
    l->socket.fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(options.port));
    std::uint32_t host = 0;
    if (!parseIPv4(options.address, host))
    {
        error = "not an IPv4 address: " + options.address;
        return false;
    }
    address.sin_addr.s_addr = htonl(host);
    if (l->socket.fd < 0 ||
        ::bind(l->socket.fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
    {
        error = "cannot listen for OSC on " + options.address + ":" + std::to_string(options.port) +
                ": " + std::strerror(errno);
        return false;
    }
    const int on = 1;
    ::setsockopt(l->socket.fd, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on);
    socklen_t size = sizeof address;
    ::getsockname(l->socket.fd, reinterpret_cast<sockaddr*>(&address), &size);
    boundPort = ntohs(address.sin_port);
    loop = std::move(l);
    stopping = false;
    thread = std::thread([this] { loop->run(stopping); });
    return true;
}

void OscServer::stop()
{
    stopping = true;
    if (thread.joinable())
        thread.join();
    loop.reset();
}

std::string OscServer::countersText() const
{
    std::string text;
    for (const Count& c : counts(count, target.latePeriods()))
        text += std::string(text.empty() ? "" : ", ") + c.name + " " + std::to_string(c.value);
    return text;
}

} // namespace sonarello::osc
