// Controller profiles: the built-in ones take their devices' ports, a file with a fault gives one
// line naming the file, the line and the fault; pad lights go only when they change, once per pad
// per tick, and a looping row never shows its end (each state's colour is the JACK stand-ins').
#include "controllers/lights.h"
#include "controllers/profile.h"
#include "midi/midi_service.h"

#include <fstream>
#include <gtest/gtest.h>

#include "support/temp_folder.h"

using namespace sonarello;
using namespace sonarello::controllers;
using midi::packShortMessage;

namespace
{

Profile builtIn(const std::string& name)
{
    const ProfileRead read = loadProfile(name, profileFolders());
    EXPECT_TRUE(read.profile) << read.error;
    return read.profile ? *read.profile : Profile{};
}

} // namespace

// Each built-in device's bytes, pads and port are the stand-ins' of jack_player.sh, through the
// running player; here what they do not show: a port that ALSA's bridge names, a device's
// other ports, the order of the rows and a pad's note on another channel.
TEST(Profiles, BuiltInOnesTakeTheirDevicesPortsAndPadsOnly)
{
    const Profile mini = builtIn("launchpad-mini-mk3");
    const Profile apc = builtIn("apc-mini");
    EXPECT_TRUE(matchesPort(
        mini, "a2j:Launchpad Mini MK3 [20] (capture): Launchpad Mini MK3 LPMiniMK3 MIDI"));
    EXPECT_FALSE(matchesPort(mini, "Launchpad Mini MK3 LPMiniMK3 DAW"));
    EXPECT_FALSE(matchesPort(apc, "APC mini mk2:APC mini mk2 Control"));
    // The rows in reading order, which pads of rows in the same state cannot show.
    EXPECT_EQ(rowOf(mini.pads, packShortMessage(0x90, 81, 127)), 1);
    EXPECT_EQ(rowOf(mini.pads, packShortMessage(0x90, 88, 127)), 8);
    EXPECT_EQ(rowOf(mini.pads, packShortMessage(0x90, 11, 127)), 57);
    EXPECT_EQ(rowOf(mini.pads, packShortMessage(0x91, 11, 127)), 0); // channel 2 is no pad
    EXPECT_EQ(rowOf(apc.pads, packShortMessage(0x90, 56, 127)), 1);
    EXPECT_EQ(rowOf(apc.pads, packShortMessage(0x80, 0, 0)), 57);

    // notes:N starts row 1 at note N on any channel, the next rows at the notes above.
    const ProfileRead read = loadProfile("notes:60", {});
    ASSERT_TRUE(read.profile);
    EXPECT_EQ(rowOf(read.profile->pads, packShortMessage(0x99, 60, 100)), 1);
    EXPECT_EQ(rowOf(read.profile->pads, packShortMessage(0x90, 59, 100)), 0);
    EXPECT_EQ(read.profile->pads.size(), 68u); // up to note 127
    EXPECT_FALSE(loadProfile("notes:200", {}).profile);
}

TEST(Profiles, AFaultIsOneLineWithTheFileTheLineAndTheProblem)
{
    const std::string head = "[device]\nname = t\n[pads]\nmessage = note\n";
    // Each body, and its error after "FILE:".
    const std::pair<std::string, std::string> cases[] = {
        {head + "line1 = 1 2\ncolour = red\n", "6: unknown key \"pads/colour\""},
        {head + "line1 = 1 2\n[lights]\nplaying = 90 pad 1G\n",
         "7: \"1G\" is not a byte (two hexadecimal digits or pad)"},
        {head + "line1 = 1 2\n[lights]\nplaying = 90 pad 80\n", "7: byte 3 is above 7F"},
        {head + "[device]\n", "4: the profile maps no pad"},
        {head + "line1 = 1 2\nline2 = 3 2\n", "6: pad 2 is mapped twice (rows 2 and 4)"},
        {head + "first_row = 72\nline1 = 1 2\n", "6: row 73 is beyond the 72 rows"},
        {head + "first_row = 0\nline1 = 1\n", "5: row 0 is not one of rows 1 to 72"},
        {head + "line1 = 1\n[controls]\nstop_all = pad 19\n", "7: \"pad 19\" is not a control"},
        {head + "line1 = 1\nthis is no line\n", "6: not a line of an INI file"},
        {head + "line1 = 1\n[device]\ntake = F0 00 01\n",
         "7: a system exclusive message ends with F7"},
    };
    test::TempFolder folder;
    int n = 0;
    for (const auto& [body, error] : cases)
    {
        // One file each: Qt keeps what it read of a file for a while.
        const std::string file = folder.file("bad" + std::to_string(++n) + ".ini");
        std::ofstream(file) << body;
        const ProfileRead read = readProfileFile(file);
        EXPECT_FALSE(read.profile) << body;
        EXPECT_EQ(read.error.rfind(file + ":" + error, 0), 0u) << read.error;
        EXPECT_EQ(read.error.find('\n'), std::string::npos);
    }
    EXPECT_NE(loadProfile("no-such-profile", {}).error.find("no such profile file"),
              std::string::npos);
}

TEST(PadLights, OnlyChangesAreSentOncePerPadPerTickAndALoopingRowNeverShowsItsEnd)
{
    EXPECT_EQ(lightOf(builtIn("launchpad-mini-mk3"), {true, true, true, 1000}), Light::Looping);
    PadLights lights(3);
    std::vector<Light> wanted(3, Light::Stopped);
    EXPECT_EQ(lights.changes(wanted).size(), 3u); // all set first
    EXPECT_TRUE(lights.changes(wanted).empty());  // then only changes
    lights.tick();
    wanted[1] = Light::Playing;
    EXPECT_EQ(lights.changes(wanted), std::vector<std::size_t>{1});
    wanted[1] = Light::Stopped;
    EXPECT_TRUE(lights.changes(wanted).empty()); // pad 2 changed in this tick already
    lights.tick();
    EXPECT_EQ(lights.changes(wanted), std::vector<std::size_t>{1});
    lights.tick();
    lights.setElsewhere(0, Light::Playing); // lit within its JACK cycle
    wanted[0] = Light::Playing;
    EXPECT_TRUE(lights.changes(wanted).empty());
    lights.forget();
    lights.tick();
    EXPECT_EQ(lights.changes(wanted).size(), 3u);
}
