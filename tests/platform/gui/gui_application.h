// The application object the window and text tests need: created on first use, destroyed
// after the last test so that the font system is released. Test thread.
#pragma once

#include "platform/gui/window.h"

#include <gtest/gtest.h>

#include <memory>

namespace sonarello::test
{

class GuiEnvironment : public ::testing::Environment
{
  public:
    static std::unique_ptr<gui::Application>& application()
    {
        static std::unique_ptr<gui::Application> instance;
        return instance;
    }

    void TearDown() override { application().reset(); }
};

inline void ensureGuiApplication()
{
    static int argc = 1;
    static char name[] = "sonarello-tests";
    static char* argv[] = {name, nullptr};
    auto& application = GuiEnvironment::application();
    if (application)
        return;
    application = std::make_unique<gui::Application>(argc, argv);
    ::testing::AddGlobalTestEnvironment(new GuiEnvironment);
}

// A fixture's first member, so that windows among the later members find the application.
struct GuiApplicationReady
{
    GuiApplicationReady() { ensureGuiApplication(); }
};

} // namespace sonarello::test
