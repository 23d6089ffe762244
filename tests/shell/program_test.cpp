// The real sonarello program as a child process, for what needs a process: its exit codes,
// the single-instance lock, SIGTERM.
#include "base/files.h"
#include "soundgen.h"
#include "support/process.h"
#include "support/temp_folder.h"

#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <sys/file.h>
#include <unistd.h>

using namespace sonarello;

namespace
{

TEST(Program, ExitCodes)
{
    test::TempFolder folder;
    test::TempFolder runtime;
    test::TempFolder shared; // a temporary folder all users share
    const std::vector<std::string> headless{SONARELLO_BINARY, "--headless", "--audio=null",
                                            "--midi=none"};
    const std::vector<std::string> noDisplay{
        "/usr/bin/env",    "-u", "DISPLAY",         "-u",
        "WAYLAND_DISPLAY", "-u", "QT_QPA_PLATFORM", SONARELLO_BINARY,
        "--audio=null"};
    // A recording aimed at a file of the show refuses to start rather than replace it.
    const std::string show = runtime.file("show.wav");
    std::ofstream(show) << "a show";
    // Without a runtime folder of its own the lock lives in a folder of the user's own in the
    // shared one, never where another user holds a lock or has planted a folder.
    const std::map<std::string, std::string> sharedOnly{{"XDG_RUNTIME_DIR", ""},
                                                        {"TMPDIR", shared.path().string()}};
    const std::string own = shared.file("sonarello-" + std::to_string(::geteuid()));
    test::TempFolder planted;
    const std::string theirs = planted.file("sonarello-" + std::to_string(::geteuid()));
    std::filesystem::create_directory(theirs);
    std::filesystem::permissions(theirs, std::filesystem::perms::all);
    std::vector<std::string> inRemovedFolder{
        "/bin/sh", "-c", R"(mkdir gone && cd gone && rmdir ../gone && exec "$@")", "sh"};
    inRemovedFolder.insert(inRemovedFolder.end(), headless.begin(), headless.end());
    const std::string noFiles = "Non ci sono mp3 o wav! fine...\n";
    const struct
    {
        const char* name;
        std::vector<std::string> argv;
        std::map<std::string, std::string> env;
        std::string lockedFile; // another copy holds this lock
        int exitCode;
        std::string output; // a part of standard output and error; none at all when empty
    } cases[] = {
        {"version", {SONARELLO_BINARY, "--version"}, {}, "", 0, "Sonarello "},
        {"help", {SONARELLO_BINARY, "--help"}, {}, "", 0, "--audio="},
        {"bad option",
         {SONARELLO_BINARY, "--audio=carrier-pigeon"},
         {},
         "",
         1,
         "sonarello: unknown or malformed option: --audio=carrier-pigeon (try --help)\n"},
        {"empty folder", headless, {}, "", 3, noFiles},
        {"recording over a file",
         {SONARELLO_BINARY, "--headless", "--audio=wav:" + show, "--midi=none"},
         {},
         "",
         2,
         "sonarello: " + show + " exists; a recording never replaces a file\n"},
        {"another copy runs", headless, {}, runtime.file("Sonarello.exe"), 4, ""},
        {"unusable runtime folder",
         headless,
         {{"XDG_RUNTIME_DIR", show}, {"TMPDIR", shared.path().string()}},
         "",
         3,
         noFiles},
        {"another user's lock in the shared folder", headless, sharedOnly,
         shared.file("Sonarello.exe"), 3, noFiles},
        {"another copy runs, no runtime folder", headless, sharedOnly, own + "/Sonarello.exe", 4,
         ""},
        {"no lock can be made",
         headless,
         {{"XDG_RUNTIME_DIR", ""}, {"TMPDIR", planted.path().string()}},
         "",
         3,
         "no single-instance lock can be made"},
        {"removed working folder",
         inRemovedFolder,
         {},
         "",
         6,
         "sonarello: the working folder cannot be read"},
        {"no display", noDisplay, {}, "", 5, "--headless"},
    };
    for (const auto& c : cases)
    {
        const int fd =
            c.lockedFile.empty() ? -1 : ::open(c.lockedFile.c_str(), O_RDWR | O_CREAT, 0600);
        if (!c.lockedFile.empty())
        {
            ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0) << c.name;
        }
        auto env = c.env;
        env.emplace("XDG_RUNTIME_DIR", runtime.path().string());
        const auto r = test::runProcess(c.argv, folder.path().string(), env);
        if (fd >= 0)
            ::close(fd);
        EXPECT_EQ(r.exitCode, c.exitCode) << c.name << ": " << r.err;
        EXPECT_NE((r.out + r.err).find(c.output), std::string::npos) << c.name << ": " << r.err;
        if (c.exitCode == 1)
        {
            EXPECT_EQ(r.err, c.output) << "one line, not the whole usage";
        }
        if (c.output.empty())
        {
            // Qt's own word on a missing runtime folder is no line of the player's.
            std::string said = r.out + r.err;
            const std::string qt = "QStandardPaths: XDG_RUNTIME_DIR not set";
            if (const auto at = said.find(qt); at != std::string::npos)
                said.erase(at, said.find('\n', at) - at + 1);
            EXPECT_EQ(said, "") << c.name << " ends silently";
        }
        if (c.name == std::string("another user's lock in the shared folder"))
        {
            EXPECT_EQ(std::filesystem::status(own).permissions(),
                      std::filesystem::perms::owner_all);
        }
    }
    EXPECT_TRUE(os::readWholeFile(show) == "a show") << "the recording replaced a file";
    EXPECT_FALSE(std::filesystem::exists("/lista mp3.txt")) << "written in no folder of the show";
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
