// Colours given as text: colour names with a darkening amount, and the lamp palettes. Pure
// functions, any thread.
#pragma once

#include "gui/canvas.h"

#include <cstdint>
#include <string_view>

namespace sonarello::controls
{

using gui::Colour;

// "#RRGGBB" (tested before any trimming) or a name of the colour table, lower-cased and
// trimmed; each component minus `darkening`, clamped. Unknown names are black.
Colour resolveColourName(std::string_view name, std::int32_t darkening);

// A palette colour for step a * b at peak brightness f; the name is lower-cased, not
// trimmed. Unknown names are black.
Colour paletteColour(std::string_view name, std::int32_t a, std::int32_t b, float f);

} // namespace sonarello::controls
