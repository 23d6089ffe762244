// The player's whole start-up run in this process, each test in a folder and runtime folder
// of its own, over the real engine and a loopback MIDI service. Test thread, which is also
// the GUI thread.
#pragma once

#include "doubles/loopback_midi_service.h"
#include "gui/gui_application.h"
#include "shell/startup.h"
#include "support/sound_files.h"
#include "support/temp_folder.h"

#include <filesystem>
#include <functional>
#include <gtest/gtest.h>

namespace sonarello::test
{

class ProgramTest : public ::testing::Test
{
  protected:
    static void SetUpTestSuite() { ensureGuiApplication(); }
    void SetUp() override;
    void TearDown() override { std::filesystem::current_path(previous); }

    // Runs the player with these arguments; `drive` runs inside its window's event loop,
    // which is then closed as its close box closes it (the settings are saved).
    int run(std::vector<std::string> args, std::function<void(Program&)> drive = {});
    // `count` tones, the i-th at i x `hertz`, named by `prefix` and their number.
    void writeTones(int count, double hertz, double seconds = 0.3, const char* prefix = "tone ");

    TempFolder folder;
    TempFolder runtime;
    std::function<std::unique_ptr<sound::SoundEngine>()> makeEngine;
    midi::LoopbackMidiService* loopback = nullptr; // inputs "Pads", "Keys"; output "Synth"
    std::vector<std::string> messages;             // the message boxes shown

  private:
    std::filesystem::path previous;
};

} // namespace sonarello::test
