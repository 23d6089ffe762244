// A pad controller in the running player, through a loopback service: its pads start rows and
// light them, its fader moves a row's volume as a drag on "Volume" does, velocity scales the
// sound and not the saved volume, stop-all fades every row out, and a bad profile leaves the
// player's own mapping.
#include "shell/program_fixture.h"

#include "base/text.h"
#include "playback/event_handler.h"

#include <QTest>
#include <fstream>
#include <gtest/gtest.h>

using namespace sonarello;
using midi::packShortMessage;
using Bytes = std::vector<std::uint8_t>;

namespace
{

class Controller : public test::ProgramTest
{
  protected:
    void SetUp() override
    {
        ProgramTest::SetUp();
        writeTones(2, 200, 3.0);
        std::ofstream(folder.file("pads.ini")) << R"([device]
name = test-pads
ports = Pads
take = F0 7D 01 F7
[pads]
channel = 1
line1 = 60 61 62
[lights]
no_file = 90 pad 01
stopped = 90 pad 02
playing = 90 pad 03
looping = 90 pad 04
dark = 90 pad 00
[faders]
message = cc
numbers = 48
[controls]
stop_all = cc 1 19
velocity = on
)";
    }
    static bool settle(Program& p, std::function<bool()> done, int ms = 2000)
    {
        return QTest::qWaitFor(
            [&]
            {
                std::scoped_lock lock(p.lock);
                return done();
            },
            ms);
    }
    float level(Program& p, int row)
    {
        float left = 0, right = 0;
        std::scoped_lock lock(p.lock);
        p.engine->currentLevels(p.player->rows.RowChannel[static_cast<std::size_t>(row)], left,
                                right);
        return left;
    }
};

} // namespace

TEST_F(Controller, PadsStartRowsAndLightThemFaderAndVelocityLeaveTheSavedVolume)
{
    EXPECT_EQ(run({"--audio=null", "--controller=pads.ini"},
                  [&](Program& p)
                  {
                      auto& rows = p.player->rows;
                      rows.RowLoop[1] = rows.RowLoop[2] = 0;
                      // Taken at start-up: the take message, then every pad.
                      EXPECT_TRUE(settle(p, [&] { return loopback->sent("Synth").size() == 4; }));
                      EXPECT_EQ(loopback->sent("Synth"),
                                (std::vector<Bytes>{{0xF0, 0x7D, 0x01, 0xF7},
                                                    {0x90, 60, 2},
                                                    {0x90, 61, 2},
                                                    {0x90, 62, 1}}));
                      loopback->clearSent();
                      loopback->push("Pads", packShortMessage(0x90, 60, 127));
                      loopback->push("Pads", packShortMessage(0x90, 61, 64));
                      // The pads were set in this tick: their changes go at the next one.
                      EXPECT_TRUE(settle(p, [&] { return loopback->sent("Synth").size() == 2; }));
                      EXPECT_EQ(loopback->sent("Synth"),
                                (std::vector<Bytes>{{0x90, 60, 3}, {0x90, 61, 3}}));
                      QTest::qWait(300);
                      level(p, 1), level(p, 2);
                      QTest::qWait(200);
                      EXPECT_NEAR(level(p, 2) / level(p, 1), midi::velocityGain(64), 0.03);
                      EXPECT_EQ(rows.RowVolume[2], 255); // the saved volume stays

                      loopback->push("Pads", packShortMessage(0xB0, 48, 64));
                      EXPECT_TRUE(settle(p, [&] { return rows.RowVolume[1] != 255; }));
                      EXPECT_EQ(rows.RowVolume[1], volumeFromSlider(64 * 100.0f / 127.0f));
                      EXPECT_EQ(std::string(p.toolkit->controls[kVolumeBase + 1].caption.trimmed()),
                                std::string(text::trimBlanks(volumeCaption(
                                    static_cast<float>(rows.RowVolume[1]) / kVolumeScale))));
                      EXPECT_EQ(currentSettings(p).rows[1].RowVolume, rows.RowVolume[1]);

                      // Stop-all: still sounding, softer, a moment later; then stopped.
                      loopback->clearSent();
                      loopback->push("Pads", packShortMessage(0xB0, 19, 127));
                      QTest::qWait(120);
                      {
                          std::scoped_lock lock(p.lock);
                          EXPECT_EQ(rows.RowPlaying[1] + rows.RowPlaying[2], 2);
                      }
                      EXPECT_TRUE(settle(
                          p, [&] { return rows.RowPlaying[1] + rows.RowPlaying[2] == 0; }, 600));
                      EXPECT_TRUE(settle(p, [&] { return loopback->sent("Synth").size() == 2; }));
                      EXPECT_EQ(loopback->sent("Synth"),
                                (std::vector<Bytes>{{0x90, 60, 2}, {0x90, 61, 2}}));
                  }),
              kExitNormal);
}

TEST_F(Controller, ABadProfileLeavesThePlayersOwnMapping)
{
    std::ofstream(folder.file("bad.ini")) << "[pads]\nline1 = 1 1\n";
    EXPECT_EQ(run({"--audio=null", "--controller=bad.ini"},
                  [&](Program& p)
                  {
                      EXPECT_EQ(p.controller->profile(), nullptr);
                      loopback->push("Pads", packShortMessage(0x90, 36, 100));
                      EXPECT_TRUE(settle(p, [&] { return p.player->rows.RowPlaying[1] == 1; }));
                      EXPECT_TRUE(loopback->sent("Synth").empty());
                  }),
              kExitNormal);
}
