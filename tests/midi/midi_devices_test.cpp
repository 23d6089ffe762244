// MIDI input over the loopback service: the handles, the device chosen and what each message
// does, in order; the choice of the system's MIDI API. Floods through the whole player are the
// start-up tests'; JACK MIDI devices and their return are played in tests/e2e.
#include "midi/midi_devices.h"

#include "doubles/loopback_midi_service.h"
#include "midi/midi_message.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <tuple>

using namespace sonarello;
using namespace std::chrono_literals;

namespace
{
using midi::kVirtualPortName;
using midi::LoopbackMidiService;
using midi::packShortMessage;

// The calls MIDI input makes to the main window, in order.
class Rows : public MidiRowTarget
{
  public:
    void showMidiText(const std::string& text) override { record("show " + text); }
    void startRow(int row, bool) override { record("start " + std::to_string(row)); }
    void stopRow(int row) override { record("stop " + std::to_string(row)); }

    bool waitForCalls(std::size_t count)
    {
        std::unique_lock lock(mutex);
        return changed_.wait_for(lock, 5s, [&] { return calls.size() >= count; });
    }

    std::mutex mutex;
    std::vector<std::string> calls;

  private:
    void record(const std::string& call)
    {
        std::lock_guard lock(mutex);
        calls.push_back(call);
        changed_.notify_all();
    }
    std::condition_variable changed_;
};

// Each message shows before its row moves; one without a text (channel pressure) shows nothing.
TEST(MidiDevices, InputHandlesFollowOpenStartAndCloseAndMessagesShowBeforeTheirRowMoves)
{
    Rows rows;
    MidiState state;
    auto service = std::make_unique<LoopbackMidiService>(std::vector<std::string>{"Pad", "Keys"},
                                                         std::vector<std::string>{});
    LoopbackMidiService* loopback = service.get();
    state.service = std::move(service);
    loopback->setHandler([&](midi::ShortMessage m) { onMidiInput(state, m, rows); });
    EXPECT_EQ(closeMidiInput(state), 0); // nothing open
    EXPECT_EQ(startMidiInput(state), 0); // refused without an open input
    EXPECT_EQ(openMidiInput(state, 2), 0);
    EXPECT_EQ(state.MidiInHandle, midi::kNoPort);

    ASSERT_EQ(openMidiInput(state, 1), 1);
    const midi::PortHandle keys = state.MidiInHandle;
    EXPECT_EQ(openMidiInput(state, 0), 0); // one input at a time; the open one stays
    EXPECT_EQ(state.MidiInHandle, keys);
    EXPECT_EQ(startMidiInput(state), 1);
    for (const auto& [status, data1, data2] :
         {std::tuple{0x90, 36, 100}, {0xD0, 10, 0}, {0xB0, 7, 100}, {0x80, 50, 0}})
        EXPECT_TRUE(loopback->push("Keys", packShortMessage(status, data1, data2)));
    EXPECT_FALSE(loopback->push("Pad", packShortMessage(0x90, 37, 100)));
    ASSERT_TRUE(rows.waitForCalls(5));

    EXPECT_EQ(closeMidiInput(state), 1);
    EXPECT_EQ(state.MidiInHandle, midi::kNoPort);
    EXPECT_FALSE(loopback->push("Keys", packShortMessage(0x90, 38, 100)));
    std::lock_guard lock(rows.mutex);
    EXPECT_EQ(rows.calls, (std::vector<std::string>{"show C: 1 N: 36 T: 1 V: 100", "start 1",
                                                    "show Controller Change 100",
                                                    "show C: 1 N: 50 T: 15 V: 0", "stop 15"}));
}

// A message whose handling fails does not stop the ones after it.
TEST(MidiDispatch, ClearingTheHandlerWaitsForItsRunningCallAndAFailureIsSaid)
{
    LoopbackMidiService service({}, {});
    std::atomic<bool> inside{false};
    std::atomic<bool> finished{false};
    service.setHandler(
        [&](midi::ShortMessage m)
        {
            if (m == 0x80)
                throw std::runtime_error("no such row");
            inside = true;
            std::this_thread::sleep_for(100ms);
            finished = true;
        });
    ::testing::internal::CaptureStderr();
    service.push(kVirtualPortName, 0x80);
    service.push(kVirtualPortName, 0x90);
    while (!inside)
        std::this_thread::yield();
    service.setHandler(nullptr);
    EXPECT_TRUE(finished);
    EXPECT_NE(::testing::internal::GetCapturedStderr().find("000080 failed: no such row"),
              std::string::npos);
}

TEST(MidiApiChoice, FollowsTheOptionAndWhatTheSystemHas)
{
    using midi::chooseMidiApi;
    EXPECT_EQ(chooseMidiApi("auto", true, true, true), "jack");
    EXPECT_EQ(chooseMidiApi("auto", false, true, true), "alsa");
    EXPECT_EQ(chooseMidiApi("auto", false, false, true), "jack");
    EXPECT_EQ(chooseMidiApi("auto", false, false, false), "none");
    EXPECT_EQ(chooseMidiApi("jack", false, true, false), "jack");
    EXPECT_EQ(chooseMidiApi("alsa", true, false, true), "alsa");
    for (const char* own : {"Sonarello:midi_in", "Sonarello in:in", "Sonarello-01:Sonarello"})
        EXPECT_TRUE(midi::isPlayerPort(own)) << own;
    for (const char* other : {"Sonarello", "SonarelloPad:out", "Midi Through:Midi Through 14:0"})
        EXPECT_FALSE(midi::isPlayerPort(other)) << other;
}

} // namespace
