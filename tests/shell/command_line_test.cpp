#include "shell/command_line.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <sstream>

using namespace sonarello;

TEST(CommandLine, ReadsOurOptionsOrTheirDefaultsAndJoinsTheNameWords)
{
    const auto line = parseCommandLine({"--headless", "My", "--audio=wav:/tmp/out.wav", "Song.mp3",
                                        "--midi=none", "--period=128"});
    EXPECT_EQ(line.periodFrames, 128);
    EXPECT_EQ(line.midi, "none");
    EXPECT_EQ(line.wantedName, "My Song.mp3");
    EXPECT_TRUE(line.error.empty());
    const auto none = parseCommandLine({});
    EXPECT_EQ(none.audio, "auto");
    EXPECT_EQ(none.midi, "auto");
    EXPECT_EQ(none.periodFrames, 256);
    EXPECT_EQ(none.wantedName, "");
    // After "--" a leading dash belongs to the name; a single dash never is an option.
    EXPECT_EQ(parseCommandLine({"--", "--odd.mp3", "-x"}).wantedName, "--odd.mp3 -x");
    EXPECT_EQ(parseCommandLine({"-b.mp3"}).wantedName, "-b.mp3");
    EXPECT_EQ(parseCommandLine({"\"a b.mp3\""}).wantedName, "\"a b.mp3\"");
}

TEST(CommandLine, RefusesUnknownOptionsAndValues)
{
    EXPECT_FALSE(parseCommandLine({"--loud"}).error.empty());
    EXPECT_FALSE(parseCommandLine({"--audio=wav:"}).error.empty());
    EXPECT_FALSE(parseCommandLine({"--midi=winmm"}).error.empty());
    for (const char* period : {"--period=63", "--period=4097", "--period=", "--period=2k",
                               "--period=-256", "--period= 256"})
        EXPECT_NE(parseCommandLine({period}).error.find("64 to 4096"), std::string::npos) << period;
    EXPECT_EQ(parseCommandLine({"--period=64"}).periodFrames, 64);
    EXPECT_EQ(parseCommandLine({"--period=4096"}).periodFrames, 4096);
}

TEST(CommandLine, OscIsOptedIntoWithWhereAndFromWhom)
{
    EXPECT_FALSE(parseCommandLine({}).osc) << "no socket without the option";
    const CommandLine plain = parseCommandLine({"--osc"});
    EXPECT_TRUE(plain.osc && plain.oscAddress == "127.0.0.1" && plain.oscPort == osc::kDefaultPort);
    for (const char* bad : {"--osc=99999", "--osc=", "--osc=here:9000"})
        EXPECT_FALSE(parseCommandLine({bad}).error.empty()) << bad;
    EXPECT_FALSE(parseCommandLine({"--osc-allow=127.0.0.1"}).error.empty()) << "needs --osc";
    EXPECT_FALSE(parseCommandLine({"--osc", "--osc-allow=127.0.0.300"}).error.empty());
}

// The second column of --help starts at the same character on every line, "Velocità" (whose
// "à" is two bytes) included.
TEST(CommandLine, HelpColumnsLineUpInCharacters)
{
    std::istringstream text(usageText());
    for (std::string line; std::getline(text, line);)
        if (const auto gap = line.find("  ", 2); line.starts_with("  ") && gap != line.npos)
        {
            const auto column = line.begin() + static_cast<long>(line.find_first_not_of(' ', gap));
            EXPECT_EQ(
                std::count_if(line.begin(), column, [](char c) { return (c & 0xC0) != 0x80; }), 26)
                << line;
        }
}
