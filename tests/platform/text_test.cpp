#include "platform/text.h"

#include <gtest/gtest.h>

using namespace sonarello::text;

TEST(NumberText, BlankBeforeNonNegativeMinusBeforeNegative)
{
    EXPECT_EQ(numberText(std::int64_t{5}), " 5");
    EXPECT_EQ(numberText(std::int64_t{0}), " 0");
    EXPECT_EQ(numberText(std::int64_t{-3}), "-3");
    EXPECT_EQ(numberText(1.0f), " 1");
    EXPECT_EQ(numberText(3.75f), " 3.75");
}

TEST(Rounding, HalvesGoToTheEvenNeighbour)
{
    EXPECT_EQ(roundToInt(70.5), 70);
    EXPECT_EQ(roundToInt(71.5), 72);
    EXPECT_EQ(roundToInt(-0.5), 0);
    EXPECT_EQ(roundToInt(104.5), 104);
    EXPECT_EQ(roundToInt(127.49999), 127);
    EXPECT_EQ(roundToInt(1e300), INT64_MAX);
}

TEST(FixedWidthText, NeverCutsAUtf8Sequence)
{
    EXPECT_EQ(fitCharacters("abcdef", 4), "abcd");
    EXPECT_EQ(fitCharacters("Velocità!", 8), "Velocità"); // "à" is two bytes, one character
    EXPECT_EQ(fitCharacters("\xF0\x9F\x8E\xB5x", 1), "\xF0\x9F\x8E\xB5");
    // A truncated sequence at the end counts byte by byte instead of reading past it.
    EXPECT_EQ(fitCharacters("ab\xC3", 5), "ab\xC3");
    EXPECT_EQ(fitCharacters("", 3), "");
}

TEST(AsciiCase, TouchesAsciiLettersOnly)
{
    EXPECT_EQ(asciiUpper("àbc-z"), "àBC-Z");
    EXPECT_TRUE(equalsIgnoringAsciiCase(".MP3", ".mp3"));
    EXPECT_FALSE(equalsIgnoringAsciiCase("È", "è"));
    EXPECT_TRUE(lessIgnoringAsciiCase("A.mp3", "b.wav"));
    EXPECT_TRUE(lessIgnoringAsciiCase("b.wav", "C.mp3"));
    EXPECT_TRUE(lessIgnoringAsciiCase("song", "song2"));
    // Bytes compare unsigned: a UTF-8 letter sorts after every ASCII one.
    EXPECT_TRUE(lessIgnoringAsciiCase("z", "\xC3\xA0"));
    // "_" (0x5F) sorts after letters mapped to capitals, as the mapping implies.
    EXPECT_TRUE(lessIgnoringAsciiCase("a", "_"));
}
