#include "colours.h"

#include "base/text.h"

#include <string>

namespace sonarello::controls
{

namespace
{

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The pair of characters at `at`; missing characters are left out, a pair holding anything
// but hexadecimal digits reads 0.
std::int64_t hexPair(std::string_view s, std::size_t at)
{
    std::int64_t value = 0;
    for (std::size_t i = at; i < at + 2 && i < s.size(); ++i)
    {
        const int digit = hexDigit(s[i]);
        if (digit < 0)
            return 0;
        value = value * 16 + digit;
    }
    return value;
}

std::int64_t nearest(double x)
{
    return text::roundToInt(x);
}

struct NamedColour
{
    std::string_view name;
    std::int64_t red;
    std::int64_t green;
    std::int64_t blue;
    bool darkens = true; // false: the components grow with the darkening amount
};

// Base components; the darkening amount is subtracted from each (or added, for the one
// colour that runs the other way), except where a component is fixed.
constexpr NamedColour kColourNames[] = {
    {"rosso", 255, 155, 155},
    {"verde", 155, 255, 155},
    {"grigio", 255, 255, 255},
    {"oro", 255, 255, 155},
    {"pulsanterosso", 410, 210, 210},
    {"pulsanteverde", 210, 410, 210},
    {"pulsantegrigio", 410, 410, 410},
    {"pulsanteoro", 410, 310, 55},
    {"pulsanteblu", -200, -100, -100, false},
};

constexpr std::string_view kFixedBlueName = "pulsanteoro";

} // namespace

Colour resolveColourName(std::string_view name, std::int32_t darkening)
{
    const std::int64_t d = darkening;
    if (!name.empty() && name.front() == '#')
        return gui::rgb(hexPair(name, 1) - d, hexPair(name, 3) - d, hexPair(name, 5) - d);
    const std::string key = text::asciiLower(text::trimBlanks(name));
    for (const NamedColour& c : kColourNames)
    {
        if (c.name != key)
            continue;
        if (!c.darkens)
            return gui::rgb(c.red + d, c.green + d, c.blue + d);
        return gui::rgb(c.red - d, c.green - d, c.name == kFixedBlueName ? c.blue : c.blue - d);
    }
    return gui::rgb(0, 0, 0);
}

Colour paletteColour(std::string_view name, std::int32_t a, std::int32_t b, float f)
{
    const std::string key = text::asciiLower(name);
    // The product wraps as a 32-bit integer would.
    const auto ab = static_cast<std::int64_t>(
        static_cast<std::int32_t>(static_cast<std::uint32_t>(a) * static_cast<std::uint32_t>(b)));
    const double fd = f;
    const std::int64_t peak = nearest(static_cast<double>(ab) + 2.0 * fd);
    if (key == "verdino" || key.empty())
        return gui::rgb(ab, peak, ab);
    if (key == "rosso-giallo")
        return gui::rgb(nearest(fd * b), peak, ab);
    if (key == "rosso-arancio")
        return gui::rgb(nearest(fd * b),
                        static_cast<std::int32_t>(static_cast<std::uint32_t>(ab) * 3u), ab);
    if (key == "blu")
        return gui::rgb(ab, peak, nearest(fd * b));
    if (key == "rosso")
        return gui::rgb(peak, ab, ab);
    if (key == "blu-scuro")
        return gui::rgb(ab, ab, peak);
    if (key == "blu-bianco")
        return gui::rgb(nearest(fd * a), nearest(fd * b), nearest(static_cast<double>(ab) * fd));
    if (key == "semaforo")
        return gui::rgb(b == 0 ? 0 : nearest(255.0 * fd / b), nearest(fd * b),
                        fd == 0.0 ? 0 : nearest(static_cast<double>(ab) / fd));
    return gui::rgb(0, 0, 0);
}

} // namespace sonarello::controls
