// Tests that run the player's start-up in this process: one application object for the
// whole test program, and each test in a folder and runtime folder of its own. Test thread.
#pragma once

#include "platform/gui/gui_application.h"
#include "support/temp_folder.h"

#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>

namespace sonarello::test
{

class ProgramFolderTest : public ::testing::Test
{
  protected:
    static void SetUpTestSuite() { ensureGuiApplication(); }

    void SetUp() override
    {
        setenv("XDG_RUNTIME_DIR", runtime.path().c_str(), 1);
        previous = std::filesystem::current_path();
        std::filesystem::current_path(folder.path());
    }
    void TearDown() override { std::filesystem::current_path(previous); }

    TempFolder folder;
    TempFolder runtime;

  private:
    std::filesystem::path previous;
};

} // namespace sonarello::test
