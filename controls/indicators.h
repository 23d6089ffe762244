// The dynamic part of a drawn control: the indicator of its value by style, the tick marks and
// the caption directives. Run under the program lock, on the image being drawn.
#pragma once

#include "gui/canvas.h"

#include <string>
#include <string_view>

namespace sonarello::controls
{

// The value v (percent) drawn in the named style within margin m; styles are compared
// exactly, an unknown style draws nothing. n is the segment count of the segmented styles.
void drawIndicator(gui::Canvas& canvas, std::string_view style, int m, float v, int n,
                   std::string_view faceColour);

// n - 1 tick marks dividing the inner length into n parts, on the styles that carry ticks.
void drawTicks(gui::Canvas& canvas, std::string_view style, int m, int n);

// The caption to draw: "%" becomes the value as a whole percentage, "!" the value in
// divisions; any other caption stays as it is.
std::string applyCaptionDirective(std::string_view caption, float v, int n);

} // namespace sonarello::controls
