#include "controls/colours.h"
#include "controls/toolkit.h"
#include "gui/gui_application.h"
#include "support/temp_folder.h"

#include <QTest>
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

namespace sonarello::controls
{
namespace
{

using gui::rgb;

class ToolkitTest : public ::testing::Test
{
  protected:
    // A bar as the player's rows use it.
    void createBar(int id, int width, float value, std::string_view caption = "")
    {
        createControl(toolkit, window,
                      {.id = id,
                       .y = 48,
                       .width = width,
                       .height = 16,
                       .value = value,
                       .caption = caption,
                       .captionColour = 0xFFFFFF,
                       .style = "ori_blurosso",
                       .faceColour = "grigio"});
    }
    const gui::Image& imageOf(int id) { return window.findControl(id)->image; }

    test::GuiApplicationReady application;
    ProgramLock lock;
    std::unique_ptr<Toolkit> toolkitPtr = std::make_unique<Toolkit>(lock);
    Toolkit& toolkit = *toolkitPtr;
    gui::Window window{1000, 700, lock};
};

TEST_F(ToolkitTest, FirstPaintCachesBevelAndFaceExceptForIdZero)
{
    createBar(4001, 50, 40);
    const gui::Control* control = window.findControl(4001);
    ASSERT_NE(control, nullptr);
    EXPECT_EQ(control->auxValue(kAuxBackgroundMarker), 4001);
    const gui::Image& background = toolkit.backgrounds[4001];
    EXPECT_EQ(background.at(5, 0), resolveColourName("grigio", 239)); // face mode 0, row 0
    EXPECT_EQ(control->image.at(5, 0), rgb(26, 15, 230));             // the bar over it

    setControlValue(toolkit, window, 4001, 0, ""); // value 0: the face alone
    EXPECT_EQ(control->image.pixels, background.pixels);
    setControlValue(toolkit, window, 4001, 100, "");
    setControlValue(toolkit, window, 4001, -1, ""); // a negative value keeps the stored one
    EXPECT_EQ(toolkit.controls[4001].value, 100.0f);
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
}

TEST_F(ToolkitTest, CaptionsKeepTwentyCharactersAndDrawTheArgumentWhole)
{
    createBar(3801, 230, 0);
    setControlValue(toolkit, window, 3801, 0, "[<]abcdefghijklmnopqrstuvwxy"); // 28 characters
    const gui::Image whole = imageOf(3801);
    EXPECT_EQ(toolkit.controls[3801].caption.trimmed(), "[<]abcdefghijklmnopq");
    setControlValue(toolkit, window, 3801, -1, "");
    EXPECT_NE(imageOf(3801).pixels, whole.pixels); // the stored, shorter caption

    std::string accented;
    for (int i = 0; i < 25; ++i)
        accented += "è";
    setControlValue(toolkit, window, 3801, -1, accented);
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
    EXPECT_EQ(toolkit.controls.size(), 10001u);

    setControlValue(toolkit, window, 77, 33, "senza"); // no widget: still stored
    EXPECT_EQ(toolkit.controls[77].caption.trimmed(), "senza");
    createBar(11, -20, 50, "negative");
    createBar(13, 40, std::numeric_limits<float>::infinity(), "%");
    EXPECT_EQ(imageOf(13).at(39, 8), rgb(249, 15, 6)); // the bar ends inside its control
    createControl(toolkit, window,
                  {.id = 15,
                   .width = 40,
                   .height = 16,
                   .bevelWidth = 1 << 30,
                   .value = 50,
                   .divisions = 100000,
                   .style = "ori_vmeter",
                   .faceMode = 3});
    EXPECT_EQ(toolkit.controls[15].divisions, 32767);
}

TEST_F(ToolkitTest, DrawnSwitchStartsOffWithARedLampOverItsFace)
{
    const ControlSetup plain{
        .id = 3402, .width = 40, .height = 20, .style = "ori_ago", .faceColour = "grigio"};
    ControlSetup drawnSwitch = plain;
    drawnSwitch.id = 3401;
    drawnSwitch.text = "/";
    createControl(toolkit, window, drawnSwitch);
    createControl(toolkit, window, plain);
    const gui::Control* control = window.findControl(3401);
    EXPECT_EQ(control->auxValue(kAuxSwitchState), 0);
    EXPECT_EQ(control->image.at(10, 10), paletteColour("rosso", 13, 0, 100)); // lamp centre
    EXPECT_EQ(control->image.at(38, 1), imageOf(3402).at(38, 1)) << "the face this call gives";
    toggleSwitch(toolkit, window, 3401, "OFF/ON");
    EXPECT_EQ(control->auxValue(kAuxSwitchState), 1);
    EXPECT_EQ(control->image.at(10, 10), paletteColour("verdino", 13, 0, 100));
}

TEST_F(ToolkitTest, ImageFacesLoadOrLeaveTheFaceAlone)
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
        createControl(toolkit, window,
                      {.id = id,
                       .width = 20,
                       .height = 10,
                       .text = text,
                       .bevelWidth = 2,
                       .bevelColour = "grigio",
                       .value = 50,
                       .style = style,
                       .faceMode = faceMode});
        return window.findControl(id);
    };
    const gui::Control* image = face(21, "off.png", 6);
    EXPECT_NE(image->auxValue(kAuxImageOff), 0);
    EXPECT_EQ(image->image.at(10, 5), rgb(0, 0, 200));
    EXPECT_EQ(image->image.at(0, 0), resolveColourName("grigio", 0)); // bevel round it

    const gui::Control* pictures = face(22, "off.png/on.bmp", 99);
    EXPECT_EQ(pictures->image.at(10, 5), rgb(0, 0, 200));
    toggleSwitch(toolkit, window, 22, "");
    EXPECT_EQ(pictures->image.at(10, 5), rgb(0, 200, 0));

    const gui::Control* missing = face(23, "missing.png", 6, "ori_ago");
    EXPECT_EQ(missing->auxValue(kAuxImageOff), 0);
    EXPECT_EQ(missing->image.at(3, 3), gui::kInitialImageColour);
    EXPECT_EQ(missing->image.at(10, 3), rgb(255, 0, 0)); // the needle works on
    EXPECT_EQ(face(24, "   ", 99)->auxValue(kAuxImageOff), 0);
    const gui::Control* resource = face(25, "checker", 6); // compiled into this test program
    EXPECT_EQ(resource->image.at(2, 2), rgb(0xE0, 0x20, 0x20));
    EXPECT_EQ(resource->image.at(17, 7), rgb(0x10, 0xA0, 0x40));
    std::filesystem::current_path(previous);
}

TEST_F(ToolkitTest, SliderReadsThePointerWithTheStyleLowerCased)
{
    createControl(toolkit, window,
                  {.id = 3002, .x = 100, .y = 300, .width = 200, .height = 16, .style = "ORI_AGO"});
    window.setCursorPosition({199, 305});
    if (window.cursorPosition().x != 199)
        GTEST_SKIP() << "this display cannot move the pointer";
    EXPECT_FLOAT_EQ(readSliderValue(toolkit, window, 3002), 50.0f);
}

// A left press on a control with the notify flag sends its id as a command; any press or move
// over a control says so; a lookup finds the control created last with an id.
TEST_F(ToolkitTest, WindowSendsPressesAndFindsTheLastControlOfAnId)
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
    EXPECT_EQ(window.findControl(6), nullptr);
}

TEST(SliderReading, FollowsTheStyleOrientation)
{
    gui::Control control;
    control.x = 100;
    control.y = 50;
    control.width = 200;
    control.height = 40;
    const struct
    {
        const char* style;
        gui::Point cursor;
        float reading;
    } cases[] = {{"ori_blurosso", {199, 0}, 50}, {"ori_blurosso", {400, 0}, 100},
                 {"ori_blurosso", {49, 0}, -25}, {"ver_ago", {0, 71}, 50},
                 {"ver_ago", {0, 1}, 225},       {"ver_ago", {0, 500}, 0},
                 {"ver_ori", {199, 71}, 50},     {"manopola", {199, 71}, 0}};
    for (const auto& c : cases)
        EXPECT_FLOAT_EQ(sliderReading(c.style, c.cursor, control), c.reading) << c.style;
    control.width = 0;
    EXPECT_FLOAT_EQ(sliderReading("ori_ago", {199, 71}, control), 0.0f);
}

} // namespace
} // namespace sonarello::controls
