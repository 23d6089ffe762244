// The chosen MIDI devices followed by name through their going and coming back: over a
// stand-in for the ALSA sequencer, which this machine may lack (ports vanish and return under
// new numbers, in floods of announce events), and over a stand-in for a JACK server's graph.
#include "jack/connections.h"
#include "sequencer/device_follower.h"
#include "sequencer/observer.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <set>
#include <string>
#include <utility>

using namespace sonarello;
using namespace sonarello::midi;

namespace
{

// Plays the sequencer: the test sets the ports and sends announce events, then waits until
// the observer has read them and come back for more.
class StandInSequencer final : public AnnounceSource
{
  public:
    explicit StandInSequencer(PresentPorts ports) : ports_(std::move(ports)) {}

    int waitForAnnounces() override
    {
        std::unique_lock lock(mutex_);
        ++waits_;
        wake_.notify_all();
        wake_.wait(lock, [&] { return pending_ > 0 || stopped_; });
        return stopped_ ? 0 : std::exchange(pending_, 0);
    }
    void stop() override
    {
        std::lock_guard lock(mutex_);
        stopped_ = true;
        wake_.notify_all();
    }
    PresentPorts presentPorts() override
    {
        std::lock_guard lock(mutex_);
        ++looks_;
        return ports_;
    }

    // Test thread: the looks at the ports the batch cost.
    int announce(PresentPorts ports, int events)
    {
        std::unique_lock lock(mutex_);
        wake_.wait(lock, [&] { return waits_ > 0; });
        const int waits = waits_;
        const int looks = looks_;
        ports_ = std::move(ports);
        pending_ = events;
        wake_.notify_all();
        wake_.wait(lock, [&] { return waits_ > waits; });
        return looks_ - looks;
    }

  private:
    std::mutex mutex_;
    std::condition_variable wake_;
    PresentPorts ports_;
    int pending_ = 0;
    int waits_ = 0;
    int looks_ = 0;
    bool stopped_ = false;
};

// The service's side: what the follower asked for, in order.
struct RecordingPorts final : PortReopener
{
    bool reopen(PortHandle handle, PortDirection, const std::string& presentName) override
    {
        calls += "reopen " + std::to_string(handle) + " " + presentName + "; ";
        return !refuse;
    }
    void close(PortHandle handle, PortDirection) override
    {
        calls += "close " + std::to_string(handle) + "; ";
    }
    std::string calls;
    bool refuse = false;
};

// The line the player says when a chosen device goes or comes back.
std::string said(const char* device, bool isBack)
{
    return std::string("Sonarello: MIDI device \"") + device +
           (isBack ? "\" is back\n" : "\" is gone; it is connected again when it returns\n");
}

TEST(SequencerFollower, ReopensTheChosenDevicesByNameOncePerReturn)
{
    constexpr PortHandle kInput = 1;  // the pad, read by the player
    constexpr PortHandle kOutput = 2; // the synthesizer, held open
    constexpr int kEventsPerBatch = 100;
    auto pad = [](int client) { return "Pad:Pad MIDI 1 " + std::to_string(client) + ":0"; };
    auto synth = [](int client) { return "Synth:Synth In " + std::to_string(client) + ":0"; };
    // The system's ports with the pad and the synthesizer under these client numbers (0: not
    // plugged in), and another device that nobody chose.
    auto ports = [&](int padClient, int synthClient, bool keys)
    {
        PresentPorts present;
        if (padClient != 0)
            present.sources.push_back(pad(padClient));
        if (synthClient != 0)
            present.destinations.push_back(synth(synthClient));
        if (keys)
            for (auto* list : {&present.sources, &present.destinations})
                list->push_back("Keys:Keys MIDI 1 32:0");
        return present;
    };

    RecordingPorts reopener;
    DeviceFollower follower(reopener);
    std::mutex serviceMutex;
    follower.follow(kInput, PortDirection::Input, pad(24));
    follower.follow(kOutput, PortDirection::Output, synth(28));
    auto owned = std::make_unique<StandInSequencer>(ports(24, 28, true));
    StandInSequencer& sequencer = *owned;
    SequencerObserver observer(std::move(owned),
                               [&](const PresentPorts& present)
                               {
                                   std::lock_guard lock(serviceMutex);
                                   follower.portsChanged(present);
                               });

    // Each step: the ports after its events, in how many batches, whether the service refuses
    // to open the port this time, then what the follower asked and said.
    const auto step = [&](const char* what, const PresentPorts& present, int batches, bool refuse,
                          const std::string& calls, const std::string& lines)
    {
        SCOPED_TRACE(what);
        reopener.refuse = refuse;
        testing::internal::CaptureStderr();
        for (int batch = 0; batch < batches; ++batch)
            EXPECT_EQ(sequencer.announce(present, kEventsPerBatch), 1); // one look a batch
        const std::string heard = testing::internal::GetCapturedStderr();
        std::lock_guard lock(serviceMutex);
        EXPECT_EQ(std::exchange(reopener.calls, {}), calls);
        EXPECT_EQ(heard, lines);
    };
    step("the pad is unplugged", ports(0, 28, true), 1, false, "close 1; ",
         said("Pad:Pad MIDI 1", false));
    step("another device goes", ports(0, 28, false), 1, false, "", "");
    step("the pad returns under new numbers amid a flood", ports(36, 28, false), 10, false,
         "reopen 1 " + pad(36) + "; ", said("Pad:Pad MIDI 1", true));
    step("our own clients come and go", ports(36, 28, false), 5, false, "", "");
    step("the synthesizer is replugged between two looks", ports(36, 40, false), 1, false,
         "close 2; reopen 2 " + synth(40) + "; ",
         said("Synth:Synth In", false) + said("Synth:Synth In", true));
    step("the pad returns but cannot be opened", ports(44, 40, false), 1, true,
         "close 1; reopen 1 " + pad(44) + "; ", said("Pad:Pad MIDI 1", false));
    step("and is opened at the next change", ports(44, 40, true), 1, false,
         "reopen 1 " + pad(44) + "; ", said("Pad:Pad MIDI 1", true));
}

const std::string kPads = "pads:out";
const std::string kSynth = "synth:in";
const std::string kGone = said("pads:out", false);
const std::string kBack = said("pads:out", true);

// A server's ports and connections, changed by the test as devices come and go.
struct FakeGraph final : jack::PortGraph
{
    std::set<std::string> ports{"Sonarello:midi_in", "Sonarello:midi_out", kPads, kSynth};
    std::set<std::pair<std::string, std::string>> links;

    bool connected(const std::string& source, const std::string& destination) override
    {
        return links.contains({source, destination});
    }
    bool connect(const std::string& source, const std::string& destination) override
    {
        if (ports.contains(source) && ports.contains(destination))
            links.insert({source, destination});
        return connected(source, destination);
    }
    void disconnect(const std::string& a, const std::string& b) override { links.erase({a, b}); }
    void unplug(const std::string& port)
    {
        ports.erase(port);
        std::erase_if(links, [&](const auto& l) { return l.first == port || l.second == port; });
    }
};

// Connections through their device's going and coming back, also between two looks (the
// connection lost though the port is there): each loss and return said once, for the device it
// concerns. A server's restart is played in tests/e2e.
TEST(JackConnections, ChosenDevicesAreConnectedAgainWheneverTheyReturn)
{
    FakeGraph graph;
    jack::Connections connections;
    ASSERT_TRUE(connections.keep(kPads, true, &graph));
    ASSERT_TRUE(connections.keep(kSynth, false, &graph));
    EXPECT_FALSE(connections.keep("nobody:out", true, nullptr)); // no client: kept for later
    connections.drop("nobody:out", true, nullptr);

    const auto relink = [&](const char* what, bool complete, const std::string& lines)
    {
        SCOPED_TRACE(what);
        testing::internal::CaptureStderr();
        EXPECT_EQ(connections.relink(graph), complete);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), lines);
        EXPECT_EQ(graph.connected(kPads, "Sonarello:midi_in"), complete);
        EXPECT_TRUE(graph.connected("Sonarello:midi_out", kSynth));
    };
    relink("nothing changed", true, "");
    graph.unplug(kPads);
    relink("pads unplugged", false, kGone);
    relink("still away", false, "");
    graph.ports.insert(kPads);
    relink("pads back", true, kBack);
    graph.unplug(kPads);
    graph.ports.insert(kPads);
    relink("replugged between two looks", true, kGone + kBack);
}

} // namespace
