#include "program_fixture.h"
#include "shell/startup.h"
#include "soundgen.h"
#include "support/fake_sound_engine.h"
#include "support/temp_folder.h"

#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

using namespace sonarello;

class Startup : public test::ProgramFolderTest
{
  protected:
    std::vector<std::string> messages;
    test::FakeSoundEngine* engine = nullptr; // valid while the program runs
    std::vector<std::string> engineCalls;    // everything the program asked of its engine
    bool engineStarts = true;
    std::function<void(Program&)> onReady;

    void SetUp() override { ProgramFolderTest::SetUp(); }

    int run(const std::vector<std::string>& args = {})
    {
        StartupServices services;
        services.makeEngine = [this]
        {
            auto e = std::make_unique<test::FakeSoundEngine>();
            e->startSucceeds = engineStarts;
            e->onDestroy = [this](const std::vector<std::string>& calls) { engineCalls = calls; };
            engine = e.get();
            return e;
        };
        services.showMessage = [this](const std::string& text) { messages.push_back(text); };
        services.onWindowReady = [this](Program& program)
        {
            if (onReady)
                onReady(program);
            program.window->sendMessage(gui::message::kCommand, gui::message::kCancelCommand, 0);
        };
        return runProgram(parseCommandLine(args), services);
    }
};

TEST_F(Startup, EndsWithItsMessageWhenTheEngineCannotStart)
{
    engineStarts = false;
    EXPECT_EQ(run({"--audio=null"}), kExitNoSoundEngine);
    EXPECT_EQ(messages, std::vector<std::string>{"FSOUND_Init fallimento! Errore!"});
    EXPECT_FALSE(std::filesystem::exists(folder.file("lista mp3.txt")));
}

TEST_F(Startup, EmptyFolderWritesTheListThenEndsWithItsMessage)
{
    EXPECT_EQ(run(), kExitNoAudioFile);
    EXPECT_EQ(messages, std::vector<std::string>{"Non ci sono mp3 o wav! fine..."});
    EXPECT_EQ(test::readWholeFile(folder.file("lista mp3.txt")),
              "Dormelto: 0 files. *" + folder.path().string() + "/*\r\n");
}

TEST_F(Startup, TheRecordingIsNoTrack)
{
    // The engine creates the file it records into before the folder is scanned.
    ASSERT_TRUE(soundgen::writeSound(folder.file("take.wav"), {}, soundgen::Container::Wav16));
    EXPECT_EQ(run({"--audio=wav:./take.wav"}), kExitNoAudioFile);
    EXPECT_EQ(test::readWholeFile(folder.file("lista mp3.txt")),
              "Dormelto: 0 files. *" + folder.path().string() + "/*\r\n");
}

TEST_F(Startup, SecondCopyEndsSilently)
{
    const int fd = ::open((runtime.path() / "Sonarello.exe").c_str(), O_RDWR | O_CREAT, 0600);
    ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(run(), kExitAlreadyRunning);
    EXPECT_TRUE(messages.empty());
    EXPECT_FALSE(std::filesystem::exists(folder.file("lista mp3.txt")));
    ::close(fd);
    // The lock dies with its holder: the next start goes ahead.
    EXPECT_EQ(run(), kExitNoAudioFile);
}

TEST_F(Startup, BuildsTheGridFromSettingsAndSavesThemOnClose)
{
    for (const char* name : {"a.wav", "b.wav", "c.wav"})
        ASSERT_TRUE(soundgen::writeSound(folder.file(name), {}, soundgen::Container::Wav16));
    std::ofstream(folder.file("impostazioni.ini")) << "riga=2,velo=80,vol=100,loop=0,file=3\n"
                                                      "riga=9,velo=1\n";
    int rows = 0;
    std::string fileCaption;
    onReady = [&](Program& program)
    {
        rows = program.RowCount;
        fileCaption = std::string(program.toolkit->controls[kFileBase + 2].caption.trimmed());
        startRow(*program.player, 2);
    };
    EXPECT_EQ(run({"--audio=null", "b.wav"}), kExitNormal);
    EXPECT_TRUE(messages.empty());
    EXPECT_EQ(rows, 3);
    EXPECT_EQ(fileCaption, "[<]c (1.0 s)");
    ASSERT_FALSE(engineCalls.empty());
    EXPECT_EQ(engineCalls.front(), "start null");
    EXPECT_EQ(test::readWholeFile(folder.file("impostazioni.ini")),
              "riga=  1 ,velo= 50 ,vol= 255 ,loop= 1 ,file= 1 \r\n"
              "riga=  2 ,velo= 80 ,vol= 100 ,loop= 0 ,file= 3 \r\n"
              "riga=  3 ,velo= 50 ,vol= 255 ,loop= 1 ,file= 3 \r\n"
              "riga=9,velo=1\r\n");
    // Row 1 holds b.wav, named on the command line; shutdown closed the stream row 2 opened.
    EXPECT_EQ(engineCalls.at(7), "preload " + folder.file("b.wav"));
    EXPECT_EQ(engineCalls.back().substr(0, 6), "close ");
}
