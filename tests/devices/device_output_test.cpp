// The system's sound outputs as a person's machine has them: a PulseAudio daemon of the test's
// own with a null sink whose monitor is recorded, and ALSA PCMs of the test's own configuration.
#include "base/files.h"
#include "support/process.h"
#include "support/pulse_server.h"
#include "support/sound_files.h"
#include "support/temp_folder.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <thread>

using namespace sonarello;
using namespace sonarello::sound;
using namespace std::chrono_literals;

namespace
{

constexpr int kPeriod = 256;
using test::startSystemEngine;

std::vector<float> floatsOf(const std::string& bytes)
{
    std::vector<float> samples(bytes.size() / sizeof(float));
    std::memcpy(samples.data(), bytes.data(), samples.size() * sizeof(float));
    return samples;
}

class PulseOutput : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        if (!test::PulseServer::installed())
            GTEST_SKIP() << "pulseaudio and pulseaudio-utils are not installed";
        ASSERT_TRUE(server.start()) << "pulseaudio did not come up";
        ASSERT_TRUE(test::writeSine(folder.file("tone.wav"), 441, 5, 44100));
    }

    // The buffer latency of our stream as the server reports it; -1 when it does not come.
    double streamLatencyMs()
    {
        for (int i = 0; i < 60; ++i, std::this_thread::sleep_for(50ms))
        {
            const std::string inputs =
                test::runProcess({"/usr/bin/pactl", "list", "sink-inputs"}, folder.path()).out;
            const auto at = inputs.find("Buffer Latency: ");
            if (inputs.find("application.name = \"Sonarello\"") != std::string::npos &&
                at != std::string::npos)
                return std::stod(inputs.substr(at + 16)) / 1000.0;
        }
        return -1;
    }

    test::TempFolder folder;
    test::PulseServer server;
};

TEST_F(PulseOutput, PlaysOnTheDefaultSinkWithABufferOfAboutFourPeriods)
{
    // The recorder comes first: its short fragments bring the null sink to a low latency, as
    // a sound card's sink would have.
    test::ProcessResult heard;
    std::thread recorder(
        [&]
        {
            heard = test::runProcess({"/usr/bin/parec", "--raw", "--device=test.monitor",
                                      "--format=float32le", "--channels=2", "--rate=44100",
                                      "--latency-msec=10"},
                                     folder.path(), {}, 10s, 3500ms);
        });
    EXPECT_TRUE(server.settle());
    for (const int period : {1024, kPeriod})
    {
        auto engine = startSystemEngine("pulse", period);
        ASSERT_TRUE(engine);
        EXPECT_EQ(engine->outputRate(), 44100) << "the server's rate";
        EXPECT_NE(engine->playStream(engine->openStream(folder.file("tone.wav"))), kNoChannel);
        const double periodMs = period * 1000.0 / 44100;
        const double latency = streamLatencyMs();
        EXPECT_GT(latency, periodMs * 1.5) << "period " << period; // read as it settles
        EXPECT_LT(latency, periodMs * 4.5) << "period " << period;
        if (period == kPeriod)
            recorder.join(); // the tone plays on meanwhile
    }
    const auto samples = floatsOf(heard.out);
    EXPECT_NEAR(test::measureFrequency(samples, 44100), 441.0, 2.0);
    EXPECT_NEAR(test::peakOf(samples), 0.5f, 0.05f);
}

TEST_F(PulseOutput, AutoTakesItStartsNoServerOfItsOwnAndComesBackWhenTheServerReturns)
{
    ::testing::internal::CaptureStderr();
    auto engine = startSystemEngine("auto"); // no JACK server answers here
    EXPECT_NE(::testing::internal::GetCapturedStderr().find("sound through PulseAudio"),
              std::string::npos);
    ASSERT_TRUE(engine);
    ASSERT_GE(streamLatencyMs(), 0);
    server.stop();
    EXPECT_FALSE(startSystemEngine("pulse")) << "with no server the next output is tried";
    std::this_thread::sleep_for(700ms);
    ASSERT_TRUE(server.start());
    EXPECT_GE(streamLatencyMs(), 0) << "the output opens again on the returned server";
}

// ALSA through a configuration of the test's own: the default PCM writes a raw file over the
// null PCM, which has no clock and no control device.
TEST(AlsaOutput, PlaysAtTheDevicesRateAndKeepsRealTimeOnAPcmWithoutAClock)
{
    test::TempFolder folder;
    const std::string raw = folder.file("out.raw");
    ::setenv("ALSA_CONFIG_PATH", folder.file("asound.conf").c_str(), 1);
    for (const auto& [slaveRate, expectedRate] : {std::pair{"", 44100}, {" rate 48000", 48000}})
    {
        std::ofstream(folder.file("asound.conf"))
            << "pcm.!default { type plug slave { pcm { type file slave.pcm { type null } file \""
            << raw << "\" format \"raw\" }" << slaveRate << " } }\n";
        ASSERT_TRUE(test::writeSine(folder.file("tone.wav"), 441, 5, 44100));
        auto engine = startSystemEngine("alsa");
        ASSERT_TRUE(engine) << "no control device is needed";
        EXPECT_EQ(engine->outputRate(), expectedRate) << "a device that refuses 44.1 kHz";
        engine->playStream(engine->openStream(folder.file("tone.wav")));
        const auto start = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(1s);
        const auto bytes = std::filesystem::file_size(raw);
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        engine.reset();
        const double written = static_cast<double>(bytes) / (expectedRate * 2 * sizeof(float));
        EXPECT_NEAR(written, seconds, 0.1) << "paced by the clock, not as fast as it can";
        const auto samples = floatsOf(os::readWholeFile(raw));
        EXPECT_NEAR(test::measureFrequency(samples, expectedRate), 441.0, 1.0);
        std::filesystem::remove(raw);
    }
    ::unsetenv("ALSA_CONFIG_PATH");
}

} // namespace
