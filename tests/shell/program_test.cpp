// The real sonarello program as a child process, for what needs a process: its exit codes,
// the single-instance lock, SIGTERM.
#include "platform/os/files.h"
#include "soundgen.h"
#include "support/process.h"
#include "support/temp_folder.h"

#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

using namespace sonarello;

namespace
{

TEST(Program, ExitCodes)
{
    test::TempFolder folder;
    test::TempFolder runtime;
    const std::vector<std::string> headless{SONARELLO_BINARY, "--headless", "--audio=null",
                                            "--midi=none"};
    const std::vector<std::string> noDisplay{
        "/usr/bin/env",    "-u", "DISPLAY",         "-u",
        "WAYLAND_DISPLAY", "-u", "QT_QPA_PLATFORM", SONARELLO_BINARY,
        "--audio=null"};
    // A recording aimed at a file of the show refuses to start rather than replace it.
    const std::string show = runtime.file("show.wav");
    std::ofstream(show) << "a show";
    const struct
    {
        const char* name;
        std::vector<std::string> argv;
        bool locked; // another copy holds the lock
        int exitCode;
        std::string output; // a part of standard output and error
    } cases[] = {
        {"version", {SONARELLO_BINARY, "--version"}, false, 0, "Sonarello "},
        {"help", {SONARELLO_BINARY, "--help"}, false, 0, "--audio="},
        {"bad option",
         {SONARELLO_BINARY, "--audio=carrier-pigeon"},
         false,
         1,
         "--audio=carrier-pigeon"},
        {"empty folder", headless, false, 3, "Non ci sono mp3 o wav! fine...\n"},
        {"recording over a file",
         {SONARELLO_BINARY, "--headless", "--audio=wav:" + show, "--midi=none"},
         false,
         2,
         "sonarello: " + show + " exists; a recording never replaces a file\n"},
        {"another copy runs", headless, true, 4, ""},
        {"no display", noDisplay, false, 5, "--headless"},
    };
    for (const auto& c : cases)
    {
        const int fd = ::open((runtime.path() / "Sonarello.exe").c_str(), O_RDWR | O_CREAT, 0600);
        ASSERT_EQ(::flock(fd, c.locked ? LOCK_EX | LOCK_NB : LOCK_UN), 0);
        const auto r = test::runProcess(c.argv, folder.path().string(),
                                        {{"XDG_RUNTIME_DIR", runtime.path().string()}});
        ::close(fd);
        EXPECT_EQ(r.exitCode, c.exitCode) << c.name << ": " << r.err;
        EXPECT_NE((r.out + r.err).find(c.output), std::string::npos) << c.name << ": " << r.err;
        if (c.output.empty())
        {
            EXPECT_EQ(r.out + r.err, "") << c.name << " ends silently";
        }
    }
    EXPECT_TRUE(os::readWholeFile(show) == "a show") << "the recording replaced a file";
}

// SIGTERM, and SIGHUP when the terminal that started the player closes, close the window as
// its close box does: the settings are saved. A standard error whose reader went away (a
// pipe to `head`) takes a line (here of a 1 MB file that is no settings file) and no harm.
TEST(Program, TerminationAndHangUpSaveTheSettings)
{
    const std::vector<std::string> player{SONARELLO_BINARY, "--headless", "--audio=null",
                                          "--midi=none"};
    std::vector<std::string> errorToNowhere{"/bin/bash", "-c", R"(exec "$0" "$@" 2> >(exec true))"};
    errorToNowhere.insert(errorToNowhere.end(), player.begin(), player.end());
    for (const auto& [signal, argv] :
         {std::pair{SIGTERM, player}, std::pair{SIGHUP, errorToNowhere}})
    {
        test::TempFolder folder;
        ASSERT_TRUE(soundgen::writeSound(folder.file("a.wav"), {}, soundgen::Container::Wav16));
        std::ofstream(folder.file("impostazioni.ini")) << std::string(2 << 20, ' ');
        const auto r = test::runProcess(argv, folder.path().string(),
                                        {{"XDG_RUNTIME_DIR", folder.path().string()}},
                                        std::chrono::seconds(30), std::chrono::seconds(2), signal);
        EXPECT_EQ(r.exitCode, 0) << strsignal(signal) << ": " << r.err;
        EXPECT_TRUE(os::readWholeFile(folder.file("impostazioni.ini")) ==
                    "riga=  1 ,velo= 50 ,vol= 255 ,loop= 1 ,file= 1 \r\n")
            << strsignal(signal) << ": not saved";
    }
}

} // namespace
