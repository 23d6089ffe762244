// What OSC asks of the player's rows: the actions the mouse and MIDI take, and the state that
// feedback reports. The OSC thread calls it; the player runs every call under its program lock.
#pragma once

#include "osc/address_space.h"

#include <cstdint>
#include <string>
#include <vector>

namespace sonarello::osc
{

struct RowState
{
    bool playing = false;
    bool loop = false;
    std::string title;
    float volume = 0;  // the "Volume" bar's percent
    float speed = 0;   // the "Velocità" bar: 0..100, 50 the file's own pitch
    float seconds = 0; // the position
    bool operator==(const RowState&) const = default;
};

// Lockable: lock() takes the program lock (recursive), so that a packet's actions run in one
// go; every other call takes it as well. Rows are 1..limits().rows.
class RowTarget
{
  public:
    virtual ~RowTarget() = default;
    virtual void lock() = 0;
    virtual void unlock() = 0;
    virtual Limits limits() = 0;

    // cued: the row's cue was started at its instant (cueStartAt); the row takes it over.
    virtual void startRow(int row, bool cued) = 0;
    virtual void stopRow(int row) = 0;
    virtual void toggleRow(int row) = 0;
    virtual void setLoop(int row, bool loop) = 0;
    virtual void setVolume(int row, float percent) = 0;
    virtual void setSpeed(int row, float percent) = 0;
    virtual void setPosition(int row, double seconds) = 0;
    virtual void setFile(int row, int index) = 0;
    virtual void stepFile(int row, int step) = 0;

    virtual bool playing(int row) = 0;
    // The row's sound at this share of its volume; the row's volume stays as it is.
    virtual void fadeRow(int row, float gain) = 0;
    // Starts the row's cue at this steady instant (nanoseconds) on the frame it falls on;
    // false when the row has no cue ready.
    virtual bool cueStartAt(int row, std::int64_t steadyNs) = 0;
    // Every row's state, indexed by row (0 unused), in one go.
    virtual void rowStates(std::vector<RowState>& states) = 0;
    // The sound output's late periods (underruns) so far; 0 where it counts none.
    virtual std::uint64_t latePeriods() { return 0; }
};

} // namespace sonarello::osc
