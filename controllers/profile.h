// A controller profile: the device's port names, the messages that take and release it, its
// pads, faders and stop-all control, and the light of each row state. Read from a file a user
// can edit (Qt's INI reader) or made for notes:N. Control threads.
#pragma once

#include "midi/midi_service.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sonarello::controllers
{

using Bytes = std::vector<std::uint8_t>;

constexpr int kAnyChannel = 0;
constexpr int kMaxProfileRows = 72;
constexpr const char* kNotesPrefix = "notes:";

enum class ControlKind : std::uint8_t
{
    Note,
    Cc,
};

// A pad, fader or button: what it sends. number < 0: none.
struct Control
{
    ControlKind kind = ControlKind::Note;
    int channel = kAnyChannel; // 1..16, or any
    int number = -1;
};

// What a pad shows: the row states, and dark when the player lets the device go.
enum class Light : std::uint8_t
{
    NoFile,
    Stopped,
    Playing,
    Looping,
    Ending, // a row that does not loop, in its last seconds
    Dark,
};
constexpr std::size_t kLightCount = 6;

// A message with the pad's number filled in where the template says "pad".
struct Template
{
    Bytes bytes;
    std::vector<std::size_t> padAt;
    bool empty() const { return bytes.empty(); }
    Bytes fill(int pad) const;
};

struct Mapped
{
    Control control;
    int row = 0;
};

struct Profile
{
    std::string name;
    std::vector<std::string> ports; // patterns, * for any text, letter case ignored
    std::vector<Bytes> take;        // sent when the player takes the device
    std::vector<Bytes> release;     // and when it lets it go
    std::vector<Mapped> pads;       // in the order of the file: reading order on a grid
    std::vector<Mapped> faders;
    Control stopAll;
    std::array<Template, kLightCount> lights;
    bool velocity = false;
    int endingSeconds = 3;
};

// A profile, or the one line that says why there is none: "FILE:LINE: problem".
struct ProfileRead
{
    std::optional<Profile> profile;
    std::string error;
};

ProfileRead readProfileFile(const std::string& path);

// notes:N: pads that send notes N and up on any channel, rows 1 and up; no lights.
Profile notesProfile(int firstNote);

// "notes:N", a built-in profile's name (looked for in `folders`) or a file.
ProfileRead loadProfile(const std::string& choice, const std::vector<std::string>& folders);

// Where the built-in profiles are: beside the installed program, then the source tree.
std::vector<std::string> profileFolders();
// The built-in profiles' names found there (notes:N aside), in name order.
std::vector<std::string> builtInNames(const std::vector<std::string>& folders);

// A port name matches one of the profile's patterns.
bool matchesPort(const Profile& profile, std::string_view portName);

// The row a control of this message belongs to (pads or faders), 0 for none.
int rowOf(const std::vector<Mapped>& controls, midi::ShortMessage message);
// The message comes from this control (a note or a controller, its channel and number).
bool isControl(const Control& control, midi::ShortMessage message);

} // namespace sonarello::controllers
