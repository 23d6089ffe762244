#include "text.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>

namespace sonarello::text
{

std::string numberText(std::int64_t n)
{
    std::string digits = std::to_string(n);
    return n < 0 ? digits : " " + digits;
}

std::string numberText(float value)
{
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.7G", static_cast<double>(value));
    std::string s = buffer;
    const bool negative = s.starts_with('-');
    return negative ? s : " " + s;
}

double roundHalfEven(double value)
{
    return std::nearbyint(value); // the default rounding mode rounds halves to even
}

std::int64_t roundToInt(double value)
{
    const double r = roundHalfEven(value);
    if (!(r == r))
        return 0;
    if (r >= 9.2e18)
        return INT64_MAX;
    if (r <= -9.2e18)
        return INT64_MIN;
    return static_cast<std::int64_t>(r);
}

namespace
{

// Length of the UTF-8 sequence at s[i], or 1 for a byte that starts no valid sequence.
std::size_t sequenceLength(std::string_view s, std::size_t i)
{
    const auto lead = static_cast<unsigned char>(s[i]);
    std::size_t n = lead < 0x80           ? 1
                    : (lead >> 5) == 0x6  ? 2
                    : (lead >> 4) == 0xE  ? 3
                    : (lead >> 3) == 0x1E ? 4
                                          : 1;
    if (n == 1 || i + n > s.size())
        return 1;
    for (std::size_t k = 1; k < n; ++k)
        if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80)
            return 1;
    return n;
}

} // namespace

std::string_view fitCharacters(std::string_view s, std::size_t maxChars)
{
    std::size_t i = 0;
    for (std::size_t count = 0; i < s.size() && count < maxChars; ++count)
        i += sequenceLength(s, i);
    return s.substr(0, i);
}

char asciiUpper(char c)
{
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}
char asciiLower(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string asciiUpper(std::string_view s)
{
    std::string out(s);
    std::transform(out.begin(), out.end(), out.begin(), [](char c) { return asciiUpper(c); });
    return out;
}

std::string asciiLower(std::string_view s)
{
    std::string out(s);
    std::transform(out.begin(), out.end(), out.begin(), [](char c) { return asciiLower(c); });
    return out;
}

bool equalsIgnoringAsciiCase(std::string_view a, std::string_view b)
{
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(),
                      [](char x, char y) { return asciiUpper(x) == asciiUpper(y); });
}

bool lessIgnoringAsciiCase(std::string_view a, std::string_view b)
{
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                        [](char x, char y) {
                                            return static_cast<unsigned char>(asciiUpper(x)) <
                                                   static_cast<unsigned char>(asciiUpper(y));
                                        });
}

std::string_view trimBlanks(std::string_view s)
{
    const auto first = s.find_first_not_of(' ');
    if (first == std::string_view::npos)
        return {};
    const auto last = s.find_last_not_of(' ');
    return s.substr(first, last - first + 1);
}

bool endsWith(std::string_view s, std::string_view suffix)
{
    return s.ends_with(suffix);
}

} // namespace sonarello::text
