#include "engine/audio_engine.h"
#include "support/sound_files.h"
#include "support/temp_folder.h"

#include <cmath>
#include <gtest/gtest.h>

using namespace sonarello;
using namespace sonarello::sound;

namespace
{

constexpr int kRate = 44100;
constexpr int kPeriod = 256;
constexpr double kHz = 440;
constexpr float kAmplitude = 0.5f;

// The largest step from one sample to the next on the left side.
float largestStep(const std::vector<float>& stereo)
{
    float most = 0;
    for (std::size_t i = 2; i < stereo.size(); i += 2)
        most = std::max(most, std::fabs(stereo[i] - stereo[i - 2]));
    return most;
}

// A stream played again from its start while it sounds past its preloaded head (so from the
// ring, which one voice reads at a time), at a crest of its tone: the old sound fades out over
// the stop ramp instead of being cut, and the new one starts from the file's first sample.
TEST(Replay, FadesOutTheSoundItReplacesWithoutAStep)
{
    test::TempFolder folder;
    const std::string path = folder.file("long tone.wav");
    ASSERT_TRUE(test::writeSine(path, kHz, 12.0, kRate, kAmplitude));
    auto manual = createManualEngine(kRate);
    SoundEngine& engine = manual->engine();
    const StreamHandle stream = engine.openStream(path);
    ASSERT_NE(engine.playStream(stream), kNoChannel);

    // Up to a crest of the tone, two seconds in: past the head.
    const int crest = static_cast<int>(std::lround((900.25 / kHz) * kRate));
    std::vector<float> block(kPeriod * 2);
    for (int done = 0; done < crest; done += kPeriod)
        manual->render(block.data(), std::min(kPeriod, crest - done));
    ASSERT_TRUE(engine.setTimeMs(stream, 0));
    ASSERT_NE(engine.playStream(stream), kNoChannel);
    std::vector<float> after(kPeriod * 8 * 2 + 2);
    after[0] = block[2 * ((crest - 1) % kPeriod)]; // the last sample before
    for (int done = 0; done < kPeriod * 8; done += kPeriod)
        manual->render(after.data() + 2 + done * 2, kPeriod);

    const float natural = static_cast<float>(2 * M_PI * kHz / kRate) * kAmplitude;
    // A 3 ms fade of a crest adds at most its level over the ramp's frames to each step.
    EXPECT_LT(largestStep(after), natural + kAmplitude / (0.003f * kRate) * 2);
    EXPECT_GT(test::peakOf(after), 0.9f * kAmplitude); // the new sound plays
}

} // namespace
