#include "controllers/profile.h"

#include "base/text.h"

#include <QFile>
#include <QSettings>
#include <QString>
#include <QStringList>

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <unistd.h>

namespace sonarello::controllers
{

namespace
{

constexpr std::size_t kMaxMessageBytes = 64; // what JACK's queue to midi_out carries
constexpr int kMaxEndingSeconds = 600;

constexpr std::array<const char*, kLightCount> kLightKeys = {"lights/no_file", "lights/stopped",
                                                             "lights/playing", "lights/looping",
                                                             "lights/ending",  "lights/dark"};

const std::set<std::string> kKnownKeys = {
    "device/name",       "device/ports",           "device/take",    "device/release",
    "pads/message",      "pads/channel",           "pads/first_row", "faders/message",
    "faders/channel",    "faders/first_row",       "faders/numbers", "controls/stop_all",
    "controls/velocity", "controls/ending_seconds"};

bool isPadLine(const std::string& key)
{
    return key.starts_with("pads/line") && key.size() > 9 &&
           std::all_of(key.begin() + 9, key.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::vector<std::string> words(std::string_view text)
{
    std::vector<std::string> out;
    std::size_t i = 0;
    while (i < text.size())
    {
        while (i < text.size() && (text[i] == ' ' || text[i] == '\t'))
            ++i;
        const std::size_t start = i;
        while (i < text.size() && text[i] != ' ' && text[i] != '\t')
            ++i;
        if (i > start)
            out.emplace_back(text.substr(start, i - start));
    }
    return out;
}

bool readInt(std::string_view text, int& value)
{
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size();
}

// The file's lines, to name the line of a key: QSettings has read the values already.
class KeyLines
{
  public:
    explicit KeyLines(const std::string& path)
    {
        std::ifstream in(path);
        std::string line, section;
        for (int number = 1; std::getline(in, line); ++number)
        {
            const std::string t{text::trimBlanks(line)};
            if (t.empty() || t[0] == ';')
                continue;
            if (t.front() == '[' && t.back() == ']')
            {
                section = text::trimBlanks(std::string_view(t).substr(1, t.size() - 2));
                continue;
            }
            const auto equals = t.find('=');
            if (equals == std::string::npos)
            {
                if (firstBadLine == 0)
                    firstBadLine = number;
                continue;
            }
            const std::string key{text::trimBlanks(std::string_view(t).substr(0, equals))};
            lines_.emplace(section.empty() ? key : section + "/" + key, number);
        }
    }
    int of(const std::string& key) const
    {
        const auto it = lines_.find(key);
        return it != lines_.end() ? it->second : 0;
    }
    int firstBadLine = 0;

  private:
    std::map<std::string, int> lines_;
};

struct Problem
{
    std::string key;
    std::string text;
};

bool readByte(const std::string& word, std::uint8_t& byte)
{
    if (word.size() != 2)
        return false;
    unsigned value = 0;
    const auto [end, error] = std::from_chars(word.data(), word.data() + 2, value, 16);
    byte = static_cast<std::uint8_t>(value);
    return error == std::errc() && end == word.data() + 2;
}

// "90 pad 15": two hexadecimal digits per byte, "pad" for the pad's number.
std::optional<std::string> readTemplate(const std::string& text, bool padAllowed, Template& out)
{
    out = {};
    for (const auto& word : words(text))
    {
        std::uint8_t byte = 0;
        if (padAllowed && word == "pad")
            out.padAt.push_back(out.bytes.size());
        else if (!readByte(word, byte))
            return "\"" + word + "\" is not a byte (two hexadecimal digits" +
                   (padAllowed ? std::string(" or pad)") : std::string(")"));
        out.bytes.push_back(byte);
    }
    const Bytes& b = out.bytes;
    if (b.empty())
        return std::string("the message is empty");
    if (b.size() > kMaxMessageBytes)
        return "the message is longer than " + std::to_string(kMaxMessageBytes) + " bytes";
    if (!out.padAt.empty() && out.padAt.front() == 0)
        return std::string("a message begins with its status byte, not the pad");
    if (b[0] < 0x80)
        return std::string("a message begins with a status byte (80 to FF)");
    if (b[0] == 0xF0 && b.back() != 0xF7)
        return std::string("a system exclusive message ends with F7");
    for (std::size_t i = 1; i < b.size(); ++i)
        if (b[i] >= 0x80 && !(b[0] == 0xF0 && i + 1 == b.size()))
            return "byte " + std::to_string(i + 1) + " is above 7F";
    return std::nullopt;
}

// "note 1 98" or "cc 0 19": the kind, the channel (0: any) and the number.
std::optional<std::string> readControl(const std::string& text, Control& out)
{
    const auto w = words(text);
    if (w.size() != 3 || (w[0] != "note" && w[0] != "cc") || !readInt(w[1], out.channel) ||
        !readInt(w[2], out.number) || out.channel < 0 || out.channel > 16 || out.number < 0 ||
        out.number > 127)
        return "\"" + text + "\" is not a control (note or cc, a channel 0..16, a number 0..127)";
    out.kind = w[0] == "note" ? ControlKind::Note : ControlKind::Cc;
    return std::nullopt;
}

std::string valueText(const QSettings& settings, const char* key)
{
    const QVariant v = settings.value(key);
    if (v.typeId() == QMetaType::QStringList)
        return v.toStringList().join(",").toStdString();
    return v.toString().toStdString();
}

std::vector<std::string> valueList(const QSettings& settings, const char* key)
{
    std::vector<std::string> out;
    for (const QString& item : settings.value(key).toStringList())
        if (!item.trimmed().isEmpty())
            out.push_back(item.trimmed().toStdString());
    return out;
}

// Pads or faders: a kind, a channel, the first row, then numbers row after row.
std::optional<Problem> readMapped(const QSettings& settings, const std::string& group,
                                  const std::vector<std::pair<std::string, std::string>>& lines,
                                  std::vector<Mapped>& out)
{
    Control base;
    const std::string kind = valueText(settings, (group + "/message").c_str());
    if (kind != "note" && kind != "cc" && !(kind.empty() && group == "pads"))
        return Problem{group + "/message", "the message is note or cc, not \"" + kind + "\""};
    base.kind = kind == "cc" ? ControlKind::Cc : ControlKind::Note;
    const std::string channel = valueText(settings, (group + "/channel").c_str());
    if (!channel.empty() &&
        (!readInt(channel, base.channel) || base.channel < 0 || base.channel > 16))
        return Problem{group + "/channel", "the channel is 1 to 16, or 0 for any"};
    int row = 1;
    const std::string first = valueText(settings, (group + "/first_row").c_str());
    if (!first.empty() && (!readInt(first, row) || row < 1 || row > kMaxProfileRows))
        return Problem{group + "/first_row", "row " + first + " is not one of rows 1 to " +
                                                 std::to_string(kMaxProfileRows)};
    std::map<int, int> rowOfNumber;
    for (const auto& [key, text] : lines)
        for (const auto& word : words(text))
        {
            Mapped m{base, row};
            if (!readInt(word, m.control.number) || m.control.number < 0 || m.control.number > 127)
                return Problem{key, "\"" + word + "\" is not a note or controller number"};
            if (row > kMaxProfileRows)
                return Problem{key, "row " + std::to_string(row) + " is beyond the " +
                                        std::to_string(kMaxProfileRows) + " rows"};
            if (const auto [it, fresh] = rowOfNumber.emplace(m.control.number, row); !fresh)
                return Problem{key, "pad " + word + " is mapped twice (rows " +
                                        std::to_string(it->second) + " and " + std::to_string(row) +
                                        ")"};
            out.push_back(m);
            ++row;
        }
    return std::nullopt;
}

std::optional<Problem> readSettings(const QSettings& settings, Profile& p)
{
    for (const QString& k : settings.allKeys())
    {
        const std::string key = k.toStdString();
        if (!kKnownKeys.contains(key) && !isPadLine(key) &&
            std::find(kLightKeys.begin(), kLightKeys.end(), key) == kLightKeys.end())
            return Problem{key, "unknown key \"" + key + "\""};
    }
    p.name = valueText(settings, "device/name");
    p.ports = valueList(settings, "device/ports");
    for (const char* key : {"device/take", "device/release"})
        for (const auto& text : valueList(settings, key))
        {
            Template t;
            if (auto problem = readTemplate(text, false, t))
                return Problem{key, *problem};
            (std::string_view(key) == "device/take" ? p.take : p.release).push_back(t.bytes);
        }
    std::vector<std::pair<int, std::string>> padKeys;
    for (const QString& k : settings.allKeys())
        if (isPadLine(k.toStdString()))
            padKeys.emplace_back(std::stoi(k.toStdString().substr(9)), k.toStdString());
    std::sort(padKeys.begin(), padKeys.end());
    std::vector<std::pair<std::string, std::string>> padLines;
    for (const auto& [number, key] : padKeys)
        padLines.emplace_back(key, valueText(settings, key.c_str()));
    if (auto problem = readMapped(settings, "pads", padLines, p.pads))
        return problem;
    if (settings.contains("faders/numbers"))
        if (auto problem =
                readMapped(settings, "faders",
                           {{"faders/numbers", valueText(settings, "faders/numbers")}}, p.faders))
            return problem;
    for (std::size_t i = 0; i < kLightCount; ++i)
        if (settings.contains(kLightKeys[i]))
            if (auto problem = readTemplate(valueText(settings, kLightKeys[i]), true, p.lights[i]))
                return Problem{kLightKeys[i], *problem};
    if (settings.contains("controls/stop_all"))
        if (auto problem = readControl(valueText(settings, "controls/stop_all"), p.stopAll))
            return Problem{"controls/stop_all", *problem};
    const std::string velocity = valueText(settings, "controls/velocity");
    if (velocity != "on" && velocity != "off" && !velocity.empty())
        return Problem{"controls/velocity", "velocity is on or off, not \"" + velocity + "\""};
    p.velocity = velocity == "on";
    const std::string ending = valueText(settings, "controls/ending_seconds");
    if (!ending.empty() && (!readInt(ending, p.endingSeconds) || p.endingSeconds < 0 ||
                            p.endingSeconds > kMaxEndingSeconds))
        return Problem{"controls/ending_seconds",
                       "ending_seconds is a number of seconds from 0 to " +
                           std::to_string(kMaxEndingSeconds)};
    if (p.pads.empty())
        return Problem{"pads/message", "the profile maps no pad (pads/line1 = ...)"};
    return std::nullopt;
}

bool sameIgnoringCase(char a, char b)
{
    return text::asciiLower(a) == text::asciiLower(b);
}

} // namespace

Bytes Template::fill(int pad) const
{
    Bytes out = bytes;
    for (const std::size_t at : padAt)
        out[at] = static_cast<std::uint8_t>(pad & 0x7F);
    return out;
}

ProfileRead readProfileFile(const std::string& path)
{
    if (!QFile::exists(QString::fromStdString(path)))
        return {std::nullopt, path + ": no such profile file (nor a built-in profile's name)"};
    const KeyLines lines(path);
    if (lines.firstBadLine > 0)
        return {std::nullopt, path + ":" + std::to_string(lines.firstBadLine) +
                                  ": not a line of an INI file (key = value, [section] or ;)"};
    const QSettings settings(QString::fromStdString(path), QSettings::IniFormat);
    if (settings.status() != QSettings::NoError)
        return {std::nullopt, path + ": cannot be read as an INI file"};
    Profile profile;
    if (const auto problem = readSettings(settings, profile))
        return {std::nullopt,
                path + ":" + std::to_string(lines.of(problem->key)) + ": " + problem->text};
    if (profile.name.empty())
        profile.name = std::filesystem::path(path).stem().string();
    return {std::move(profile), {}};
}

Profile notesProfile(int firstNote)
{
    Profile p;
    p.name = kNotesPrefix + std::to_string(firstNote);
    for (int row = 1; row <= kMaxProfileRows && firstNote + row - 1 <= 127; ++row)
        p.pads.push_back({{ControlKind::Note, kAnyChannel, firstNote + row - 1}, row});
    return p;
}

ProfileRead loadProfile(const std::string& choice, const std::vector<std::string>& folders)
{
    if (choice.starts_with(kNotesPrefix))
    {
        int note = 0;
        if (!readInt(std::string_view(choice).substr(6), note) || note < 0 || note > 127)
            return {std::nullopt, choice + ": notes:N takes the first pad's note, 0 to 127"};
        return {notesProfile(note), {}};
    }
    if (choice.find('/') == std::string::npos && !choice.ends_with(".ini"))
        for (const auto& folder : folders)
            if (const std::string file = folder + "/" + choice + ".ini";
                std::filesystem::exists(file))
                return readProfileFile(file);
    return readProfileFile(choice);
}

std::vector<std::string> profileFolders()
{
    std::vector<std::string> folders;
    std::error_code error;
    const auto program = std::filesystem::read_symlink("/proc/self/exe", error);
    if (!error)
        folders.push_back(
            (program.parent_path().parent_path() / "share/sonarello/controllers").string());
#ifdef SONARELLO_SOURCE_PROFILES
    folders.emplace_back(SONARELLO_SOURCE_PROFILES);
#endif
    return folders;
}

std::vector<std::string> builtInNames(const std::vector<std::string>& folders)
{
    std::set<std::string> names;
    for (const auto& folder : folders)
    {
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator(folder, error))
            if (entry.path().extension() == ".ini")
                names.insert(entry.path().stem().string());
        if (!names.empty())
            break; // the installed ones, else the source tree's
    }
    return {names.begin(), names.end()};
}

bool matchesPort(const Profile& profile, std::string_view portName)
{
    for (const auto& pattern : profile.ports)
    {
        // The pattern's pieces between "*" in order, anywhere in the name.
        std::size_t at = 0;
        bool found = true;
        std::size_t start = 0;
        while (found && start <= pattern.size())
        {
            const std::size_t star = std::min(pattern.find('*', start), pattern.size());
            const std::string_view piece = std::string_view(pattern).substr(start, star - start);
            const auto it =
                std::search(portName.begin() + static_cast<std::ptrdiff_t>(at), portName.end(),
                            piece.begin(), piece.end(), sameIgnoringCase);
            found = it != portName.end() || piece.empty();
            at = static_cast<std::size_t>(it - portName.begin()) + piece.size();
            start = star + 1;
        }
        if (found)
            return true;
    }
    return false;
}

bool isControl(const Control& control, midi::ShortMessage message)
{
    const auto kind = message & 0xF0;
    const bool kindMatches =
        control.kind == ControlKind::Note ? kind == 0x80 || kind == 0x90 : kind == 0xB0;
    const int channel = static_cast<int>(message & 0x0F) + 1;
    return control.number >= 0 && kindMatches &&
           (control.channel == kAnyChannel || control.channel == channel) &&
           control.number == static_cast<int>(message >> 8 & 0x7F);
}

int rowOf(const std::vector<Mapped>& controls, midi::ShortMessage message)
{
    for (const Mapped& m : controls)
        if (isControl(m.control, message))
            return m.row;
    return 0;
}

} // namespace sonarello::controllers
