// Text and number helpers shared by every part of the player: number text, rounding,
// fixed-width UTF-8 fields and ASCII-only letter case. Pure functions, any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace sonarello::text
{

// The decimal text of n, preceded by one blank when n is not negative ("5" -> " 5").
std::string numberText(std::int64_t n);
inline std::string numberText(int n)
{
    return numberText(std::int64_t{n});
}

// A float as its shortest decimal text of at most 7 significant digits, with the same
// leading blank for values that are not negative (1.0f -> " 1", 3.75f -> " 3.75").
std::string numberText(float value);

// Nearest integer, halves to the even neighbour (70.5 -> 70, 71.5 -> 72).
double roundHalfEven(double value);
std::int64_t roundToInt(double value);

// The longest prefix of s that holds at most maxChars characters and never cuts a UTF-8
// sequence; a stray byte that starts no valid sequence counts as one character.
std::string_view fitCharacters(std::string_view s, std::size_t maxChars);

char asciiUpper(char c);
char asciiLower(char c);
std::string asciiUpper(std::string_view s);
std::string asciiLower(std::string_view s);
bool equalsIgnoringAsciiCase(std::string_view a, std::string_view b);

// Byte-wise unsigned order after mapping a..z to A..Z; a prefix sorts first.
bool lessIgnoringAsciiCase(std::string_view a, std::string_view b);

// s without leading and trailing blanks.
std::string_view trimBlanks(std::string_view s);

bool endsWith(std::string_view s, std::string_view suffix);

} // namespace sonarello::text
