// The text rules the displays and files share, where the tests of the player do not reach:
// UTF-8 sequences of four bytes or cut short at the edge of a field, and byte order beyond ASCII
// letters. Two-byte characters in a field, rounding, the number text and ASCII case are checked
// through the toolkit's captions, the grid, the settings and the catalogue.
#include "base/text.h"

#include <gtest/gtest.h>

using namespace sonarello::text;

TEST(FixedWidthText, NeverCutsAUtf8Sequence)
{
    EXPECT_EQ(fitCharacters("\xF0\x9F\x8E\xB5x", 1), "\xF0\x9F\x8E\xB5");
    // A truncated sequence at the end counts byte by byte instead of reading past it.
    EXPECT_EQ(fitCharacters("ab\xC3", 5), "ab\xC3");
}

TEST(AsciiCase, TouchesAsciiLettersOnly)
{
    EXPECT_EQ(asciiUpper("àbc-z"), "àBC-Z");
    EXPECT_FALSE(equalsIgnoringAsciiCase("È", "è"));
    // Bytes compare unsigned: a UTF-8 letter sorts after every ASCII one.
    EXPECT_TRUE(lessIgnoringAsciiCase("z", "\xC3\xA0"));
    // "_" (0x5F) sorts after letters mapped to capitals, as the mapping implies.
    EXPECT_TRUE(lessIgnoringAsciiCase("a", "_"));
    EXPECT_TRUE(lessIgnoringAsciiCase("song", "song2"));
}
