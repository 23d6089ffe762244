// The rows over the real sound engine, recorded through its wav: output: what a person
// would hear when rows start, stop and play at a set volume, and when notes start them.
#include "platform/sound/decoder.h"
#include "program_fixture.h"

#include <QTest>
#include <cmath>
#include <fstream>

using namespace sonarello;

namespace
{

struct Segment
{
    double frequency = 0;
    float peak = 0;
};

class RealEngine : public test::ProgramTest
{
  protected:
    const std::string recording = folder.file("heard.wav");

    // What the wav: output recorded, interleaved stereo, at `rate`.
    std::vector<float> heard()
    {
        auto decoder = sound::openDecoder(recording);
        if (!decoder)
            return {};
        rate = decoder->format().sampleRate;
        std::vector<float> samples(static_cast<std::size_t>(decoder->format().frames) * 2);
        samples.resize(
            static_cast<std::size_t>(decoder->read(samples.data(), decoder->format().frames)) * 2);
        return samples;
    }
    // Frequency by rising zero crossings, and the peak, of the left side of [from, to) seconds.
    Segment analyse(const std::vector<float>& stereo, double from, double to) const
    {
        const auto last = std::min(static_cast<std::size_t>(to * rate), stereo.size() / 2);
        Segment s;
        std::vector<double> crossings;
        for (auto i = static_cast<std::size_t>(from * rate) + 1; i < last; ++i)
        {
            const float a = stereo[2 * (i - 1)];
            const float b = stereo[2 * i];
            s.peak = std::max(s.peak, std::abs(b));
            if (a < 0 && b >= 0)
                crossings.push_back(static_cast<double>(i - 1) + a / (a - b));
        }
        if (crossings.size() > 2)
            s.frequency = (static_cast<double>(crossings.size()) - 1) * rate /
                          (crossings.back() - crossings.front());
        return s;
    }
    int rate = 0;
};

TEST_F(RealEngine, RowsSoundAtTheirFilesPitchAndTheirVolume)
{
    namespace sg = soundgen;
    ASSERT_TRUE(sg::writeSound(folder.file("a.wav"), {sg::Sound::Sine, 441, 3.0, 44100, 2, 0.5f},
                               sg::Container::Wav16));
    ASSERT_TRUE(sg::writeSound(folder.file("b.wav"), {sg::Sound::Sine, 441, 3.0, 48000, 2, 0.5f},
                               sg::Container::WavFloat));
    std::ofstream(folder.file("impostazioni.ini")) << "riga=2,velo=50,vol=127,loop=1,file=2\n";
    ASSERT_EQ(run({"--audio=wav:" + recording},
                  [](Program& program)
                  {
                      startRow(*program.player, 1);
                      QTest::qWait(700);
                      stopRow(*program.player, 1);
                      startRow(*program.player, 2);
                      QTest::qWait(700);
                  }),
              kExitNormal);
    const auto samples = heard();
    ASSERT_GT(rate, 0);
    const Segment row1 = analyse(samples, 0.2, 0.6);
    EXPECT_NEAR(row1.frequency, 441.0, 2.0);
    EXPECT_NEAR(row1.peak, 0.5f, 0.01f);
    // The 48 kHz file plays at its own pitch; volume 127 is half of full.
    const Segment row2 = analyse(samples, 0.9, 1.3);
    EXPECT_NEAR(row2.frequency, 441.0, 2.0);
    EXPECT_NEAR(row2.peak, 0.25f, 0.01f);
}

// A note starts its row from the row's cue, as one sound; right after the row changes file,
// the next note plays the new file.
TEST_F(RealEngine, NotesStartRowsFromTheirCuesAndFollowAFileChange)
{
    writeTones(2, 441, 3.0);
    bool firstNoteStartedRow = false;
    ASSERT_EQ(run({"--audio=wav:" + recording},
                  [&](Program& program)
                  {
                      QTest::qWait(300);
                      loopback->push("Pads", midi::packShortMessage(0x90, 36, 99));
                      QTest::qWait(400);
                      {
                          std::scoped_lock lock(program.lock);
                          firstNoteStartedRow = program.player->rows.RowPlaying[1] == 1;
                          program.window->findControl(kFileBase + 1)->setAuxValue(1, 2);
                          syncCue(*program.player, 1);
                      }
                      loopback->push("Pads", midi::packShortMessage(0x90, 36, 99));
                      QTest::qWait(500);
                  }),
              kExitNormal);
    EXPECT_TRUE(firstNoteStartedRow);
    const auto samples = heard();
    ASSERT_GT(rate, 0);
    // The rows stop at shutdown, while the recording goes on a little.
    std::size_t end = samples.size() / 2;
    while (end > 0 && std::abs(samples[2 * (end - 1)]) < 0.01f)
        --end;
    const double seconds = static_cast<double>(end) / rate;
    const Segment last = analyse(samples, seconds - 0.35, seconds - 0.05);
    EXPECT_NEAR(last.frequency, 882.0, 3.0) << "the row's new file";
    EXPECT_NEAR(last.peak, 0.5f, 0.01f) << "one sound, not the old one beside it";
}

} // namespace
