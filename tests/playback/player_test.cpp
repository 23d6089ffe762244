// The player's rows and window events over real controls off screen and the real engine, whose
// blocks the test renders, with generated files as its catalogue. Test (and GUI) thread.
#include "controls/colours.h"
#include "engine/audio_engine.h"
#include "gui/gui_application.h"
#include "playback/event_handler.h"
#include "playback/rows.h"
#include "shell/main_window.h"
#include "support/sound_files.h"
#include "support/temp_folder.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <memory>

namespace
{

using namespace sonarello;

class PlayerFixture : public ::testing::Test
{
  protected:
    static void SetUpTestSuite() { test::ensureGuiApplication(); }

    // Makes `files` tones at 220 Hz x their number, 0.5 s x (1 + (number - 1) % 4) long (the
    // third at 48 kHz, the others at 44.1 kHz), and a player of `rows` rows.
    void makePlayer(int files, int rows)
    {
        for (int i = 1; i <= files; ++i)
            test::writeSine(
                folder.file("tone " + std::string(i < 10 ? "0" : "") + std::to_string(i) + ".wav"),
                220.0 * i, 0.5 * (1 + (i - 1) % 4), i == 3 ? 48000 : 44100);
        manual = sound::createManualEngine(44100);
        scanCatalogue(catalogue, folder.path().string() + "/", engine());
        window = std::make_unique<gui::Window>(kClientWidth, clientHeight(rows), lock);
        toolkit = std::make_unique<controls::Toolkit>(lock);
        player.reset(new Player{lock, *toolkit, *window, engine(), catalogue, rows, {}, {}, {}});
        player->rows.resize(rows);
        for (std::size_t r = 1; r <= static_cast<std::size_t>(rows); ++r)
        {
            player->rows.RowSpeed[r] = kNormalSpeed;
            player->rows.RowVolume[r] = 255;
            player->rows.RowLoop[r] = 1;
            player->rows.RowFile[r] = player->rows.RowChannel[r] = static_cast<int>(r);
        }
        createMidiDisplay(*player);
        buildColumns(*player, folder.path().string() + "/");
    }
    // Renders `seconds` of output one period at a time.
    void play(double seconds)
    {
        std::vector<float> block(2 * 256);
        for (int frames = static_cast<int>(seconds * 44100); frames > 0; frames -= 256)
            manual->render(block.data(), std::min(256, frames));
    }
    sound::SoundEngine& engine() { return manual->engine(); }
    std::string caption(int id)
    {
        return std::string(toolkit->controls.at(static_cast<std::size_t>(id)).caption.trimmed());
    }
    float value(int id) { return toolkit->controls.at(static_cast<std::size_t>(id)).value; }
    // A Play or Loop cell's lamp: a red bar while off, its green face alone while on.
    gui::Colour lamp(int id) { return window->findControl(id)->image.at(5, 0); }
    // The peak of the row's voice since the last ask.
    float level(int row)
    {
        float left = 0, right = 0;
        engine().currentLevels(player->rows.RowChannel[static_cast<std::size_t>(row)], left, right);
        return left;
    }

    test::TempFolder folder;
    ProgramLock lock;
    std::unique_ptr<sound::ManualEngine> manual;
    TrackCatalogue catalogue;
    std::unique_ptr<gui::Window> window;
    std::unique_ptr<controls::Toolkit> toolkit;
    std::unique_ptr<Player> player;
};

class Rows : public PlayerFixture
{
  protected:
    void SetUp() override { makePlayer(4, 3); }
    auto& rows() { return player->rows; }
};

TEST_F(Rows, StartShowsOnAndTakesTheFilesLengthAtItsOwnRate)
{
    // Rows outside the grid change nothing; stopping a row that never played leaves it
    // unopened and resets its displays.
    startRow(*player, 0);
    startRow(*player, 4);
    stopRow(*player, -7);
    stopRow(*player, 2);
    for (int row = 1; row <= 3; ++row)
        EXPECT_EQ(rows().RowStream[static_cast<std::size_t>(row)], 0u);
    EXPECT_EQ(caption(kPlayBase + 2), "OFF");
    startRow(*player, 3); // row 3 plays the 48 kHz file of 1.5 s
    EXPECT_EQ(rows().RowPlaying[3], 1);
    EXPECT_EQ(rows().RowLengthMs[3], 1500u);
    EXPECT_EQ(caption(kPlayBase + 3), "ON");
    EXPECT_EQ(lamp(kPlayBase + 3), controls::resolveColourName("verde", 239));
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
    EXPECT_EQ(lamp(kPlayBase + 2), gui::rgb(155, 0, 0));
    EXPECT_EQ(value(kPositionBase + 2), 0.0f);
    EXPECT_EQ(rows().RowPlaying[1], 1) << "a looping row plays on";
}

// A file that cannot open finishes its row at the first tick, or is retried while it loops; a
// row started while every channel sounds (once left on but silent) plays at the next tick.
TEST_F(Rows, WhatCannotSoundAtOnceIsSettledAtTheNextTick)
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

    std::vector<sound::StreamHandle> others{engine().openStream(catalogue.path(4))};
    while (engine().playStream(others.back()) != sound::kNoChannel)
        others.push_back(engine().openStream(catalogue.path(4)));
    startRow(*player, 2);
    EXPECT_EQ(rows().RowChannel[2], sound::kNoChannel);
    updateRows(*player);
    EXPECT_EQ(rows().RowChannel[2], sound::kNoChannel) << "still busy";
    for (const auto stream : others)
        engine().closeStream(stream);
    play(0.05);
    updateRows(*player);
    EXPECT_NE(rows().RowChannel[2], sound::kNoChannel);
    EXPECT_EQ(rows().RowPlaying[2], 1);
    play(0.1);
    EXPECT_GT(level(2), 0.4f);
}

TEST(Layout, WindowSizeAndBlocks)
{
    EXPECT_EQ(clientHeight(5), 104); // 104.5 rounds to even
    EXPECT_EQ(clientHeight(72), 674);
    EXPECT_EQ(clientHeight(1), 70); // 70.5 too

    // Of 72 rows, row 36 ends the left block and row 37 starts the right one (the person test
    // clicks the cells of three rows).
    EXPECT_EQ(cellPosition(72, 4, 36).y, 643);
    EXPECT_EQ(cellPosition(72, 4, 37).x, 504);
}

using Grid = PlayerFixture;

TEST_F(Grid, KeysAreDrawnAsAPianoKeyboard)
{
    makePlayer(24, 24);
    constexpr gui::Colour kBlack = gui::rgb(0, 0, 0);
    constexpr gui::Colour kWhite = gui::rgb(255, 255, 255);
    // Row, then the key at (30, 12), a black key's body, and at (30, 15), the line under E and B.
    const std::tuple<int, gui::Colour, gui::Colour> keys[] = {
        {1, kBlack, kBlack},  {3, kBlack, kBlack},  {6, kBlack, kBlack},  {13, kBlack, kBlack},
        {4, kWhite, kBlack},  {11, kWhite, kBlack}, {16, kWhite, kBlack}, {12, kWhite, kWhite},
        {24, kWhite, kWhite}, {2, kWhite, kWhite}};
    for (const auto& [row, upper, lower] : keys)
    {
        const gui::Image& key = window->findControl(kKeyBase + row)->image;
        EXPECT_EQ(key.at(30, 12), upper) << "row " << row;
        EXPECT_EQ(key.at(30, 15), lower) << "row " << row;
    }
}

class EventHandler : public PlayerFixture
{
  protected:
    std::int16_t left = 0, right = 0;
    std::vector<std::string> log;
    WindowServices services;

    void SetUp() override
    {
        makePlayer(4, 4);
        services.setTimer = [this](int id, int ms)
        { log.push_back("timer " + std::to_string(id) + " " + std::to_string(ms)); };
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

// Without a button the pointer adjusts nothing; clicks on keys play, Play and Loop toggle.
TEST_F(EventHandler, ClicksOnKeysPlayAndLoopToggleTheRow)
{
    for (const int id : {kVolumeBase + 1, kSpeedBase + 1, kFileBase + 1, kPositionBase + 1})
        pointer(id);
    EXPECT_EQ(player->rows.RowStream[1], 0u);
    EXPECT_EQ(player->rows.RowVolume[1], 255);
    EXPECT_EQ(player->rows.RowSpeed[1], 50);
    EXPECT_EQ(rowFileIndex(*player, 1), 1);
    command(kKeyBase + 1);
    command(kKeyBase + 2);
    EXPECT_EQ(player->rows.RowPlaying[2], 1);
    command(kPlayBase + 2);
    EXPECT_EQ(player->rows.RowPlaying[2], 0);
    EXPECT_EQ(player->rows.RowPlaying[1], 1) << "other rows play on";
    command(kLoopBase + 2);
    EXPECT_EQ(player->rows.RowLoop[2], 0);
    EXPECT_EQ(caption(kLoopBase + 2), "OFF");
    command(kLoopBase + 2);
    EXPECT_EQ(caption(kLoopBase + 2), "ON");
    command(kPlayBase + 5); // beyond the last row
    EXPECT_TRUE(log.empty());
}

TEST_F(EventHandler, TimerTicksTheRowsFineEndsCloseSavesFirst)
{
    send(gui::message::kInitialise, 0);
    command(kKeyBase + 1);
    setRowLoop(*player, 1, false);
    play(0.6);
    send(gui::message::kTimer, 2);
    EXPECT_EQ(player->rows.RowPlaying[1], 1) << "another timer";
    send(gui::message::kTimer, kRowTimerId);
    EXPECT_EQ(player->rows.RowPlaying[1], 0);
    EXPECT_EQ(command(kCommandEnd), 1);
    EXPECT_EQ(command(kCommandClose), 0);
    EXPECT_EQ(log, (std::vector<std::string>{"timer 1 100", "end 0", "save", "end 1"}));
}

TEST_F(EventHandler, RightButtonRestartsGivesFullVolumeAndNormalSpeedAndRewindsASecond)
{
    player->rows.RowVolume[1] = 10;
    player->rows.RowSpeed[1] = 90;
    command(kPlayBase + 1);
    const auto first = player->rows.RowStream[1];
    right = gui::kButtonDown;
    pointer(kPlayBase + 1);
    EXPECT_EQ(player->rows.RowPlaying[1], 1);
    EXPECT_NE(player->rows.RowStream[1], first);
    EXPECT_EQ(engine().lengthMs(first), 0u) << "exactly one stream: the first is closed";
    pointer(kVolumeBase + 1);
    EXPECT_EQ(player->rows.RowVolume[1], 255);
    EXPECT_EQ(caption(kVolumeBase + 1), "100");
    pointer(kSpeedBase + 1);
    EXPECT_EQ(player->rows.RowSpeed[1], 50);
    EXPECT_EQ(caption(kSpeedBase + 1), "100%");
    right = 0;
    const auto second = player->rows.RowStream[1];
    pointer(kPlayBase + 1);
    EXPECT_EQ(player->rows.RowStream[1], second);

    // On the position cell of a playing row it rewinds one second.
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

TEST_F(EventHandler, FileStepsStopTheRowAndStayWithinTheCatalogue)
{
    command(kPlayBase + 4);
    right = gui::kButtonDown;
    pointer(kFileBase + 4);
    EXPECT_EQ(rowFileIndex(*player, 4), 4) << "already the last entry";
    EXPECT_EQ(player->rows.RowPlaying[4], 0);
    EXPECT_EQ(caption(kFileBase + 4), "[<]" + catalogue.title(4));
    EXPECT_EQ(log, std::vector<std::string>{"pause 200"});
    right = 0;
    left = gui::kButtonDown;
    pointer(kFileBase + 4);
    pointer(kFileBase + 4);
    EXPECT_EQ(rowFileIndex(*player, 4), 2);

    // An index read from "file=" at the top of the int range steps to the last entry.
    left = 0;
    right = gui::kButtonDown;
    window->findControl(kFileBase + 1)->setAuxValue(1, INT32_MAX);
    pointer(kFileBase + 1);
    EXPECT_EQ(rowFileIndex(*player, 1), 4);
}

} // namespace
