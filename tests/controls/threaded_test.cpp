#include "controls/toolkit.h"
#include "gui/gui_application.h"

#include <QApplication>
#include <QWidget>
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <tuple>

namespace sonarello::controls
{
namespace
{

// Counts the paint events a widget receives.
struct PaintCounter : QObject
{
    int paints = 0;
    bool eventFilter(QObject*, QEvent* event) override
    {
        paints += event->type() == QEvent::Paint ? 1 : 0;
        return false;
    }
};

// Two threads repaint controls (as MIDI input and the timer do) while the GUI thread puts
// them on screen; the program lock keeps every paint whole, and every paint reaches the screen.
TEST(ToolkitThreads, TwoThreadsPaintAtOnce)
{
    test::ensureGuiApplication();
    ProgramLock lock;
    auto toolkit = std::make_unique<Toolkit>(lock);
    gui::Window window(1000, 700, lock);
    window.show();
    constexpr int kRows = 8;
    for (int row = 1; row <= kRows; ++row)
    {
        for (const auto& [id, x, divisions] :
             {std::tuple{4000 + row, 376, 10}, {4200 + row, 345, 4}})
            createControl(*toolkit, window,
                          {.id = id,
                           .x = x,
                           .y = 48 + 17 * row,
                           .width = 50,
                           .height = 16,
                           .divisions = divisions,
                           .captionColour = 0xFFFFFF,
                           .style = "ori_blurosso",
                           .faceColour = "grigio"});
    }
    for (int i = 0; i < 5; ++i)
        gui::Application::processEvents();
    PaintCounter counter;
    QWidget* shown = nullptr;
    for (QWidget* top : QApplication::topLevelWidgets())
        if (auto* widget = top->findChild<QWidget*>("control4001"))
            shown = widget;
    ASSERT_NE(shown, nullptr);
    shown->installEventFilter(&counter);
    std::atomic<int> running{2};
    const auto painter = [&](int base)
    {
        for (int i = 0; i < 200; ++i)
            for (int row = 1; row <= kRows; ++row)
                setControlValue(*toolkit, window, base + row, static_cast<float>(i % 101),
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

    std::lock_guard guard(lock);
    EXPECT_EQ(toolkit->controls[4001].value, 98.0f);
    EXPECT_EQ(toolkit->controls[4201].value, 98.0f);
    EXPECT_EQ(window.findControl(4001)->auxValue(kAuxBackgroundMarker), 4001);
    EXPECT_GT(counter.paints, 0) << "the other threads' paints were shown";
    const gui::Colour drawn = window.findControl(4001)->image.at(20, 8);
    EXPECT_EQ(shown->grab().toImage().pixelColor(20, 8),
              QColor(gui::redOf(drawn), gui::greenOf(drawn), gui::blueOf(drawn)));
}

} // namespace
} // namespace sonarello::controls
