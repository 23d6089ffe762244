#include "controls/toolkit.h"
#include "gui/gui_application.h"

#include <QWidget>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <thread>
#include <tuple>

namespace sonarello::controls
{
namespace
{

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

// Two threads repaint controls (as MIDI input and the timer do) while the GUI thread puts
// them on screen; the program lock keeps every paint whole, and every control that another
// thread repainted is painted again on screen.
TEST(ToolkitThreads, TwoThreadsPaintAtOnceAndEveryRepaintReachesTheScreen)
{
    test::ensureGuiApplication();
    ProgramLock lock;
    auto toolkit = std::make_unique<Toolkit>(lock);
    gui::Window window(1000, 700, lock);
    window.show();
    constexpr int kRows = 8;
    std::vector<int> ids;
    for (int row = 1; row <= kRows; ++row)
        for (const auto& [id, x, divisions] :
             {std::tuple{4000 + row, 376, 10}, {4200 + row, 300, 4}})
        {
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
    EXPECT_GT(counter.paints.size(), 0u) << "the other threads' paints were shown";

    // Each repaint asked for from another thread, all of them queued at once, reaches its widget.
    counter.paints.clear();
    std::thread(
        [&]
        {
            for (const int id : ids)
                setControlValue(*toolkit, window, id, 50, "%");
        })
        .join();
    for (int i = 0; i < 200 && counter.paints.size() < ids.size(); ++i)
    {
        gui::Application::processEvents();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(counter.paints.size(), ids.size());

    std::lock_guard guard(lock);
    EXPECT_EQ(toolkit->controls[4201].value, 50.0f);
    EXPECT_EQ(window.findControl(4001)->auxValue(kAuxBackgroundMarker), 4001);
    const gui::Colour drawn = window.findControl(4001)->image.at(20, 8);
    EXPECT_EQ(test::widgetOf(4001)->grab().toImage().pixelColor(20, 8),
              QColor(gui::redOf(drawn), gui::greenOf(drawn), gui::blueOf(drawn)));
}

} // namespace
} // namespace sonarello::controls
