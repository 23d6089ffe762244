// The player's whole start-up run in this process, each test in a folder and runtime folder of
// its own, over the real engine and a loopback MIDI service: the files it leaves and the grid it
// builds; MIDI from two threads and a device chosen in the Setup dialog; a pad controller's
// velocity and fader, and a bad profile. Test thread, which is also the GUI thread.
#include "base/files.h"
#include "devices/system_outputs.h"
#include "doubles/loopback_midi_service.h"
#include "gui/gui_application.h"
#include "shell/startup.h"
#include "support/sound_files.h"
#include "support/temp_folder.h"

#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <thread>

using namespace sonarello;
using midi::packShortMessage;

namespace
{

class Startup : public ::testing::Test
{
  protected:
    static void SetUpTestSuite() { test::ensureGuiApplication(); }
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
    // Waits, the window's events going on, until `done` holds under the program lock (the MIDI
    // thread has handled what was pushed): up to 10 s, for a flood under the sanitizers.
    static bool settle(Program& p, std::function<bool()> done)
    {
        return QTest::qWaitFor(
            [&]
            {
                std::scoped_lock lock(p.lock);
                return done();
            },
            10000);
    }
    // `count` tones, the i-th at i x `hertz`.
    void writeTones(int count, double hertz, double seconds)
    {
        for (int i = 1; i <= count; ++i)
            ASSERT_TRUE(test::writeSine(folder.file("tone " + std::to_string(i) + ".wav"),
                                        hertz * i, seconds, 44100));
    }
    std::string settings() { return os::readWholeFile(folder.file("impostazioni.ini")); }

    test::TempFolder folder;
    test::TempFolder runtime;
    std::function<std::unique_ptr<sound::SoundEngine>()> makeEngine = []
    { return sound::createSystemEngine(); };
    midi::LoopbackMidiService* loopback = nullptr; // inputs "Pads", "Keys"; output "Synth"
    std::vector<std::string> messages;             // the message boxes shown

  private:
    std::filesystem::path previous = std::filesystem::current_path();
};

TEST_F(Startup, EndsWithItsMessageWithoutAnEngineOrAFile)
{
    const auto realEngine = makeEngine;
    makeEngine = [] { return nullptr; };
    EXPECT_EQ(run({"--audio=null"}), kExitNoSoundEngine);
    EXPECT_FALSE(std::filesystem::exists(folder.file("lista mp3.txt")));
    makeEngine = realEngine;
    // The engine creates the file it records into before the folder is scanned: no track.
    EXPECT_EQ(run({"--audio=wav:./take.wav"}), kExitNoAudioFile);
    EXPECT_EQ(messages, (std::vector<std::string>{"FSOUND_Init fallimento! Errore!",
                                                  "Non ci sono mp3 o wav! fine..."}));
    EXPECT_EQ(os::readWholeFile(folder.file("lista mp3.txt")),
              "Dormelto: 0 files. *" + folder.path().string() + "/*\r\n");
}

TEST_F(Startup, BuildsTheGridFromSettingsAndSavesThemOnClose)
{
    writeTones(4, 441, 1.0);
    std::ofstream(folder.file("impostazioni.ini")) << "riga=2,velo=80,vol=127,loop=2,file=4\n"
                                                      "riga=9,velo=1\n";
    run({"--audio=null", "tone", "2.wav"},
        [&](Program& program)
        {
            const auto& controls = program.toolkit->controls;
            // The file named on the command line first; only loop 1 shows ON.
            const std::pair<std::size_t, std::string_view> shown[] = {
                {kFileBase + 1, "[<]tone 2 (1.0 s)"},
                {kFileBase + 2, "[<]tone 4 (1.0 s)"},
                {kLoopBase + 1, "ON"},
                {kLoopBase + 2, "OFF"},
                {kVolumeBase + 1, "100"},
                {kVolumeBase + 2, " 50"}};
            for (const auto& [id, caption] : shown)
                EXPECT_TRUE(controls[id].caption.stored.starts_with(caption)) << caption;
        });
    EXPECT_TRUE(messages.empty());
    EXPECT_EQ(settings(), "riga=  1 ,velo= 50 ,vol= 255 ,loop= 1 ,file= 1 \r\n"
                          "riga=  2 ,velo= 80 ,vol= 127 ,loop= 2 ,file= 4 \r\n"
                          "riga=  3 ,velo= 50 ,vol= 255 ,loop= 1 ,file= 3 \r\n"
                          "riga=  4 ,velo= 50 ,vol= 255 ,loop= 1 ,file= 4 \r\n"
                          "riga=9,velo=1\r\n");
}

TEST_F(Startup, AHundredFilesMakeSeventyTwoRows)
{
    for (int i = 0; i < 100; ++i)
        std::ofstream(folder.file("f" + std::to_string(100 + i) + ".mp3")) << "not audio";
    std::ofstream(folder.file("impostazioni.ini")) << "riga=99,velo=1\r\nriga=72,file=100\r\n";
    EXPECT_EQ(run({"--audio=null"}), kExitNormal);
    const std::string saved = settings();
    EXPECT_EQ(std::count(saved.begin(), saved.end(), '\n'), 73);
    EXPECT_NE(saved.find("riga= 72 ,velo= 0 ,vol= 0 ,loop= 0 ,file= 100 \r\nriga=99,velo=1\r\n"),
              std::string::npos);
}

class MidiPlayer : public Startup
{
  protected:
    void SetUp() override
    {
        Startup::SetUp();
        writeTones(6, 100, 0.3);
    }
    void runWith(std::function<void(Program&)> drive)
    {
        EXPECT_EQ(run({"--audio=null"}, std::move(drive)), kExitNormal);
    }
};

TEST_F(MidiPlayer, FloodFromTwoSourcesLeavesEachRowAsItsLastNoteSaid)
{
    runWith(
        [&](Program& p)
        {
            // Start-up opens the first input and the first output; the virtual port plays too.
            EXPECT_TRUE(loopback->outputOpen("Synth"));
            EXPECT_FALSE(loopback->push("Keys", packShortMessage(0x90, 38, 100)));
            auto flood = [&](const char* port, int firstNote)
            {
                for (int i = 0; i < 5000; ++i)
                {
                    const int note = firstNote + i % 3;
                    const bool on = (i / 3) % 2 == 0;
                    loopback->push(port, i % 7 == 0
                                             ? packShortMessage(0xB0, 7, i % 128)
                                             : packShortMessage(on ? 0x90 : 0x80, note, 100));
                }
                // Last words: rows firstNote-35 .. +2 end on, off, on.
                loopback->push(port, packShortMessage(0x90, firstNote, 1));
                loopback->push(port, packShortMessage(0x80, firstNote + 1, 0));
                loopback->push(port, packShortMessage(0x90, firstNote + 2, 5));
            };
            std::thread a(flood, "Pads", 36);
            std::thread b(flood, "Sonarello", 39);
            a.join();
            b.join();
            // The rows as each source's last notes said, once the MIDI thread has handled them.
            const std::vector<std::uint8_t> lastSaid{0, 1, 0, 1, 1, 0, 1}; // row 0 is no row
            EXPECT_TRUE(settle(p, [&] { return p.player->rows.RowPlaying == lastSaid; }));
        });
}

// A device chosen in the Setup dialog takes over from the previous one. Closing the main
// window while the dialog is open ends the player: the dialog closes with nothing chosen.
TEST_F(MidiPlayer, ChosenInputDeviceTakesOverAndClosingTheWindowClosesTheDialog)
{
    bool dialogOutlived = false;
    QObject guard;
    runWith(
        [&](Program& p)
        {
            QTimer::singleShot(50,
                               []
                               {
                                   for (QWidget* w : QApplication::topLevelWidgets())
                                       if (auto* list = w->findChild<QComboBox*>("devices"))
                                       {
                                           EXPECT_EQ(list->count(), 2);
                                           EXPECT_EQ(list->itemText(0).toStdString(), " 0 Pads");
                                           EXPECT_EQ(list->currentIndex(), 0);
                                           emit list->activated(1);
                                       }
                               });
            p.window->sendMessage(gui::message::kCommand, kCommandMidiIn, 0);
            EXPECT_EQ(messages, std::vector<std::string>{"Midi in ora è :  1 Keys"});
            EXPECT_FALSE(loopback->push("Pads", packShortMessage(0x90, 36, 100)));
            EXPECT_TRUE(loopback->push("Keys", packShortMessage(0x90, 36, 100)));
            EXPECT_TRUE(settle(p, [&] { return p.player->rows.RowPlaying[1] == 1; }));

            QTimer::singleShot(100, &guard,
                               [&] {
                                   p.window->sendMessage(gui::message::kCommand,
                                                         gui::message::kCancelCommand, 0);
                               });
            QTimer::singleShot(3000, &guard,
                               [&]
                               {
                                   for (QWidget* w : QApplication::topLevelWidgets())
                                       if (auto* d = qobject_cast<QDialog*>(w); d && d->isVisible())
                                       {
                                           dialogOutlived = true;
                                           d->reject();
                                       }
                               });
            p.window->sendMessage(gui::message::kCommand, kCommandMidiIn, 0);
        });
    EXPECT_FALSE(dialogOutlived) << "the device dialog kept the player running";
    EXPECT_EQ(messages.size(), 1u) << "a device chosen as the dialog closed";
}

class Controller : public Startup
{
  protected:
    void SetUp() override
    {
        Startup::SetUp();
        writeTones(2, 200, 3.0);
        std::ofstream(folder.file("pads.ini")) << R"([device]
name = test-pads
ports = Pads
[pads]
channel = 1
line1 = 60 61 62
[faders]
message = cc
numbers = 48
[controls]
velocity = on
)";
    }
    float level(Program& p, int row)
    {
        float left = 0, right = 0;
        std::scoped_lock lock(p.lock);
        p.engine->currentLevels(p.player->rows.RowChannel[static_cast<std::size_t>(row)], left,
                                right);
        return left;
    }
};

// The pads' lights and the volume a fader saves are the JACK stand-ins'; here a note's velocity
// scales its row's sound, never its volume, and the fader's volume shows on the row's cell.
TEST_F(Controller, VelocityScalesTheSoundAndTheFaderShowsTheVolume)
{
    EXPECT_EQ(run({"--audio=null", "--controller=pads.ini"},
                  [&](Program& p)
                  {
                      auto& rows = p.player->rows;
                      loopback->push("Pads", packShortMessage(0x90, 60, 127));
                      loopback->push("Pads", packShortMessage(0x90, 61, 64));
                      EXPECT_TRUE(settle(p, [&] { return rows.RowPlaying[2] == 1; }));
                      QTest::qWait(300);
                      level(p, 1), level(p, 2);
                      QTest::qWait(200);
                      EXPECT_NEAR(level(p, 2) / level(p, 1), 0.254, 0.03) << "(64 / 127) squared";
                      EXPECT_EQ(rows.RowVolume[2], 255); // the saved volume stays

                      loopback->push("Pads", packShortMessage(0xB0, 48, 64));
                      EXPECT_TRUE(settle(p, [&] { return rows.RowVolume[1] != 255; }));
                      EXPECT_EQ(rows.RowVolume[1], 129); // 64 of 127: 50.4 percent
                      EXPECT_EQ(p.toolkit->controls[kVolumeBase + 1].caption.trimmed(), "51");
                  }),
              kExitNormal);
}

TEST_F(Controller, ABadProfileLeavesThePlayersOwnMapping)
{
    std::ofstream(folder.file("bad.ini")) << "[pads]\nline1 = 1 1\n";
    EXPECT_EQ(run({"--audio=null", "--controller=bad.ini"},
                  [&](Program& p)
                  {
                      EXPECT_EQ(p.controller->profile(), nullptr);
                      loopback->push("Pads", packShortMessage(0x90, 36, 100));
                      EXPECT_TRUE(settle(p, [&] { return p.player->rows.RowPlaying[1] == 1; }));
                      EXPECT_TRUE(loopback->sent("Synth").empty());
                  }),
              kExitNormal);
}

} // namespace
