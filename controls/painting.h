// The painting primitives of the drawn controls: bevels, shaded faces, captions and discs,
// all shaded by colour names. Run under the program lock, on the image being drawn.
#pragma once

#include "gui/canvas.h"

#include <cstdint>
#include <string_view>

namespace sonarello::controls
{

// Face modes of fillFace.
namespace face
{
inline constexpr int kHorizontalCylinder = 0;
inline constexpr int kRampLightTop = 1;
inline constexpr int kVerticalCylinder = 2;
inline constexpr int kCushion = 3;
inline constexpr int kRampLightBottom = 4;
inline constexpr int kInvertedVerticalCylinder = 5;
inline constexpr int kImage = 6;
} // namespace face

inline constexpr std::string_view kLeftAlignPrefix = "[<]";
inline constexpr std::string_view kRightAlignPrefix = "[>]";

// Nearest integer, halves to even, held within the range of pixel coordinates.
int nearest(double x);

// A margin held where margin arithmetic cannot overflow; far beyond any control's size.
int clampMargin(int m);

// Rings of `width` pixels darkening inwards, or, two-toned, a raised edge lit from the top
// left.
void drawBevel(gui::Canvas& canvas, int width, std::string_view colourName, bool twoTone);

// Shades the face inside `margin`; mode kImage stretches faceImage (when given) there. Other
// modes paint nothing.
void fillFace(gui::Canvas& canvas, int margin, std::string_view faceColour, int mode,
              const gui::Image* faceImage);

// Centred text, or left- or right-aligned by a "[<]" or "[>]" prefix, in the current font; a
// shadow colour above 0 draws a shadow two pixels down and right first.
void drawCaption(gui::Canvas& canvas, std::string_view text, gui::Colour colour,
                 std::int64_t shadow);

void drawDisc(gui::Canvas& canvas, int cx, int cy, int r, gui::Colour colour);

} // namespace sonarello::controls
