// The real program as a child process: its exit codes, the single-instance lock, SIGHUP; and as
// a person uses it on a real X display, with real clicks: what was seen (a screenshot), what was
// heard (recorded through the wav: output) and the settings file it leaves.
#include "base/files.h"
#include "soundgen.h"
#include "support/process.h"
#include "support/sound_files.h"
#include "support/temp_folder.h"

#include <QImage>
#include <algorithm>
#include <cmath>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <numbers>
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
        // clang-format off
        {"help", {SONARELLO_BINARY, "--help"}, {}, "", 0, "--audio="},
        {"bad option", {SONARELLO_BINARY, "--audio=carrier-pigeon"}, {}, "", 1,
         "sonarello: unknown or malformed option: --audio=carrier-pigeon (try --help)\n"},
        {"recording over a file",
         {SONARELLO_BINARY, "--headless", "--audio=wav:" + show, "--midi=none"}, {}, "", 2,
         "sonarello: " + show + " exists; a recording never replaces a file\n"},
        {"another copy runs", headless, {}, runtime.file("Sonarello.exe"), 4, ""},
        {"unusable runtime folder", headless,
         {{"XDG_RUNTIME_DIR", show}, {"TMPDIR", shared.path().string()}}, "", 3, noFiles},
        {"another user's lock in the shared folder", headless, sharedOnly,
         shared.file("Sonarello.exe"), 3, noFiles},
        {"another copy runs, no runtime folder", headless, sharedOnly, own + "/Sonarello.exe", 4,
         ""},
        {"no lock can be made", headless,
         {{"XDG_RUNTIME_DIR", ""}, {"TMPDIR", planted.path().string()}}, "", 3,
         "no single-instance lock can be made"},
        {"removed working folder",
         {"/bin/sh", "-c", R"(mkdir gone && cd gone && rmdir ../gone && exec "$@")", "sh",
          SONARELLO_BINARY, "--headless", "--audio=null", "--midi=none"}, {}, "", 6,
         "sonarello: the working folder cannot be read"},
        {"no display", {SONARELLO_BINARY, "--audio=null"},
         {{"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}, {"QT_QPA_PLATFORM", ""}}, "", 5, "--headless"},
        // clang-format on
    };
    for (const auto& c : cases)
    {
        const int fd =
            c.lockedFile.empty() ? -1 : ::open(c.lockedFile.c_str(), O_RDWR | O_CREAT, 0600);
        ASSERT_TRUE(c.lockedFile.empty() || ::flock(fd, LOCK_EX | LOCK_NB) == 0) << c.name;
        auto env = c.env;
        env.emplace("XDG_RUNTIME_DIR", runtime.path().string());
        const auto r = test::runProcess(c.argv, folder.path().string(), env);
        if (fd >= 0)
            ::close(fd);
        EXPECT_EQ(r.exitCode, c.exitCode) << c.name << ": " << r.err;
        EXPECT_NE((r.out + r.err).find(c.output), std::string::npos) << c.name << ": " << r.err;
        EXPECT_TRUE(c.exitCode != 1 || r.err == c.output) << "one line, not the whole usage";
        if (c.output.empty())
        {
            // Qt's own word on a missing runtime folder is no line of the player's.
            std::string said = r.out + r.err;
            const std::string qt = "QStandardPaths: XDG_RUNTIME_DIR not set";
            if (const auto at = said.find(qt); at != std::string::npos)
                said.erase(at, said.find('\n', at) - at + 1);
            EXPECT_EQ(said, "") << c.name << " ends silently";
        }
    }
    EXPECT_EQ(std::filesystem::status(own).permissions(), std::filesystem::perms::owner_all);
    EXPECT_TRUE(os::readWholeFile(show) == "a show") << "the recording replaced a file";
    EXPECT_FALSE(std::filesystem::exists("/lista mp3.txt")) << "written in no folder of the show";
}

// SIGHUP (the player's terminal closed) closes the window as its close box does, as SIGTERM does
// in the runs over JACK: the settings are saved. A standard error whose reader went away (a pipe
// to `head`) takes a line (of a 1 MB file that is no settings file) and no harm.
TEST(Program, HangUpSavesTheSettings)
{
    test::TempFolder folder;
    ASSERT_TRUE(soundgen::writeSound(folder.file("a.wav"), {}, soundgen::Container::Wav16));
    std::ofstream(folder.file("impostazioni.ini")) << std::string(2 << 20, ' ');
    const auto r =
        test::runProcess({"/bin/bash", "-c", R"(exec "$0" "$@" 2> >(exec true))", SONARELLO_BINARY,
                          "--headless", "--audio=null", "--midi=none"},
                         folder.path().string(), {{"XDG_RUNTIME_DIR", folder.path().string()}},
                         std::chrono::seconds(30), std::chrono::seconds(2), SIGHUP);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(os::readWholeFile(folder.file("impostazioni.ini")) ==
                "riga=  1 ,velo= 50 ,vol= 255 ,loop= 1 ,file= 1 \r\n")
        << "not saved";
}

// Amplitude of one frequency in the left side of [first, first + count) frames (Goertzel).
double amplitude(const std::vector<float>& stereo, std::size_t first, std::size_t count, double hz,
                 int rate)
{
    const double w = 2 * std::numbers::pi * hz / rate;
    double s1 = 0, s2 = 0;
    for (std::size_t i = first; i < first + count; ++i)
    {
        const double s0 = stereo[2 * i] + 2 * std::cos(w) * s1 - s2;
        s2 = s1;
        s1 = s0;
    }
    return 2 * std::sqrt(s1 * s1 + s2 * s2 - 2 * std::cos(w) * s1 * s2) /
           static_cast<double>(count);
}

struct Heard
{
    double low = 0;  // row 1's 441 Hz tone
    double high = 0; // row 2's 882 Hz tone
};

TEST(Person, PlaysTwoRowsChangesVolumeStepsAFileAndCloses)
{
    if (std::system(
            "(command -v xvfb-run && command -v xdotool && command -v import) >/dev/null") != 0)
        GTEST_SKIP() << "xvfb-run, xdotool or ImageMagick missing";
    test::TempFolder folder;
    ASSERT_TRUE(test::writeSine(folder.file("a 441.wav"), 441, 2.0, 44100));
    ASSERT_TRUE(test::writeSine(folder.file("b 882.wav"), 882, 2.0, 44100));
    ASSERT_TRUE(test::writeSine(folder.file("c 1323.mp3"), 1323, 2.0, 44100, 0.5f,
                                soundgen::Container::Mp3Cbr));
    test::TempFolder elsewhere; // a recording in the folder would become a row of its own
    const std::string recording = elsewhere.file("heard.wav");
    const std::string screenshot = elsewhere.file("window.png");

    // The player must open a real window on the X display, not the off-screen one tests use.
    const auto r =
        test::runProcess({"/usr/bin/xvfb-run", "-a", "-s", "-screen 0 1280x800x24",
                          SONARELLO_PERSON_SCRIPT, SONARELLO_BINARY, recording, screenshot},
                         folder.path().string(),
                         {{"XDG_RUNTIME_DIR", folder.path().string()}, {"QT_QPA_PLATFORM", ""}},
                         std::chrono::seconds(60));
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;

    const QImage shot(QString::fromStdString(screenshot));
    ASSERT_FALSE(shot.isNull());
    const int top = shot.height() - 88; // three rows: a client area of 88 pixels
    const auto pixel = [&](int x, int y) { return shot.pixel(x, top + y) & 0xFFFFFFu; };
    EXPECT_EQ(pixel(44, 60), 0x0A3728u) << "background between the key and Loop columns";
    EXPECT_EQ(pixel(600, 20), 0x0A3728u) << "background right of the MIDI display";
    EXPECT_NE(pixel(100, 40), 0x0A3728u) << "a header's face";

    int rate = 0;
    const auto samples = test::readSound(recording, rate);
    ASSERT_GT(rate, 0);
    std::vector<Heard> windows; // 100 ms each
    const auto window = static_cast<std::size_t>(rate / 10);
    for (std::size_t at = 0; at + window <= samples.size() / 2; at += window)
        windows.push_back(
            {amplitude(samples, at, window, 441, rate), amplitude(samples, at, window, 882, rate)});

    // In order: row 1 alone and loud, row 1 alone and soft, then row 2 loud beside it.
    const auto loud = std::find_if(windows.begin(), windows.end(),
                                   [](const Heard& h) { return h.low > 0.45 && h.high < 0.02; });
    const auto soft =
        std::find_if(loud, windows.end(),
                     [](const Heard& h) { return h.low > 0.02 && h.low < 0.2 && h.high < 0.02; });
    const auto both =
        std::find_if(soft, windows.end(),
                     [](const Heard& h) { return h.low > 0.02 && h.low < 0.2 && h.high > 0.45; });
    EXPECT_TRUE(loud != windows.end()) << "row 1 at full volume";
    EXPECT_TRUE(soft != windows.end()) << "row 1 after its volume was dragged down";
    EXPECT_TRUE(both != windows.end()) << "row 2 started by the right button";

    const std::string settings = os::readWholeFile(folder.file("impostazioni.ini"));
    const auto lines = settings.find("\r\nriga=  2 ");
    ASSERT_NE(lines, std::string::npos) << settings;
    EXPECT_TRUE(settings.starts_with("riga=  1 ,velo= 50 ,vol= ")) << settings;
    EXPECT_EQ(settings.substr(lines + 2), "riga=  2 ,velo= 50 ,vol= 255 ,loop= 1 ,file= 2 \r\n"
                                          "riga=  3 ,velo= 50 ,vol= 255 ,loop= 1 ,file= 2 \r\n");
    const int volume = std::stoi(settings.substr(25));
    EXPECT_GT(volume, 5);
    EXPECT_LT(volume, 90);
}

} // namespace
