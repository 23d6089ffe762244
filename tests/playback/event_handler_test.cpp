#include "player_fixture.h"

using namespace sonarello;
using namespace std::chrono_literals;

class EventHandler : public test::PlayerFixture
{
  protected:
    std::int16_t left = 0;
    std::int16_t right = 0;
    std::vector<std::string> log;
    WindowServices services;

    void SetUp() override
    {
        makePlayer(4, 4);
        services.setTimer = [this](int id, int ms)
        { log.push_back("timer " + std::to_string(id) + " " + std::to_string(ms)); };
        services.killTimer = [this](int id) { log.push_back("kill " + std::to_string(id)); };
        services.buttonState = [this](int button)
        { return button == gui::kLeftMouseButton ? left : right; };
        services.endWindow = [this](int result) { log.push_back("end " + std::to_string(result)); };
        services.saveSettings = [this] { log.push_back("save"); };
        services.pause = [this](std::chrono::milliseconds ms)
        { log.push_back("pause " + std::to_string(ms.count())); };
    }
    std::intptr_t send(std::uint32_t message, std::intptr_t p1)
    {
        return handleMainWindowEvent(*player, services, message, p1, 0);
    }
    std::intptr_t command(int id) { return send(gui::message::kCommand, id); }
    std::intptr_t pointer(int id) { return send(gui::message::kPointerOverControl, id); }
};

TEST_F(EventHandler, ClicksOnKeysPlayAndLoopToggleTheRow)
{
    command(kKeyBase + 1);
    command(kKeyBase + 2);
    EXPECT_EQ(player->rows.RowPlaying[2], 1);
    EXPECT_EQ(caption(kPlayBase + 2), "ON");
    EXPECT_EQ(aux1(kPlayBase + 2), 0);
    command(kPlayBase + 2);
    EXPECT_EQ(player->rows.RowPlaying[2], 0);
    EXPECT_EQ(caption(kPlayBase + 2), "OFF");
    EXPECT_EQ(aux1(kPlayBase + 2), 1);
    EXPECT_EQ(player->rows.RowPlaying[1], 1) << "other rows play on";
    command(kLoopBase + 2);
    EXPECT_EQ(player->rows.RowLoop[2], 0);
    EXPECT_EQ(caption(kLoopBase + 2), "OFF");
    command(kLoopBase + 2);
    EXPECT_EQ(caption(kLoopBase + 2), "ON");
    command(kPlayBase + 5); // beyond the last row
    EXPECT_TRUE(log.empty());
}

TEST_F(EventHandler, FineEndsWithoutSavingCloseSavesFirst)
{
    EXPECT_EQ(command(kCommandEnd), 1);
    EXPECT_EQ(log, std::vector<std::string>{"end 0"});
    log.clear();
    EXPECT_EQ(command(kCommandClose), 0);
    EXPECT_EQ(log, (std::vector<std::string>{"save", "end 1"}));
}

TEST_F(EventHandler, TimerStartsWithTheWindowAndTicksTheRows)
{
    send(gui::message::kInitialise, 0);
    EXPECT_EQ(log, std::vector<std::string>{"timer 1 100"});
    command(kKeyBase + 1);
    setRowLoop(*player, 1, false);
    play(0.6);
    send(gui::message::kTimer, 2);
    EXPECT_EQ(player->rows.RowPlaying[1], 1) << "another timer";
    send(gui::message::kTimer, kRowTimerId);
    EXPECT_EQ(player->rows.RowPlaying[1], 0);
}

TEST_F(EventHandler, RightButtonOnPlayRestartsEvenAPlayingRow)
{
    command(kPlayBase + 1);
    const auto first = player->rows.RowStream[1];
    right = gui::kButtonDown;
    pointer(kPlayBase + 1);
    EXPECT_EQ(player->rows.RowPlaying[1], 1);
    EXPECT_NE(player->rows.RowStream[1], first);
    EXPECT_EQ(engine().lengthMs(first), 0u) << "exactly one stream: the first is closed";
    right = 0;
    const auto second = player->rows.RowStream[1];
    pointer(kPlayBase + 1);
    EXPECT_EQ(player->rows.RowStream[1], second);
}

TEST_F(EventHandler, RightButtonGivesFullVolumeAndNormalSpeed)
{
    player->rows.RowVolume[3] = 10;
    player->rows.RowSpeed[3] = 90;
    command(kPlayBase + 3);
    right = gui::kButtonDown;
    pointer(kVolumeBase + 3);
    EXPECT_EQ(player->rows.RowVolume[3], 255);
    EXPECT_EQ(caption(kVolumeBase + 3), "100");
    EXPECT_FLOAT_EQ(value(kVolumeBase + 3), 100.0f);
    pointer(kSpeedBase + 3);
    EXPECT_EQ(player->rows.RowSpeed[3], 50);
    EXPECT_EQ(caption(kSpeedBase + 3), "100%");
    play(0.5);
    EXPECT_NEAR(level(3), 0.5f, 0.01f) << "the playing sound follows";
}

TEST_F(EventHandler, NoButtonMeansNoAdjustment)
{
    pointer(kVolumeBase + 1);
    pointer(kSpeedBase + 1);
    pointer(kFileBase + 1);
    pointer(kPositionBase + 1);
    EXPECT_EQ(player->rows.RowStream[1], 0u);
    EXPECT_EQ(player->rows.RowVolume[1], 255);
    EXPECT_EQ(player->rows.RowSpeed[1], 50);
    EXPECT_EQ(aux1(kFileBase + 1), 1);
    EXPECT_TRUE(log.empty());
}

TEST_F(EventHandler, FileStepsStopTheRowAndStayWithinTheCatalogue)
{
    command(kPlayBase + 4);
    right = gui::kButtonDown;
    pointer(kFileBase + 4);
    EXPECT_EQ(aux1(kFileBase + 4), 4) << "already the last entry";
    EXPECT_EQ(player->rows.RowPlaying[4], 0);
    EXPECT_EQ(caption(kPlayBase + 4), "OFF");
    EXPECT_EQ(caption(kFileBase + 4), "[<]" + catalogue.title(4));
    EXPECT_EQ(log, std::vector<std::string>{"pause 200"});
    right = 0;
    left = gui::kButtonDown;
    pointer(kFileBase + 4);
    pointer(kFileBase + 4);
    EXPECT_EQ(aux1(kFileBase + 4), 2);
    command(kPlayBase + 4);
    EXPECT_EQ(player->rows.RowLengthMs[4], 1000u) << "the second file";

    // An index read from "file=" at the top of the int range steps to the last entry.
    left = 0;
    right = gui::kButtonDown;
    window->findControl(kFileBase + 1)->setAuxValue(1, INT32_MAX);
    pointer(kFileBase + 1);
    EXPECT_EQ(aux1(kFileBase + 1), 4);
}

TEST_F(EventHandler, RightButtonOnPositionRewindsOneSecondOfAPlayingRow)
{
    command(kPlayBase + 4); // 2 s
    const auto stream = player->rows.RowStream[4];
    right = gui::kButtonDown;
    play(0.5);
    pointer(kPositionBase + 4);
    EXPECT_NEAR(engine().timeMs(stream), 500, 10) << "less than a second played";
    play(1.0);
    pointer(kPositionBase + 4);
    EXPECT_NEAR(engine().timeMs(stream), 500, 10);
    EXPECT_EQ(log, (std::vector<std::string>{"pause 40", "pause 40"}));
}
