// The player's whole start-up run in this process, each test in a folder and runtime folder
// of its own, over the real engine and a loopback MIDI service. Test thread, which is also
// the GUI thread.
#pragma once

#include "devices/system_outputs.h"
#include "doubles/loopback_midi_service.h"
#include "engine/audio_engine.h"
#include "gui/gui_application.h"
#include "shell/startup.h"
#include "support/sound_files.h"
#include "support/temp_folder.h"

#include <QTest>
#include <QTimer>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>

namespace sonarello::test
{

class ProgramTest : public ::testing::Test
{
  protected:
    static void SetUpTestSuite() { ensureGuiApplication(); }
    void SetUp() override
    {
        setenv("XDG_RUNTIME_DIR", runtime.path().c_str(), 1);
        std::filesystem::current_path(folder.path());
    }
    void TearDown() override { std::filesystem::current_path(previous); }

    // Runs the player with these arguments; `drive` runs inside its window's event loop,
    // which is then closed as its close box closes it (the settings are saved).
    int run(std::vector<std::string> args, std::function<void(Program&)> drive = {})
    {
        StartupServices services;
        services.makeEngine = makeEngine;
        services.showMessage = [this](const std::string& text) { messages.push_back(text); };
        services.makeMidiService = [this](const std::string&)
        {
            auto service = std::make_unique<midi::LoopbackMidiService>(
                std::vector<std::string>{"Pads", "Keys"}, std::vector<std::string>{"Synth"});
            loopback = service.get();
            return service;
        };
        services.onWindowReady = [&drive](Program& program)
        {
            QTimer::singleShot(0,
                               [&]
                               {
                                   if (drive)
                                       drive(program);
                                   program.window->sendMessage(gui::message::kCommand,
                                                               gui::message::kCancelCommand, 0);
                               });
        };
        return runProgram(parseCommandLine(args), services);
    }
    // Waits until `done` holds under the program lock (the MIDI thread has handled what was
    // pushed); the window's events go on. The limit is for a busy machine under the sanitizers,
    // where a flood's queued messages take seconds: a wait that holds returns at once.
    static bool settle(Program& p, std::function<bool()> done, int ms = 10000)
    {
        return QTest::qWaitFor(
            [&]
            {
                std::scoped_lock lock(p.lock);
                return done();
            },
            ms);
    }
    // `count` tones, the i-th at i x `hertz`, named by `prefix` and their number.
    void writeTones(int count, double hertz, double seconds = 0.3, const char* prefix = "tone ")
    {
        for (int i = 1; i <= count; ++i)
            ASSERT_TRUE(writeSine(folder.file(prefix + std::to_string(i) + ".wav"), hertz * i,
                                  seconds, 44100));
    }

    TempFolder folder;
    TempFolder runtime;
    std::function<std::unique_ptr<sound::SoundEngine>()> makeEngine = []
    { return sound::createSystemEngine(); };
    midi::LoopbackMidiService* loopback = nullptr; // inputs "Pads", "Keys"; output "Synth"
    std::vector<std::string> messages;             // the message boxes shown

  private:
    std::filesystem::path previous = std::filesystem::current_path();
};

} // namespace sonarello::test
