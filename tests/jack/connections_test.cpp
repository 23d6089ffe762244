#include "jack/connections.h"

#include <gtest/gtest.h>
#include <set>
#include <string>
#include <utility>

using namespace sonarello::jack;

namespace
{

// A server's ports and connections, changed by the test as devices come and go.
class FakeGraph final : public PortGraph
{
  public:
    std::set<std::string> ports{"Sonarello:midi_in", "Sonarello:midi_out"};
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
    void disconnect(const std::string& source, const std::string& destination) override
    {
        links.erase({source, destination});
    }
    void unplug(const std::string& port)
    {
        ports.erase(port);
        std::erase_if(links, [&](const auto& l) { return l.first == port || l.second == port; });
    }
};

const std::string kPads = "pads:out";
const std::string kSynth = "synth:in";
const std::string kGone = "Sonarello: MIDI device \"pads:out\" is gone; it is connected again when "
                          "it returns\n";
const std::string kBack = "Sonarello: MIDI device \"pads:out\" is back\n";

// The chosen devices' connections through their going and coming back: unplugged, plugged in
// again, replugged between two looks (the connection lost though the port is there), the server
// restarted; each loss and return said once, and only for the device it concerns.
TEST(JackConnections, ChosenDevicesAreConnectedAgainWheneverTheyReturn)
{
    FakeGraph graph;
    graph.ports = {"Sonarello:midi_in", "Sonarello:midi_out", kPads, kSynth};
    Connections connections;
    ASSERT_TRUE(connections.keep(kPads, true, &graph));
    ASSERT_TRUE(connections.keep(kSynth, false, &graph));
    EXPECT_FALSE(connections.keep("nobody:out", true, nullptr)); // no client: kept for later
    connections.drop("nobody:out", true, nullptr);

    struct Step
    {
        const char* what;
        void (*change)(FakeGraph&);
        bool complete;
        std::string said;
    };
    const Step steps[] = {
        {"nothing changed", [](FakeGraph&) {}, true, ""},
        {"pads unplugged", [](FakeGraph& g) { g.unplug(kPads); }, false, kGone},
        {"still away", [](FakeGraph&) {}, false, ""},
        {"pads back", [](FakeGraph& g) { g.ports.insert(kPads); }, true, kBack},
        {"replugged between two looks",
         [](FakeGraph& g)
         {
             g.unplug(kPads);
             g.ports.insert(kPads);
         },
         true, kGone + kBack},
    };
    for (const Step& step : steps)
    {
        step.change(graph);
        testing::internal::CaptureStderr();
        EXPECT_EQ(connections.relink(graph), step.complete) << step.what;
        EXPECT_EQ(testing::internal::GetCapturedStderr(), step.said) << step.what;
        EXPECT_EQ(graph.connected(kPads, "Sonarello:midi_in"), step.complete) << step.what;
        EXPECT_TRUE(graph.connected("Sonarello:midi_out", kSynth)) << step.what;
    }

    testing::internal::CaptureStderr();
    connections.serverGone();
    FakeGraph restarted;
    restarted.ports = graph.ports;
    EXPECT_TRUE(connections.relink(restarted));
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find(kGone), std::string::npos);
    EXPECT_NE(said.find(kBack), std::string::npos);
    EXPECT_NE(said.find("\"synth:in\" is back"), std::string::npos);
    EXPECT_EQ(restarted.links.size(), 2u);
}

} // namespace
