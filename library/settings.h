// The settings file "impostazioni.ini": each row's speed, volume, loop switch and file,
// one line per row, read at start-up and written when the window closes. Main thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace sonarello
{

constexpr const char* kSettingsFileName = "impostazioni.ini";

struct RowSettings
{
    std::int32_t RowSpeed = 50;
    std::int32_t RowVolume = 255;
    std::uint8_t RowLoop = 1;
    std::int32_t RowFile = 0; // catalogue index; any value, read and saved as it is
};

struct Settings
{
    std::vector<RowSettings> rows;        // index 1..rowCount; index 0 is no row
    std::vector<std::string> linesBeyond; // lines of rows above rowCount, verbatim, in file order
    std::string problem; // why the file was left unread ("... is not a regular file"), or empty
};

constexpr std::size_t kMaxSettingsBytes = 1024 * 1024; // far above any real settings file

// Defaults for every row (file = the row's own number), then the file's lines applied in
// order. A missing file is created empty; a file that cannot be read leaves the defaults,
// and so does anything but a regular file of at most kMaxSettingsBytes (`problem` says so).
Settings loadSettings(const std::string& fileName, int rowCount);

// The same from the file's contents.
Settings parseSettings(std::string_view contents, int rowCount);

// The number after the first `key` of `line`, up to the key's next occurrence; 0 when
// there is none.
double valueAfterKey(std::string_view line, std::string_view key);

// One line per row (without its line end), then the lines kept for rows above rowCount.
std::string formatSettings(const Settings& settings);

// Writes the file whole through a temporary file; false (old file untouched) on failure
// and for a file that exists but may not be written or is not a regular file. A link is
// followed: the file it points at is replaced.
bool saveSettings(const std::string& fileName, const Settings& settings);

} // namespace sonarello
