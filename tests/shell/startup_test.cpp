// Start-up and shutdown in this process: the catalogue and settings files the player leaves,
// the grid it builds from them, and its messages. The catalogue's lines are catalogue_test's.
#include "base/files.h"
#include "program_fixture.h"

#include <QApplication>
#include <QDialog>
#include <QTimer>
#include <algorithm>
#include <fstream>
#include <map>

using namespace sonarello;

class Startup : public test::ProgramTest
{
  protected:
    std::string list() { return os::readWholeFile(folder.file("lista mp3.txt")); }
    std::string settings() { return os::readWholeFile(folder.file("impostazioni.ini")); }
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
    EXPECT_EQ(list(), "Dormelto: 0 files. *" + folder.path().string() + "/*\r\n");
}

TEST_F(Startup, BuildsTheGridFromSettingsAndSavesThemOnClose)
{
    writeTones(4, 441, 1.0);
    std::ofstream(folder.file("impostazioni.ini")) << "riga=2,velo=80,vol=127,loop=2,file=4\n"
                                                      "riga=9,velo=1\n";
    int rows = 0;
    std::map<int, std::string> captions; // by control id
    float volume = 0;
    run({"--audio=null", "tone", "2.wav"},
        [&](Program& program)
        {
            rows = program.player->RowCount;
            for (int id : {kFileBase + 1, kFileBase + 2, kLoopBase + 1, kLoopBase + 2,
                           kVolumeBase + 1, kVolumeBase + 2})
                captions[id] =
                    program.toolkit->controls[static_cast<std::size_t>(id)].caption.stored.substr(
                        0, 24);
            volume = program.toolkit->controls[kVolumeBase + 2].value;
        });
    EXPECT_TRUE(messages.empty());
    EXPECT_EQ(rows, 4);
    EXPECT_EQ(captions[kFileBase + 1].substr(0, 17), "[<]tone 2 (1.0 s)")
        << "the file named on the command line";
    EXPECT_EQ(captions[kFileBase + 2].substr(0, 17), "[<]tone 4 (1.0 s)");
    EXPECT_EQ(captions[kLoopBase + 1].substr(0, 2), "ON");
    EXPECT_EQ(captions[kLoopBase + 2].substr(0, 3), "OFF") << "only loop 1 shows ON";
    EXPECT_EQ(captions[kVolumeBase + 1].substr(0, 3), "100");
    EXPECT_EQ(captions[kVolumeBase + 2].substr(0, 3), " 50");
    EXPECT_NEAR(volume, 49.8f, 0.01f);
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

// Closing the main window while a device dialog is open ends the player: the dialog closes
// with nothing chosen.
TEST_F(Startup, ClosingTheWindowClosesAnOpenDeviceDialog)
{
    writeTones(1, 441);
    bool dialogOutlived = false;
    QObject guard;
    run({"--audio=null"},
        [&](Program& program)
        {
            QTimer::singleShot(100, &guard,
                               [&] {
                                   program.window->sendMessage(gui::message::kCommand,
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
            program.window->sendMessage(gui::message::kCommand, kCommandMidiIn, 0);
        });
    EXPECT_FALSE(dialogOutlived) << "the device dialog kept the player running";
}
