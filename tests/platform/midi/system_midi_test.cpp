// The service over the system's MIDI: where there is none, and over a JACK server of the
// test's own (skipped where jackd is not installed).
#include "platform/midi/midi_service.h"
#include "support/jack_server.h"

#include <gtest/gtest.h>
#include <jack/jack.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace sonarello::midi
{
namespace
{

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

TEST(MidiApiChoice, FollowsTheOptionAndWhatTheSystemHas)
{
    EXPECT_EQ(chooseMidiApi("auto", true, true, true), "jack");
    EXPECT_EQ(chooseMidiApi("auto", false, true, true), "alsa");
    EXPECT_EQ(chooseMidiApi("auto", false, false, true), "jack");
    EXPECT_EQ(chooseMidiApi("auto", false, false, false), "none");
    EXPECT_EQ(chooseMidiApi("jack", false, true, false), "jack");
    EXPECT_EQ(chooseMidiApi("alsa", true, false, true), "alsa");
    EXPECT_EQ(chooseMidiApi("none", true, true, true), "none");
    EXPECT_EQ(chooseMidiApi("winmm", true, true, true), "none");
}

TEST(MidiPortNames, ThePlayersOwnPortsAreRecognised)
{
    EXPECT_TRUE(isPlayerPort("Sonarello:midi_in"));
    EXPECT_TRUE(isPlayerPort("Sonarello in:in"));
    EXPECT_TRUE(isPlayerPort("Sonarello-01:Sonarello"));
    EXPECT_TRUE(isPlayerPort("Sonarello:Sonarello 128:0"));
    EXPECT_FALSE(isPlayerPort("Sonarello"));
    EXPECT_FALSE(isPlayerPort("SonarelloPad:out"));
    EXPECT_FALSE(isPlayerPort("Midi Through:Midi Through Port-0 14:0"));
}

TEST(SystemMidi, NoneAndAlsaWithoutASequencerListNoDevice)
{
    for (const char* api : {"none", "alsa"})
    {
        if (api == std::string("alsa") && std::filesystem::exists("/dev/snd/seq"))
            continue; // this system has an ALSA sequencer
        const auto service = createMidiService(api);
        EXPECT_EQ(service->apiName(), api);
        EXPECT_TRUE(service->inputNames().empty());
        EXPECT_TRUE(service->outputNames().empty());
        EXPECT_EQ(service->openInput(0), kNoPort);
        EXPECT_EQ(service->openOutput(0), kNoPort);
        EXPECT_NE(service->startInput(kNoPort), kMidiOk);
        EXPECT_NE(service->closeOutput(kNoPort), kMidiOk);
    }
}

// A second JACK client with an output that could play into the player, as a controller's
// would, and an input for the player's output, as a synthesizer's would.
class Tester
{
  public:
    ~Tester() { close(); }

    // Opens the tester once the player's virtual input is there; false when it did not appear
    // within the limit.
    bool open(std::chrono::milliseconds limit)
    {
        for (const auto deadline = Clock::now() + limit; Clock::now() < deadline;)
        {
            if (client_ == nullptr &&
                (client_ = jack_client_open("Tester", JackNoStartServer, nullptr)) != nullptr)
            {
                out_ =
                    jack_port_register(client_, "out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
                in_ = jack_port_register(client_, "in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
                if (out_ == nullptr || in_ == nullptr || jack_activate(client_) != 0)
                    close();
            }
            if (client_ != nullptr && jack_port_by_name(client_, "Sonarello:midi_in") != nullptr)
                return true;
            std::this_thread::sleep_for(20ms);
        }
        return false;
    }
    // Waits until the player made `count` connections to the tester's output (`in` false) or
    // input; false when that takes longer than the limit.
    bool waitForConnections(bool in, int count, std::chrono::milliseconds limit) const
    {
        for (const auto deadline = Clock::now() + limit;
             jack_port_connected(in ? in_ : out_) != count; std::this_thread::sleep_for(10ms))
            if (Clock::now() > deadline)
                return false;
        return true;
    }
    void close()
    {
        if (client_ != nullptr)
            jack_client_close(client_);
        client_ = nullptr;
    }

  private:
    jack_client_t* client_ = nullptr;
    jack_port_t* out_ = nullptr;
    jack_port_t* in_ = nullptr;
};

// What the player's virtual port receives is played end to end (tests/e2e); here the devices a
// person chooses: the lists, the connections the player makes, and how they come back by
// themselves, each within a second and with a line on standard error each way, after their
// client left (a controller unplugged during a show) and after the server itself stopped and
// started again.
TEST(JackMidi, ChosenDevicesConnectComeBackAfterTheirClientOrTheServerWentAndClose)
{
    test::JackServer server{"sonarello-midi-test-" + std::to_string(::getpid()), 128};
    if (test::JackServer::program().empty())
        GTEST_SKIP() << "jackd is not installed (Debian package jackd2): JACK MIDI not tested";
    ASSERT_TRUE(server.start()) << "jackd did not start";
    const auto service = createMidiService("jack");
    ASSERT_EQ(service->apiName(), "jack");
    Tester tester;
    ASSERT_TRUE(tester.open(3s)) << "no port Sonarello:midi_in appeared";

    const auto inputs = service->inputNames();
    const auto outputs = service->outputNames();
    EXPECT_TRUE(std::none_of(inputs.begin(), inputs.end(), isPlayerPort));
    EXPECT_TRUE(std::none_of(outputs.begin(), outputs.end(), isPlayerPort));
    const auto keys = std::find(inputs.begin(), inputs.end(), "Tester:out");
    const auto synth = std::find(outputs.begin(), outputs.end(), "Tester:in");
    ASSERT_NE(keys, inputs.end());
    ASSERT_NE(synth, outputs.end());
    const PortHandle input = service->openInput(static_cast<int>(keys - inputs.begin()));
    ASSERT_NE(input, kNoPort);
    ASSERT_EQ(service->startInput(input), kMidiOk);
    EXPECT_TRUE(tester.waitForConnections(false, 1, 1s)) << "the chosen input is not connected";
    const PortHandle output = service->openOutput(static_cast<int>(synth - outputs.begin()));
    ASSERT_NE(output, kNoPort);
    EXPECT_TRUE(tester.waitForConnections(true, 1, 1s)) << "the chosen output is not connected";

    for (const bool wholeServer : {false, true})
    {
        ::testing::internal::CaptureStderr();
        tester.close();
        if (wholeServer)
        {
            server.stop();
            std::this_thread::sleep_for(500ms);
            ASSERT_TRUE(server.start());
        }
        else
            std::this_thread::sleep_for(500ms);
        const auto back = Clock::now();
        ASSERT_TRUE(tester.open(3s)) << "Sonarello:midi_in did not come back";
        EXPECT_TRUE(tester.waitForConnections(false, 1, 3s)) << "the chosen input";
        EXPECT_LE(Clock::now() - back, wholeServer ? 2s : 1s) << "the input came back late";
        EXPECT_TRUE(tester.waitForConnections(true, 1, 3s)) << "the chosen output";
        EXPECT_LE(Clock::now() - back, 2s) << "the output came back late";
        std::this_thread::sleep_for(100ms);
        const std::string said = ::testing::internal::GetCapturedStderr();
        EXPECT_NE(said.find("\"Tester:out\" is gone"), std::string::npos) << said;
        EXPECT_NE(said.find("\"Tester:out\" is back"), std::string::npos) << said;
    }

    EXPECT_EQ(service->closeInput(input), kMidiOk);
    EXPECT_TRUE(tester.waitForConnections(false, 0, 1s));
    EXPECT_EQ(service->closeOutput(output), kMidiOk);
    EXPECT_TRUE(tester.waitForConnections(true, 0, 1s));
}

} // namespace
} // namespace sonarello::midi
