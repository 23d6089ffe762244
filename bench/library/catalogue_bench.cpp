// measuring every file through the sound engine and writing the list. Prints its figures.
#include "devices/system_outputs.h"
#include "engine/audio_engine.h"
#include "library/catalogue.h"
#include "smoke.h"
#include "soundgen.h"

#include "devices/system_outputs.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <vector>

namespace fs = std::filesystem;
using namespace sonarello;

namespace
{

const int kFiles = bench::sized(200, 3);
const double kSeconds = bench::sized(180.0, 2.0);
const int kRuns = bench::sized(5, 1);

// One encoded song copied under 200 names: each copy is a file of its own on disk.
void makeFolder(const fs::path& folder, soundgen::Container container)
{
    fs::create_directories(folder);
    const auto first = folder / "song 000.mp3";
    soundgen::SoundSpec recipe{soundgen::Sound::Chord, 220.0, kSeconds, 44100, 2, 0.5f};
    if (!soundgen::writeSound(first.string(), recipe, container))
        std::fprintf(stderr, "could not write %s\n", first.c_str());
    for (int i = 1; i < kFiles; ++i)
    {
        char name[32];
        std::snprintf(name, sizeof name, "song %03d.mp3", i);
        fs::copy_file(first, folder / name, fs::copy_options::overwrite_existing);
    }
}

void measure(const char* label, const fs::path& folder, sound::SoundEngine& engine)
{
    std::vector<double> seconds;
    TrackCatalogue catalogue;
    scanCatalogue(catalogue, folder.string() + "/", engine); // warms the page cache
    for (int run = 0; run < kRuns; ++run)
    {
        const auto start = std::chrono::steady_clock::now();
        scanCatalogue(catalogue, folder.string() + "/", engine);
        seconds.push_back(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(seconds.begin(), seconds.end());
    std::printf("%-28s %d files, %s: min %.3f s, median %.3f s, max %.3f s\n", label,
                catalogue.FileCount, catalogue.FileTitle[1].c_str(), seconds.front(),
                seconds[seconds.size() / 2], seconds.back());
}

} // namespace

int main(int argc, char** argv)
{
    const fs::path root =
        argc > 1 ? fs::path(argv[1]) : fs::temp_directory_path() / "sonarello-catalogue-bench";
    const auto withHeader = root / "lame-header";
    const auto withoutHeader = root / "no-header";
    if (!fs::exists(withHeader / "song 199.mp3"))
        makeFolder(withHeader, soundgen::Container::Mp3Cbr);
    if (!fs::exists(withoutHeader / "song 199.mp3"))
        makeFolder(withoutHeader, soundgen::Container::Mp3VbrNoHeader);

    auto engine = sound::createSystemEngine();
    sound::EngineOptions options;
    options.output = "null";
    engine->start(options);
    std::printf("Catalogue scan, warm page cache, %d runs each (targets: 0.5 s with LAME headers, "
                "3 s without)\n",
                kRuns);
    measure("MP3 with LAME headers:", withHeader, *engine);
    measure("MP3 without headers (VBR):", withoutHeader, *engine);
    return 0;
}
