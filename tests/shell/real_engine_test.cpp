// The rows over the real sound engine, recorded through its wav: output: what a person
// would hear when rows start, stop and play at a set volume.
#include "platform/sound/audio_engine.h"
#include "platform/sound/decoder.h"
#include "program_fixture.h"
#include "shell/startup.h"
#include "soundgen.h"
#include "support/temp_folder.h"

#include <QTimer>
#include <cmath>
#include <fstream>
#include <gtest/gtest.h>

using namespace sonarello;

namespace
{

struct Segment
{
    double frequency = 0;
    float peak = 0;
};

// Frequency by rising zero crossings, and the peak, of the left side of [from, to) seconds.
Segment analyse(const std::vector<float>& stereo, int rate, double from, double to)
{
    const auto first = static_cast<std::size_t>(from * rate);
    const auto last = std::min(static_cast<std::size_t>(to * rate), stereo.size() / 2);
    Segment s;
    std::vector<double> crossings;
    for (std::size_t i = first + 1; i < last; ++i)
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

class RealEngine : public test::ProgramFolderTest
{
  protected:
};

TEST_F(RealEngine, RowsSoundAtTheirFilesPitchAndTheirVolume)
{
    namespace sg = soundgen;
    ASSERT_TRUE(sg::writeSound(folder.file("a.wav"), {sg::Sound::Sine, 441, 3.0, 44100, 2, 0.5f},
                               sg::Container::Wav16));
    ASSERT_TRUE(sg::writeSound(folder.file("b.wav"), {sg::Sound::Sine, 441, 3.0, 48000, 2, 0.5f},
                               sg::Container::WavFloat));
    std::ofstream(folder.file("impostazioni.ini")) << "riga=2,velo=50,vol=127,loop=1,file=2\n";
    const std::string recording = folder.file("heard.wav");

    StartupServices services;
    services.makeEngine = [] { return sound::createAudioEngine(); };
    services.showMessage = [](const std::string& text) { ADD_FAILURE() << text; };
    services.onWindowReady = [](Program& program)
    {
        Player& player = *program.player;
        QTimer::singleShot(0, [&player] { startRow(player, 1); });
        QTimer::singleShot(700,
                           [&player]
                           {
                               stopRow(player, 1);
                               startRow(player, 2);
                           });
        QTimer::singleShot(1400, [&program] { program.window->end(0); });
    };
    ASSERT_EQ(runProgram(parseCommandLine({"--audio=wav:" + recording}), services), kExitNormal);

    auto heard = sound::openDecoder(recording);
    ASSERT_NE(heard, nullptr);
    const int rate = heard->format().sampleRate;
    std::vector<float> samples(static_cast<std::size_t>(heard->format().frames) * 2);
    samples.resize(static_cast<std::size_t>(heard->read(samples.data(), heard->format().frames)) *
                   2);

    const Segment row1 = analyse(samples, rate, 0.2, 0.6);
    EXPECT_NEAR(row1.frequency, 441.0, 2.0);
    EXPECT_NEAR(row1.peak, 0.5f, 0.01f);
    // The 48 kHz file plays at its own pitch; volume 127 is half of full.
    const Segment row2 = analyse(samples, rate, 0.9, 1.3);
    EXPECT_NEAR(row2.frequency, 441.0, 2.0);
    EXPECT_NEAR(row2.peak, 0.25f, 0.01f);
}

} // namespace
