#include "startup.h"

#include "base/files.h"
#include "base/instance_lock.h"
#include "base/text.h"
#include "devices/system_midi.h"
#include "devices/system_outputs.h"
#include "engine/audio_engine.h"
#include "jack/session.h"
#include "shell/main_window.h"
#include "shell/midi_setup.h"
#include "shell/osc_setup.h"
#include "shell/signals.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <malloc.h>
#include <thread>

namespace sonarello
{

namespace
{

constexpr int kLargeBlockBytes = 256 * 1024;
constexpr std::string_view kRecordingPrefix = "wav:"; // --audio=wav:FILE records into FILE

bool displayAvailable()
{
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"})
        if (const char* value = std::getenv(name); value && *value)
            return true;
    const char* platform = std::getenv("QT_QPA_PLATFORM");
    return platform && *platform;
}

std::size_t at(int row)
{
    return static_cast<std::size_t>(row);
}

void applySettings(Program& program)
{
    const Settings settings =
        loadSettings(program.WorkFolder + kSettingsFileName, program.player->RowCount);
    if (!settings.problem.empty())
        std::fprintf(stderr, "Sonarello: %s\n", settings.problem.c_str());
    auto& rows = program.player->rows;
    for (int row = 1; row <= program.player->RowCount; ++row)
    {
        const RowSettings& r = settings.rows[at(row)];
        rows.RowSpeed[at(row)] = r.RowSpeed;
        rows.RowVolume[at(row)] = r.RowVolume;
        rows.RowLoop[at(row)] = r.RowLoop;
        rows.RowFile[at(row)] = r.RowFile;
        rows.RowChannel[at(row)] = row;
        rows.RowPlaying[at(row)] = 0;
    }
    program.settingsLinesBeyond = settings.linesBeyond;
}

void buildWindow(Program& program, int rowCount)
{
    program.window =
        std::make_unique<gui::Window>(kClientWidth, clientHeight(rowCount), program.lock);
    program.window->setTitle(windowTitle(program.engine->version()));
    program.window->setColours(kWindowBackground, kWindowText);
    program.toolkit = std::make_unique<controls::Toolkit>(program.lock);
    program.player.reset(new Player{program.lock,
                                    *program.toolkit,
                                    *program.window,
                                    *program.engine,
                                    program.catalogue,
                                    rowCount,
                                    {},
                                    {},
                                    {}});
    program.player->rows.resize(rowCount);
    program.player->cues.resize(at(rowCount) + 1);
    program.player->noteGain.assign(at(rowCount) + 1, 1.0f);
    createMidiDisplay(*program.player);
    applySettings(program);
    buildColumns(*program.player, program.WorkFolder);
    program.window->addMenu("&Setup", {{"&Midi out" + text::numberText(0), kCommandMidiOut},
                                       {"&Midi in" + text::numberText(0), kCommandMidiIn},
                                       {"&Fine", kCommandEnd}});
    program.window->centre();
}

// Keeps every row's first seconds decoded, so the first note of a row sounds at once.
void preloadRowFiles(Program& program)
{
    for (int row = 1; row <= program.player->RowCount; ++row)
        program.engine->preload(program.catalogue.path(program.player->rows.RowFile[at(row)]));
}

void connectEventHandler(Program& program)
{
    gui::Window& window = *program.window;
    WindowServices& s = program.services;
    s.setTimer = [&window](int id, int ms) { window.setTimer(id, ms); };
    s.killTimer = [&window](int id) { window.killTimer(id); };
    s.buttonState = [&window](int button) { return window.buttonState(button); };
    s.endWindow = [&window](int result) { window.end(result); };
    s.saveSettings = [&program]
    {
        std::scoped_lock lock(program.lock);
        const std::string file = program.WorkFolder + kSettingsFileName;
        if (!saveSettings(file, currentSettings(program)))
            std::fprintf(stderr,
                         "Sonarello: the settings were not saved: %s is read-only or "
                         "cannot be written\n",
                         file.c_str());
    };
    s.pause = [](std::chrono::milliseconds ms) { std::this_thread::sleep_for(ms); };
    s.chooseMidiOutDevice = [&program] { chooseMidiOutDevice(program); };
    s.chooseMidiInDevice = [&program] { chooseMidiInDevice(program); };
    s.afterTick = [&program]
    {
        if (program.controller)
            program.controller->afterTick();
    };
    window.setEventHandler(
        [&program](gui::Window&, std::uint32_t message, std::intptr_t p1, std::intptr_t p2)
        { return handleMainWindowEvent(*program.player, program.services, message, p1, p2); });
}

// No MIDI or OSC message reaches a row once its stream is closed: both are detached first.
void shutdown(Program& program)
{
    stopOsc(program);
    detachMidi(program);
    {
        std::scoped_lock lock(program.lock);
        for (int row = 1; row <= program.player->RowCount; ++row)
            program.engine->closeStream(program.player->rows.RowStream[at(row)]);
    }
    closeMidi(program);
}

} // namespace

Settings currentSettings(Program& program)
{
    Settings settings;
    settings.rows.resize(at(program.player->RowCount) + 1);
    const auto& rows = program.player->rows;
    for (int row = 1; row <= program.player->RowCount; ++row)
        settings.rows[at(row)] = {rows.RowSpeed[at(row)], rows.RowVolume[at(row)],
                                  rows.RowLoop[at(row)], rowFileIndex(*program.player, row)};
    settings.linesBeyond = program.settingsLinesBeyond;
    return settings;
}

int runProgram(const CommandLine& line, const StartupServices& services)
{
    // Rings and decoded heads come and go with every row start: a fixed threshold keeps
    // such large blocks mapped on their own, so they go back to the system when freed
    // instead of growing the heap over a long show.
    mallopt(M_MMAP_THRESHOLD, kLargeBlockBytes);
    os::InstanceLock instance;
    if (instance.state() == os::InstanceLock::State::HeldElsewhere)
        return kExitAlreadyRunning;
    if (instance.state() == os::InstanceLock::State::Unavailable)
        std::fputs("Sonarello: no single-instance lock can be made in XDG_RUNTIME_DIR or the "
                   "temporary folder; playing without one\n",
                   stderr);
    const std::string recording =
        line.audio.starts_with(kRecordingPrefix) ? line.audio.substr(kRecordingPrefix.size()) : "";
    std::error_code missing;
    if (!recording.empty() &&
        std::filesystem::exists(std::filesystem::symlink_status(recording, missing)))
    {
        std::fprintf(stderr, "sonarello: %s exists; a recording never replaces a file\n",
                     recording.c_str());
        return kExitNoSoundEngine;
    }

    Program program;
    // Before anything is written: a removed folder must not turn into "/".
    program.WorkFolder = os::workingFolder();
    if (program.WorkFolder.empty())
    {
        std::fputs("sonarello: the working folder cannot be read (was it removed?); start the "
                   "player in the folder of your files\n",
                   stderr);
        return kExitNoWorkFolder;
    }
    program.showMessage = services.showMessage;
    program.engine = services.makeEngine();
    sound::EngineOptions options;
    options.output = line.audio;
    options.periodFrames = line.periodFrames;
    if (!program.engine || !program.engine->start(options))
    {
        services.showMessage(kEngineFailedMessage);
        return kExitNoSoundEngine;
    }
    // The engine has already created the file it records into; it is no track.
    scanCatalogue(program.catalogue, program.WorkFolder, *program.engine, recording);
    if (program.catalogue.FileCount == 0)
    {
        services.showMessage(kNoAudioFileMessage);
        return kExitNoAudioFile;
    }
    moveWantedFileFirst(program.catalogue, line.wantedName);

    buildWindow(program, std::min(program.catalogue.FileCount, kMaxRows));
    preloadRowFiles(program);
    connectEventHandler(program);
    program.midi.service = services.makeMidiService ? services.makeMidiService(line.midi)
                                                    : midi::createMidiService(line.midi);
    program.controllerChoice = line.controller;
    startMidi(program);
    if (line.osc)
        program.oscOptions = osc::OscOptions{line.oscAddress, line.oscPort, line.oscAllow};
    startOsc(program);
    const CloseOnSignals signals(*program.window);
    if (services.onWindowReady)
        services.onWindowReady(program);
    program.window->run();

    shutdown(program);
    instance.release();
    return kExitNormal;
}

int runSonarello(int argc, char** argv)
{
    // A standard error whose reader went away (a pipe to `head`) must not end a show: its
    // lines are dropped instead.
    std::signal(SIGPIPE, SIG_IGN);
    const CommandLine line = parseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
    if (!line.error.empty())
    {
        std::fprintf(stderr, "sonarello: %s (try --help)\n", line.error.c_str());
        return kExitUsage;
    }
    if (line.audio == "auto" || line.audio.starts_with("jack"))
        jack::startOverOnPipeWire(argv, line.periodFrames);
    if (line.help)
    {
        std::fputs(usageText().c_str(), stdout);
        return kExitNormal;
    }
    if (line.version)
    {
        std::printf("Sonarello %s\n", SONARELLO_VERSION);
        return kExitNormal;
    }
    if (line.headless)
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    else if (!displayAvailable())
    {
        std::fputs("sonarello: no display found; start it with --headless to play from MIDI "
                   "without a window\n",
                   stderr);
        return kExitNoDisplay;
    }

    gui::Application application(argc, argv);
    StartupServices services;
    services.makeEngine = [] { return sound::createSystemEngine(); };
    services.showMessage = [headless = line.headless](const std::string& text)
    {
        if (headless)
            std::fprintf(stderr, "%s\n", text.c_str());
        else
            gui::showMessageBox("Sonarello", text);
    };
    return runProgram(line, services);
}

} // namespace sonarello
