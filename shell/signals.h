// SIGINT, SIGTERM and SIGHUP (the terminal that started the player closed) close the main
// window as its close box does: the settings are saved, then the normal shutdown runs.
// Installed on the GUI thread for the window's run.
#pragma once

#include "gui/window.h"

#include <memory>

namespace sonarello
{

class CloseOnSignals
{
  public:
    explicit CloseOnSignals(gui::Window& window);
    ~CloseOnSignals();
    CloseOnSignals(const CloseOnSignals&) = delete;
    CloseOnSignals& operator=(const CloseOnSignals&) = delete;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace sonarello
