// The real program as a person uses it, on a real X display with real clicks: what was
// seen (a screenshot), what was heard (recorded through the wav: output) and the settings file
// it leaves. The catalogue's lines are catalogue_test's.
#include "base/files.h"
#include "support/process.h"
#include "support/sound_files.h"
#include "support/temp_folder.h"

#include <QImage>
#include <cmath>
#include <gtest/gtest.h>
#include <numbers>

using namespace sonarello;

namespace
{

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
    const auto r = test::runProcess(
        {"/usr/bin/env", "-u", "QT_QPA_PLATFORM", "/usr/bin/xvfb-run", "-a", "-s",
         "-screen 0 1280x800x24", SONARELLO_PERSON_SCRIPT, SONARELLO_BINARY, recording, screenshot},
        folder.path().string(), {{"XDG_RUNTIME_DIR", folder.path().string()}},
        std::chrono::seconds(60));
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;

    const QImage shot(QString::fromStdString(screenshot));
    ASSERT_FALSE(shot.isNull());
    const int top = shot.height() - 88; // three rows: a client area of 88 pixels
    const auto pixel = [&](int x, int y) { return shot.pixel(x, top + y) & 0xFFFFFFu; };
    EXPECT_EQ(pixel(44, 60), 0x0A3728u) << "background between the key and Loop columns";
    EXPECT_EQ(pixel(600, 20), 0x0A3728u) << "background right of the MIDI display";
    EXPECT_EQ(pixel(38, 50), 0x000000u) << "row 1: a black key";
    EXPECT_EQ(pixel(38, 67), 0xFFFFFFu) << "row 2: a white key";
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
    auto find = [&](std::size_t from, auto match)
    {
        for (std::size_t i = from; i < windows.size(); ++i)
            if (match(windows[i]))
                return i;
        return windows.size();
    };
    const auto loud = find(0, [](const Heard& h) { return h.low > 0.45 && h.high < 0.02; });
    const auto soft =
        find(loud, [](const Heard& h) { return h.low > 0.02 && h.low < 0.2 && h.high < 0.02; });
    const auto both =
        find(soft, [](const Heard& h) { return h.low > 0.02 && h.low < 0.2 && h.high > 0.45; });
    EXPECT_LT(loud, windows.size()) << "row 1 at full volume";
    EXPECT_LT(soft, windows.size()) << "row 1 after its volume was dragged down";
    EXPECT_LT(both, windows.size()) << "row 2 started by the right button";

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
