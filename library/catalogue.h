// The track catalogue: every .mp3 and .wav file of the working folder, sorted by path,
// measured and listed in "lista mp3.txt". Built once on the main thread at start-up.
#pragma once

#include "engine/sound_engine.h"

#include <string>
#include <string_view>
#include <vector>

namespace sonarello
{

constexpr int kMaxFiles = 3000;
constexpr int kMeasuredFiles = 200;
constexpr const char* kCatalogueFileName = "lista mp3.txt";

struct TrackCatalogue
{
    int FileCount = 0;
    std::vector<std::string> FilePath = std::vector<std::string>(kMaxFiles + 1); // 1..kMaxFiles
    std::vector<std::string> FileTitle = std::vector<std::string>(kMaxFiles + 1);

    // The entry's path or title; empty for any index outside 1..FileCount.
    const std::string& path(int index) const;
    const std::string& title(int index) const;
};

// Fills the catalogue from `workFolder` (which ends in "/"), measures its first 200
// entries through the engine's streams and writes the catalogue file into the folder.
// `leftOut` names a file that is no track, whatever its path's spelling: the recording the
// engine writes while it plays.
void scanCatalogue(TrackCatalogue& catalogue, const std::string& workFolder,
                   sound::SoundEngine& engine, const std::string& leftOut = {});

// The path without every occurrence of `extension`, from its last "/" on.
std::string fileTitleFromPath(std::string_view path, std::string_view extension);

// "## h ## min ##.# s" with a zero hour and a zero minute field left out.
std::string formatDuration(double seconds);

// The bit rate written for a stream of `bytes` and `ms`: 0 for a stream of 0 ms.
std::int64_t bitRateKbps(std::uint32_t bytes, std::uint32_t ms);

// Swaps the first entry whose path ends with `wanted` (double quotes removed first) into
// entry 1; an empty or unmatched name changes nothing.
void moveWantedFileFirst(TrackCatalogue& catalogue, std::string wanted);

} // namespace sonarello
