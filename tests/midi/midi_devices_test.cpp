// MIDI input and output of the player over the loopback service: the handles, the devices
// chosen, and messages from two sources at a live player's pace.
#include "midi/midi_devices.h"

#include "midi/midi_message.h"
#include "platform/midi/loopback_midi_service.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <random>
#include <stdexcept>
#include <thread>

namespace sonarello
{
namespace
{

using namespace std::chrono_literals;
using midi::kVirtualPortName;
using midi::LoopbackMidiService;
using midi::packShortMessage;

constexpr int kRows = 72;

// The rows and the display, as the player keeps them, with every call in order.
class Rows : public MidiRowTarget
{
  public:
    void showMidiText(const std::string& text) override
    {
        std::lock_guard lock(mutex_);
        display = text;
        calls.push_back("show " + text);
    }
    void startRow(int row, bool) override { setRow(row, true); }
    void stopRow(int row) override { setRow(row, false); }

    void countMessage()
    {
        std::lock_guard lock(mutex_);
        ++handled;
        changed_.notify_all();
    }
    bool waitForHandled(int count, std::chrono::milliseconds limit)
    {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, limit, [&] { return handled >= count; });
    }

    std::mutex mutex_;
    std::string display;
    std::vector<std::string> calls;
    std::array<bool, kRows + 1> playing{};
    std::array<std::vector<bool>, kRows + 1> history; // every start (true) and stop per row
    int handled = 0;

  private:
    void setRow(int row, bool start)
    {
        std::lock_guard lock(mutex_);
        calls.push_back((start ? "start " : "stop ") + std::to_string(row));
        if (row < 1 || row > kRows)
            return;
        playing[static_cast<std::size_t>(row)] = start;
        history[static_cast<std::size_t>(row)].push_back(start);
    }
    std::condition_variable changed_;
};

class MidiDevices : public ::testing::Test
{
  protected:
    MidiDevices()
    {
        auto service = std::make_unique<LoopbackMidiService>(
            std::vector<std::string>{"Pad", "Keys"}, std::vector<std::string>{"Synth", "Drums"});
        loopback = service.get();
        state.service = std::move(service);
        // The player's handler: each message whole under the program lock.
        loopback->setHandler(
            [this](midi::ShortMessage message)
            {
                {
                    std::lock_guard lock(programLock);
                    onMidiInput(state, message, rows);
                }
                rows.countMessage();
            });
    }

    std::mutex programLock;
    Rows rows;
    MidiState state;
    LoopbackMidiService* loopback = nullptr;
};

TEST_F(MidiDevices, InputHandlesFollowOpenStartAndClose)
{
    EXPECT_EQ(closeMidiInput(state), 0); // nothing open
    EXPECT_EQ(startMidiInput(state), 0); // refused without an open input
    EXPECT_EQ(openMidiInput(state, 2), 0);
    EXPECT_EQ(state.MidiInHandle, midi::kNoPort);

    ASSERT_EQ(openMidiInput(state, 1), 1);
    const midi::PortHandle keys = state.MidiInHandle;
    EXPECT_EQ(openMidiInput(state, 0), 0); // one input at a time; the open one stays
    EXPECT_EQ(state.MidiInHandle, keys);
    EXPECT_EQ(startMidiInput(state), 1);
    EXPECT_TRUE(loopback->push("Keys", packShortMessage(0x90, 36, 100)));
    EXPECT_FALSE(loopback->push("Pad", packShortMessage(0x90, 37, 100)));
    ASSERT_TRUE(rows.waitForHandled(1, 5s));

    EXPECT_EQ(closeMidiInput(state), 1);
    EXPECT_EQ(state.MidiInHandle, midi::kNoPort);
    EXPECT_FALSE(loopback->push("Keys", packShortMessage(0x90, 38, 100)));
    std::lock_guard lock(rows.mutex_);
    EXPECT_EQ(rows.calls, (std::vector<std::string>{"show C: 1 N: 36 T: 1 V: 100", "start 1"}));
}

TEST_F(MidiDevices, OutputIsHeldOpenAndAFailedCloseWaitsOneSecond)
{
    openMidiOutput(state, 1);
    EXPECT_TRUE(loopback->outputOpen("Drums"));
    auto before = std::chrono::steady_clock::now();
    closeMidiOutput(state);
    EXPECT_LT(std::chrono::steady_clock::now() - before, 500ms);
    EXPECT_FALSE(loopback->outputOpen("Drums"));
    EXPECT_NE(state.MidiOutHandle, midi::kNoPort); // a close leaves the handle as it was

    openMidiOutput(state, 5); // beyond the last: silent
    EXPECT_EQ(state.MidiOutHandle, midi::kNoPort);
    before = std::chrono::steady_clock::now();
    closeMidiOutput(state);
    EXPECT_GE(std::chrono::steady_clock::now() - before, kFailedOutputCloseWait);
}

TEST_F(MidiDevices, AChoiceReopensTheDeviceWithItsNumber)
{
    selectMidiOutDevice(state, 1);
    EXPECT_EQ(state.MidiOutDevice, 1);
    EXPECT_TRUE(loopback->outputOpen("Drums"));
    closeMidiOutput(state);
    selectMidiOutDevice(state, 9); // fails: the chosen number stays
    EXPECT_EQ(state.MidiOutDevice, 9);

    selectMidiInDevice(state, 1);
    EXPECT_EQ(state.MidiInDevice, 1);
    EXPECT_TRUE(loopback->push("Keys", packShortMessage(0x80, 40, 0)));
    closeMidiInput(state);
}

TEST(MidiDeviceList, EntriesCarryTheirNumberAndGiveItBack)
{
    const auto entries = deviceListEntries({"Pad:out", "Keys 2"});
    EXPECT_EQ(entries, (std::vector<std::string>{" 0 Pad:out", " 1 Keys 2"}));
    EXPECT_EQ(deviceNumberFromEntry(entries[1]), 1);
    EXPECT_EQ(deviceNumberFromEntry(" 23 USB 4"), 23);
    EXPECT_EQ(deviceNumberFromEntry("name"), 0);
    EXPECT_EQ(deviceNumberFromEntry(""), 0);
    EXPECT_EQ(deviceNumberFromEntry(" 99999999999 x"), std::numeric_limits<int>::max());
    EXPECT_TRUE(deviceListEntries({}).empty());
}

TEST_F(MidiDevices, EachMessageIsShownBeforeItsRowMoves)
{
    loopback->push(kVirtualPortName, packShortMessage(0x80, 50, 0)); // row 15 never played
    loopback->push(kVirtualPortName, packShortMessage(0xB0, 7, 100));
    loopback->push(kVirtualPortName, packShortMessage(0xD0, 10, 0));  // nothing at all
    loopback->push(kVirtualPortName, packShortMessage(0x90, 35, 90)); // T: 0, still passed on
    ASSERT_TRUE(rows.waitForHandled(4, 5s));
    std::lock_guard lock(rows.mutex_);
    EXPECT_EQ(rows.calls, (std::vector<std::string>{"show C: 1 N: 50 T: 15 V: 0", "stop 15",
                                                    "show Controller Change 100",
                                                    "show C: 1 N: 35 T: 0 V: 90", "start 0"}));
    EXPECT_EQ(state.LastMidiNote, 35);
    EXPECT_EQ(state.LastMidiOn, 1);
    EXPECT_FALSE(rows.playing[15]);
}

// A pad controller and a sequencer on the virtual port play 10,000 messages within a second
// while the main thread takes the program lock as its timer ticks do.
TEST_F(MidiDevices, AFloodFromTwoSourcesLeavesEveryRowAsItsLastNoteSaid)
{
    ASSERT_EQ(openMidiInput(state, 0), 1);
    ASSERT_EQ(startMidiInput(state), 1);

    constexpr int kPerSource = 5000;
    std::array<std::vector<bool>, kRows + 1> sent;
    auto play = [&](const char* port, int firstRow, int seed)
    {
        std::mt19937 random(static_cast<unsigned>(seed));
        for (int i = 0; i < kPerSource; ++i)
        {
            const int row = firstRow + static_cast<int>(random() % 36);
            const int channel = static_cast<int>(random() % 16);
            midi::ShortMessage message = 0;
            switch (random() % 4)
            {
            case 0:
                message = packShortMessage(0xB0 | channel, 7, static_cast<int>(random() % 128));
                break;
            case 1:
                message = packShortMessage(0x80 | channel, row + kMidiRowOffset, 64);
                sent[static_cast<std::size_t>(row)].push_back(false);
                break;
            default:
            {
                const int velocity = static_cast<int>(random() % 128);
                message = packShortMessage(0x90 | channel, row + kMidiRowOffset, velocity);
                sent[static_cast<std::size_t>(row)].push_back(velocity > 0);
            }
            }
            EXPECT_TRUE(loopback->push(port, message));
            if (i % 10 == 9)
                std::this_thread::sleep_for(1ms);
        }
    };
    std::thread pad(play, "Pad", 1, 1);
    std::thread sequencer(play, kVirtualPortName, 37, 2);
    for (int tick = 0; tick < 20; ++tick)
    {
        {
            std::lock_guard lock(programLock);
            std::this_thread::sleep_for(2ms);
        }
        std::this_thread::sleep_for(20ms);
    }
    pad.join();
    sequencer.join();
    loopback->push("Pad", packShortMessage(0xE0, 0, 64));

    ASSERT_TRUE(rows.waitForHandled(2 * kPerSource + 1, 20s)) << "messages were lost or stuck";
    EXPECT_EQ(closeMidiInput(state), 1);
    std::lock_guard lock(rows.mutex_);
    EXPECT_EQ(rows.display, "Bender Change 64");
    for (std::size_t row = 1; row <= kRows; ++row)
    {
        EXPECT_EQ(rows.history[row], sent[row]) << "row " << row;
        if (!sent[row].empty())
        {
            EXPECT_EQ(rows.playing[row], sent[row].back()) << "row " << row;
        }
    }
}

// The dispatch thread clears a handler only once its running call has ended, and a message
// whose handling fails leaves a line on standard error without stopping the ones after it.
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

} // namespace
} // namespace sonarello
