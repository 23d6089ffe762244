// The window's controls, clicks and lookups, and images loaded from resources. Repaints from
// other threads are the toolkit's threaded test's.
#include "gui_application.h"
#include "platform/gui/window.h"

#include <QApplication>
#include <QTest>
#include <QWidget>

#include <gtest/gtest.h>

#include <vector>

namespace sonarello::gui
{
namespace
{

struct Received
{
    std::uint32_t message;
    std::intptr_t p1;
    std::intptr_t p2;
};

class WindowTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        window.setEventHandler(
            [this](Window&, std::uint32_t m, std::intptr_t p1, std::intptr_t p2)
            {
                received.push_back({m, p1, p2});
                return std::intptr_t{0};
            });
    }

    QWidget* widgetOf(int id)
    {
        for (QWidget* top : QApplication::topLevelWidgets())
            if (auto* w = top->findChild<QWidget*>(QStringLiteral("control%1").arg(id)))
                return w;
        return nullptr;
    }

    std::vector<Received> commands() const
    {
        std::vector<Received> out;
        for (const Received& r : received)
            if (r.message == message::kCommand)
                out.push_back(r);
        return out;
    }

    test::GuiApplicationReady application;
    std::recursive_mutex lock;
    Window window{400, 200, lock};
    std::vector<Received> received;
};

TEST_F(WindowTest, LeftPressOnNotifyControlSendsItsIdAsCommand)
{
    window.createControl(3412, 10, 10, 18, 16, true);
    window.createControl(7, 40, 10, 18, 16, false);
    QWidget* notify = widgetOf(3412);
    QWidget* silent = widgetOf(7);
    ASSERT_NE(notify, nullptr);
    ASSERT_NE(silent, nullptr);

    QTest::mouseClick(notify, Qt::LeftButton);
    QTest::mouseClick(notify, Qt::RightButton);
    QTest::mouseClick(silent, Qt::LeftButton);

    const auto sent = commands();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].p1 & 0xFFFF, 3412);
    bool pointerOverSilent = false;
    for (const Received& r : received)
        pointerOverSilent |= r.message == message::kPointerOverControl && r.p1 == 7;
    EXPECT_TRUE(pointerOverSilent);
}

TEST_F(WindowTest, ControlsKeepPlaceImageAndAuxiliaryValuesAndTheLastIdWins)
{
    Control& c = window.createControl(5, 12, 34, 30, 16, true);
    EXPECT_EQ(c.image.at(0, 0), kInitialImageColour);
    c.setAuxValue(8, 99);
    c.setAuxValue(0, 5); // outside the eight values: ignored
    c.setAuxValue(9, 5);
    EXPECT_EQ(c.auxValue(8), 99);
    EXPECT_EQ(c.auxValue(0) + c.auxValue(9), 0);
    ASSERT_NE(widgetOf(5), nullptr);
    EXPECT_EQ(widgetOf(5)->geometry(), QRect(12, 34, 30, 16));

    Control& right = window.createControl(5, 504, 32, 50, 16, true);
    EXPECT_EQ(window.findControl(5), &right);
    EXPECT_EQ(window.findControl(6), nullptr);
}

// Files are loaded through the toolkit's image faces (toolkit_test); resources here.
TEST(ImageFiles, ResourcesLoadAtTheAskedSize)
{
    test::ensureGuiApplication();
    const auto resource = loadImage("checker", 4, 4); // compiled into this test program
    ASSERT_TRUE(resource);
    EXPECT_EQ(resource->at(0, 0), rgb(0xE0, 0x20, 0x20));
    EXPECT_EQ(resource->at(3, 3), rgb(0x10, 0xA0, 0x40));
    EXPECT_FALSE(loadImage("no-such-resource", 8, 8));
}

} // namespace
} // namespace sonarello::gui
