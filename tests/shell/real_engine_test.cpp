// The rows over the real sound engine, recorded through its wav: output: what a person
// would hear when notes start them from their cues.
#include "program_fixture.h"
#include "support/sound_files.h"

#include <QTest>

using namespace sonarello;

namespace
{

using RealEngine = test::ProgramTest;

// A note starts its row from the row's cue, as one sound; right after the row changes file,
// the next note plays the new file.
TEST_F(RealEngine, NotesStartRowsFromTheirCuesAndFollowAFileChange)
{
    const std::string recording = folder.file("heard.wav");
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
    int rate = 0;
    auto samples = test::readSound(recording, rate);
    ASSERT_GT(rate, 0);
    // The rows stop at shutdown, while the recording goes on a little: the last 0.3 s of sound.
    while (!samples.empty() && std::abs(samples[samples.size() - 2]) < 0.01f)
        samples.resize(samples.size() - 2);
    samples.resize(samples.size() - static_cast<std::size_t>(rate / 20) * 2);
    samples.erase(samples.begin(), samples.end() - static_cast<std::ptrdiff_t>(rate * 3 / 10) * 2);
    EXPECT_NEAR(test::measureFrequency(samples, rate), 882.0, 3.0) << "the row's new file";
    EXPECT_NEAR(test::peakOf(samples), 0.5f, 0.01f) << "one sound, not the old one beside it";
}

} // namespace
