#include "engine/mixer.h"
#include "jack/fake_cycle.h"

#include <atomic>
#include <gtest/gtest.h>
#include <memory>
#include <thread>

using namespace sonarello;

namespace
{

constexpr int kFrames = 128;
constexpr int kRate = 48000;
constexpr int kRounds = 300;

// The output closed and opened again while JACK's thread runs cycles, and then with the server
// gone (no cycle runs any more): each detach returns only once no cycle holds the mixer, which
// is freed right after (the sanitizers see a cycle that still reads it).
TEST(JackCycle, DetachReturnsOnlyOnceNoCycleHoldsTheMixer)
{
    jack::Process process;
    std::atomic<bool> serverUp{true};
    std::thread jackThread(
        [&]
        {
            test::FakeCycle io(kFrames);
            while (serverUp.load())
                process.cycle(io, kFrames);
        });
    for (int round = 0; round < kRounds; ++round)
    {
        auto mixer = std::make_unique<sound::Mixer>(sound::kMinVoices, kRate);
        process.attachMixer(mixer.get());
        std::this_thread::yield();
        process.attachMixer(nullptr);
    }
    serverUp.store(false);
    jackThread.join();
    auto last = std::make_unique<sound::Mixer>(sound::kMinVoices, kRate);
    process.attachMixer(last.get());
    process.attachMixer(nullptr); // returns at once: nothing runs
}

} // namespace
