// The main window's layout: the MIDI message display, the eight columns of row cells in
// two blocks with their header cells, and the row-number keys drawn as piano keys. GUI
// thread, at start-up.
#pragma once

#include "playback/rows.h"

#include <string>

namespace sonarello
{

constexpr int kClientWidth = 1000;
constexpr int kFirstRowTop = 48;
constexpr int kRowHeight = 16;
constexpr int kRowPitch = 17;
constexpr int kHeaderTop = kFirstRowTop - kRowHeight;
constexpr int kRightBlockOffset = 500;

// 8.5 x rows + 62, halves to even.
int clientHeight(int rowCount);

// "Sonarello" + the engine's version + the release date.
std::string windowTitle(float engineVersion);

void createMidiDisplay(Player& player);
// Builds every column, in the order the grid is laid out.
void buildColumns(Player& player, const std::string& workFolder);

// Where row r's cell of a column whose left-block x is `x` lies.
gui::Point cellPosition(int rowCount, int x, int row);

} // namespace sonarello
