// The drawing rules as tables: colour names and palettes, then pixel cases of the canvas, the
// bevels, faces, indicators and ticks, each a few probes of the image it draws; then the
// toolkit's controls in a window, as the player's rows use them, painted from two threads too.
#include "controls/colours.h"
#include "controls/indicators.h"
#include "controls/painting.h"
#include "controls/toolkit.h"
#include "gui/gui_application.h"
#include "support/temp_folder.h"

#include <QTest>
#include <QWidget>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <limits>
#include <map>
#include <thread>
#include <tuple>

namespace sonarello::controls
{
namespace
{

using gui::Colour;
using gui::rgb;

constexpr Colour kPaper = rgb(255, 0, 255); // no case draws it, so untouched pixels show
constexpr int kWholeRow = -1;               // a probe's x for every pixel of its row

Colour grey(int darkening)
{
    return resolveColourName("grigio", darkening);
}

// clang-format off
TEST(Colours, NamesPalettesAndCaptionDirectives)
{
    const std::tuple<const char*, int, Colour> names[] = {
        {"#80FF00", 0, rgb(128, 255, 0)}, {"#80ff00", 200, rgb(0, 55, 0)},
        {"#FF0000 and more", 0, rgb(255, 0, 0)}, {" #FF0000", 0, rgb(0, 0, 0)},
        {"#FF", 0, rgb(255, 0, 0)}, {"#102030", -300, rgb(255, 255, 255)},
        {"#GG8040", 0, rgb(0, 128, 64)}, {"  ROSSO ", 0, rgb(255, 155, 155)},
        {"grigio", 128, rgb(127, 127, 127)}, {"blu", 0, rgb(0, 0, 0)},
        {"pulsanteoro", 0, rgb(255, 255, 55)}, {"pulsanteoro", 255, rgb(155, 55, 55)},
        {"pulsanteblu", 255, rgb(55, 155, 155)}};
    for (const auto& [name, darkening, expected] : names)
        EXPECT_EQ(resolveColourName(name, darkening), expected) << name << ' ' << darkening;

    // palette, step, index, peak: the lamp and meter gradients
    const std::tuple<const char*, int, int, float, Colour> palettes[] = {
        {"verdino", 13, -5, 100, rgb(0, 135, 0)}, {"", 13, -5, 100, rgb(0, 135, 0)},
        {"rosso", 13, 0, 100, rgb(200, 0, 0)}, {"ROSSO", 13, -5, 100, rgb(135, 0, 0)},
        {"giallo", 13, 0, 100, rgb(0, 0, 0)}, {"blu-scuro", 2, 10, 50, rgb(20, 20, 120)},
        {"rosso-arancio", 2, 10, 5, rgb(50, 60, 20)}, {"blu-bianco", 2, 3, 10, rgb(20, 30, 60)},
        {"semaforo", 2, 5, 10, rgb(255, 50, 1)}, {"semaforo", 2, 5, 0, rgb(0, 0, 0)},
        {"verdino", 2147483647, 2147483647, 1e30f, rgb(1, 255, 1)},
        {"rosso", -2147483647 - 1, -1, -1e30f, rgb(0, 0, 0)}};
    for (const auto& [palette, step, index, peak, expected] : palettes)
        EXPECT_EQ(paletteColour(palette, step, index, peak), expected)
            << '"' << palette << "\" " << step << ' ' << index << ' ' << peak;

    // caption, value, divisions, shown
    const std::tuple<const char*, float, int, const char*> captions[] = {
        {"%", 57.4f, 0, "57%"}, {"%", 5, 0, "5%"}, {"%", 100, 0, "100%"}, {"%", 0, 0, "0%"},
        {"%", 99.5f, 0, "100%"}, {"%", 2.5f, 0, "2%"}, {"!", 50, 10, "5"}, {"!", 50, 0, "0"},
        {" %", 50, 0, " %"}, {"%%", 50, 0, "%%"}, {"Play", 50, 0, "Play"}};
    for (const auto& [caption, value, divisions, shown] : captions)
        EXPECT_EQ(applyCaptionDirective(caption, value, divisions), shown) << caption;
}
// clang-format on

struct Probe
{
    int x; // kWholeRow: every pixel of row y
    int y;
    Colour colour;
};

struct PixelCase
{
    const char* name;
    int width;
    int height;
    std::function<void(gui::Canvas&)> draw;
    std::vector<Probe> probes;
    std::vector<std::pair<Colour, int>> counts = {}; // how many pixels hold a colour
};

int countOf(const gui::Image& image, Colour colour)
{
    return static_cast<int>(
        std::count(image.pixels.begin(), image.pixels.end(), gui::Image(1, 1, colour).pixels[0]));
}

constexpr Colour kInk = rgb(10, 20, 30);
constexpr Colour kFill = rgb(200, 100, 50);
constexpr Colour kTick = rgb(107, 205, 107);
constexpr Colour kRed = rgb(255, 0, 0);

std::function<void(gui::Canvas&)> greyFace(int mode)
{
    return [mode](gui::Canvas& c) { fillFace(c, 0, "grigio", mode, nullptr); };
}

// One case a few lines; probes as {x, y, colour}, counts as {colour, pixels}.
// clang-format off
const PixelCase kPixelCases[] = {
    {"line leaves out its end pixel, the next starts there", 10, 10, [](gui::Canvas& c) {
         c.moveTo(2, 3); c.lineBy(4, 0, kInk); c.lineBy(0, -3, kFill);
         c.moveTo(0, 5); c.lineBy(3, 3, kInk); },
     {{2, 3, kInk}, {5, 3, kInk}, {6, 3, kFill}, {6, 1, kFill}, {6, 0, kPaper}, {2, 7, kInk},
      {3, 8, kPaper}}, {{kInk, 7}}},
    {"box leaves out its right and bottom edges", 10, 10,
     [](gui::Canvas& c) { c.box(1, 2, 6, 8, kInk, kFill); },
     {{1, 2, kInk}, {5, 7, kInk}, {6, 5, kPaper}, {3, 8, kPaper}, {3, 5, kFill}}, {{kPaper, 70}}},
    {"ellipse is inscribed in its box", 20, 20,
     [](gui::Canvas& c) { c.ellipse(2, 4, 12, 14, kInk, kFill); },
     {{7, 9, kFill}, {2, 9, kInk}, {11, 9, kInk}, {12, 9, kPaper}, {2, 4, kPaper}, {7, 4, kInk},
      {7, 14, kPaper}}},
    {"empty ellipse marks its corner", 5, 5,
     [](gui::Canvas& c) { c.ellipse(2, 2, 2, 2, kInk, kInk); },
     {{2, 2, kInk}}, {{kInk, 1}}},
    {"two-tone bevel is lit from the top left", 12, 10,
     [](gui::Canvas& c) { drawBevel(c, 2, "grigio", true); },
     {{0, 5, grey(0)}, {5, 0, grey(0)}, {1, 5, grey(128)}, {5, 1, grey(128)}, {11, 5, grey(128)},
      {5, 9, grey(128)}, {10, 5, grey(0)}, {5, 8, grey(0)}, {5, 5, kPaper}}},
    {"single-colour bevel", 10, 8, [](gui::Canvas& c) { drawBevel(c, 1, "grigio", false); },
     {{kWholeRow, 0, grey(0)}, {kWholeRow, 7, grey(0)}, {9, 4, grey(0)}, {1, 1, kPaper}}},
    {"horizontal cylinder, even height", 30, 20, greyFace(face::kHorizontalCylinder),
     {{kWholeRow, 0, grey(242)}, {kWholeRow, 19, grey(242)}, {kWholeRow, 9, grey(128)},
      {kWholeRow, 10, grey(128)}}, {{kPaper, 0}}},
    {"odd-height cylinder leaves its middle row", 30, 21, greyFace(face::kHorizontalCylinder),
     {{kWholeRow, 10, kPaper}, {kWholeRow, 9, grey(134)}, {kWholeRow, 11, grey(134)}},
     {{kPaper, 30}}},
    {"cylinder paints row 11 of 23 from both sides", 30, 23, greyFace(face::kHorizontalCylinder),
     {{kWholeRow, 11, grey(122)}, {kWholeRow, 10, grey(133)}}, {{kPaper, 0}}},
    {"ramp lit from the top", 20, 16, greyFace(face::kRampLightTop),
     {{kWholeRow, 0, grey(0)}, {kWholeRow, 15, grey(239)}}, {{kPaper, 0}}},
    {"ramp lit from the bottom", 20, 16, greyFace(face::kRampLightBottom),
     {{kWholeRow, 0, grey(239)}, {kWholeRow, 15, grey(0)}}, {{kPaper, 0}}},
    {"vertical cylinder", 20, 16, greyFace(face::kVerticalCylinder),
     {{0, 5, grey(242)}, {10, 5, grey(115)}, {19, 5, grey(242)}}, {{kPaper, 0}}},
    {"inverted vertical cylinder", 20, 16, greyFace(face::kInvertedVerticalCylinder),
     {{0, 5, grey(26)}, {10, 5, grey(153)}, {19, 5, grey(26)}}, {{kPaper, 0}}},
    {"cushion without colour is greenish grey", 40, 20,
     [](gui::Canvas& c) { fillFace(c, 0, "", face::kCushion, nullptr); },
     {{0, 0, rgb(0, 45, 0)}, {39, 0, rgb(0, 45, 0)}, {1, 1, rgb(30, 75, 30)},
      {0, 19, rgb(0, 45, 0)}, {2, 2, rgb(60, 105, 60)}, {39, 19, rgb(60, 105, 60)}},
     {{kPaper, 0}}},
    {"image face is stretched inside the margin", 20, 10, [](gui::Canvas& c) {
         const gui::Image picture(20, 10, rgb(1, 2, 3));
         fillFace(c, 2, "", face::kImage, &picture); },
     {{1, 5, kPaper}, {2, 2, rgb(1, 2, 3)}, {17, 7, rgb(1, 2, 3)}, {18, 7, kPaper}}},
    {"blue-to-red bar at half, its ramp over the whole width", 101, 12,
     [](gui::Canvas& c) { drawIndicator(c, "ori_blurosso", 0, 50, 0, ""); },
     {{0, 6, rgb(0, 15, 255)}, {50, 0, rgb(126, 15, 129)}, {50, 11, rgb(126, 15, 129)},
      {51, 6, kPaper}}},
    {"red bar draws its middle rows twice", 30, 10,
     [](gui::Canvas& c) { drawIndicator(c, "ori_rosso", 0, 100, 0, ""); },
     {{kWholeRow, 0, rgb(155, 0, 0)}, {kWholeRow, 9, rgb(155, 0, 0)},
      {kWholeRow, 1, rgb(180, 26, 26)}, {kWholeRow, 4, rgb(255, 128, 128)},
      {kWholeRow, 5, rgb(255, 128, 128)}}},
    {"needle", 50, 16, [](gui::Canvas& c) { drawIndicator(c, "ori_ago", 0, 50, 0, ""); },
     {{25, 0, kRed}, {25, 15, kRed}}, {{kRed, 16}}},
    {"needle at 100 lies outside", 50, 16,
     [](gui::Canvas& c) { drawIndicator(c, "ori_ago", 0, 100, 0, ""); }, {}, {{kPaper, 800}}},
    {"needle block", 50, 16,
     [](gui::Canvas& c) { drawIndicator(c, "ori_agone", 1, 50, 0, "grigio"); },
     {{18, 8, kPaper}, {19, 8, rgb(0, 0, 0)}, {31, 8, rgb(0, 0, 0)}, {22, 8, grey(127)},
      {25, 8, kRed}}},
    {"segmented meter lights rounded segments", 100, 10,
     [](gui::Canvas& c) { drawIndicator(c, "ori_vmeter", 0, 50, 10, ""); },
     {{0, 5, rgb(0, 0, 255)}, {49, 5, rgb(102, 0, 153)}, {50, 5, kPaper}}},
    {"vertical segmented meter", 10, 100,
     [](gui::Canvas& c) { drawIndicator(c, "ver_vmeter", 0, 100, 10, ""); },
     {{5, 99, rgb(0, 0, 255)}, {5, 1, rgb(230, 0, 26)}}},
    {"ticks divide the inner width", 40, 20,
     [](gui::Canvas& c) { drawTicks(c, "ori_blurosso", 0, 4); },
     {{10, 19, kTick}, {20, 16, kTick}, {30, 19, kTick}, {10, 15, kPaper}, {30, 15, kPaper}},
     {{kTick, 12}}},
    {"ticks divide the inner height", 20, 40, [](gui::Canvas& c) { drawTicks(c, "ver_ago", 0, 4); },
     {{1, 10, kTick}, {4, 10, kTick}, {5, 10, kPaper}}, {{kTick, 12}}},
    {"no-width bevels, unknown faces and styles, meters without segments or ticks draw nothing",
     40, 16, [](gui::Canvas& c) {
         for (int width : {0, -3}) {
             drawBevel(c, width, "grigio", false);
             drawBevel(c, width, "grigio", true); }
         for (int mode : {-1, 7, 1000}) fillFace(c, 0, "grigio", mode, nullptr);
         for (std::string_view style : {"ORI_AGO", "ori_ago ", "nessuno", ""}) {
             drawIndicator(c, style, 0, 50, 4, "");
             drawTicks(c, style, 0, 4); }
         for (int divisions : {0, -3}) {
             drawIndicator(c, "ori_vmeter", 0, 50, divisions, "");
             drawIndicator(c, "ver_vmeter", 0, 50, divisions, ""); }
         drawTicks(c, "ori_vmeter", 0, 4); },
     {}, {{kPaper, 640}}},
};
// clang-format on

TEST(Drawing, PixelCases)
{
    for (const PixelCase& c : kPixelCases)
    {
        gui::Image image(c.width, c.height, kPaper);
        gui::Canvas canvas(image);
        c.draw(canvas);
        for (const Probe& p : c.probes)
            for (int x = p.x == kWholeRow ? 0 : p.x; x < (p.x == kWholeRow ? c.width : p.x + 1);
                 ++x)
                EXPECT_EQ(image.at(x, p.y), p.colour) << c.name << ": (" << x << ", " << p.y << ")";
        for (const auto& [colour, count] : c.counts)
            EXPECT_EQ(countOf(image, colour), count) << c.name << ": pixels of " << colour;
    }
}

// Values and margins far outside the scale draw nothing beyond the image: paper after it stays.
TEST(Drawing, WildIndicatorValuesStayInsideTheImage)
{
    const std::uint32_t paper = gui::Image(1, 1, kPaper).pixels[0];
    constexpr std::ptrdiff_t kGuard = 40;
    const auto guarded = [&](int width, int height)
    {
        gui::Image image(width, height, kPaper);
        image.pixels.resize(image.pixels.size() + std::size_t{kGuard}, paper);
        return image;
    };
    const auto guardIsPaper = [&](const gui::Image& image)
    { return std::count(image.pixels.end() - kGuard, image.pixels.end(), paper) == kGuard; };
    for (std::string_view style :
         {"ori_ago", "ori_agone", "ori_rosso", "ori_blurosso", "ori_vmeter", "ver_ago", "ver_agone",
          "ver_blurosso", "ver_vmeter"})
        for (float v : {1e9f, 1e30f, std::numeric_limits<float>::infinity(), -1e9f})
            for (int margin : {0, 1000000, -1000000})
            {
                gui::Image image = guarded(40, 16);
                gui::Canvas canvas(image);
                drawIndicator(canvas, style, margin, v, 10, "grigio");
                drawTicks(canvas, style, margin, 1 << 30);
                EXPECT_TRUE(guardIsPaper(image)) << style << ' ' << v << ' ' << margin;
            }
    gui::Image empty = guarded(0, 0);
    gui::Canvas canvas(empty);
    drawIndicator(canvas, "ori_blurosso", 0, 100, 4, "");
    drawTicks(canvas, "ori_blurosso", 0, 4);
    EXPECT_TRUE(guardIsPaper(empty));
}

// Columns that hold anything but paper, as [first, last].
std::pair<int, int> inkColumns(const gui::Image& image)
{
    int first = image.width, last = -1;
    for (int y = 0; y < image.height; ++y)
        for (int x = 0; x < image.width; ++x)
            if (image.at(x, y) != kPaper)
            {
                first = std::min(first, x);
                last = std::max(last, x);
            }
    return {first, last};
}

TEST(Drawing, CaptionsArePlacedByTheirMeasuredExtent)
{
    test::ensureGuiApplication();
    gui::Image image(100, 16, kPaper);
    gui::Canvas canvas(image);
    canvas.selectFont(gui::kDefaultFontFamily, gui::kDefaultFontPoints);
    const int prefix = canvas.textExtent("[>]").width;
    EXPECT_LE(canvas.lineHeight(), 14); // 7 points at 96 dpi: a small face
    EXPECT_GT(canvas.textExtent("Velocità").width, canvas.textExtent("Velocit").width);

    drawCaption(canvas, "OK", 0, 0);
    const auto [left, right] = inkColumns(image);
    EXPECT_GT(right - left, 5);
    EXPECT_NEAR(left + right, 99, 3) << "centred";

    canvas.fill(kPaper);
    drawCaption(canvas, "[<]OK", 0, 0);
    EXPECT_LE(inkColumns(image).first, 2);

    canvas.fill(kPaper);
    drawCaption(canvas, "[>]OK", 0, 0);
    EXPECT_NEAR(100 - inkColumns(image).second - 1, prefix, 2) << "the prefix's width stays free";
}

class ToolkitTest : public ::testing::Test
{
  protected:
    static void SetUpTestSuite() { test::ensureGuiApplication(); }
    // A bar as the player's rows use it.
    void createBar(int id, int width, float value, std::string_view caption = "", int x = 0,
                   int y = 48, int divisions = 0)
    {
        ControlSetup setup{.id = id, .x = x, .y = y, .width = width, .height = 16, .value = value};
        setup.divisions = divisions;
        setup.caption = caption;
        setup.captionColour = 0xFFFFFF;
        setup.style = "ori_blurosso";
        setup.faceColour = "grigio";
        createControl(toolkit, window, setup);
    }
    const gui::Image& imageOf(int id) { return window.findControl(id)->image; }

    ProgramLock lock;
    Toolkit toolkit{lock};
    gui::Window window{1000, 700, lock};
};

TEST_F(ToolkitTest, BarsCacheTheirFaceExceptForIdZeroAndKeepTwentyCharactersOfCaption)
{
    createBar(4001, 50, 40);
    const gui::Control* control = window.findControl(4001);
    ASSERT_NE(control, nullptr);
    const gui::Image& background = toolkit.backgrounds[4001];
    EXPECT_EQ(background.at(5, 0), resolveColourName("grigio", 239)); // face mode 0, row 0
    EXPECT_EQ(control->image.at(5, 0), rgb(26, 15, 230));             // the bar over it

    setControlValue(toolkit, window, 4001, 0, ""); // value 0: the face alone
    EXPECT_EQ(control->image.pixels, background.pixels);
    setControlValue(toolkit, window, 4001, 100, "");
    setControlValue(toolkit, window, 4001, -1, ""); // a negative value keeps the stored one
    EXPECT_EQ(control->image.at(48, 8), rgb(245, 15, 10));

    // The static part is painted once, except for id 0, which has no marker.
    createBar(0, 30, 0);
    for (int id : {4001, 0})
    {
        toolkit.controls[static_cast<std::size_t>(id)].faceColour.assign("rosso");
        setControlValue(toolkit, window, id, 0, "");
    }
    EXPECT_EQ(imageOf(4001).at(5, 0), resolveColourName("grigio", 239));
    EXPECT_EQ(imageOf(0).at(5, 0), resolveColourName("rosso", 239));

    // A caption is stored in twenty characters; the one given is drawn whole.
    createBar(3801, 230, 0);
    setControlValue(toolkit, window, 3801, 0, "[<]abcdefghijklmnopqrstuvwxy"); // 28 characters
    const gui::Image whole = imageOf(3801);
    EXPECT_EQ(toolkit.controls[3801].caption.trimmed(), "[<]abcdefghijklmnopq");
    setControlValue(toolkit, window, 3801, -1, "");
    EXPECT_NE(imageOf(3801).pixels, whole.pixels); // the stored, shorter caption

    setControlValue(toolkit, window, 3801, -1, "èèèèèèèèèèèèèèèèèèèèèèèèè"); // 25 characters
    EXPECT_EQ(toolkit.controls[3801].caption.stored.size(), 40u); // 20 two-byte characters
    toolkit.controls[3801].caption.assign("Velocità");
    EXPECT_EQ(toolkit.controls[3801].caption.stored, "Velocità            ");
}

TEST_F(ToolkitTest, BadIdsSizesAndValuesAreHarmless)
{
    for (int id : {-1, 10001, 1 << 30})
    {
        createBar(id, 30, 50, "x");
        setControlValue(toolkit, window, id, 50, "x");
        toggleSwitch(toolkit, window, id, "OFF/ON");
        EXPECT_EQ(readSliderValue(toolkit, window, id), 0.0f);
        EXPECT_EQ(window.findControl(id), nullptr);
    }
    createBar(10000, 30, 50, "x");
    EXPECT_NE(window.findControl(10000), nullptr);

    setControlValue(toolkit, window, 77, 33, "senza"); // no widget: still stored
    EXPECT_EQ(toolkit.controls[77].caption.trimmed(), "senza");
    createBar(11, -20, 50, "negative");
    createBar(13, 40, std::numeric_limits<float>::infinity(), "%");
    EXPECT_EQ(imageOf(13).at(39, 8), rgb(249, 15, 6)); // the bar ends inside its control
    ControlSetup wild{.id = 15, .width = 40, .height = 16, .bevelWidth = 1 << 30, .value = 50};
    wild.divisions = 100000;
    wild.style = "ori_vmeter";
    wild.faceMode = 3;
    createControl(toolkit, window, wild);
    EXPECT_EQ(toolkit.controls[15].divisions, 32767);
}

TEST_F(ToolkitTest, SwitchesStartOffAndImageFacesLoadOrLeaveTheFaceAlone)
{
    // A "/" separates the two pictures of a switch, so pictures are named relative to the
    // current folder.
    test::TempFolder folder;
    const std::filesystem::path previous = std::filesystem::current_path();
    std::filesystem::current_path(folder.path());
    ASSERT_TRUE(gui::saveImage(gui::Image(4, 4, rgb(0, 0, 200)), "off.png"));
    ASSERT_TRUE(gui::saveImage(gui::Image(4, 4, rgb(0, 200, 0)), "on.bmp"));
    const auto face = [&](int id, std::string_view text, int faceMode, std::string_view style = "")
    {
        ControlSetup setup{.id = id, .width = 40, .height = 20, .text = text, .bevelWidth = 2};
        setup.bevelColour = "grigio";
        setup.value = 50;
        setup.style = style;
        setup.faceMode = faceMode;
        createControl(toolkit, window, setup);
        return window.findControl(id);
    };
    const gui::Control* image = face(21, "off.png", 6);
    EXPECT_EQ(image->image.at(10, 5), rgb(0, 0, 200));
    EXPECT_EQ(image->image.at(0, 0), resolveColourName("grigio", 0)); // bevel round it

    // The drawn switch ends off: a red lamp over the bevel and face its call gives.
    const gui::Control* drawn = face(26, "/", 0, "ori_ago");
    const gui::Control* plain = face(27, "", 0, "ori_ago");
    EXPECT_EQ(drawn->image.at(10, 10), paletteColour("rosso", 13, 0, 100)); // lamp centre
    EXPECT_EQ(drawn->image.at(1, 1), plain->image.at(1, 1));
    EXPECT_EQ(drawn->image.at(34, 4), plain->image.at(34, 4));
    toggleSwitch(toolkit, window, 26, "OFF/ON");
    EXPECT_EQ(drawn->image.at(10, 10), paletteColour("verdino", 13, 0, 100));

    const gui::Control* pictures = face(22, "off.png/on.bmp", 99);
    EXPECT_EQ(pictures->image.at(10, 5), rgb(0, 0, 200));
    toggleSwitch(toolkit, window, 22, "");
    EXPECT_EQ(pictures->image.at(10, 5), rgb(0, 200, 0));

    const gui::Control* missing = face(23, "missing.png", 6, "ori_ago");
    EXPECT_EQ(missing->image.at(3, 3), gui::kInitialImageColour);
    EXPECT_EQ(missing->image.at(20, 3), rgb(255, 0, 0));   // the needle works on
    const gui::Control* resource = face(25, "checker", 6); // compiled into this test program
    EXPECT_EQ(resource->image.at(2, 2), rgb(0xE0, 0x20, 0x20));
    EXPECT_EQ(resource->image.at(34, 14), rgb(0x10, 0xA0, 0x40));
    std::filesystem::current_path(previous);
}

// Only a left press on a notify control sends its id as a command, any press or move says so;
// a slider reads the pointer with its style lower-cased.
TEST_F(ToolkitTest, WindowSendsPressesFindsTheLastControlOfAnIdAndSlidersReadThePointer)
{
    std::vector<std::pair<std::uint32_t, std::intptr_t>> received;
    window.setEventHandler(
        [&](gui::Window&, std::uint32_t message, std::intptr_t p1, std::intptr_t)
        {
            received.emplace_back(message, p1);
            return std::intptr_t{0};
        });
    window.createControl(3412, 12, 34, 18, 16, true);
    window.createControl(7, 40, 10, 18, 16, false);
    ASSERT_TRUE(test::widgetOf(3412) && test::widgetOf(7));
    EXPECT_EQ(test::widgetOf(3412)->geometry(), QRect(12, 34, 18, 16));
    QTest::mouseClick(test::widgetOf(3412), Qt::LeftButton);
    QTest::mouseClick(test::widgetOf(3412), Qt::RightButton);
    QTest::mouseClick(test::widgetOf(7), Qt::LeftButton);
    const auto count = [&](std::uint32_t message, std::intptr_t p1) {
        return std::count(received.begin(), received.end(), std::pair{message, p1});
    };
    EXPECT_EQ(count(gui::message::kCommand, 3412), 1);
    EXPECT_EQ(count(gui::message::kCommand, 7), 0);
    EXPECT_GT(count(gui::message::kPointerOverControl, 7), 0);

    const gui::Control& last = window.createControl(7, 504, 32, 50, 16, true);
    EXPECT_EQ(window.findControl(7), &last);

    // Slider readings by style (style, pointer, reading), then of the window's own pointer.
    gui::Control control{.x = 100, .y = 50, .width = 200, .height = 40, .image = {}};
    const std::tuple<const char*, gui::Point, float> cases[] = {
        {"ori_blurosso", {199, 0}, 50}, {"ori_blurosso", {400, 0}, 100},
        {"ori_blurosso", {49, 0}, -25}, {"ver_ago", {0, 71}, 50},
        {"ver_ago", {0, 1}, 225},       {"ver_ago", {0, 500}, 0},
        {"ver_ori", {199, 71}, 50},     {"manopola", {199, 71}, 0}};
    for (const auto& [style, cursor, reading] : cases)
        EXPECT_FLOAT_EQ(sliderReading(style, cursor, control), reading) << style;
    control.width = 0;
    EXPECT_FLOAT_EQ(sliderReading("ori_ago", {199, 71}, control), 0.0f);
    createControl(toolkit, window,
                  {.id = 3002, .x = 100, .y = 300, .width = 200, .height = 16, .style = "ORI_AGO"});
    window.setCursorPosition({199, 305});
    if (window.cursorPosition().x != 199)
        GTEST_SKIP() << "this display cannot move the pointer";
    EXPECT_FLOAT_EQ(readSliderValue(toolkit, window, 3002), 50.0f);
}

// Counts the paint events each widget receives.
struct PaintCounter : QObject
{
    std::map<QObject*, int> paints;
    bool eventFilter(QObject* widget, QEvent* event) override
    {
        if (event->type() == QEvent::Paint)
            ++paints[widget];
        return false;
    }
};

// Two threads repaint controls (as MIDI input and the timer do) while the GUI thread puts them
// on screen; every control another thread repainted is painted again on screen.
TEST_F(ToolkitTest, TwoThreadsPaintAtOnceAndEveryRepaintReachesTheScreen)
{
    window.show();
    constexpr int kRows = 8;
    std::vector<int> ids;
    for (int row = 1; row <= kRows; ++row)
        for (const auto& [id, x, divisions] :
             {std::tuple{4000 + row, 376, 10}, {4200 + row, 300, 4}})
        {
            createBar(id, 50, 0, "", x, 48 + 17 * row, divisions);
            ids.push_back(id);
        }
    for (int i = 0; i < 5; ++i)
        gui::Application::processEvents();
    PaintCounter counter;
    for (const int id : ids)
        test::widgetOf(id)->installEventFilter(&counter);
    std::atomic<int> running{2};
    const auto painter = [&](int base)
    {
        for (int i = 0; i < 200; ++i)
            for (int row = 1; row <= kRows; ++row)
                setControlValue(toolkit, window, base + row, static_cast<float>(i % 101),
                                i % 2 == 0 ? "%" : " 0:12");
        --running;
    };
    std::thread first(painter, 4000);
    std::thread second(painter, 4200);
    while (running > 0)
        gui::Application::processEvents();
    first.join();
    second.join();
    gui::Application::processEvents();

    // Each repaint asked for from another thread, all of them queued at once, reaches its widget.
    counter.paints.clear();
    std::thread(
        [&]
        {
            for (const int id : ids)
                setControlValue(toolkit, window, id, 50, "%");
        })
        .join();
    for (int i = 0; i < 200 && counter.paints.size() < ids.size(); ++i)
    {
        gui::Application::processEvents();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(counter.paints.size(), ids.size());

    const gui::Colour drawn = window.findControl(4001)->image.at(20, 8);
    EXPECT_EQ(test::widgetOf(4001)->grab().toImage().pixelColor(20, 8),
              QColor(gui::redOf(drawn), gui::greenOf(drawn), gui::blueOf(drawn)));
}

} // namespace
} // namespace sonarello::controls
