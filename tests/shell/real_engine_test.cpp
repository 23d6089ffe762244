// The rows over the real sound engine, recorded through its wav: output: what a person
// would hear when rows start, stop and play at a set volume.
#include "platform/midi/loopback_midi_service.h"
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
    // What the wav: output recorded, interleaved stereo, and its rate.
    std::vector<float> recorded(const std::string& path, int& rate)
    {
        auto heard = sound::openDecoder(path);
        if (!heard)
            return {};
        rate = heard->format().sampleRate;
        std::vector<float> samples(static_cast<std::size_t>(heard->format().frames) * 2);
        samples.resize(
            static_cast<std::size_t>(heard->read(samples.data(), heard->format().frames)) * 2);
        return samples;
    }
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

    int rate = 0;
    const auto samples = recorded(recording, rate);
    ASSERT_GT(rate, 0);

    const Segment row1 = analyse(samples, rate, 0.2, 0.6);
    EXPECT_NEAR(row1.frequency, 441.0, 2.0);
    EXPECT_NEAR(row1.peak, 0.5f, 0.01f);
    // The 48 kHz file plays at its own pitch; volume 127 is half of full.
    const Segment row2 = analyse(samples, rate, 0.9, 1.3);
    EXPECT_NEAR(row2.frequency, 441.0, 2.0);
    EXPECT_NEAR(row2.peak, 0.25f, 0.01f);
}

// A note starts its row from the row's cue, as one sound; right after the row changes file,
// the next note plays the new file.
TEST_F(RealEngine, NotesStartRowsFromTheirCuesAndFollowAFileChange)
{
    namespace sg = soundgen;
    ASSERT_TRUE(sg::writeSound(folder.file("a.wav"), {sg::Sound::Sine, 441, 3.0, 44100, 2, 0.5f},
                               sg::Container::Wav16));
    ASSERT_TRUE(sg::writeSound(folder.file("b.wav"), {sg::Sound::Sine, 882, 3.0, 44100, 2, 0.5f},
                               sg::Container::Wav16));
    const std::string recording = folder.file("heard.wav");
    midi::LoopbackMidiService* loopback = nullptr;
    bool firstNoteStartedRow = false;

    StartupServices services;
    services.makeEngine = [] { return sound::createAudioEngine(); };
    services.showMessage = [](const std::string& text) { ADD_FAILURE() << text; };
    services.makeMidiService = [&loopback](const std::string&)
    {
        auto service = std::make_unique<midi::LoopbackMidiService>(std::vector<std::string>{"Pads"},
                                                                   std::vector<std::string>{});
        loopback = service.get();
        return service;
    };
    services.onWindowReady = [&](Program& program)
    {
        Player& player = *program.player;
        QTimer::singleShot(300,
                           [&] { loopback->push("Pads", midi::packShortMessage(0x90, 36, 99)); });
        QTimer::singleShot(700,
                           [&]
                           {
                               std::scoped_lock lock(program.lock);
                               firstNoteStartedRow = player.rows.RowPlaying[1] == 1;
                               player.window.findControl(kFileBase + 1)->setAuxValue(1, 2);
                               syncCue(player, 1);
                               loopback->push("Pads", midi::packShortMessage(0x90, 36, 99));
                           });
        QTimer::singleShot(1200, [&program] { program.window->end(0); });
    };
    ASSERT_EQ(runProgram(parseCommandLine({"--audio=wav:" + recording}), services), kExitNormal);
    EXPECT_TRUE(firstNoteStartedRow);

    int rate = 0;
    const auto samples = recorded(recording, rate);
    ASSERT_GT(rate, 0);
    // The rows stop at shutdown, while the recording goes on a little.
    std::size_t end = samples.size() / 2;
    while (end > 0 && std::abs(samples[2 * (end - 1)]) < 0.01f)
        --end;
    const double seconds = static_cast<double>(end) / rate;
    const Segment last = analyse(samples, rate, seconds - 0.35, seconds - 0.05);
    EXPECT_NEAR(last.frequency, 882.0, 3.0) << "the row's new file";
    EXPECT_NEAR(last.peak, 0.5f, 0.01f) << "one sound, not the old one beside it";
}

} // namespace
