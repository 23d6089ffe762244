#include "indicators.h"

#include "base/text.h"
#include "controls/colours.h"
#include "controls/painting.h"

#include <algorithm>
#include <array>

namespace sonarello::controls
{

namespace
{

constexpr gui::Colour kNeedleColour = gui::rgb(255, 0, 0);
constexpr gui::Colour kBlockOutline = gui::rgb(0, 0, 0);
constexpr gui::Colour kTickColour = gui::rgb(107, 205, 107);
constexpr double kTickLength = 0.2;
constexpr int kVerticalSegmentGap = 1;
constexpr int kMaxDivisions = 32767;

constexpr std::array<std::string_view, 4> kHorizontalTickStyles = {"ori_blurosso", "ori_rosso",
                                                                   "ori_ago", "ori_agone"};
constexpr std::array<std::string_view, 3> kVerticalTickStyles = {"ver_blurosso", "ver_ago",
                                                                 "ver_agone"};

// Steps of a loop that walks pixels: never more than the control has, whatever the value.
int boundedCount(int c, int limit)
{
    return std::min(c, limit);
}

gui::Colour blockFill(std::string_view faceColour, double v)
{
    return resolveColourName(faceColour, nearest((100.0 - v) * 2.55));
}

} // namespace

void drawIndicator(gui::Canvas& canvas, std::string_view style, int margin, float value, int n,
                   std::string_view faceColour)
{
    const int m = clampMargin(margin);
    const int w = canvas.width();
    const int h = canvas.height();
    if (w <= 0 || h <= 0)
        return;
    const double v = value;
    const double extent = 0.01 * (w - 2 * m) * v;         // L
    const double verticalExtent = 0.01 * (h - 2 * m) * v; // Lv
    if (style == "ori_ago")
    {
        canvas.moveTo(nearest(extent + m), m);
        canvas.lineBy(0, h - 2 * m, kNeedleColour);
    }
    else if (style == "ori_agone")
    {
        const int x = nearest(extent + m);
        canvas.box(x - 6, m, x + 7, h - m, kBlockOutline, blockFill(faceColour, v));
        canvas.moveTo(x, m + 1);
        canvas.lineBy(0, h - 2 * m - 2, kNeedleColour);
    }
    else if (style == "ori_rosso")
    {
        const double k = 255.0 / h;
        const int length = nearest(extent);
        for (int i = 0, c = nearest((h - 2 * m) / 2.0); i <= boundedCount(c, h); ++i)
        {
            const gui::Colour colour =
                gui::rgb(nearest(k * i + 155), nearest(k * i), nearest(k * i));
            canvas.moveTo(m, i + m);
            canvas.lineBy(length, 0, colour);
            canvas.moveTo(m, h - i - m - 1);
            canvas.lineBy(length, 0, colour);
        }
    }
    else if (style == "ori_blurosso")
    {
        const double k = 255.0 / w;
        const int c = nearest(0.01 * (w - 2 * m - 1) * v);
        for (int i = 0; i <= boundedCount(c, w); ++i)
        {
            canvas.moveTo(i + m, m);
            canvas.lineBy(0, h - 2 * m, gui::rgb(nearest(k * i), 15, nearest(255 - k * i)));
        }
    }
    else if (style == "ori_vmeter")
    {
        if (n <= 0)
            return;
        const double k = 255.0 / n;
        const int c = nearest(v * (n - 1) * 0.01);
        for (int i = 0; i <= boundedCount(c, n); ++i)
        {
            const gui::Colour colour = gui::rgb(nearest(k * i), 0, nearest(255 - k * i));
            canvas.box(nearest(m + static_cast<double>(w - 2 * m) * i / n), m,
                       nearest(m + static_cast<double>(w - 2 * m) * (i + 1) / n), h - m, colour,
                       colour);
        }
    }
    else if (style == "ver_ago")
    {
        canvas.moveTo(m, nearest((h - m) - verticalExtent + 1));
        canvas.lineBy(w - 2 * m, 0, kNeedleColour);
    }
    else if (style == "ver_agone")
    {
        const int y = nearest((h - m) - verticalExtent);
        canvas.box(m, y - 5, w - m, y + 8, kBlockOutline, blockFill(faceColour, v));
        canvas.moveTo(m + 1, y + 1);
        canvas.lineBy(w - 2 * m - 2, 0, kNeedleColour);
    }
    else if (style == "ver_blurosso")
    {
        const double k = 255.0 / h;
        for (int i = 0, c = nearest(verticalExtent); i <= boundedCount(c, h); ++i)
        {
            canvas.moveTo(m, h - i - m - 1);
            canvas.lineBy(w - 2 * m, 0, gui::rgb(nearest(k * i), 0, nearest(255 - k * i)));
        }
    }
    else if (style == "ver_vmeter")
    {
        if (n <= 0)
            return;
        const double k = 255.0 / n;
        const int c = nearest(v * (n - 1) * 0.01);
        const double inner = h - 2 * m;
        for (int i = 0; i <= boundedCount(c, n); ++i)
        {
            const gui::Colour colour = gui::rgb(nearest(k * i), 0, nearest(255 - k * i));
            canvas.box(m, nearest((h - m) - inner * i / n), w - m,
                       nearest(kVerticalSegmentGap + (h - m) - inner * (i + 1) / n), colour,
                       colour);
        }
    }
}

void drawTicks(gui::Canvas& canvas, std::string_view style, int margin, int n)
{
    const int m = clampMargin(margin);
    const int w = canvas.width();
    const int h = canvas.height();
    if (n <= 0 || w <= 0 || h <= 0)
        return;
    const int count = std::min(n, kMaxDivisions);
    if (std::find(kHorizontalTickStyles.begin(), kHorizontalTickStyles.end(), style) !=
        kHorizontalTickStyles.end())
    {
        const double k = static_cast<double>(w - 2 * m) / n;
        for (int i = 1; i < count; ++i)
        {
            canvas.moveTo(nearest(k * i + m), h - m - 1);
            canvas.lineBy(0, nearest(-kTickLength * h), kTickColour);
        }
    }
    else if (std::find(kVerticalTickStyles.begin(), kVerticalTickStyles.end(), style) !=
             kVerticalTickStyles.end())
    {
        const double k = static_cast<double>(h - 2 * m) / n;
        for (int i = 1; i < count; ++i)
        {
            canvas.moveTo(m + 1, nearest(k * i + m));
            canvas.lineBy(nearest(kTickLength * (w - 2 * m)), 0, kTickColour);
        }
    }
}

std::string applyCaptionDirective(std::string_view caption, float v, int n)
{
    if (caption == "%")
        return std::to_string(text::roundToInt(static_cast<double>(v))) + "%";
    if (caption == "!")
        return std::to_string(text::roundToInt(static_cast<double>(v) * n / 100.0));
    return std::string(caption);
}

} // namespace sonarello::controls
