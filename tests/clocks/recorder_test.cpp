#include "devices/system_outputs.h"
#include "support/sound_files.h"
#include "support/temp_folder.h"

#include <chrono>
#include <gtest/gtest.h>
#include <thread>

using namespace sonarello;
using namespace std::chrono_literals;

namespace
{

constexpr int kRate = 44100;
constexpr std::int64_t kFrames = kRate / 2;

// What the clock renders reaches the file sample for sample, though a thread of its own writes
// it: a ramp played at full volume comes back as the same floats, every frame in order.
TEST(WavRecording, HoldsEveryRenderedSampleAsItWas)
{
    test::TempFolder folder;
    ASSERT_TRUE(test::writeRampFile(folder.file("ramp.wav"), kFrames, kRate));
    const std::string recording = folder.file("take.wav");
    {
        auto engine = sound::createSystemEngine();
        sound::EngineOptions options;
        options.output = "wav:" + recording;
        ASSERT_TRUE(engine->start(options));
        const auto stream = engine->openStream(folder.file("ramp.wav"));
        ASSERT_NE(engine->playStream(stream), sound::kNoChannel);
        for (int i = 0; i < 200 && !engine->ended(stream); ++i)
            std::this_thread::sleep_for(10ms);
        EXPECT_TRUE(engine->ended(stream));
    }
    int rate = 0;
    const std::vector<float> take = test::readSound(recording, rate);
    const std::vector<float> ramp = test::readSound(folder.file("ramp.wav"), rate);
    std::size_t first = 2; // frame 0 of the ramp is silent: its first sound is frame 1
    while (first < take.size() && take[first] == 0.0f)
        first += 2;
    ASSERT_GE(first, 2u);
    ASSERT_GE(take.size(), first - 2 + ramp.size());
    EXPECT_TRUE(std::equal(ramp.begin(), ramp.end(), take.begin() + std::ptrdiff_t(first - 2)));
}

} // namespace
