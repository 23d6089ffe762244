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
#include <functional>
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
class Received
{
  public:
    MessageHandler handler()
    {
        return [this](ShortMessage m)
        {
            std::lock_guard lock(mutex_);
            messages_.push_back(m);
            changed_.notify_all();
        };
    }
    // True when what arrived meets `done` within the limit.
    bool waitUntil(std::function<bool(const std::vector<ShortMessage>&)> done,
                   std::chrono::milliseconds limit = 5s)
    {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, limit, [&] { return done(messages_); });
    }
    std::vector<ShortMessage> take()
    {
        std::lock_guard lock(mutex_);
        return std::exchange(messages_, {});
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<ShortMessage> messages_;
};

// A second JACK client that plays into the player's virtual port, as a sequencer would, and
// offers an input for the player's output.
class Sender
{
  public:
    ~Sender() { disconnect(); }

    // Opens the tester once the player's input is there, and connects to it unless the
    // player is to connect the tester itself (a chosen input). False when the input did not
    // appear within the limit.
    bool connect(std::chrono::milliseconds limit, bool toPlayer = true)
    {
        for (const auto deadline = Clock::now() + limit; Clock::now() < deadline;)
        {
            if (client_ == nullptr && open() != 0)
                disconnect();
            if (client_ != nullptr && jack_port_by_name(client_, "Sonarello:midi_in") != nullptr &&
                (!toPlayer ||
                 jack_connect(client_, jack_port_name(port_), "Sonarello:midi_in") == 0))
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
    // Waits until `count` outputs are connected to the tester's input port (a new connection
    // shows from a later period on); false when that takes longer than the limit.
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
    void disconnect()
    {
        if (client_ != nullptr)
            jack_client_close(client_);
        client_ = nullptr;
        std::lock_guard lock(mutex_);
        pending_.clear();
    }

  private:
    int open()
    {
        client_ = jack_client_open("Tester", JackNoStartServer, nullptr);
        if (client_ == nullptr)
            return -1;
        port_ = jack_port_register(client_, "out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
        in_ = jack_port_register(client_, "in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
        if (port_ == nullptr || in_ == nullptr ||
            jack_set_process_callback(client_, &Sender::process, this) != 0)
            return -1;
        return jack_activate(client_);
    }

    // JACK thread: a test client, so a lock the test thread holds only briefly will do.
    static int process(jack_nframes_t frames, void* self) noexcept
    {
        auto& sender = *static_cast<Sender*>(self);
        void* buffer = jack_port_get_buffer(sender.port_, frames);
        jack_midi_clear_buffer(buffer);
        std::unique_lock lock(sender.mutex_, std::try_to_lock);
        if (!lock)
            return 0;
        for (const auto& bytes : sender.pending_)
            jack_midi_event_write(buffer, 0, bytes.data(), bytes.size());
        sender.pending_.clear();
        return 0;
    }

    std::mutex mutex_;
    std::vector<std::vector<unsigned char>> pending_;
    jack_client_t* client_ = nullptr;
    jack_port_t* port_ = nullptr;
    jack_port_t* in_ = nullptr;
};

class JackMidi : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        if (test::JackServer::program().empty())
            GTEST_SKIP() << "jackd is not installed (Debian package jackd2): JACK MIDI not tested";
        ASSERT_TRUE(server.start()) << "jackd did not start";
        service = createMidiService("jack");
        ASSERT_EQ(service->apiName(), "jack");
        service->setHandler(received.handler());
        ASSERT_TRUE(sender.connect(3s)) << "no port Sonarello:midi_in appeared";
        ASSERT_TRUE(probeUntilHeard(1, 3s)) << "nothing arrived at the virtual port";
        std::this_thread::sleep_for(50ms);
        received.take();
    }
    void TearDown() override
    {
        sender.disconnect();
        service.reset();
    }

    // JACK applies a new connection from a later period on: sends controller after controller
    // until one arrives `copies` times, and returns when that one was sent.
    std::optional<Clock::time_point> probeUntilHeard(long copies, std::chrono::milliseconds limit)
    {
        const auto deadline = Clock::now() + limit;
        for (int i = 0; Clock::now() < deadline; ++i)
        {
            const auto value = static_cast<unsigned char>(i % 128);
            received.take();
            const auto sentAt = Clock::now();
            sender.send({0xB0, 0x77, value});
            const auto probe = packShortMessage(0xB0, 0x77, value);
            if (received.waitUntil([&](const auto& m)
                                   { return std::count(m.begin(), m.end(), probe) >= copies; },
                                   100ms))
                return sentAt;
        }
        return std::nullopt;
    }

    // Notes 36.. on and off, paced so that they cross several periods.
    std::vector<ShortMessage> sendNotes(int count)
    {
        std::vector<ShortMessage> sent;
        for (int i = 0; i < count; ++i)
        {
            const auto note = static_cast<unsigned char>(36 + i);
            const unsigned char status = i % 2 == 0 ? 0x90 : 0x80;
            sender.send({status, note, 100});
            sent.push_back(packShortMessage(status, note, 100));
            if (i % 5 == 4)
                std::this_thread::sleep_for(3ms);
        }
        return sent;
    }

    test::JackServer server{"sonarello-midi-test-" + std::to_string(::getpid()), 128};
    Received received;
    std::unique_ptr<MidiService> service;
    Sender sender;
};

TEST_F(JackMidi, TheVirtualPortDeliversShortMessagesInOrder)
{
    sender.send({0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7}); // system exclusive: ignored
    sender.send({0xF8});                               // clock: ignored
    const auto sent = sendNotes(40);
    received.waitUntil([&](const auto& m) { return m.size() >= sent.size(); });
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(received.take(), sent);
}

TEST_F(JackMidi, ChosenPortsConnectAndTheListsLeaveOutThePlayer)
{
    const auto inputs = service->inputNames();
    const auto outputs = service->outputNames();
    EXPECT_TRUE(std::none_of(inputs.begin(), inputs.end(), isPlayerPort));
    EXPECT_TRUE(std::none_of(outputs.begin(), outputs.end(), isPlayerPort));
    const auto tester = std::find(inputs.begin(), inputs.end(), "Tester:out");
    ASSERT_NE(tester, inputs.end());

    // Once chosen, the tester's port is connected to midi_in by the player itself.
    sender.disconnect();
    ASSERT_TRUE(sender.connect(3s, false));
    const PortHandle input = service->openInput(static_cast<int>(tester - inputs.begin()));
    ASSERT_NE(input, kNoPort);
    ASSERT_EQ(service->startInput(input), kMidiOk);
    EXPECT_TRUE(probeUntilHeard(1, 3s)) << "the chosen input delivers nothing";

    EXPECT_EQ(service->closeInput(input), kMidiOk);
    std::this_thread::sleep_for(100ms);
    received.take();
    sender.send({0x80, 60, 0});
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(received.take().size(), 0u);

    const auto synth = std::find(outputs.begin(), outputs.end(), "Tester:in");
    ASSERT_NE(synth, outputs.end());
    const PortHandle output = service->openOutput(static_cast<int>(synth - outputs.begin()));
    ASSERT_NE(output, kNoPort);
    EXPECT_TRUE(sender.waitForInputConnections(1, 1s));
    EXPECT_EQ(service->closeOutput(output), kMidiOk);
    EXPECT_TRUE(sender.waitForInputConnections(0, 1s));
}

// The chosen devices come back by themselves, each within a second and with a line on
// standard error each way: after their client left (a controller unplugged during a show),
// and after the server itself stopped and started again.
TEST_F(JackMidi, ChosenDevicesComeBackAfterTheirClientOrTheServerWent)
{
    sender.disconnect();
    ASSERT_TRUE(sender.connect(3s, false));
    const auto inputs = service->inputNames();
    const auto outputs = service->outputNames();
    const auto tester = std::find(inputs.begin(), inputs.end(), "Tester:out");
    const auto synth = std::find(outputs.begin(), outputs.end(), "Tester:in");
    ASSERT_NE(tester, inputs.end());
    ASSERT_NE(synth, outputs.end());
    const PortHandle input = service->openInput(static_cast<int>(tester - inputs.begin()));
    ASSERT_EQ(service->startInput(input), kMidiOk);
    const PortHandle output = service->openOutput(static_cast<int>(synth - outputs.begin()));
    ASSERT_TRUE(probeUntilHeard(1, 3s));

    for (const bool wholeServer : {false, true})
    {
        ::testing::internal::CaptureStderr();
        sender.disconnect();
        if (wholeServer)
        {
            server.stop();
            std::this_thread::sleep_for(500ms);
            ASSERT_TRUE(server.start());
        }
        else
            std::this_thread::sleep_for(500ms);
        const auto back = Clock::now();
        ASSERT_TRUE(sender.connect(3s, false)) << "Sonarello:midi_in did not come back";
        const auto heard = probeUntilHeard(1, 3s);
        const bool outputBack = sender.waitForInputConnections(1, 3s);
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
    EXPECT_EQ(service->closeOutput(output), kMidiOk);
}

} // namespace
} // namespace sonarello::midi
