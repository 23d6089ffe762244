// The player's start-up and its timer tick with a full grid: from the process start to the
// window shown with 72 rows of three- to five-minute MP3s, and the GUI thread's time for one
// tick while all 72 rows play. Prints its figures.
#include "devices/system_outputs.h"
#include "engine/audio_engine.h"
#include "shell/startup.h"
#include "smoke.h"
#include "soundgen.h"

#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <vector>

namespace fs = std::filesystem;
using namespace sonarello;
using Clock = std::chrono::steady_clock;

namespace
{

const int kRows = bench::sized(72, 3);
const int kTicks = bench::sized(200, 3);

double ms(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

// Two songs (three and five minutes) copied under 72 names.
void makeFolder(const fs::path& folder)
{
    if (fs::exists(folder / ("song " + std::to_string(kRows - 1) + ".mp3")))
        return;
    fs::create_directories(folder);
    for (const double minutes : {3.0, 5.0})
    {
        const auto path = folder / (minutes < 4 ? "a.tmp" : "b.tmp");
        soundgen::writeSound(
            path.string(),
            {soundgen::Sound::Chord, 220.0, bench::sized(minutes * 60, 2.0), 44100, 2, 0.5f},
            soundgen::Container::Mp3Cbr);
    }
    for (int i = 0; i < kRows; ++i)
        fs::copy_file(folder / (i % 2 ? "b.tmp" : "a.tmp"),
                      folder / ("song " + std::to_string(i) + ".mp3"),
                      fs::copy_options::overwrite_existing);
    fs::remove(folder / "a.tmp");
    fs::remove(folder / "b.tmp");
}

void measureTicks(Program& program)
{
    for (int row = 1; row <= program.player->RowCount; ++row)
        startRow(*program.player, row);
    std::vector<double> ticks;
    for (int i = 0; i < kTicks; ++i)
    {
        const auto start = Clock::now();
        updateRows(*program.player);
        ticks.push_back(ms(Clock::now() - start));
    }
    std::sort(ticks.begin(), ticks.end());
    std::printf("Timer tick, %d playing rows (%d ticks): min %.3f ms, median %.3f ms, max %.3f ms "
                "(target 3 ms)\n",
                program.player->RowCount, kTicks, ticks.front(), ticks[ticks.size() / 2],
                ticks.back());
}

} // namespace

int main(int argc, char** argv)
{
    const fs::path folder =
        argc > 1 ? fs::path(argv[1]) : fs::temp_directory_path() / "sonarello-player-bench";
    makeFolder(folder);
    fs::current_path(folder);
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    // The folder is ready: from here on the program does what its start does.
    const auto start = Clock::now();
    gui::Application application(argc, argv);
    StartupServices services;
    services.makeEngine = [] { return sound::createSystemEngine(); };
    services.showMessage = [](const std::string& text)
    { std::fprintf(stderr, "%s\n", text.c_str()); };
    services.onWindowReady = [&](Program& program)
    {
        QTimer::singleShot(0,
                           [&]
                           {
                               std::printf("Start-up to the window shown, %d rows of 3-5 min MP3s: "
                                           "%.1f ms (target 1000 ms)\n",
                                           program.player->RowCount, ms(Clock::now() - start));
                               measureTicks(program);
                               program.window->end(0);
                           });
    };
    return runProgram(parseCommandLine({"--audio=null", "--midi=none"}), services);
}
