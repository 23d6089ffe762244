#include "painting.h"

#include "base/text.h"
#include "controls/colours.h"

#include <algorithm>

namespace sonarello::controls
{

namespace
{

// Far beyond any image, small enough that coordinate arithmetic never overflows.
constexpr std::int64_t kCoordinateLimit = 1 << 24;

} // namespace

int nearest(double x)
{
    return static_cast<int>(std::clamp(text::roundToInt(x), -kCoordinateLimit, kCoordinateLimit));
}

int clampMargin(int m)
{
    return static_cast<int>(std::clamp<std::int64_t>(m, -kCoordinateLimit, kCoordinateLimit));
}

void drawBevel(gui::Canvas& canvas, int width, std::string_view colourName, bool twoTone)
{
    const int w = canvas.width();
    const int h = canvas.height();
    const int m = clampMargin(width);
    if (m < 1)
        return;
    // Rings further in than half the control lie outside it.
    const int visible = std::min(m, std::max(w, h));
    if (!twoTone)
    {
        for (int i = 0; i < visible; ++i)
            canvas.box(i, i, w - i, h - i, resolveColourName(colourName, nearest(255.0 * i / m)),
                       std::nullopt);
        return;
    }
    for (int i = 0; i < visible; ++i)
    {
        const gui::Colour c = resolveColourName(colourName, nearest(255.0 * i / m));
        canvas.moveTo(i, i);
        canvas.lineBy(0, h - 2 * i, c);
        canvas.moveTo(i, i);
        canvas.lineBy(w - 2 * i, 0, c);
    }
    for (int i = visible; i >= 1; --i)
    {
        const gui::Colour c = resolveColourName(colourName, nearest((m - i) * 255.0 / m));
        canvas.moveTo(w - i, i - 1);
        canvas.lineBy(0, h - 2 * i + 1, c);
        canvas.moveTo(i, h - i);
        canvas.lineBy(w - 2 * i + 1, 0, c);
    }
}

void fillFace(gui::Canvas& canvas, int margin, std::string_view faceColour, int mode,
              const gui::Image* faceImage)
{
    const int w = canvas.width();
    const int h = canvas.height();
    if (w <= 0 || h <= 0)
        return;
    const int m = clampMargin(margin);
    const auto shade = [&](double t) { return resolveColourName(faceColour, nearest(t)); };
    const auto row = [&](int y, gui::Colour c)
    {
        canvas.moveTo(m, y);
        canvas.lineBy(w - 2 * m, 0, c);
    };
    const auto column = [&](int x, gui::Colour c)
    {
        canvas.moveTo(x, m);
        canvas.lineBy(0, h - 2 * m, c);
    };
    // Loops start and end where their lines enter and leave the image.
    switch (mode)
    {
    case face::kHorizontalCylinder:
        for (int j = std::max(m + 1, 1), c = std::min(nearest(h / 2.0), h); j <= c; ++j)
        {
            const gui::Colour colour = shade(255.0 - 255.0 * j / h);
            row(j - 1, colour);
            row(h - j, colour);
        }
        break;
    case face::kRampLightTop:
        for (int j = std::max(m + 1, 1); j <= std::min(h - m, h); ++j)
            row(h - j, shade(255.0 - 255.0 * j / h));
        break;
    case face::kVerticalCylinder:
        for (int j = std::max(m + 1, 1), c = std::min(nearest(w / 2.0 + 1), w); j <= c; ++j)
        {
            const gui::Colour colour = shade(255.0 - 255.0 * j / w);
            column(j - 1, colour);
            column(w - j, colour);
        }
        break;
    case face::kCushion:
        for (int j = 0, c = nearest(0.1 * std::min(w, h)); j <= c; ++j)
        {
            gui::Colour colour = 0;
            if (!faceColour.empty())
                colour = shade(205.0 - j * 600.0 / h);
            else
            {
                const int t = nearest(j * 600.0 / h);
                colour = gui::rgb(t, t + 45, t);
            }
            canvas.box(j + m, j + m, w - m, h - m, colour, colour);
        }
        break;
    case face::kRampLightBottom:
        for (int j = std::max(m + 1, 1); j <= std::min(h - m, h); ++j)
            row(j - 1, shade(255.0 - 255.0 * j / h));
        break;
    case face::kInvertedVerticalCylinder:
        for (int j = std::max(m + 1, 1), c = std::min(nearest(w / 2.0 + 1), w); j <= c; ++j)
        {
            const gui::Colour colour = shade(255.0 - 255.0 * (w - m - 1 - j) / w);
            column(j - 1, colour);
            column(w - j, colour);
        }
        break;
    case face::kImage:
        if (faceImage != nullptr)
            canvas.stretch(*faceImage, 0, 0, w, h, m, m, w - 2 * m, h - 2 * m);
        break;
    default:
        break;
    }
}

void drawCaption(gui::Canvas& canvas, std::string_view text, gui::Colour colour,
                 std::int64_t shadow)
{
    const int tw = canvas.textExtent(text).width;
    int x = nearest((canvas.width() - tw) / 2.0);
    const int y = nearest((canvas.height() - canvas.lineHeight()) / 2.0);
    if (text.starts_with(kLeftAlignPrefix))
    {
        text.remove_prefix(kLeftAlignPrefix.size());
        x = 0;
    }
    else if (text.starts_with(kRightAlignPrefix))
    {
        text.remove_prefix(kRightAlignPrefix.size());
        x = 2 * x;
    }
    if (shadow > 0)
        canvas.printAt(x + 2, y + 2, text, static_cast<gui::Colour>(shadow));
    canvas.printAt(x, y, text, colour);
}

void drawDisc(gui::Canvas& canvas, int cx, int cy, int r, gui::Colour colour)
{
    canvas.ellipse(cx - r, cy - r, cx + r, cy + r, colour, colour);
}

} // namespace sonarello::controls
