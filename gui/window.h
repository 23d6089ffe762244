// The main window and its child controls, each with eight auxiliary values and an off-screen
// image. Create on the GUI thread; showing a control is safe from any thread.
#pragma once

#include "gui/canvas.h"

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace sonarello::gui
{

// Message numbers the window's event handler receives.
namespace message
{
inline constexpr std::uint32_t kDestroy = 2;
// The pointer moved over a control or a button was pressed on it: p1 = control id,
// p2 = kMouseMove or kLeftButtonDown.
inline constexpr std::uint32_t kPointerOverControl = 32;
inline constexpr std::uint32_t kInitialise = 272;
// A command: low 16 bits of p1 = command id (a notify control's id when it is clicked).
inline constexpr std::uint32_t kCommand = 273;
inline constexpr std::uint32_t kTimer = 275;

inline constexpr std::intptr_t kMouseMove = 512;
inline constexpr std::intptr_t kLeftButtonDown = 513;
inline constexpr std::intptr_t kRightButtonDown = 516;
// The command of the close box and of the Escape key.
inline constexpr int kCancelCommand = 2;
} // namespace message

// Mouse buttons as the button-state read names them.
inline constexpr int kLeftMouseButton = 1;
inline constexpr int kRightMouseButton = 2;
inline constexpr std::int16_t kButtonDown = static_cast<std::int16_t>(0x8000);
inline constexpr std::int16_t kButtonPressedSinceRead = 1;

// Shows a modal message box with an OK button and no icon, owned by no window.
void showMessageBox(std::string_view title, std::string_view text);

// Offers the entries in a modal dialog with a drop-down list, the first selected; returns
// the confirmed entry's index, or -1 when the dialog was closed. The main window keeps working
// while it is open; a second call while one is open brings that one to the front and returns
// -1.
int chooseFromList(std::string_view title, int width, int height,
                   const std::vector<std::string>& entries);

inline constexpr int kAuxValueCount = 8;
// What a control's image holds before anything is drawn on it.
inline constexpr Colour kInitialImageColour = 0;

class Window;
struct ControlWidget;

// One child control. Its auxiliary values and image are guarded by the window's paint lock.
struct Control
{
    int id = 0;
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    bool notify = false;
    std::array<std::int32_t, kAuxValueCount> aux{};
    Image image;
    ControlWidget* widget = nullptr;

    // Auxiliary values are numbered 1..8; other numbers read 0 and store nothing.
    std::int32_t auxValue(int n) const;
    void setAuxValue(int n, std::int32_t value);
};

// The process's application object: create it once on the main thread before any window.
class Application
{
  public:
    Application(int& argc, char** argv);
    ~Application();
    Application(const Application&) = delete;
    Application& operator=(const Application&) = delete;

    int exec();
    static void processEvents();

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

using EventHandler = std::function<std::intptr_t(Window&, std::uint32_t message, std::intptr_t p1,
                                                 std::intptr_t p2)>;

class Window
{
  public:
    // Paints copy each control's image while holding paintLock.
    Window(int clientWidth, int clientHeight, std::recursive_mutex& paintLock);
    ~Window();
    Window(const Window&) = delete;
    Window& operator=(const Window&) = delete;

    void setTitle(std::string_view utf8);
    void setColours(Colour background, Colour text);
    // Centres the window in the screen's work area, never above or left of its corner.
    void centre();
    void show();
    // Sends the initialisation message, shows the window and processes its messages until
    // end() is called; then sends the destroy message. Returns end()'s result.
    int run();
    void end(int result);
    bool visible() const;

    // A drop-down menu on the window's menu bar; choosing an item sends its command.
    void addMenu(std::string_view title, const std::vector<std::pair<std::string, int>>& items);
    // A timer that sends the timer message with its id every periodMs.
    void setTimer(int id, int periodMs);
    void killTimer(int id);
    // 0x8000 while the button is down, | 1 when it was pressed since the previous read of
    // that button; the read clears the second part. GUI thread.
    std::int16_t buttonState(int button);
    // The control under the pointer, or nothing.
    Control* controlAtCursor();
    void setEventHandler(EventHandler handler);
    // Calls the event handler at once, on the calling thread; 0 without a handler.
    std::intptr_t sendMessage(std::uint32_t message, std::intptr_t p1, std::intptr_t p2);

    // A visible child at (x, y) of the client area with an image of its size; a notify
    // control sends its id as a command when pressed with the left button. GUI thread, under
    // the paint lock once other threads may look controls up.
    Control& createControl(int id, int x, int y, int width, int height, bool notify);
    // The control created last with this id, or nothing. Under the paint lock.
    Control* findControl(int id);
    // Puts the control's image on screen; from another thread the repaint is queued to the
    // GUI thread.
    void showControl(Control& control);

    Point cursorPosition() const;
    void setCursorPosition(Point clientPoint);

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace sonarello::gui
