// The loopback service and the dispatch thread behind every MIDI service.
#include "platform/midi/loopback_midi_service.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace sonarello::midi
{
namespace
{

using namespace std::chrono_literals;

class Received
{
  public:
    MessageHandler handler()
    {
        return [this](ShortMessage m)
        {
            std::lock_guard lock(mutex_);
            messages_.push_back(m);
            threads_.push_back(std::this_thread::get_id());
            changed_.notify_all();
        };
    }
    std::vector<ShortMessage> waitFor(std::size_t count, std::chrono::milliseconds limit = 5s)
    {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, limit, [&] { return messages_.size() >= count; });
        return messages_;
    }
    std::vector<std::thread::id> threads()
    {
        std::lock_guard lock(mutex_);
        return threads_;
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<ShortMessage> messages_;
    std::vector<std::thread::id> threads_;
};

class LoopbackMidi : public ::testing::Test
{
  protected:
    LoopbackMidi() : service({"Pad", "Keys"}, {"Synth"}) { service.setHandler(received.handler()); }

    Received received;
    LoopbackMidiService service;
};

TEST_F(LoopbackMidi, DeliversOnItsOwnThreadInArrivalOrder)
{
    const PortHandle pad = service.openInput(0);
    ASSERT_NE(pad, kNoPort);
    ASSERT_EQ(service.startInput(pad), kMidiOk);

    std::vector<ShortMessage> sent;
    for (int i = 0; i < 300; ++i)
    {
        const ShortMessage m = packShortMessage(0x90, i % 128, i % 2 == 0 ? 100 : 0);
        ASSERT_TRUE(service.push(i % 3 == 0 ? kVirtualPortName : "Pad", m));
        sent.push_back(m);
    }
    EXPECT_EQ(received.waitFor(sent.size()), sent);
    for (const auto id : received.threads())
        EXPECT_NE(id, std::this_thread::get_id());
}

TEST_F(LoopbackMidi, OnlyAStartedOpenInputDelivers)
{
    EXPECT_FALSE(service.push("Pad", 0x90)); // not open
    const PortHandle pad = service.openInput(0);
    EXPECT_FALSE(service.push("Pad", 0x91)); // open, not started
    service.startInput(pad);
    EXPECT_TRUE(service.push("Pad", 0x92));
    received.waitFor(1);
    service.stopInput(pad);
    EXPECT_FALSE(service.push("Pad", 0x93));
    service.startInput(pad);
    EXPECT_EQ(service.closeInput(pad), kMidiOk);
    EXPECT_FALSE(service.push("Pad", 0x94));
    EXPECT_TRUE(service.push(kVirtualPortName, 0x95)); // the virtual port is always open
    EXPECT_EQ(received.waitFor(2), (std::vector<ShortMessage>{0x92, 0x95}));
}

TEST_F(LoopbackMidi, HandleZeroAndNumbersBeyondTheLastAreHarmless)
{
    EXPECT_EQ(service.openInput(2), kNoPort);
    EXPECT_EQ(service.openInput(-1), kNoPort);
    EXPECT_EQ(service.openOutput(1), kNoPort);
    EXPECT_NE(service.startInput(kNoPort), kMidiOk);
    EXPECT_NE(service.stopInput(kNoPort), kMidiOk);
    EXPECT_NE(service.closeInput(kNoPort), kMidiOk);
    EXPECT_NE(service.closeOutput(kNoPort), kMidiOk);
    int number = 7;
    EXPECT_NE(service.outputNumber(kNoPort, number), kMidiOk);
    EXPECT_EQ(number, 7);

    const PortHandle out = service.openOutput(0);
    EXPECT_TRUE(service.outputOpen("Synth"));
    EXPECT_EQ(service.outputNumber(out, number), kMidiOk);
    EXPECT_EQ(number, 0);
    EXPECT_EQ(service.closeOutput(out), kMidiOk);
    EXPECT_NE(service.closeOutput(out), kMidiOk); // a closed handle is no longer open
    EXPECT_FALSE(service.outputOpen("Synth"));
}

TEST_F(LoopbackMidi, AnUnpluggedInputGoesQuietAndStillCloses)
{
    const PortHandle keys = service.openInput(1);
    service.startInput(keys);
    service.unplugInput("Keys");
    EXPECT_EQ(service.inputNames(), std::vector<std::string>{"Pad"});
    EXPECT_FALSE(service.push("Keys", 0x90));
    EXPECT_TRUE(service.push(kVirtualPortName, 0x80));
    EXPECT_EQ(received.waitFor(1), std::vector<ShortMessage>{0x80});
    EXPECT_EQ(service.closeInput(keys), kMidiOk);
}

TEST_F(LoopbackMidi, ClearingTheHandlerWaitsForTheRunningCall)
{
    std::atomic<bool> inside{false};
    std::atomic<bool> finished{false};
    service.setHandler(
        [&](ShortMessage)
        {
            inside = true;
            std::this_thread::sleep_for(100ms);
            finished = true;
        });
    service.push(kVirtualPortName, 0x90);
    while (!inside)
        std::this_thread::yield();
    service.setHandler(nullptr);
    EXPECT_TRUE(finished);
}

} // namespace
} // namespace sonarello::midi
