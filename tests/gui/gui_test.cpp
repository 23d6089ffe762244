// The window's controls, clicks and lookups. Repaints from other threads are the toolkit's
// threaded test's; images, from files and resources, its image faces'.
#include "gui/window.h"
#include "gui_application.h"

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

TEST_F(WindowTest, ControlsKeepTheirPlaceAndTheLastIdWins)
{
    window.createControl(5, 12, 34, 30, 16, true);
    ASSERT_NE(widgetOf(5), nullptr);
    EXPECT_EQ(widgetOf(5)->geometry(), QRect(12, 34, 30, 16));

    Control& right = window.createControl(5, 504, 32, 50, 16, true);
    EXPECT_EQ(window.findControl(5), &right);
    EXPECT_EQ(window.findControl(6), nullptr);
}

} // namespace
} // namespace sonarello::gui
