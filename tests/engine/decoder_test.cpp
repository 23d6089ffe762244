// Every kind of file the player reads decodes to its exact length, and seeks land on the
// frame. Files without audio are the catalogue's odd files and the audio-file fuzz target's.
#include "engine/decoder.h"
#include "support/sound_files.h"
#include "support/temp_folder.h"

#include <cmath>
#include <gtest/gtest.h>

using namespace sonarello;
using soundgen::Container;

namespace
{

struct Case
{
    const char* name;
    Container container;
    int rate;
    int channels;
};

class DecoderFormats : public ::testing::TestWithParam<Case>
{
  protected:
    test::TempFolder folder;
};

// MP3 frames decode to the exact sample count only where the header records it, or by a scan.
TEST_P(DecoderFormats, LengthIsExactAndAudioDecodes)
{
    const Case c = GetParam();
    const bool mp3 = c.container >= Container::Mp3Cbr;
    soundgen::SoundSpec recipe{soundgen::Sound::Sine, 441.0, 2.0, c.rate, c.channels, 0.5f};
    const std::string path = folder.file(std::string(c.name) + (mp3 ? ".mp3" : ".wav"));
    ASSERT_TRUE(soundgen::writeSound(path, recipe, c.container));

    auto decoder = sound::openDecoder(path);
    ASSERT_NE(decoder, nullptr);
    const auto& f = decoder->format();
    EXPECT_EQ(f.sampleRate, c.rate);
    EXPECT_EQ(f.fileChannels, c.channels);
    const std::int64_t expected = 2 * c.rate;
    // Without a LAME header the encoder's delay and padding stay in the frame count.
    const bool headerless =
        c.container == Container::Mp3CbrNoHeader || c.container == Container::Mp3VbrNoHeader;
    if (c.container == Container::WavAdpcm) // the last block is padded
        EXPECT_NEAR(static_cast<double>(f.frames), static_cast<double>(expected), 2048.0);
    else if (!headerless)
        EXPECT_EQ(f.frames, expected);
    else
        EXPECT_NEAR(static_cast<double>(f.frames), static_cast<double>(expected),
                    2.0 * 1152 + 1105);

    std::vector<float> all;
    std::vector<float> block(2 * 4096);
    while (const auto n = decoder->read(block.data(), 4096))
        all.insert(all.end(), block.begin(), block.begin() + 2 * n);
    EXPECT_EQ(static_cast<std::int64_t>(all.size() / 2), f.frames);
    EXPECT_NEAR(test::peakOf(all), 0.5f,
                mp3 || c.container == Container::WavAdpcm || c.container == Container::Wav8
                    ? 0.08f
                    : 0.001f);

    const auto m = sound::measureFile(path);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->lengthMs, sound::framesToMs(f.frames, c.rate));
    EXPECT_EQ(m->sizeBytes, std::filesystem::file_size(path));
}

INSTANTIATE_TEST_SUITE_P(AllKinds, DecoderFormats,
                         ::testing::Values(Case{"pcm16", Container::Wav16, 44100, 2},
                                           Case{"pcm8", Container::Wav8, 22050, 1},
                                           Case{"pcm24", Container::Wav24, 48000, 2},
                                           Case{"pcm32", Container::Wav32, 44100, 1},
                                           Case{"float", Container::WavFloat, 48000, 2},
                                           Case{"adpcm", Container::WavAdpcm, 22050, 1},
                                           Case{"extensible", Container::WavExtensible, 44100, 2},
                                           Case{"cbr", Container::Mp3Cbr, 44100, 2},
                                           Case{"vbr", Container::Mp3Vbr, 48000, 1},
                                           Case{"vbr22", Container::Mp3Vbr, 22050, 2},
                                           Case{"bare_cbr", Container::Mp3CbrNoHeader, 44100, 2},
                                           Case{"bare_vbr", Container::Mp3VbrNoHeader, 48000, 2}),
                         [](const auto& param) { return std::string(param.param.name); });

TEST(DecoderSeek, IsSampleAccurateInWavAndMp3)
{
    test::TempFolder folder;
    std::vector<float> ramp(2 * 44100 * 3);
    for (std::size_t i = 0; i < ramp.size() / 2; ++i)
        ramp[2 * i] = ramp[2 * i + 1] = std::sin(static_cast<float>(i) * 0.01f) * 0.5f;
    for (const auto c : {Container::WavFloat, Container::Mp3Cbr, Container::Mp3CbrNoHeader})
    {
        const auto path = folder.file(c == Container::WavFloat ? "a.wav" : "a.mp3");
        ASSERT_TRUE(soundgen::writeSamples(path, ramp, 44100, 2, c));
        auto decoder = sound::openDecoder(path);
        ASSERT_NE(decoder, nullptr);
        std::vector<float> straight(2 * 1000), seeked(2 * 1000);
        const std::int64_t at = 77777;
        std::vector<float> skip(2 * at);
        ASSERT_EQ(decoder->read(skip.data(), at), at);
        ASSERT_EQ(decoder->read(straight.data(), 1000), 1000);
        ASSERT_TRUE(decoder->seek(at));
        ASSERT_EQ(decoder->read(seeked.data(), 1000), 1000);
        for (std::size_t i = 0; i < straight.size(); ++i)
            ASSERT_NEAR(straight[i], seeked[i], 1e-4f) << "sample " << i;
        EXPECT_FALSE(decoder->seek(decoder->format().frames + 1));
    }
}

// A corrupt float file (one flipped bit in a format tag) holds NaN, infinities and 1e30.
TEST(Decoder, CorruptFloatSamplesBecomeFiniteAndBounded)
{
    test::TempFolder folder;
    const float inf = INFINITY;
    const std::vector<float> bad{0.25f, NAN, inf, -inf, 1e30f, -1e30f, -0.5f, 0.0f};
    ASSERT_TRUE(soundgen::writeSamples(folder.file("bad.wav"), bad, 44100, 2, Container::WavFloat));
    int rate = 0;
    const auto got = test::readSound(folder.file("bad.wav"), rate);
    ASSERT_EQ(got.size(), bad.size());
    for (const float s : got)
        EXPECT_LE(std::fabs(s), sound::kMaxSample) << s;
    EXPECT_EQ(got[0], 0.25f);
    EXPECT_EQ(got[1], 0.0f);
    EXPECT_EQ(got[6], -0.5f);
}

} // namespace
