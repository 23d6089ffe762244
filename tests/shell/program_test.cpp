// Runs the real sonarello program the way a person starts it, each run with its own
// runtime folder, and checks what it leaves behind.
#include "soundgen.h"
#include "support/process.h"
#include "support/temp_folder.h"

#include <algorithm>
#include <cmath>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

using namespace sonarello;

class Program : public ::testing::Test
{
  protected:
    test::TempFolder folder;
    test::TempFolder runtime;

    // Runs the player headless; one that starts is closed with SIGTERM after a while.
    test::ProcessResult sonarello(std::vector<std::string> args = {})
    {
        args.insert(args.begin(), {SONARELLO_BINARY, "--headless", "--audio=null", "--midi=none"});
        return test::runProcess(args, folder.path().string(),
                                {{"XDG_RUNTIME_DIR", runtime.path().string()}},
                                std::chrono::seconds(30), std::chrono::seconds(3));
    }
};

TEST_F(Program, WritesTheCatalogueOfTheFolder)
{
    namespace sg = soundgen;
    ASSERT_TRUE(sg::writeSound(folder.file("b.wav"), {sg::Sound::Sine, 441, 1.0, 44100, 1, 0.5f},
                               sg::Container::Wav16));
    ASSERT_TRUE(sg::writeSound(folder.file("A.mp3"), {sg::Sound::Kick, 0, 2.0, 44100, 2, 0.5f},
                               sg::Container::Mp3Cbr));
    std::ofstream(folder.file("broken.mp3")) << "not audio";
    const auto r = sonarello();
    EXPECT_EQ(r.exitCode, 0) << r.err;
    const auto aSize = std::filesystem::file_size(folder.file("A.mp3"));
    const std::string expected =
        "Dormelto: 3 files. *" + folder.path().string() + "/*\r\n" + "001 A (" +
        std::to_string(std::llround(static_cast<double>(aSize) / 2.0 / 1000 * 8)) + " kbps, " +
        std::to_string(aSize) + " Bytes,   2.0 s)\r\n" +
        "002 b (706 kbps, 88244 Bytes,   1.0 s)\r\n" + "003 broken (0 kbps, 0 Bytes,   0.0 s)\r\n";
    EXPECT_EQ(test::readWholeFile(folder.file("lista mp3.txt")), expected);
    // SIGTERM closes the window as its close box does: the settings are saved.
    EXPECT_EQ(test::readWholeFile(folder.file("impostazioni.ini")).substr(0, 49),
              "riga=  1 ,velo= 50 ,vol= 255 ,loop= 1 ,file= 1 \r\n");
}

TEST_F(Program, AHundredFilesMakeSeventyTwoRows)
{
    for (int i = 0; i < 100; ++i)
        std::ofstream(folder.file("f" + std::to_string(100 + i) + ".mp3")) << "not audio";
    std::ofstream(folder.file("impostazioni.ini")) << "riga=99,velo=1\r\nriga=72,file=100\r\n";
    const auto r = sonarello();
    EXPECT_EQ(r.exitCode, 0) << r.err;
    const auto settings = test::readWholeFile(folder.file("impostazioni.ini"));
    EXPECT_EQ(std::count(settings.begin(), settings.end(), '\n'), 73);
    EXPECT_NE(settings.find("riga= 72 ,velo= 0 ,vol= 0 ,loop= 0 ,file= 100 \r\nriga=99,velo=1\r\n"),
              std::string::npos);
}

TEST_F(Program, EmptyFolderEndsWithCodeThreeAndItsMessage)
{
    const auto r = sonarello();
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_EQ(r.err, "Non ci sono mp3 o wav! fine...\n");
}

TEST_F(Program, SecondCopyEndsAtOnceSilently)
{
    const int fd = ::open((runtime.path() / "Sonarello.exe").c_str(), O_RDWR | O_CREAT, 0600);
    ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
    std::ofstream(folder.file("a.mp3")) << "x";
    const auto r = sonarello();
    ::close(fd);
    EXPECT_EQ(r.exitCode, 4);
    EXPECT_EQ(r.out + r.err, "");
    EXPECT_FALSE(std::filesystem::exists(folder.file("lista mp3.txt")));
}

TEST_F(Program, AnswersHelpVersionAndBadOptions)
{
    const auto version = test::runProcess({SONARELLO_BINARY, "--version"}, folder.path().string());
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_TRUE(version.out.starts_with("Sonarello ")) << version.out;
    const auto help = test::runProcess({SONARELLO_BINARY, "--help"}, folder.path().string());
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("--audio="), std::string::npos);
    const auto bad =
        test::runProcess({SONARELLO_BINARY, "--audio=carrier-pigeon"}, folder.path().string());
    EXPECT_EQ(bad.exitCode, 1);
    EXPECT_NE(bad.err.find("--audio=carrier-pigeon"), std::string::npos);
}

TEST_F(Program, WithoutADisplayAsksForHeadless)
{
    const auto r = test::runProcess({"/usr/bin/env", "-u", "DISPLAY", "-u", "WAYLAND_DISPLAY", "-u",
                                     "QT_QPA_PLATFORM", SONARELLO_BINARY, "--audio=null"},
                                    folder.path().string());
    EXPECT_EQ(r.exitCode, 5);
    EXPECT_NE(r.err.find("--headless"), std::string::npos);
}
