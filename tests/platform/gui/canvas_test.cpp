#include "gui_application.h"
#include "platform/gui/canvas.h"
#include "support/temp_folder.h"

#include <gtest/gtest.h>

namespace sonarello::gui
{
namespace
{

constexpr Colour kPaper = rgb(255, 0, 255);
constexpr Colour kInk = rgb(10, 20, 30);
constexpr Colour kFill = rgb(200, 100, 50);

int countPixels(const Image& image, Colour c)
{
    int n = 0;
    for (int y = 0; y < image.height; ++y)
        for (int x = 0; x < image.width; ++x)
            n += image.at(x, y) == c ? 1 : 0;
    return n;
}

TEST(Canvas, LinesLeaveOutTheirEndPixel)
{
    Image image(10, 10, kPaper);
    Canvas canvas(image);
    canvas.moveTo(2, 3);
    canvas.lineBy(4, 0, kInk);
    EXPECT_EQ(image.at(2, 3), kInk);
    EXPECT_EQ(image.at(5, 3), kInk);
    EXPECT_EQ(image.at(6, 3), kPaper);
    EXPECT_EQ(countPixels(image, kInk), 4);

    canvas.lineBy(0, -3, kFill); // from the previous end point, upwards
    EXPECT_EQ(image.at(6, 3), kFill);
    EXPECT_EQ(image.at(6, 1), kFill);
    EXPECT_EQ(image.at(6, 0), kPaper);

    canvas.moveTo(0, 5);
    canvas.lineBy(3, 3, kInk);
    EXPECT_EQ(image.at(2, 7), kInk);
    EXPECT_EQ(image.at(3, 8), kPaper);
}

TEST(Canvas, BoxesLeaveOutRightAndBottomEdges)
{
    Image image(10, 10, kPaper);
    Canvas canvas(image);
    canvas.box(1, 2, 6, 8, kInk, kFill);
    EXPECT_EQ(image.at(1, 2), kInk);
    EXPECT_EQ(image.at(5, 7), kInk);
    EXPECT_EQ(image.at(6, 5), kPaper);
    EXPECT_EQ(image.at(3, 8), kPaper);
    EXPECT_EQ(image.at(3, 5), kFill);
    EXPECT_EQ(countPixels(image, kInk) + countPixels(image, kFill), 5 * 6);
}

TEST(Canvas, EllipseIsInscribedInItsBox)
{
    Image image(20, 20, kPaper);
    Canvas canvas(image);
    canvas.ellipse(2, 4, 12, 14, kInk, kFill);
    EXPECT_EQ(image.at(7, 9), kFill);   // centre
    EXPECT_EQ(image.at(2, 9), kInk);    // leftmost column, middle row
    EXPECT_EQ(image.at(11, 9), kInk);   // rightmost column inside the box
    EXPECT_EQ(image.at(12, 9), kPaper); // right edge excluded
    EXPECT_EQ(image.at(2, 4), kPaper);  // corner of the box lies outside
    EXPECT_EQ(image.at(7, 4), kInk);
    EXPECT_EQ(image.at(7, 14), kPaper);

    Image dot(5, 5, kPaper);
    Canvas c2(dot);
    c2.ellipse(2, 2, 2, 2, kInk, kInk); // an empty box still marks its corner pixel
    EXPECT_EQ(dot.at(2, 2), kInk);
    EXPECT_EQ(countPixels(dot, kInk), 1);
}

TEST(CanvasText, MeasuresAndPrintsWithTopLeftAnchor)
{
    test::ensureGuiApplication();
    Image image(80, 20, kPaper);
    Canvas canvas(image);
    canvas.selectFont("Arial", 7);
    const TextExtent one = canvas.textExtent("OK");
    const TextExtent two = canvas.textExtent("OKOK");
    EXPECT_GT(one.width, 0);
    EXPECT_EQ(two.width, 2 * one.width);
    EXPECT_GE(canvas.lineHeight(), one.height);
    EXPECT_LE(canvas.lineHeight(), 14); // 7 points at 96 dpi: a small face
    EXPECT_GT(canvas.textExtent("Velocità").width, canvas.textExtent("Velocit").width);
    EXPECT_EQ(canvas.textExtent("").width, 0);

    canvas.printAt(30, 4, "OK", kInk);
    int left = 1000, right = -1, top = 1000, bottom = -1;
    for (int y = 0; y < image.height; ++y)
        for (int x = 0; x < image.width; ++x)
            if (image.at(x, y) != kPaper)
            {
                left = std::min(left, x);
                right = std::max(right, x);
                top = std::min(top, y);
                bottom = std::max(bottom, y);
            }
    ASSERT_GE(right, 0) << "nothing printed";
    EXPECT_GE(left, 30);
    EXPECT_LE(left, 32);
    EXPECT_LE(right, 30 + one.width);
    EXPECT_GE(top, 4);
    EXPECT_LT(bottom, 4 + canvas.lineHeight());
}

TEST(ImageFiles, LoadFilesAndResourcesAtTheAskedSize)
{
    test::ensureGuiApplication();
    test::TempFolder folder;
    Image picture(2, 1);
    picture.set(0, 0, rgb(255, 0, 0));
    picture.set(1, 0, rgb(0, 0, 255));
    for (const char* name : {"face.png", "face.bmp"})
    {
        ASSERT_TRUE(saveImage(picture, folder.file(name)));
        const auto loaded = loadImage(folder.file(name), 8, 3);
        ASSERT_TRUE(loaded) << name;
        EXPECT_EQ(loaded->width, 8);
        EXPECT_EQ(loaded->height, 3);
        EXPECT_EQ(loaded->at(0, 2), rgb(255, 0, 0));
        EXPECT_EQ(loaded->at(7, 0), rgb(0, 0, 255));
    }
    const auto resource = loadImage("checker", 4, 4); // compiled into this test program
    ASSERT_TRUE(resource);
    EXPECT_EQ(resource->at(0, 0), rgb(0xE0, 0x20, 0x20));
    EXPECT_EQ(resource->at(3, 3), rgb(0x10, 0xA0, 0x40));

    EXPECT_FALSE(loadImage(folder.file("missing.png"), 8, 8));
    EXPECT_FALSE(loadImage("no-such-resource", 8, 8));
    EXPECT_FALSE(loadImage(folder.file("face.png"), 0, 8));
}

} // namespace
} // namespace sonarello::gui
