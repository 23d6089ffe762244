// A player over real controls in an off-screen window and a recording stand-in engine, with
// a folder of generated files as its catalogue. Test thread, which is also the GUI thread.
#pragma once

#include "playback/event_handler.h"
#include "playback/rows.h"
#include "soundgen.h"
#include "support/fake_sound_engine.h"
#include "support/temp_folder.h"

#include <gtest/gtest.h>
#include <memory>

namespace sonarello::test
{

class PlayerFixture : public ::testing::Test
{
  protected:
    static void SetUpTestSuite();

    // Makes `files` tones (44.1 kHz, the third at 48 kHz) and a player of `rows` rows.
    void makePlayer(int files, int rows);
    std::string caption(int id);
    float value(int id);
    int aux1(int id);

    TempFolder folder;
    ProgramLock lock;
    FakeSoundEngine engine;
    TrackCatalogue catalogue;
    std::unique_ptr<gui::Window> window;
    std::unique_ptr<controls::Toolkit> toolkit;
    std::unique_ptr<Player> player;
};

} // namespace sonarello::test
