// The program's start-up and shutdown: single-instance lock, sound engine, catalogue,
// settings, main window, and the exit codes. Main thread, which is also the GUI thread.
#pragma once

#include "controllers/controller.h"
#include "controls/program_lock.h"
#include "controls/toolkit.h"
#include "engine/sound_engine.h"
#include "gui/window.h"
#include "library/catalogue.h"
#include "library/settings.h"
#include "midi/midi_devices.h"
#include "osc/osc_server.h"
#include "playback/event_handler.h"
#include "playback/rows.h"
#include "shell/command_line.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace sonarello
{

enum ExitCode
{
    kExitNormal = 0,
    kExitUsage = 1,
    kExitNoSoundEngine = 2,
    kExitNoAudioFile = 3,
    kExitAlreadyRunning = 4,
    kExitNoDisplay = 5,
    kExitNoWorkFolder = 6, // the working folder was removed or cannot be read
};

constexpr const char* kEngineFailedMessage = "FSOUND_Init fallimento! Errore!";
constexpr const char* kNoAudioFileMessage = "Non ci sono mp3 o wav! fine...";
constexpr gui::Colour kWindowBackground = gui::rgb(10, 55, 40);
constexpr gui::Colour kWindowText = gui::rgb(255, 255, 0);

// What start-up needs from outside, so tests can stand in for the engine and the dialogs.
struct StartupServices
{
    std::function<std::unique_ptr<sound::SoundEngine>()> makeEngine;
    // Shows a modal message box with an OK button (a line on standard error when headless).
    std::function<void(const std::string& text)> showMessage;
    // The MIDI service for a --midi= choice; tests give a loopback service.
    std::function<std::unique_ptr<midi::MidiService>(const std::string& choice)> makeMidiService;
    // Called once the window is built, before it runs: tests drive the player from here.
    std::function<void(struct Program&)> onWindowReady;
};

// The program-wide state that start-up creates once.
struct Program
{
    ProgramLock lock;
    std::string WorkFolder;
    TrackCatalogue catalogue;
    std::unique_ptr<sound::SoundEngine> engine;
    std::unique_ptr<gui::Window> window;
    std::unique_ptr<controls::Toolkit> toolkit;
    std::unique_ptr<Player> player;
    std::vector<std::string> settingsLinesBeyond;
    WindowServices services;
    MidiState midi;
    std::unique_ptr<MidiRowTarget> midiTarget;
    std::function<void(const std::string& text)> showMessage;
    std::string controllerChoice; // --controller=; empty for none
    std::unique_ptr<controllers::Controller> controller;
    std::optional<osc::OscOptions> oscOptions; // --osc
    std::unique_ptr<osc::RowTarget> oscTarget;
    std::unique_ptr<osc::OscServer> osc; // goes before its target
};

// The settings of every row as they stand now, with the lines kept for rows beyond.
Settings currentSettings(Program& program);

// Start-up from the lock to the running window, then shutdown. Returns the exit code.
int runProgram(const CommandLine& line, const StartupServices& services);

// The whole program over the real engine and the real window system.
int runSonarello(int argc, char** argv);

} // namespace sonarello
