#include "player_fixture.h"

using namespace sonarello;

class Rows : public test::PlayerFixture
{
  protected:
    void SetUp() override { makePlayer(4, 3); }
    auto& rows() { return player->rows; }
};

TEST_F(Rows, StartOpensPlaysAtTheFilesOwnRateAndShowsOn)
{
    rows().RowVolume[3] = 127;
    startRow(*player, 3); // row 3 plays the 48 kHz file
    const auto calls = engine.takeCalls();
    ASSERT_GE(calls.size(), 3u);
    EXPECT_EQ(calls[0], "open " + catalogue.path(3));
    const std::string stream = std::to_string(rows().RowStream[3]);
    EXPECT_NE(std::find(calls.begin(), calls.end(), "play " + stream + " 127 48000"), calls.end());
    EXPECT_EQ(rows().RowPlaying[3], 1);
    EXPECT_EQ(rows().RowLengthMs[3], 500u);
    EXPECT_EQ(caption(kPlayBase + 3), "ON");
    EXPECT_EQ(aux1(kPlayBase + 3), 0);
}

TEST_F(Rows, RestartKeepsExactlyOneStreamAndOtherRowsPlayOn)
{
    startRow(*player, 1);
    startRow(*player, 2);
    const auto first = rows().RowStream[1];
    startRow(*player, 1);
    const auto calls = engine.takeCalls();
    EXPECT_NE(std::find(calls.begin(), calls.end(), "close " + std::to_string(first)), calls.end());
    EXPECT_NE(rows().RowStream[1], first);
    stopRow(*player, 1);
    EXPECT_EQ(rows().RowPlaying[1], 0);
    EXPECT_EQ(rows().RowPlaying[2], 1);
    EXPECT_EQ(caption(kPlayBase + 1), "OFF");
    EXPECT_EQ(aux1(kPlayBase + 1), 1);
}

TEST_F(Rows, RowsOutsideTheGridChangeNothing)
{
    startRow(*player, 0);
    startRow(*player, 4);
    stopRow(*player, -7);
    EXPECT_TRUE(engine.takeCalls().empty());
    // Stopping a row that never played leaves it unopened and resets its displays.
    stopRow(*player, 2);
    EXPECT_EQ(rows().RowStream[2], 0u);
    EXPECT_EQ(caption(kPlayBase + 2), "OFF");
}

TEST_F(Rows, TickMovesDisplaysAndFinishesRowsAtTheirRealEnd)
{
    startRow(*player, 1);
    startRow(*player, 2);
    rows().RowLoop[2] = 0;
    engine.reportedPositionBytes = static_cast<std::uint32_t>(rows().RowLengthBytes[1] / 2);
    updateRows(*player);
    EXPECT_NEAR(value(kPositionBase + 1), 50.0f, 0.01f);
    EXPECT_EQ(caption(kPositionBase + 1), "0.2 s");
    EXPECT_EQ(rows().RowPlaying[1], 1);

    // Past 98 percent a row still plays: only the end of its stream finishes it.
    engine.reportedPositionBytes = static_cast<std::uint32_t>(rows().RowLengthBytes[1] * 0.99);
    updateRows(*player);
    EXPECT_EQ(rows().RowPlaying[2], 1);
    engine.endedStreams.insert(rows().RowStream[2]);
    updateRows(*player);
    EXPECT_EQ(rows().RowPlaying[2], 0);
    EXPECT_EQ(caption(kPlayBase + 2), "OFF");
    EXPECT_EQ(value(kPositionBase + 2), 0.0f);
}

TEST_F(Rows, UnopenableFileFinishesAtTheFirstTickAndLoopingRetries)
{
    std::filesystem::remove(catalogue.path(1));
    startRow(*player, 1);
    EXPECT_EQ(rows().RowStream[1], 0u);
    EXPECT_EQ(caption(kPlayBase + 1), "ON");
    engine.takeCalls();
    updateRows(*player);
    auto calls = engine.takeCalls();
    EXPECT_NE(std::find(calls.begin(), calls.end(), "open " + catalogue.path(1)), calls.end())
        << "retried";
    EXPECT_EQ(rows().RowPlaying[1], 1);
    setRowLoop(*player, 1, false);
    updateRows(*player);
    EXPECT_EQ(rows().RowPlaying[1], 0);
}

// Regression: a note that came while every channel sounded left its row on but silent.
TEST_F(Rows, ARowStartedWhileEveryChannelSoundsPlaysAtTheNextTick)
{
    engine.channelsBusy = true;
    startRow(*player, 1);
    EXPECT_EQ(rows().RowChannel[1], sound::kNoChannel);
    updateRows(*player);
    EXPECT_EQ(rows().RowChannel[1], sound::kNoChannel) << "still busy";
    engine.channelsBusy = false;
    updateRows(*player);
    EXPECT_NE(rows().RowChannel[1], sound::kNoChannel);
    EXPECT_EQ(rows().RowPlaying[1], 1);
}

TEST_F(Rows, LoopSwitchReachesAPlayingStreamAtOnce)
{
    startRow(*player, 1);
    engine.takeCalls();
    setRowLoop(*player, 1, false);
    const auto stream = std::to_string(rows().RowStream[1]);
    EXPECT_EQ(engine.takeCalls(), std::vector<std::string>{"loop " + stream + " off"});
    EXPECT_EQ(caption(kLoopBase + 1), "OFF");
    EXPECT_EQ(aux1(kLoopBase + 1), 1);
}

TEST(RowRate, SpeedFiftyIsTheFilesOwnRate)
{
    EXPECT_EQ(rowRateHz(50, 44100), 44100);
    EXPECT_EQ(rowRateHz(100, 44100), 88200);
    EXPECT_EQ(rowRateHz(25, 44100), 22050);
    EXPECT_EQ(rowRateHz(50, 48000), 48000);
    EXPECT_EQ(rowRateHz(50, 22050), 22050);
    EXPECT_EQ(rowRateHz(500, 44100), 88200) << "clamped";
    EXPECT_EQ(rowRateHz(-3, 44100), 0);
}
