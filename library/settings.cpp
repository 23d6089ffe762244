#include "settings.h"

#include "base/files.h"
#include "base/text.h"

#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <unistd.h>

namespace sonarello
{

namespace
{

constexpr char kEndOfText = 26;

// A line ends at CR LF, at a lone CR or at a lone LF; byte 26 ends the text.
std::vector<std::string_view> splitLines(std::string_view contents)
{
    contents = contents.substr(0, contents.find(kEndOfText));
    std::vector<std::string_view> lines;
    while (!contents.empty())
    {
        const auto end = contents.find_first_of("\r\n");
        lines.push_back(contents.substr(0, end));
        if (end == std::string_view::npos)
            break;
        const bool crlf =
            contents[end] == '\r' && end + 1 < contents.size() && contents[end + 1] == '\n';
        contents.remove_prefix(end + (crlf ? 2 : 1));
    }
    return lines;
}

std::int32_t toInt32(double value)
{
    return static_cast<std::int32_t>(
        std::clamp<std::int64_t>(text::roundToInt(value), INT32_MIN, INT32_MAX));
}

// Reads "[+-]digits[.digits]" at the start of s; 0 when s does not start with a number.
double leadingNumber(std::string_view s)
{
    std::size_t i = 0;
    std::string number;
    if (i < s.size() && (s[i] == '+' || s[i] == '-'))
        number += s[i++];
    bool digits = false;
    for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i, digits = true)
        number += s[i];
    if (i < s.size() && s[i] == '.')
        for (number += s[i++]; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i, digits = true)
            number += s[i];
    if (!digits)
        return 0.0;
    const double value = std::strtod(number.c_str(), nullptr);
    return value == value ? value : 0.0;
}

std::string printedNumber(std::int64_t n)
{
    return text::numberText(n) + " ";
}

} // namespace

double valueAfterKey(std::string_view line, std::string_view key)
{
    const auto at = line.find(key);
    if (at == std::string_view::npos)
        return 0.0;
    std::string_view rest = line.substr(at + key.size());
    rest = rest.substr(0, rest.find(key));
    rest.remove_prefix(std::min(rest.find_first_not_of(' '), rest.size()));
    return leadingNumber(rest);
}

Settings parseSettings(std::string_view contents, int rowCount)
{
    Settings s;
    s.rows.resize(static_cast<std::size_t>(std::max(rowCount, 0)) + 1);
    for (int row = 1; row <= rowCount; ++row)
        s.rows[static_cast<std::size_t>(row)].RowFile = row;
    for (const auto line : splitLines(contents))
    {
        const std::int32_t row = toInt32(valueAfterKey(line, "riga="));
        if (row > rowCount)
            s.linesBeyond.emplace_back(line);
        if (row < 1 || row > rowCount)
            continue;
        auto& r = s.rows[static_cast<std::size_t>(row)];
        r.RowSpeed = toInt32(valueAfterKey(line, "velo="));
        r.RowVolume = toInt32(valueAfterKey(line, "vol="));
        r.RowLoop = static_cast<std::uint8_t>(toInt32(valueAfterKey(line, "loop=")) & 0xFF);
        r.RowFile = std::max(1, toInt32(valueAfterKey(line, "file=")));
    }
    return s;
}

Settings loadSettings(const std::string& fileName, int rowCount)
{
    // Created only where nothing stands, so no device or FIFO is ever opened here.
    const int fd = ::open(fileName.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd >= 0)
        ::close(fd);
    std::string why;
    Settings s =
        parseSettings(os::readRegularFile(fileName, kMaxSettingsBytes, why).value_or(""), rowCount);
    if (!why.empty())
        s.problem = fileName + " " + why + "; the defaults apply";
    return s;
}

std::string formatSettings(const Settings& settings)
{
    std::string out;
    for (std::size_t row = 1; row < settings.rows.size(); ++row)
    {
        const auto& r = settings.rows[row];
        char key[32];
        std::snprintf(key, sizeof key, "riga=%3zu ", row);
        out += std::string(key) + ",velo=" + printedNumber(r.RowSpeed) +
               ",vol=" + printedNumber(r.RowVolume) + ",loop=" + printedNumber(r.RowLoop) +
               ",file=" + printedNumber(r.RowFile) + "\r\n";
    }
    for (const auto& line : settings.linesBeyond)
        out += line + "\r\n";
    return out;
}

bool saveSettings(const std::string& fileName, const Settings& settings)
{
    // A settings file that is a link keeps the user's set-ups elsewhere: the file it points
    // at is the one replaced.
    const std::string target = os::linkTarget(fileName);
    // A settings file the user made read-only freezes a set-up: renaming over it would
    // replace it all the same. A FIFO or a device is no settings file to replace.
    std::error_code ec;
    const auto status = std::filesystem::status(target, ec);
    if (os::isReadOnlyFile(target) ||
        (std::filesystem::exists(status) && !std::filesystem::is_regular_file(status)))
        return false;
    return os::replaceFile(target, formatSettings(settings));
}

} // namespace sonarello
