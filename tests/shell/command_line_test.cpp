#include "shell/command_line.h"

#include <gtest/gtest.h>

using namespace sonarello;

TEST(CommandLine, JoinsTheNameWordsAndReadsOurOptions)
{
    const auto line = parseCommandLine(
        {"--headless", "My", "--audio=wav:/tmp/out.wav", "Song.mp3", "--midi=none"});
    EXPECT_TRUE(line.headless);
    EXPECT_EQ(line.audio, "wav:/tmp/out.wav");
    EXPECT_EQ(line.midi, "none");
    EXPECT_EQ(line.wantedName, "My Song.mp3");
    EXPECT_TRUE(line.error.empty());
}

TEST(CommandLine, DefaultsAndOddNames)
{
    const auto none = parseCommandLine({});
    EXPECT_EQ(none.audio, "auto");
    EXPECT_EQ(none.midi, "auto");
    EXPECT_EQ(none.wantedName, "");
    // After "--" a leading dash belongs to the name; a single dash never is an option.
    EXPECT_EQ(parseCommandLine({"--", "--odd.mp3", "-x"}).wantedName, "--odd.mp3 -x");
    EXPECT_EQ(parseCommandLine({"-b.mp3"}).wantedName, "-b.mp3");
    EXPECT_EQ(parseCommandLine({"\"a b.mp3\""}).wantedName, "\"a b.mp3\"");
}

TEST(CommandLine, RefusesUnknownOptionsAndValues)
{
    EXPECT_FALSE(parseCommandLine({"--loud"}).error.empty());
    EXPECT_FALSE(parseCommandLine({"--audio=coreaudio"}).error.empty());
    EXPECT_FALSE(parseCommandLine({"--audio=wav:"}).error.empty());
    EXPECT_FALSE(parseCommandLine({"--midi=winmm"}).error.empty());
    EXPECT_TRUE(parseCommandLine({"--audio=jack:noconnect"}).error.empty());
}
