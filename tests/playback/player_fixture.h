// A player over real controls in an off-screen window and the real engine, whose blocks the
// test renders, with a folder of generated files as its catalogue. Test thread, which is also
// the GUI thread.
#pragma once

#include "engine/audio_engine.h"
#include "playback/event_handler.h"
#include "playback/rows.h"
#include "support/sound_files.h"
#include "support/temp_folder.h"

#include <gtest/gtest.h>
#include <memory>

namespace sonarello::test
{

class PlayerFixture : public ::testing::Test
{
  protected:
    static void SetUpTestSuite();

    // Makes `files` tones at 220 Hz x their number, 0.5 s x (1 + (number - 1) % 4) long (the
    // third at 48 kHz, the others at 44.1 kHz), and a player of `rows` rows.
    void makePlayer(int files, int rows);
    // Renders `seconds` of output one period at a time.
    void play(double seconds);
    sound::SoundEngine& engine() { return manual->engine(); }
    std::string caption(int id);
    float value(int id);
    int aux1(int id);
    float level(int row); // the peak of the row's voice since the last ask

    TempFolder folder;
    ProgramLock lock;
    std::unique_ptr<sound::ManualEngine> manual;
    TrackCatalogue catalogue;
    std::unique_ptr<gui::Window> window;
    std::unique_ptr<controls::Toolkit> toolkit;
    std::unique_ptr<Player> player;
};

} // namespace sonarello::test
