// The application the window tests need, created on first use and destroyed after the last
// test (the font system is released); and the widget of a control. Test thread.
#pragma once

#include "gui/window.h"

#include <QApplication>
#include <QWidget>
#include <gtest/gtest.h>
#include <memory>

namespace sonarello::test
{

inline void ensureGuiApplication()
{
    struct Environment : ::testing::Environment
    {
        std::unique_ptr<gui::Application> application;
        void TearDown() override { application.reset(); }
    };
    static int argc = 1;
    static char name[] = "sonarello-tests";
    static char* argv[] = {name, nullptr};
    static auto* environment =
        static_cast<Environment*>(::testing::AddGlobalTestEnvironment(new Environment));
    if (!environment->application)
        environment->application = std::make_unique<gui::Application>(argc, argv);
}

// The widget that shows control `id`, nullptr when there is none.
inline QWidget* widgetOf(int id)
{
    for (QWidget* top : QApplication::topLevelWidgets())
        if (auto* widget = top->findChild<QWidget*>(QStringLiteral("control%1").arg(id)))
            return widget;
    return nullptr;
}

} // namespace sonarello::test
