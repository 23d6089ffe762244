#include "catalogue.h"

#include "base/files.h"
#include "base/text.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <numeric>
#include <thread>

namespace sonarello
{

namespace
{

struct Measure
{
    std::uint32_t ms = 0;
    std::uint32_t bytes = 0;
};

bool isSameFile(const std::string& a, const std::string& b)
{
    std::error_code ec;
    return !b.empty() && std::filesystem::equivalent(a, b, ec);
}

// Adds the folder's files of one kind, but `leftOut`, while the catalogue has room.
void addFiles(TrackCatalogue& c, const std::string& folder, std::string_view extension,
              const std::string& leftOut)
{
    for (const auto& name : os::findFiles(folder, extension))
    {
        if (c.FileCount >= kMaxFiles)
            return;
        if (isSameFile(folder + name, leftOut))
            continue;
        ++c.FileCount;
        c.FilePath[static_cast<std::size_t>(c.FileCount)] = folder + name;
        c.FileTitle[static_cast<std::size_t>(c.FileCount)] =
            fileTitleFromPath(folder + name, extension);
    }
}

void sortByPath(TrackCatalogue& c)
{
    const auto first = c.FilePath.begin() + 1;
    std::vector<std::size_t> order(static_cast<std::size_t>(c.FileCount));
    std::iota(order.begin(), order.end(), std::size_t{1});
    // Two names that differ only in letter case keep a fixed order by their bytes.
    std::sort(order.begin(), order.end(),
              [&](std::size_t a, std::size_t b)
              {
                  const auto& pa = c.FilePath[a];
                  const auto& pb = c.FilePath[b];
                  if (text::lessIgnoringAsciiCase(pa, pb))
                      return true;
                  return !text::lessIgnoringAsciiCase(pb, pa) && pa < pb;
              });
    std::vector<std::string> paths, titles;
    for (const auto i : order)
    {
        paths.push_back(std::move(c.FilePath[i]));
        titles.push_back(std::move(c.FileTitle[i]));
    }
    std::move(paths.begin(), paths.end(), first);
    std::move(titles.begin(), titles.end(), c.FileTitle.begin() + 1);
}

Measure measureEntry(sound::SoundEngine& engine, const std::string& path)
{
    const sound::StreamHandle stream = engine.openStream(path);
    const Measure m{engine.lengthMs(stream), engine.lengthBytes(stream)};
    engine.closeStream(stream);
    return m;
}

// Measures entries 1..count on both cores; the results keep the entries' order.
std::vector<Measure> measureEntries(const TrackCatalogue& c, int count, sound::SoundEngine& engine)
{
    std::vector<Measure> measures(static_cast<std::size_t>(count) + 1);
    auto work = [&](int startAt)
    {
        for (int i = startAt; i <= count; i += 2)
            measures[static_cast<std::size_t>(i)] = measureEntry(engine, c.path(i));
    };
    std::thread second(work, 2);
    work(1);
    second.join();
    return measures;
}

std::string entryNumber(int i)
{
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%03d ", i);
    return buffer;
}

} // namespace

const std::string& TrackCatalogue::path(int index) const
{
    static const std::string empty;
    return index >= 1 && index <= FileCount ? FilePath[static_cast<std::size_t>(index)] : empty;
}

const std::string& TrackCatalogue::title(int index) const
{
    static const std::string empty;
    return index >= 1 && index <= FileCount ? FileTitle[static_cast<std::size_t>(index)] : empty;
}

std::string fileTitleFromPath(std::string_view path, std::string_view extension)
{
    std::string out;
    for (std::size_t i = 0; i < path.size();)
    {
        if (!extension.empty() && path.substr(i).starts_with(extension))
            i += extension.size();
        else
            out += path[i++];
    }
    const auto slash = out.rfind('/');
    return slash == std::string::npos ? out : out.substr(slash + 1);
}

std::string formatDuration(double seconds)
{
    // Capped where the whole seconds still fit 64 bits (past any file's length).
    const auto whole = static_cast<std::int64_t>(std::min(seconds, 9.2e18));
    const std::int64_t hours = whole / 3600;
    const std::int64_t minutes = (whole - 3600 * hours) / 60;
    const double rest =
        seconds - 3600.0 * static_cast<double>(hours) - 60.0 * static_cast<double>(minutes);
    char field[64];
    std::string out;
    if (hours == 0)
        out += " ";
    else
    {
        std::snprintf(field, sizeof field, "%2lld h ", static_cast<long long>(hours));
        out += field;
    }
    if (minutes == 0)
        out += " ";
    else
    {
        std::snprintf(field, sizeof field, "%2lld min ", static_cast<long long>(minutes));
        out += field;
    }
    std::snprintf(field, sizeof field, "%4.1f s", text::roundHalfEven(rest * 10.0) / 10.0);
    return out + field;
}

std::int64_t bitRateKbps(std::uint32_t bytes, std::uint32_t ms)
{
    if (ms == 0)
        return 0;
    const double kbps = static_cast<double>(bytes) / (ms / 1000.0) / 1000.0 * 8.0;
    return std::clamp<std::int64_t>(text::roundToInt(kbps), INT32_MIN, INT32_MAX);
}

void scanCatalogue(TrackCatalogue& c, const std::string& workFolder, sound::SoundEngine& engine,
                   const std::string& leftOut)
{
    c.FileCount = 0;
    addFiles(c, workFolder, ".mp3", leftOut);
    addFiles(c, workFolder, ".wav", leftOut);
    sortByPath(c);

    std::string list =
        "Dormelto:" + text::numberText(c.FileCount) + " files. *" + workFolder + "*\r\n";
    const int measured = std::min(c.FileCount, kMeasuredFiles);
    const auto measures = measureEntries(c, measured, engine);
    for (int i = 1; i <= measured; ++i)
    {
        const Measure& m = measures[static_cast<std::size_t>(i)];
        const std::string d = formatDuration(m.ms / 1000.0);
        auto& title = c.FileTitle[static_cast<std::size_t>(i)];
        list += entryNumber(i) + title + " (" + std::to_string(bitRateKbps(m.bytes, m.ms)) +
                " kbps," + text::numberText(std::int64_t{m.bytes}) + " Bytes," + d + ")\r\n";
        title += " (" + std::string(text::trimBlanks(d)) + ")";
    }
    // A folder that cannot be written to keeps its old list; the catalogue is the same.
    os::replaceFile(workFolder + kCatalogueFileName, list);
}

void moveWantedFileFirst(TrackCatalogue& c, std::string wanted)
{
    std::erase(wanted, '"');
    if (wanted.empty())
        return;
    for (int i = 1; i <= c.FileCount; ++i)
    {
        const auto index = static_cast<std::size_t>(i);
        if (text::endsWith(c.FilePath[index], wanted))
        {
            std::swap(c.FilePath[index], c.FilePath[1]);
            std::swap(c.FileTitle[index], c.FileTitle[1]);
            return;
        }
    }
}

} // namespace sonarello
