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

// MP3 frames decode to the exact sample count only where the header records it, or by a scan.
TEST(DecoderFormats, LengthIsExactAndAudioDecodes)
{
    // The last ADPCM block is padded; without a LAME header the encoder's delay and padding
    // stay in the frame count. Lossy kinds reach the peak less exactly.
    constexpr double kBare = 2.0 * 1152 + 1105;
    const struct
    {
        const char* name;
        Container container;
        int rate, channels;
        double slack;
        float peakError;
    } cases[] = {{"pcm16.wav", Container::Wav16, 44100, 2, 0, 0.001f},
                 {"pcm8.wav", Container::Wav8, 22050, 1, 0, 0.08f},
                 {"pcm24.wav", Container::Wav24, 48000, 2, 0, 0.001f},
                 {"pcm32.wav", Container::Wav32, 44100, 1, 0, 0.001f},
                 {"float.wav", Container::WavFloat, 48000, 2, 0, 0.001f},
                 {"adpcm.wav", Container::WavAdpcm, 22050, 1, 2048, 0.08f},
                 {"extensible.wav", Container::WavExtensible, 44100, 2, 0, 0.001f},
                 {"cbr.mp3", Container::Mp3Cbr, 44100, 2, 0, 0.08f},
                 {"vbr.mp3", Container::Mp3Vbr, 48000, 1, 0, 0.08f},
                 {"vbr22.mp3", Container::Mp3Vbr, 22050, 2, 0, 0.08f},
                 {"bare_cbr.mp3", Container::Mp3CbrNoHeader, 44100, 2, kBare, 0.08f},
                 {"bare_vbr.mp3", Container::Mp3VbrNoHeader, 48000, 2, kBare, 0.08f}};
    test::TempFolder folder;
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        const std::string path = folder.file(c.name);
        ASSERT_TRUE(soundgen::writeSound(
            path, {soundgen::Sound::Sine, 441.0, 2.0, c.rate, c.channels, 0.5f}, c.container));
        auto decoder = sound::openDecoder(path);
        ASSERT_NE(decoder, nullptr);
        const auto& f = decoder->format();
        EXPECT_EQ(f.sampleRate, c.rate);
        EXPECT_EQ(f.fileChannels, c.channels);
        EXPECT_NEAR(static_cast<double>(f.frames), 2.0 * c.rate, c.slack);

        std::vector<float> all;
        std::vector<float> block(2 * 4096);
        while (const auto n = decoder->read(block.data(), 4096))
            all.insert(all.end(), block.begin(), block.begin() + 2 * n);
        EXPECT_EQ(static_cast<std::int64_t>(all.size() / 2), f.frames);
        EXPECT_NEAR(test::peakOf(all), 0.5f, c.peakError);

        const auto m = sound::measureFile(path);
        ASSERT_TRUE(m);
        EXPECT_EQ(m->format.frames, f.frames);
        EXPECT_EQ(m->sizeBytes, std::filesystem::file_size(path));
    }
}

TEST(DecoderSeek, IsSampleAccurateInWavAndMp3)
{
    test::TempFolder folder;
    for (const auto c : {Container::WavFloat, Container::Mp3Cbr, Container::Mp3CbrNoHeader})
    {
        const auto path = folder.file(c == Container::WavFloat ? "a.wav" : "a.mp3");
        ASSERT_TRUE(soundgen::writeSound(path, {soundgen::Sound::Sine, 70.0, 3.0, 44100, 2}, c));
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
    const std::vector<float> bad{0.25f, NAN, INFINITY, -INFINITY, 1e30f, -1e30f, -0.5f, 0.0f};
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
