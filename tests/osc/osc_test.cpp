#include "osc/address_space.h"
#include "osc/allow_list.h"
#include "osc/feedback.h"
#include "osc/osc_server.h"
#include "osc/schedule.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <lo/lo_lowlevel.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

using namespace sonarello::osc;

namespace
{

constexpr Limits kGrid{12, 20};

// A message as liblo writes it, with one argument of `type` i, f or s (the word), or none.
std::vector<std::uint8_t> message(const char* path, char type = 0, double number = 0,
                                  const char* word = "")
{
    lo_message m = lo_message_new();
    if (type == 'i')
        lo_message_add_int32(m, static_cast<int>(number));
    else if (type == 'f')
        lo_message_add_float(m, static_cast<float>(number));
    else if (type == 's')
        lo_message_add_string(m, word);
    std::size_t size = lo_message_length(m, path);
    std::vector<std::uint8_t> bytes(size);
    lo_message_serialise(m, path, bytes.data(), &size);
    lo_message_free(m);
    return bytes;
}

// A bundle of `elements`, nested `depth` deep: sizes and the tag big-endian.
std::vector<std::uint8_t> bundle(std::uint64_t tag, std::vector<std::vector<std::uint8_t>> elements,
                                 int depth = 1)
{
    std::vector<std::uint8_t> b;
    for (int level = 0; level < depth; ++level, elements = {b}) // innermost first
    {
        b = {'#', 'b', 'u', 'n', 'd', 'l', 'e', 0};
        for (int shift = 56; shift >= 0; shift -= 8)
            b.push_back(static_cast<std::uint8_t>(tag >> shift));
        for (const auto& e : elements)
        {
            for (int shift = 24; shift >= 0; shift -= 8)
                b.push_back(static_cast<std::uint8_t>(e.size() >> shift));
            b.insert(b.end(), e.begin(), e.end());
        }
    }
    return b;
}

Packet read(const std::vector<std::uint8_t>& bytes)
{
    Packet p;
    readPacket(bytes.data(), bytes.size(), kGrid, p);
    return p;
}

// Rows that do nothing: the server's counters tell what it did.
struct IdleRows final : RowTarget
{
    void lock() override {}
    void unlock() override {}
    Limits limits() override { return kGrid; }
    void startRow(int, bool) override {}
    void stopRow(int) override {}
    void toggleRow(int) override {}
    void setLoop(int, bool) override {}
    void setVolume(int, float) override {}
    void setSpeed(int, float) override {}
    void setPosition(int, double) override {}
    void setFile(int, int) override {}
    void stepFile(int, int) override {}
    bool playing(int) override { return false; }
    void fadeRow(int, float) override {}
    bool cueStartAt(int, std::int64_t) override { return false; }
    void rowStates(std::vector<RowState>&) override {}
};

} // namespace

TEST(OscAddressSpace, EachAddressIsOneActionOrOneRefusal)
{
    struct Case
    {
        std::vector<std::uint8_t> bytes;
        int actions; // 1 action, 0 ignored, -1 refused
        Verb verb;
        int row;
        double value;
        Fault fault;
    };
    const Case cases[] = {
        {message("/sonarello/row/12/stop", 'f', 1), 1, Verb::Stop, 12, 1, {}},
        {message("/sonarello/row/3/start", 'f', 0), 0, {}, 0, 0, {}}, // a button's release
        {message("/sonarello/row/2/toggle"), 1, Verb::Toggle, 2, 0, {}},
        {message("/sonarello/row/2/loop", 'i', 2), -1, {}, 0, 0, Fault::WrongArguments},
        {message("/sonarello/row/2/loop"), -1, {}, 0, 0, Fault::WrongArguments},
        {message("/sonarello/row/4/volume", 'i', 50), 1, Verb::Volume, 4, 50, {}},
        {message("/sonarello/row/4/volume", 'f', 140), 1, Verb::Volume, 4, 100, {}},
        {message("/sonarello/row/4/volume", 's', 0, "loud"), -1, {}, 0, 0, Fault::WrongArguments},
        {message("/sonarello/row/5/speed", 'f', 62.5), 1, Verb::Speed, 5, 62.5, {}},
        {message("/sonarello/row/5/position", 'f', 1.5), 1, Verb::Position, 5, 1.5, {}},
        {message("/sonarello/row/5/file", 'i', 20), 1, Verb::File, 5, 20, {}},
        {message("/sonarello/row/5/file", 'i', 21), -1, {}, 0, 0, Fault::WrongArguments},
        {message("/sonarello/row/5/file", 'f', 2.5), -1, {}, 0, 0, Fault::WrongArguments},
        {message("/sonarello/row/6/next"), 1, Verb::Next, 6, 0, {}},
        {message("/sonarello/row/6/state", 'i', 9000), 1, Verb::State, 6, 9000, {}},
        {message("/sonarello/row/13/start"), -1, {}, 0, 0, Fault::NoSuchRow},
        {message("/sonarello/row/0/start"), -1, {}, 0, 0, Fault::NoSuchRow},
        {message("/sonarello/row/x/start"), -1, {}, 0, 0, Fault::UnknownAddress},
        {message("/sonarello/row/1/play"), -1, {}, 0, 0, Fault::UnknownAddress},
        {message("/sonarello/stop"), 1, Verb::StopAll, 0, 0, {}},
        {message("/sonarello/subscribe", 'i', 70000), -1, {}, 0, 0, Fault::WrongArguments},
        {{'/', 's', 0}, -1, {}, 0, 0, Fault::Malformed},
        {{'n', 'o', 't', 0, 'o', 's', 'c', 0}, -1, {}, 0, 0, Fault::Malformed},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(std::string(c.bytes.begin(),
                                 c.bytes.begin() + std::min<std::size_t>(24, c.bytes.size())));
        const Packet p = read(c.bytes);
        ASSERT_EQ(p.actions.size(), c.actions == 1 ? 1u : 0u);
        ASSERT_EQ(p.refusals.size(), c.actions < 0 ? 1u : 0u);
        if (c.actions == 1)
        {
            EXPECT_EQ(p.actions[0].verb, c.verb);
            EXPECT_EQ(p.actions[0].row, c.row);
            EXPECT_DOUBLE_EQ(p.actions[0].value, c.value);
        }
        for (const Refusal& r : p.refusals)
            EXPECT_EQ(r.fault, c.fault);
    }
}

TEST(OscAddressSpace, BundlesCarryTheirTagsAndHostileFramesAreRefused)
{
    const auto start = [](int row)
    { return message(("/sonarello/row/" + std::to_string(row) + "/start").c_str()); };
    Packet p = read(bundle(77, {start(1), bundle(88, {start(2)}), start(3)}));
    ASSERT_EQ(p.actions.size(), 3u);
    EXPECT_EQ(p.actions[0].timeTag, 77u);
    EXPECT_EQ(p.actions[1].timeTag, 88u) << "the innermost bundle's tag";
    EXPECT_EQ(p.actions[2].row, 3);

    EXPECT_EQ(read(bundle(1, {start(1)}, kMaxBundleDepth)).actions.size(), 1u);
    EXPECT_EQ(read(bundle(1, {start(1)}, kMaxBundleDepth + 1)).refusals.at(0).fault,
              Fault::TooDeep);
    EXPECT_EQ(read(bundle(1, {start(1)}, 2000)).refusals.at(0).fault, Fault::TooDeep);

    std::vector<std::vector<std::uint8_t>> many(kMaxMessagesPerPacket + 10, start(1));
    p = read(bundle(1, many));
    EXPECT_EQ(p.actions.size(), kMaxMessagesPerPacket);
    EXPECT_EQ(p.refusals.back().fault, Fault::TooMany);

    auto whole = bundle(1, {start(1), start(2)});
    // Every truncation on 4-byte steps: a cut on an element's end is a shorter bundle, any
    // other is refused; none reads past the cut.
    for (std::size_t cut = 4; cut < whole.size(); cut += 4)
    {
        p = read({whole.begin(), whole.begin() + static_cast<long>(cut)});
        EXPECT_LT(p.actions.size(), 2u) << cut;
        EXPECT_EQ(p.refusals.empty(), cut == 16 || cut == whole.size() / 2 + 8) << cut;
    }
    whole[19] = 0xFF; // an element longer than the bundle
    EXPECT_EQ(read(whole).refusals.at(0).fault, Fault::Malformed);
}

TEST(OscAllowList, NetworksAndListenAddresses)
{
    AllowList list;
    std::string error;
    ASSERT_TRUE(parseAllowList("127.0.0.1,10.1.0.0/16", list, error));
    std::uint32_t a = 0;
    for (auto [text, allowed] :
         {std::pair{"127.0.0.1", true}, {"10.1.200.3", true}, {"10.2.0.1", false}})
    {
        ASSERT_TRUE(parseIPv4(text, a));
        EXPECT_EQ(list.allows(a), allowed) << text;
    }
    for (const char* bad : {"", "127.0.0.1,", "10.0.0.0/33", "host", "1.2.3.4/x"})
        EXPECT_FALSE(parseAllowList(bad, list, error)) << bad;
    EXPECT_TRUE(AllowList{}.allows(a)) << "no list: everyone";

    std::string address;
    int port = 0;
    // The default, a whole address and a bad port or host are the command line's cases.
    for (auto [text, wantAddress, wantPort] :
         {std::tuple{"9000", "127.0.0.1", 9000}, {"127.0.0.5:0", "127.0.0.5", 0}})
    {
        ASSERT_TRUE(parseListenAddress(text, address, port, error)) << text;
        EXPECT_EQ(address, wantAddress);
        EXPECT_EQ(port, wantPort);
    }
    for (const char* bad : {"1.2.3.4:", ":"})
        EXPECT_FALSE(parseListenAddress(bad, address, port, error)) << bad;
}

// A tag's instant is played in tests/e2e (a bundle on its frame), the horizon in the server's
// test below.
TEST(OscTimeTags, PastTagsAreDueNowAndStartsAreCuedAtTheirLead)
{
    const std::int64_t system = 1'700'000'000 * kNsPerSecond + 123'456'789;
    std::int64_t at = 0;
    EXPECT_EQ(whenDue(kImmediately, system, 5, at), When::Now);
    EXPECT_EQ(whenDue(timeTagFromSystem(system - 1000), system, 5, at), When::Now);

    Schedule s;
    Action start{Verb::Start, 1, 0, 0};
    Action stop{Verb::Stop, 2, 0, 0};
    ASSERT_TRUE(s.add(stop, 2000'000'000));
    ASSERT_TRUE(s.add(start, 1000'000'000));
    ASSERT_TRUE(s.add(Action{Verb::Start, 3, 0, 0}, 1000'000'000));
    std::vector<int> cued, acted;
    // Row 3 has no cue ready: it starts at its instant all the same.
    auto cue = [&](const Action& a, std::int64_t) { return cued.push_back(a.row), a.row != 3; };
    auto act = [&](const Action& a, bool wasCued) { acted.push_back(wasCued ? -a.row : a.row); };
    s.run(1000'000'000 - kCueLeadNs - 1, cue, act);
    EXPECT_TRUE(cued.empty());
    s.run(1000'000'000 - kCueLeadNs, cue, act);
    EXPECT_EQ(cued, (std::vector<int>{1, 3})) << "starts only, at their lead";
    s.run(2000'000'000, cue, act);
    EXPECT_EQ(acted, (std::vector<int>{-1, 3, 2})) << "in order of instant, then arrival";
    for (std::size_t i = 0; i < kMaxWaiting; ++i)
        ASSERT_TRUE(s.add(start, 1));
    EXPECT_FALSE(s.add(start, 1)) << "full";
}

TEST(OscSubscriptions, RenewedLimitedAndLapsing)
{
    Subscriptions subs;
    for (std::uint16_t port = 1; port <= kMaxSubscribers; ++port)
        EXPECT_EQ(subs.subscribe({1, port}, 0), Subscriptions::Outcome::Added);
    EXPECT_EQ(subs.subscribe({1, 999}, 0), Subscriptions::Outcome::Full);
    EXPECT_EQ(subs.subscribe({1, 1}, kSubscriptionLapseNs), Subscriptions::Outcome::Renewed);
    subs.lapse(kSubscriptionLapseNs + 1);
    ASSERT_EQ(subs.all().size(), 1u) << "only the renewed one is left";
    EXPECT_TRUE(subs.anyOnHost(1));
    subs.unsubscribe({1, 1});
    EXPECT_TRUE(subs.all().empty());
}

// Datagrams too large, bundles past the horizon and a flood are counted, and past the burst
// the rate holds. Senders off the allow-list and bundles' instants are played in tests/e2e.
TEST(OscServer, CountsWhatItDropsAndHoldsTheRateInAFlood)
{
    IdleRows rows;
    OscServer server(rows);
    std::string error;
    ASSERT_TRUE(server.start({"127.0.0.1", 0, {}}, error)) << error;
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    const sockaddr_in to{
        AF_INET, htons(static_cast<std::uint16_t>(server.port())), {htonl(INADDR_LOOPBACK)}, {}};
    const auto send = [&](const std::vector<std::uint8_t>& bytes) {
        ::sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                 sizeof to);
    };

    const std::int64_t now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                 std::chrono::system_clock::now().time_since_epoch())
                                 .count();
    send(bundle(timeTagFromSystem(now + kHorizonNs + kNsPerSecond),
                {message("/sonarello/row/2/start")}));
    auto oversized = message("/sonarello/row/1/start");
    oversized.resize(kMaxPacketBytes + 4);
    send(oversized);
    const Counters& c = server.counters();
    for (int i = 0; i < 400 && c.tooFar + c.oversized < 2; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(c.tooFar.load(), 1u);
    EXPECT_EQ(c.oversized.load(), 1u);

    const auto flood = message("/sonarello/row/5/stop");
    const auto floodStart = std::chrono::steady_clock::now();
    for (int i = 0; i < 5000; ++i)
        send(flood);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    server.stop();
    ::close(fd);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - floodStart).count();
    EXPECT_GT(c.flooded.load(), 0u);
    EXPECT_LE(static_cast<double>(c.acted.load()), kPacketBurst + kPacketsPerSecond * seconds + 1)
        << "the rate held";
}
