#include "controls/colours.h"
#include "controls/indicators.h"
#include "controls/painting.h"
#include "platform/gui/gui_application.h"

#include <gtest/gtest.h>

namespace sonarello::controls
{
namespace
{

using gui::rgb;

// A colour no gradient of the tests produces, so untouched pixels show.
constexpr gui::Colour kUntouched = rgb(255, 0, 255);

gui::Colour grey(int darkening)
{
    return resolveColourName("grigio", darkening);
}

struct Sheet
{
    Sheet(int w, int h) : image(w, h, kUntouched), canvas(image) {}
    gui::Image image;
    gui::Canvas canvas;

    bool rowIs(int y, gui::Colour c, int from = 0, int to = -1) const
    {
        for (int x = from; x < (to < 0 ? image.width : to); ++x)
            if (image.at(x, y) != c)
                return false;
        return true;
    }
    int countOf(gui::Colour c) const
    {
        int n = 0;
        for (int y = 0; y < image.height; ++y)
            for (int x = 0; x < image.width; ++x)
                n += image.at(x, y) == c ? 1 : 0;
        return n;
    }
};

TEST(DrawBevel, TwoToneIsLitFromTheTopLeft)
{
    Sheet s(12, 10);
    drawBevel(s.canvas, 2, "grigio", true);
    EXPECT_EQ(s.image.at(0, 5), grey(0));    // outer left
    EXPECT_EQ(s.image.at(5, 0), grey(0));    // outer top
    EXPECT_EQ(s.image.at(1, 5), grey(128));  // inner left
    EXPECT_EQ(s.image.at(5, 1), grey(128));  // inner top
    EXPECT_EQ(s.image.at(11, 5), grey(128)); // outer right
    EXPECT_EQ(s.image.at(5, 9), grey(128));  // outer bottom
    EXPECT_EQ(s.image.at(10, 5), grey(0));   // inner right
    EXPECT_EQ(s.image.at(5, 8), grey(0));    // inner bottom
    EXPECT_EQ(s.image.at(5, 5), kUntouched);
}

TEST(DrawBevel, SingleColourRingsDarkenInwards)
{
    Sheet one(10, 8);
    drawBevel(one.canvas, 1, "grigio", false);
    EXPECT_TRUE(one.rowIs(0, grey(0)));
    EXPECT_TRUE(one.rowIs(7, grey(0)));
    EXPECT_EQ(one.image.at(9, 4), grey(0));
    EXPECT_EQ(one.image.at(1, 1), kUntouched);

    for (bool twoTone : {false, true})
    {
        Sheet none(10, 8);
        drawBevel(none.canvas, 0, "grigio", twoTone);
        drawBevel(none.canvas, -3, "grigio", twoTone);
        EXPECT_EQ(none.countOf(kUntouched), 80);
    }
}

TEST(FillFace, HorizontalCylinderRowsByHeight)
{
    Sheet even(30, 20);
    fillFace(even.canvas, 0, "grigio", face::kHorizontalCylinder, nullptr);
    EXPECT_EQ(even.countOf(kUntouched), 0);
    EXPECT_TRUE(even.rowIs(0, grey(242))); // j = 1: darkest at the edges
    EXPECT_TRUE(even.rowIs(19, grey(242)));
    EXPECT_TRUE(even.rowIs(9, grey(128))); // j = 10: brightest in the middle
    EXPECT_TRUE(even.rowIs(10, grey(128)));

    Sheet odd(30, 21);
    fillFace(odd.canvas, 0, "grigio", face::kHorizontalCylinder, nullptr);
    EXPECT_TRUE(odd.rowIs(10, kUntouched)); // c = nearest(10.5) = 10 leaves the middle row
    EXPECT_EQ(odd.countOf(kUntouched), 30);
    EXPECT_TRUE(odd.rowIs(9, grey(134)));
    EXPECT_TRUE(odd.rowIs(11, grey(134)));

    Sheet tall(30, 23);
    fillFace(tall.canvas, 0, "grigio", face::kHorizontalCylinder, nullptr);
    EXPECT_EQ(tall.countOf(kUntouched), 0);
    EXPECT_TRUE(tall.rowIs(11, grey(122))); // j = 12 paints row 11 from both sides
    EXPECT_TRUE(tall.rowIs(10, grey(133)));
}

TEST(FillFace, CushionWithoutColourIsGreenishGrey)
{
    Sheet s(40, 20);
    fillFace(s.canvas, 0, "", face::kCushion, nullptr);
    EXPECT_EQ(s.image.at(0, 0), rgb(0, 45, 0));
    EXPECT_EQ(s.image.at(39, 0), rgb(0, 45, 0));
    EXPECT_EQ(s.image.at(1, 1), rgb(30, 75, 30));
    EXPECT_EQ(s.image.at(0, 19), rgb(0, 45, 0));
    EXPECT_EQ(s.image.at(2, 2), rgb(60, 105, 60));
    EXPECT_EQ(s.image.at(39, 19), rgb(60, 105, 60));
    EXPECT_EQ(s.countOf(kUntouched), 0);

    Sheet named(40, 20);
    fillFace(named.canvas, 0, "grigio", face::kCushion, nullptr);
    EXPECT_EQ(named.image.at(0, 0), grey(205));
    EXPECT_EQ(named.image.at(2, 2), grey(145));
}

TEST(FillFace, RampsAndCylindersShadeTheRightWay)
{
    const auto brightness = [](const gui::Image& im, int x, int y)
    { return gui::redOf(im.at(x, y)); };
    Sheet top(20, 16);
    fillFace(top.canvas, 0, "grigio", face::kRampLightTop, nullptr);
    EXPECT_GT(brightness(top.image, 5, 0), brightness(top.image, 5, 15));
    EXPECT_EQ(top.countOf(kUntouched), 0);

    Sheet bottom(20, 16);
    fillFace(bottom.canvas, 0, "grigio", face::kRampLightBottom, nullptr);
    EXPECT_LT(brightness(bottom.image, 5, 0), brightness(bottom.image, 5, 15));

    Sheet vertical(20, 16);
    fillFace(vertical.canvas, 0, "grigio", face::kVerticalCylinder, nullptr);
    EXPECT_GT(brightness(vertical.image, 10, 5), brightness(vertical.image, 0, 5));
    EXPECT_EQ(brightness(vertical.image, 0, 5), brightness(vertical.image, 19, 5));

    Sheet inverted(20, 16);
    fillFace(inverted.canvas, 0, "grigio", face::kInvertedVerticalCylinder, nullptr);
    EXPECT_LT(brightness(inverted.image, 10, 5), brightness(inverted.image, 0, 5));

    for (int mode : {-1, 7, 1000})
    {
        Sheet none(20, 16);
        fillFace(none.canvas, 0, "grigio", mode, nullptr);
        EXPECT_EQ(none.countOf(kUntouched), 320) << mode;
    }
}

TEST(FillFace, ImageModeStretchesTheImageInsideTheMargin)
{
    gui::Image picture(20, 10, rgb(1, 2, 3));
    Sheet s(20, 10);
    fillFace(s.canvas, 2, "", face::kImage, &picture);
    EXPECT_EQ(s.image.at(1, 5), kUntouched);
    EXPECT_EQ(s.image.at(2, 2), rgb(1, 2, 3));
    EXPECT_EQ(s.image.at(17, 7), rgb(1, 2, 3));
    EXPECT_EQ(s.image.at(18, 7), kUntouched);
}

// Columns that hold anything but the background, as [first, last].
std::pair<int, int> inkColumns(const gui::Image& image)
{
    int first = image.width;
    int last = -1;
    for (int y = 0; y < image.height; ++y)
        for (int x = 0; x < image.width; ++x)
            if (image.at(x, y) != kUntouched)
            {
                first = std::min(first, x);
                last = std::max(last, x);
            }
    return {first, last};
}

class DrawCaption : public ::testing::Test
{
  protected:
    void SetUp() override { test::ensureGuiApplication(); }
};

TEST_F(DrawCaption, PlacesTextByItsMeasuredExtent)
{
    Sheet centred(100, 16);
    centred.canvas.selectFont("Arial", 7);
    const int ok = centred.canvas.textExtent("OK").width;
    drawCaption(centred.canvas, "OK", rgb(0, 0, 0), 0);
    const auto [cl, cr] = inkColumns(centred.image);
    const int x = nearest((100 - ok) / 2.0);
    EXPECT_GE(cl, x);
    EXPECT_LE(cl, x + 2);
    EXPECT_LE(cr, x + ok);

    Sheet left(100, 16);
    left.canvas.selectFont("Arial", 7);
    drawCaption(left.canvas, "[<]OK", rgb(0, 0, 0), 0);
    EXPECT_LE(inkColumns(left.image).first, 2);

    Sheet right(100, 16);
    right.canvas.selectFont("Arial", 7);
    const int whole = right.canvas.textExtent("[>]OK").width;
    const int prefix = right.canvas.textExtent("[>]").width;
    drawCaption(right.canvas, "[>]OK", rgb(0, 0, 0), 0);
    const auto [rl, rr] = inkColumns(right.image);
    const int rx = 2 * nearest((100 - whole) / 2.0);
    EXPECT_GE(rl, rx);
    EXPECT_LE(rr, rx + ok);
    EXPECT_GE(100 - rr - 1, prefix - 2); // the prefix's width stays free at the right
}

TEST(Indicators, BlueToRedBarEndsInItsRamp)
{
    Sheet s(101, 12);
    drawIndicator(s.canvas, "ori_blurosso", 0, 100.0f, 0, "");
    EXPECT_EQ(s.image.at(0, 6), rgb(0, 15, 255));
    EXPECT_EQ(s.image.at(100, 0), rgb(252, 15, 3));
    EXPECT_EQ(s.image.at(100, 11), rgb(252, 15, 3));

    Sheet half(101, 12);
    drawIndicator(half.canvas, "ori_blurosso", 0, 50.0f, 0, "");
    EXPECT_EQ(half.image.at(50, 6), rgb(126, 15, 129));
    EXPECT_EQ(half.image.at(51, 6), kUntouched);
}

TEST(Indicators, RedBarDrawsItsMiddleRowsTwice)
{
    Sheet s(30, 10);
    drawIndicator(s.canvas, "ori_rosso", 0, 100.0f, 0, "");
    EXPECT_TRUE(s.rowIs(0, rgb(155, 0, 0)));
    EXPECT_TRUE(s.rowIs(9, rgb(155, 0, 0)));
    EXPECT_TRUE(s.rowIs(1, rgb(180, 26, 26))); // 180.5 and 25.5 round to even
    // Row 4 gets i = 4 from the top, then i = 5 from the bottom; row 5 the other way round.
    EXPECT_TRUE(s.rowIs(4, rgb(255, 128, 128)));
    EXPECT_TRUE(s.rowIs(5, rgb(255, 128, 128)));

    Sheet part(30, 10);
    drawIndicator(part.canvas, "ori_rosso", 0, 50.0f, 0, "");
    EXPECT_EQ(part.image.at(14, 0), rgb(155, 0, 0));
    EXPECT_EQ(part.image.at(15, 0), kUntouched);
}

TEST(Indicators, NeedlesAndBlocks)
{
    Sheet s(50, 16);
    drawIndicator(s.canvas, "ori_ago", 0, 50.0f, 0, "");
    for (int y = 0; y < 16; ++y)
        EXPECT_EQ(s.image.at(25, y), rgb(255, 0, 0));
    EXPECT_EQ(s.countOf(rgb(255, 0, 0)), 16);

    Sheet beyond(50, 16);
    drawIndicator(beyond.canvas, "ori_ago", 0, 100.0f, 0, "");
    EXPECT_EQ(beyond.countOf(kUntouched), 50 * 16); // lies on x = W, outside the image

    Sheet block(50, 16);
    drawIndicator(block.canvas, "ori_agone", 1, 50.0f, 0, "grigio");
    EXPECT_EQ(block.image.at(18, 8), kUntouched); // x = 25: the block spans 19..31
    EXPECT_EQ(block.image.at(19, 8), rgb(0, 0, 0));
    EXPECT_EQ(block.image.at(31, 8), rgb(0, 0, 0));
    EXPECT_EQ(block.image.at(22, 8), grey(127)); // 50 x 2.55 lies just below 127.5
    EXPECT_EQ(block.image.at(25, 8), rgb(255, 0, 0));
}

TEST(Indicators, SegmentedMeterLightsRoundedSegments)
{
    Sheet s(100, 10);
    drawIndicator(s.canvas, "ori_vmeter", 0, 50.0f, 10, "");
    EXPECT_EQ(s.image.at(0, 5), rgb(0, 0, 255));
    EXPECT_EQ(s.image.at(49, 5), rgb(102, 0, 153)); // fifth segment, i = 4
    EXPECT_EQ(s.image.at(50, 5), kUntouched);       // c = nearest(4.5) = 4

    Sheet vertical(10, 100);
    drawIndicator(vertical.canvas, "ver_vmeter", 0, 100.0f, 10, "");
    EXPECT_EQ(vertical.image.at(5, 99), rgb(0, 0, 255));
    EXPECT_NE(vertical.image.at(5, 1), kUntouched);
}

TEST(Indicators, BadInputDrawsNothingOrStaysInside)
{
    for (std::string_view style : {"ori_vmeter", "ver_vmeter"})
    {
        Sheet s(40, 40);
        drawIndicator(s.canvas, style, 0, 50.0f, 0, "");
        drawIndicator(s.canvas, style, 0, 50.0f, -3, "");
        EXPECT_EQ(s.countOf(kUntouched), 1600) << style;
    }
    for (std::string_view style : {"ORI_AGO", "ori_ago ", "nessuno", ""})
    {
        Sheet s(40, 16);
        drawIndicator(s.canvas, style, 0, 50.0f, 4, "");
        drawTicks(s.canvas, style, 0, 4);
        EXPECT_EQ(s.countOf(kUntouched), 640) << style;
    }
    for (std::string_view style :
         {"ori_ago", "ori_agone", "ori_rosso", "ori_blurosso", "ori_vmeter", "ver_ago", "ver_agone",
          "ver_blurosso", "ver_vmeter"})
        for (float v : {1e9f, 1e30f, std::numeric_limits<float>::infinity()})
        {
            Sheet s(40, 16);
            drawIndicator(s.canvas, style, 0, v, 10, "grigio");
            drawIndicator(s.canvas, style, 1000000, v, 10, "grigio");
            drawIndicator(s.canvas, style, -1000000, v, 10, "grigio");
        }
    Sheet empty(0, 0);
    drawIndicator(empty.canvas, "ori_blurosso", 0, 100.0f, 4, "");
    drawTicks(empty.canvas, "ori_blurosso", 0, 4);
}

TEST(Ticks, DivideTheInnerLength)
{
    constexpr gui::Colour kTick = rgb(107, 205, 107);
    Sheet s(40, 20);
    drawTicks(s.canvas, "ori_blurosso", 0, 4);
    for (int x : {10, 20, 30})
    {
        EXPECT_EQ(s.image.at(x, 19), kTick) << x;
        EXPECT_EQ(s.image.at(x, 16), kTick) << x;
        EXPECT_EQ(s.image.at(x, 15), kUntouched) << x;
    }
    EXPECT_EQ(s.countOf(kTick), 3 * 4);

    Sheet vertical(20, 40);
    drawTicks(vertical.canvas, "ver_ago", 0, 4);
    EXPECT_EQ(vertical.image.at(1, 10), kTick);
    EXPECT_EQ(vertical.image.at(4, 10), kTick);
    EXPECT_EQ(vertical.image.at(5, 10), kUntouched);
    EXPECT_EQ(vertical.countOf(kTick), 3 * 4);

    Sheet meter(40, 20);
    drawTicks(meter.canvas, "ori_vmeter", 0, 4);
    EXPECT_EQ(meter.countOf(kTick), 0);
}

TEST(CaptionDirectives, FormatTheCurrentValue)
{
    EXPECT_EQ(applyCaptionDirective("%", 57.4f, 0), "57%");
    EXPECT_EQ(applyCaptionDirective("%", 5.0f, 0), "5%");
    EXPECT_EQ(applyCaptionDirective("%", 100.0f, 0), "100%");
    EXPECT_EQ(applyCaptionDirective("%", 0.0f, 0), "0%");
    EXPECT_EQ(applyCaptionDirective("%", 99.5f, 0), "100%");
    EXPECT_EQ(applyCaptionDirective("%", 2.5f, 0), "2%");
    EXPECT_EQ(applyCaptionDirective("!", 50.0f, 10), "5");
    EXPECT_EQ(applyCaptionDirective("!", 50.0f, 0), "0");
    EXPECT_EQ(applyCaptionDirective(" %", 50.0f, 0), " %");
    EXPECT_EQ(applyCaptionDirective("%%", 50.0f, 0), "%%");
    EXPECT_EQ(applyCaptionDirective("Play", 50.0f, 0), "Play");
}

} // namespace
} // namespace sonarello::controls
