// The service over the system's MIDI: where there is none, and over a JACK server of the
// test's own (skipped where jackd is not installed).
#include "platform/midi/midi_service.h"
#include "support/jack_server.h"

#include <gtest/gtest.h>
#include <jack/jack.h>
#include <jack/midiport.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unistd.h>
#include <utility>
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

// The messages the service handed over, from its MIDI thread.
struct Received
{
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<ShortMessage> messages;

    MessageHandler handler()
    {
        return [this](ShortMessage m)
        {
            std::lock_guard lock(mutex);
            messages.push_back(m);
            changed.notify_all();
        };
    }
    bool waitFor(ShortMessage m, std::chrono::milliseconds limit)
    {
        std::unique_lock lock(mutex);
        return changed.wait_for(
            lock, limit, [&] { return std::count(messages.begin(), messages.end(), m) > 0; });
    }
    std::vector<ShortMessage> take()
    {
        std::lock_guard lock(mutex);
        return std::exchange(messages, {});
    }
};

// A second JACK client with an output that plays into the player, as a controller would, and
// an input for the player's output, as a synthesizer would.
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
            if (client_ == nullptr && start() != 0)
                close();
            if (client_ != nullptr && jack_port_by_name(client_, "Sonarello:midi_in") != nullptr)
                return true;
            std::this_thread::sleep_for(20ms);
        }
        return false;
    }
    void send(const std::vector<unsigned char>& bytes)
    {
        std::lock_guard lock(mutex_);
        pending_.push_back(bytes);
    }
    // Waits until `count` outputs are connected to the tester's input (a new connection shows
    // from a later period on); false when that takes longer than the limit.
    bool waitForInputConnections(int count, std::chrono::milliseconds limit) const
    {
        for (const auto deadline = Clock::now() + limit; jack_port_connected(in_) != count;)
        {
            if (Clock::now() > deadline)
                return false;
            std::this_thread::sleep_for(10ms);
        }
        return true;
    }
    void close()
    {
        if (client_ != nullptr)
            jack_client_close(client_);
        client_ = nullptr;
        std::lock_guard lock(mutex_);
        pending_.clear();
    }

  private:
    int start()
    {
        client_ = jack_client_open("Tester", JackNoStartServer, nullptr);
        if (client_ == nullptr)
            return -1;
        out_ = jack_port_register(client_, "out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
        in_ = jack_port_register(client_, "in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
        if (out_ == nullptr || in_ == nullptr ||
            jack_set_process_callback(client_, &Tester::process, this) != 0)
            return -1;
        return jack_activate(client_);
    }

    // JACK thread: a test client, so a lock the test thread holds only briefly will do.
    static int process(jack_nframes_t frames, void* self) noexcept
    {
        auto& tester = *static_cast<Tester*>(self);
        void* buffer = jack_port_get_buffer(tester.out_, frames);
        jack_midi_clear_buffer(buffer);
        std::unique_lock lock(tester.mutex_, std::try_to_lock);
        if (!lock)
            return 0;
        for (const auto& bytes : tester.pending_)
            jack_midi_event_write(buffer, 0, bytes.data(), bytes.size());
        tester.pending_.clear();
        return 0;
    }

    std::mutex mutex_;
    std::vector<std::vector<unsigned char>> pending_;
    jack_client_t* client_ = nullptr;
    jack_port_t* out_ = nullptr;
    jack_port_t* in_ = nullptr;
};

// The player's virtual port is played end to end (tests/e2e); here the devices a person
// chooses: the lists, the connections the player makes, and how they come back by
// themselves, each within a second and with a line on standard error each way, after their
// client left (a controller unplugged during a show) and after the server itself stopped
// and started again.
TEST(JackMidi, ChosenDevicesConnectComeBackAfterTheirClientOrTheServerWentAndClose)
{
    test::JackServer server{"sonarello-midi-test-" + std::to_string(::getpid()), 128};
    if (test::JackServer::program().empty())
        GTEST_SKIP() << "jackd is not installed (Debian package jackd2): JACK MIDI not tested";
    ASSERT_TRUE(server.start()) << "jackd did not start";
    Received received;
    const auto service = createMidiService("jack");
    ASSERT_EQ(service->apiName(), "jack");
    service->setHandler(received.handler());
    Tester tester;
    ASSERT_TRUE(tester.open(3s)) << "no port Sonarello:midi_in appeared";

    // JACK applies a new connection from a later period on: sends controller after controller
    // until one arrives, and returns when that one was sent.
    const auto probeUntilHeard = [&]() -> std::optional<Clock::time_point>
    {
        const auto deadline = Clock::now() + 3s;
        for (int i = 0; Clock::now() < deadline; ++i)
        {
            const auto value = static_cast<unsigned char>(i % 128);
            received.take();
            const auto sentAt = Clock::now();
            tester.send({0xB0, 0x77, value});
            if (received.waitFor(packShortMessage(0xB0, 0x77, value), 100ms))
                return sentAt;
        }
        return std::nullopt;
    };

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
    ASSERT_TRUE(probeUntilHeard()) << "the player did not connect the chosen input";
    const PortHandle output = service->openOutput(static_cast<int>(synth - outputs.begin()));
    ASSERT_NE(output, kNoPort);
    EXPECT_TRUE(tester.waitForInputConnections(1, 1s));

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
        const auto heard = probeUntilHeard();
        const bool outputBack = tester.waitForInputConnections(1, 3s);
        std::this_thread::sleep_for(100ms);
        const std::string said = ::testing::internal::GetCapturedStderr();
        ASSERT_TRUE(heard) << "the chosen input did not come back";
        EXPECT_LE(*heard - back, wholeServer ? 2s : 1s);
        EXPECT_TRUE(outputBack);
        EXPECT_LE(Clock::now() - back, 2s) << "the output came back late";
        EXPECT_NE(said.find("\"Tester:out\" is gone"), std::string::npos) << said;
        EXPECT_NE(said.find("\"Tester:out\" is back"), std::string::npos) << said;
    }

    EXPECT_EQ(service->closeInput(input), kMidiOk);
    std::this_thread::sleep_for(100ms);
    received.take();
    tester.send({0x80, 60, 0});
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(received.take().size(), 0u) << "a closed input is disconnected";
    EXPECT_EQ(service->closeOutput(output), kMidiOk);
    EXPECT_TRUE(tester.waitForInputConnections(0, 1s));
}

} // namespace
} // namespace sonarello::midi
