#include "player_fixture.h"
#include "shell/main_window.h"

#include <filesystem>

using namespace sonarello;

class Rows : public test::PlayerFixture
{
  protected:
    void SetUp() override { makePlayer(4, 3); }
    auto& rows() { return player->rows; }
};

TEST_F(Rows, StartPlaysAtTheFilesOwnRateAndTheRowsVolumeAndShowsOn)
{
    rows().RowVolume[3] = 127;
    startRow(*player, 3); // row 3 plays the 48 kHz file of 1.5 s
    EXPECT_EQ(rows().RowPlaying[3], 1);
    EXPECT_EQ(rows().RowLengthMs[3], 1500u);
    EXPECT_EQ(caption(kPlayBase + 3), "ON");
    EXPECT_EQ(aux1(kPlayBase + 3), 0);
    play(1.0);
    EXPECT_NEAR(engine().timeMs(rows().RowStream[3]), 1000, 10) << "at the file's own rate";
    EXPECT_NEAR(level(3), 0.25f, 0.01f);
}

TEST_F(Rows, RowsOutsideTheGridChangeNothing)
{
    startRow(*player, 0);
    startRow(*player, 4);
    stopRow(*player, -7);
    for (int row = 1; row <= 3; ++row)
        EXPECT_EQ(rows().RowStream[static_cast<std::size_t>(row)], 0u);
    // Stopping a row that never played leaves it unopened and resets its displays.
    stopRow(*player, 2);
    EXPECT_EQ(rows().RowStream[2], 0u);
    EXPECT_EQ(caption(kPlayBase + 2), "OFF");
}

TEST_F(Rows, TickMovesDisplaysAndFinishesRowsAtTheirRealEnd)
{
    startRow(*player, 1);
    startRow(*player, 2);          // 1 s
    setRowLoop(*player, 2, false); // reaches the playing stream at once
    play(0.2);
    updateRows(*player);
    EXPECT_NEAR(value(kPositionBase + 2), 20.0f, 1.0f);
    EXPECT_EQ(caption(kPositionBase + 2), "0.2 s");
    EXPECT_GT(value(kLevelBase + 2), 40.0f);

    // Past 98 percent a row still plays: only the end of its stream finishes it.
    play(0.79);
    updateRows(*player);
    EXPECT_EQ(rows().RowPlaying[2], 1);
    play(0.05);
    updateRows(*player);
    EXPECT_EQ(rows().RowPlaying[2], 0);
    EXPECT_EQ(caption(kPlayBase + 2), "OFF");
    EXPECT_EQ(value(kPositionBase + 2), 0.0f);
    EXPECT_EQ(rows().RowPlaying[1], 1) << "a looping row plays on";
}

TEST_F(Rows, UnopenableFileFinishesAtTheFirstTickAndLoopingRetries)
{
    const std::string path = catalogue.path(1);
    std::filesystem::rename(path, path + ".away");
    setRowLoop(*player, 1, false);
    startRow(*player, 1);
    EXPECT_EQ(rows().RowStream[1], 0u);
    EXPECT_EQ(caption(kPlayBase + 1), "ON");
    updateRows(*player);
    EXPECT_EQ(rows().RowPlaying[1], 0);

    setRowLoop(*player, 1, true);
    startRow(*player, 1);
    std::filesystem::rename(path + ".away", path);
    updateRows(*player);
    EXPECT_NE(rows().RowStream[1], 0u) << "retried";
    EXPECT_EQ(rows().RowPlaying[1], 1);
}

// Regression: a note that came while every channel sounded left its row on but silent.
TEST_F(Rows, ARowStartedWhileEveryChannelSoundsPlaysAtTheNextTick)
{
    std::vector<sound::StreamHandle> others{engine().openStream(catalogue.path(4))};
    while (engine().playStream(others.back()) != sound::kNoChannel)
        others.push_back(engine().openStream(catalogue.path(4)));
    startRow(*player, 1);
    EXPECT_EQ(rows().RowChannel[1], sound::kNoChannel);
    updateRows(*player);
    EXPECT_EQ(rows().RowChannel[1], sound::kNoChannel) << "still busy";
    for (const auto stream : others)
        engine().closeStream(stream);
    play(0.05);
    updateRows(*player);
    EXPECT_NE(rows().RowChannel[1], sound::kNoChannel);
    EXPECT_EQ(rows().RowPlaying[1], 1);
    play(0.1);
    EXPECT_GT(level(1), 0.4f);
}

TEST(Layout, WindowSizeTitleAndBlocks)
{
    EXPECT_EQ(clientHeight(5), 104); // 104.5 rounds to even
    EXPECT_EQ(clientHeight(72), 674);
    EXPECT_EQ(clientHeight(1), 70); // 70.5 too
    EXPECT_EQ(windowTitle(3.75f), "Sonarello  3.75 (Versione : 27 luglio 2007)");

    EXPECT_EQ(cellPosition(5, 45, 3).x, 45); // the left block takes the odd row
    EXPECT_EQ(cellPosition(5, 45, 4).y, 48);
    EXPECT_EQ(cellPosition(72, 4, 36).y, 643);
    EXPECT_EQ(cellPosition(72, 4, 72).y, 643);
    EXPECT_EQ(cellPosition(72, 4, 37).x, 504);
}

using Grid = test::PlayerFixture;

TEST_F(Grid, KeysAreDrawnAsAPianoKeyboard)
{
    makePlayer(24, 24);
    constexpr gui::Colour kBlack = gui::rgb(0, 0, 0);
    constexpr gui::Colour kWhite = gui::rgb(255, 255, 255);
    const struct
    {
        int row;
        gui::Colour upper; // at (30, 12): a black key's body
        gui::Colour lower; // at (30, 15): the line under E and B
    } keys[] = {{1, kBlack, kBlack},  {3, kBlack, kBlack},  {6, kBlack, kBlack},
                {13, kBlack, kBlack}, {4, kWhite, kBlack},  {11, kWhite, kBlack},
                {16, kWhite, kBlack}, {12, kWhite, kWhite}, {24, kWhite, kWhite},
                {2, kWhite, kWhite}};
    for (const auto& k : keys)
    {
        const gui::Image& key = window->findControl(kKeyBase + k.row)->image;
        EXPECT_EQ(key.at(30, 12), k.upper) << "row " << k.row;
        EXPECT_EQ(key.at(30, 15), k.lower) << "row " << k.row;
    }
}
