#include "player_fixture.h"
#include "shell/main_window.h"

using namespace sonarello;

TEST(Layout, WindowSizeTitleAndBlocks)
{
    EXPECT_EQ(clientHeight(5), 104); // 104.5 rounds to even
    EXPECT_EQ(clientHeight(72), 674);
    EXPECT_EQ(clientHeight(1), 70); // 70.5 too
    EXPECT_EQ(windowTitle(1.0f), "Sonarello  1 (Versione : 27 luglio 2007)");
    EXPECT_EQ(windowTitle(3.75f), "Sonarello  3.75 (Versione : 27 luglio 2007)");

    EXPECT_EQ(cellPosition(5, 45, 3).x, 45); // the left block takes the odd row
    EXPECT_EQ(cellPosition(5, 45, 4).y, 48);
    EXPECT_EQ(cellPosition(72, 4, 36).y, 643);
    EXPECT_EQ(cellPosition(72, 4, 72).y, 643);
    EXPECT_EQ(cellPosition(72, 4, 37).x, 504);
}

class Grid : public test::PlayerFixture
{
};

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
