// The main window's event handler: the row timer, clicks on the cells, adjustments made by
// moving the pointer with a button held, the menu and closing. GUI thread; the program lock
// is held per operation and never during a pause.
#pragma once

#include "playback/rows.h"

#include <chrono>
#include <cstdint>
#include <functional>

namespace sonarello
{

constexpr int kRowTimerId = 1;
constexpr int kRowTimerMs = 100;
constexpr int kCommandClose = 2;
constexpr int kCommandMidiOut = 282;
constexpr int kCommandMidiIn = 283;
constexpr int kCommandEnd = 284;
constexpr auto kRewindPause = std::chrono::milliseconds(40);
constexpr auto kFileStepPause = std::chrono::milliseconds(200);
constexpr std::uint32_t kRewindStepMs = 1000;

// What the handler asks of the window and of the rest of the program.
struct WindowServices
{
    std::function<void(int timerId, int periodMs)> setTimer;
    std::function<void(int timerId)> killTimer;
    // The button's state: 0x8000 while down, | 1 when pressed since the previous read (which
    // this read clears).
    std::function<std::int16_t(int button)> buttonState;
    std::function<void(int result)> endWindow;
    std::function<void()> saveSettings;
    std::function<void()> chooseMidiOutDevice;
    std::function<void()> chooseMidiInDevice;
    std::function<void(std::chrono::milliseconds)> pause;
    // After each tick of the row timer, without the program lock (a controller's lights).
    std::function<void()> afterTick;
};

// Message numbers as the window system gives them; for pointer messages p1 is the id of
// the control under the pointer. Returns 1 after the "&Fine" command, else 0.
std::intptr_t handleMainWindowEvent(Player& player, WindowServices& services, std::uint32_t message,
                                    std::intptr_t p1, std::intptr_t p2);

// The row of `id` in the column of `base`, or 0 when id is not one of its cells.
int rowInColumn(const Player& player, int id, int base);

// The mouse's actions for the rows' other controllers (OSC): the same stored values and the
// same displays. Each holds the program lock.
void toggleRow(Player& player, int row);
void setRowVolume(Player& player, int row, std::int32_t volume); // stored 0..255
void setRowSpeed(Player& player, int row, std::int32_t speed);
// A stopped row starts, as a click on "Posizione" starts it; then it moves to `ms`.
void seekRowMs(Player& player, int row, std::uint32_t ms);
// The row stops and its file becomes catalogue entry `index`, opened and not played.
void setRowFile(Player& player, int row, int index);

// The stored volume for a slider reading: the single-precision scale, multiplied and rounded
// in double, so a reading of 50 gives 127 (a float product would be 127.5 and round to 128).
std::int32_t volumeFromSlider(float percent);

// What a drag on the row's "Volume" cell does for this slider reading: RowVolume, its cell
// and its sound. A controller's fader moves it the same way.
void setRowVolume(Player& player, int row, float percent);

} // namespace sonarello
