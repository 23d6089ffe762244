#include "controls/colours.h"
#include "controls/toolkit.h"
#include "platform/gui/gui_application.h"
#include "support/temp_folder.h"

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
    void createBar(int id, int x, int width, int height, float value, std::string_view caption,
                   int divisions = 0)
    {
        createControl(toolkit, window, id, x, 48, width, height, "", 0, "", value, divisions,
                      caption, 0xFFFFFF, "ori_blurosso", "grigio", 0);
    }

    const gui::Image& imageOf(int id) { return window.findControl(id)->image; }

    test::GuiApplicationReady application;
    ProgramLock lock;
    std::unique_ptr<Toolkit> toolkitPtr = std::make_unique<Toolkit>(lock);
    Toolkit& toolkit = *toolkitPtr;
    gui::Window window{1000, 700, lock};
};

TEST_F(ToolkitTest, FirstPaintCachesBevelAndFace)
{
    createBar(4001, 376, 50, 16, 40.0f, "");
    const gui::Control* control = window.findControl(4001);
    ASSERT_NE(control, nullptr);
    EXPECT_EQ(control->auxValue(kAuxBackgroundMarker), 4001);
    const gui::Image& background = toolkit.backgrounds[4001];
    EXPECT_EQ(background.width, 50);
    EXPECT_EQ(background.height, 16);
    EXPECT_EQ(background.at(5, 0), resolveColourName("grigio", 239)); // face mode 0, row 0
    EXPECT_EQ(control->image.at(5, 0), rgb(26, 15, 230));             // the bar over it

    // Value 0 restores the face and draws no indicator.
    setControlValue(toolkit, window, 4001, 0.0f, "");
    EXPECT_EQ(control->image.pixels, background.pixels);
    // A negative value keeps the stored value.
    setControlValue(toolkit, window, 4001, -1.0f, "");
    EXPECT_EQ(toolkit.controls[4001].value, 0.0f);
    setControlValue(toolkit, window, 4001, 100.0f, "");
    setControlValue(toolkit, window, 4001, -1.0f, "");
    EXPECT_EQ(toolkit.controls[4001].value, 100.0f);
    EXPECT_EQ(control->image.at(48, 8), rgb(245, 15, 10));
}

TEST_F(ToolkitTest, StaticPartIsPaintedOnceExceptForIdZero)
{
    createBar(3201, 314, 30, 16, 0.0f, "");
    createBar(0, 314, 30, 16, 0.0f, "");
    toolkit.controls[3201].faceColour.assign("rosso");
    toolkit.controls[0].faceColour.assign("rosso");
    setControlValue(toolkit, window, 3201, 0.0f, "");
    setControlValue(toolkit, window, 0, 0.0f, "");
    EXPECT_EQ(imageOf(3201).at(5, 0), resolveColourName("grigio", 239));
    EXPECT_EQ(imageOf(0).at(5, 0), resolveColourName("rosso", 239));
    EXPECT_EQ(window.findControl(0)->auxValue(kAuxBackgroundMarker), 0);
}

TEST_F(ToolkitTest, CaptionsKeepTwentyCharactersAndDrawTheArgumentWhole)
{
    createBar(3801, 64, 230, 16, 0.0f, "");
    const std::string longCaption = "[<]abcdefghijklmnopqrstuvwxy"; // 28 characters
    setControlValue(toolkit, window, 3801, 0.0f, longCaption);
    const gui::Image whole = imageOf(3801);
    EXPECT_EQ(toolkit.controls[3801].caption.trimmed(), "[<]abcdefghijklmnopq");
    setControlValue(toolkit, window, 3801, -1.0f, "");
    EXPECT_NE(imageOf(3801).pixels, whole.pixels); // the stored, shorter caption

    std::string accented;
    for (int i = 0; i < 25; ++i)
        accented += "è";
    setControlValue(toolkit, window, 3801, -1.0f, accented);
    EXPECT_EQ(toolkit.controls[3801].caption.stored.size(), 40u); // 20 two-byte characters
    toolkit.controls[3801].caption.assign("Velocità");
    EXPECT_EQ(toolkit.controls[3801].caption.stored, "Velocità            ");
}

TEST_F(ToolkitTest, OutOfRangeIdsAreRefusedWithoutTouchingAnyTable)
{
    for (int id : {-1, 10001, 1 << 30})
    {
        createBar(id, 0, 30, 16, 50.0f, "x");
        setControlValue(toolkit, window, id, 50.0f, "x");
        toggleSwitch(toolkit, window, id, "OFF/ON");
        EXPECT_EQ(readSliderValue(toolkit, window, id), 0.0f);
        EXPECT_EQ(window.findControl(id), nullptr);
    }
    createBar(10000, 0, 30, 16, 50.0f, "x");
    EXPECT_NE(window.findControl(10000), nullptr);
    EXPECT_EQ(toolkit.controls.size(), 10001u);
}

TEST_F(ToolkitTest, ValueOfAControlWithoutWidgetIsStillStored)
{
    setControlValue(toolkit, window, 77, 33.0f, "senza");
    EXPECT_EQ(toolkit.controls[77].value, 33.0f);
    EXPECT_EQ(toolkit.controls[77].caption.trimmed(), "senza");
    EXPECT_TRUE(toolkit.backgrounds[77].empty());
}

TEST_F(ToolkitTest, DegenerateSizesAndWildValuesAreHarmless)
{
    createBar(11, 0, 0, 0, 50.0f, "zero");
    createBar(12, 0, -20, 16, 50.0f, "negative");
    createBar(13, 0, 40, 16, 1e20f, "");
    createBar(14, 0, 40, 16, std::numeric_limits<float>::infinity(), "%");
    createControl(toolkit, window, 15, 0, 0, 40, 16, "", 1 << 30, "grigio", 50.0f, 100000, "", 0,
                  "ori_vmeter", "grigio", 3);
    createControl(toolkit, window, 16, 0, 0, 40, 16, "", -(1 << 30), "grigio", 50.0f, 0, "", 0,
                  "ver_vmeter", "grigio", 5);
    EXPECT_EQ(toolkit.controls[15].divisions, 32767);
    // The bar never leaves its control: the last column shows the ramp's end.
    EXPECT_EQ(imageOf(13).at(39, 8), rgb(249, 15, 6));
}

TEST_F(ToolkitTest, DrawnSwitchStartsOffWithARedLampOverItsFace)
{
    createControl(toolkit, window, 3401, 295, 48, 40, 20, "/", 0, "", 0.0f, 0, "", 0, "ori_ago",
                  "grigio", 0);
    createControl(toolkit, window, 3402, 295, 68, 40, 20, "", 0, "", 0.0f, 0, "", 0, "ori_ago",
                  "grigio", 0);
    const gui::Control* control = window.findControl(3401);
    ASSERT_NE(control, nullptr);
    EXPECT_EQ(control->auxValue(kAuxSwitchState), 0);
    EXPECT_EQ(control->image.at(7, 10), rgb(135, 0, 0));  // radius 5, centred at x 12
    EXPECT_EQ(control->image.at(10, 10), rgb(200, 0, 0)); // radius 0
    EXPECT_EQ(control->image.at(38, 1), imageOf(3402).at(38, 1)) << "the face this call gives";

    toggleSwitch(toolkit, window, 3401, "OFF/ON");
    EXPECT_EQ(control->auxValue(kAuxSwitchState), 1);
    EXPECT_EQ(control->image.at(7, 10), rgb(0, 135, 0));
    EXPECT_EQ(control->image.at(10, 10), rgb(0, 200, 0));
}

TEST_F(ToolkitTest, ImageFacesLoadOrLeaveTheFaceAlone)
{
    // A "/" separates the two pictures of a switch, so pictures are named relative to the
    // current folder.
    test::TempFolder folder;
    const std::filesystem::path previous = std::filesystem::current_path();
    std::filesystem::current_path(folder.path());
    const std::string off = "off.png";
    const std::string on = "on.bmp";
    ASSERT_TRUE(gui::saveImage(gui::Image(4, 4, rgb(0, 0, 200)), off));
    ASSERT_TRUE(gui::saveImage(gui::Image(4, 4, rgb(0, 200, 0)), on));

    createControl(toolkit, window, 21, 0, 0, 20, 10, off, 2, "grigio", 0.0f, 0, "", 0, "", "", 6);
    const gui::Control* face = window.findControl(21);
    EXPECT_NE(face->auxValue(kAuxImageOff), 0);
    EXPECT_EQ(face->image.at(10, 5), rgb(0, 0, 200));
    EXPECT_EQ(face->image.at(0, 0), resolveColourName("grigio", 0)); // bevel round it

    createControl(toolkit, window, 22, 0, 0, 20, 10, off + "/" + on, 0, "", 0.0f, 0, "", 0, "", "",
                  99);
    const gui::Control* pictures = window.findControl(22);
    EXPECT_EQ(pictures->image.at(10, 5), rgb(0, 0, 200));
    toggleSwitch(toolkit, window, 22, "");
    EXPECT_EQ(pictures->image.at(10, 5), rgb(0, 200, 0));

    createControl(toolkit, window, 23, 0, 0, 20, 10, "missing.png", 0, "", 50.0f, 0, "", 0,
                  "ori_ago", "grigio", 6);
    const gui::Control* missing = window.findControl(23);
    EXPECT_EQ(missing->auxValue(kAuxImageOff), 0);
    EXPECT_EQ(missing->image.at(3, 3), gui::kInitialImageColour);
    EXPECT_EQ(missing->image.at(10, 3), rgb(255, 0, 0)); // the needle works on

    createControl(toolkit, window, 24, 0, 0, 20, 10, "   ", 0, "", 0.0f, 0, "", 0, "", "", 99);
    EXPECT_EQ(window.findControl(24)->auxValue(kAuxImageOff), 0);
    std::filesystem::current_path(previous);
}

TEST(SliderReading, FollowsTheStyleOrientation)
{
    gui::Control control;
    control.x = 100;
    control.y = 50;
    control.width = 200;
    control.height = 40;
    EXPECT_FLOAT_EQ(sliderReading("ori_blurosso", {199, 0}, control), 50.0f);
    EXPECT_FLOAT_EQ(sliderReading("ori_blurosso", {400, 0}, control), 100.0f);
    EXPECT_FLOAT_EQ(sliderReading("ori_blurosso", {49, 0}, control), -25.0f);
    EXPECT_FLOAT_EQ(sliderReading("ver_ago", {0, 71}, control), 50.0f);
    EXPECT_FLOAT_EQ(sliderReading("ver_ago", {0, 1}, control), 225.0f); // above the control
    EXPECT_FLOAT_EQ(sliderReading("ver_ago", {0, 500}, control), 0.0f);
    EXPECT_FLOAT_EQ(sliderReading("ver_ori", {199, 71}, control), 50.0f);
    EXPECT_FLOAT_EQ(sliderReading("manopola", {199, 71}, control), 0.0f);
    control.width = 0;
    EXPECT_FLOAT_EQ(sliderReading("ori_ago", {199, 71}, control), 0.0f);
}

TEST_F(ToolkitTest, ReadSliderValueUsesThePointerAndLowerCasedStyle)
{
    createControl(toolkit, window, 3002, 100, 300, 200, 16, "", 0, "", 50.0f, 10, "", 0, "ORI_AGO",
                  "grigio", 1);
    window.setCursorPosition({199, 305});
    const gui::Point at = window.cursorPosition();
    if (at.x != 199)
        GTEST_SKIP() << "this display cannot move the pointer";
    EXPECT_FLOAT_EQ(readSliderValue(toolkit, window, 3002), 50.0f);
}

} // namespace
} // namespace sonarello::controls
