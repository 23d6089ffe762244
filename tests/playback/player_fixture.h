// A player over real controls in an off-screen window and the real engine, whose blocks the
// test renders, with a folder of generated files as its catalogue. Test thread, which is also
// the GUI thread.
#pragma once

#include "engine/audio_engine.h"
#include "gui/gui_application.h"
#include "playback/event_handler.h"
#include "playback/rows.h"
#include "shell/main_window.h"
#include "support/sound_files.h"
#include "support/temp_folder.h"

#include <gtest/gtest.h>
#include <memory>

namespace sonarello::test
{

class PlayerFixture : public ::testing::Test
{
  protected:
    static void SetUpTestSuite() { ensureGuiApplication(); }

    // Makes `files` tones at 220 Hz x their number, 0.5 s x (1 + (number - 1) % 4) long (the
    // third at 48 kHz, the others at 44.1 kHz), and a player of `rows` rows.
    void makePlayer(int files, int rows)
    {
        for (int i = 1; i <= files; ++i)
            writeSine(
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
    int aux1(int id)
    {
        const gui::Control* c = window->findControl(id);
        return c ? c->auxValue(1) : -1;
    }
    // The peak of the row's voice since the last ask.
    float level(int row)
    {
        float left = 0, right = 0;
        engine().currentLevels(player->rows.RowChannel[static_cast<std::size_t>(row)], left, right);
        return left;
    }

    TempFolder folder;
    ProgramLock lock;
    std::unique_ptr<sound::ManualEngine> manual;
    TrackCatalogue catalogue;
    std::unique_ptr<gui::Window> window;
    std::unique_ptr<controls::Toolkit> toolkit;
    std::unique_ptr<Player> player;
};

} // namespace sonarello::test
