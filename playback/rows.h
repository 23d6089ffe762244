// The track rows: starting, stopping and opening each row's stream, the periodic update of
// positions and levels, and the switch and MIDI displays. Every operation holds the program
// lock for its whole run, so the GUI thread and the MIDI thread take turns row by row.
#pragma once

#include "controls/program_lock.h"
#include "controls/toolkit.h"
#include "engine/sound_engine.h"
#include "gui/window.h"
#include "library/catalogue.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace sonarello
{

constexpr int kMaxRows = 72;

// Column bases: a row's control id is base + row.
constexpr int kKeyBase = 2900;
constexpr int kSpeedBase = 3000;
constexpr int kVolumeBase = 3200;
constexpr int kPlayBase = 3400;
constexpr int kLoopBase = 3600;
constexpr int kFileBase = 3800;
constexpr int kPositionBase = 4000;
constexpr int kLevelBase = 4200;
constexpr int kMidiDisplayId = 4400;

constexpr int kNormalSpeed = 50;
constexpr int kMaxSpeed = 100;
constexpr float kVolumeScale = 2.55f; // stored volume = slider percent x 2.55

// The row tables, indexed 0..RowCount (0 is no row).
struct TrackRows
{
    std::vector<std::uint32_t> RowStream;
    std::vector<std::int32_t> RowChannel;
    std::vector<std::uint8_t> RowLoop;
    std::vector<std::uint8_t> RowPlaying;
    std::vector<std::int32_t> RowSpeed;
    std::vector<std::int32_t> RowVolume;
    std::vector<std::uint32_t> RowLengthMs;
    std::vector<std::int32_t> RowLengthBytes;
    std::vector<std::int32_t> RowFile;

    void resize(int rowCount);
};

// What a row's cue was last set from: a MIDI note starts it at its own frame (see
// SoundEngine::setCue); a change of any of these sets it again.
struct RowCue
{
    int file = -1;
    int volume = 0;
    int speed = 0;
    bool loop = false;
    sound::ChannelHandle sounding = sound::kNoChannel;
    bool armed = false;
};

// Everything a row operation touches; start-up creates it once.
struct Player
{
    ProgramLock& lock;
    controls::Toolkit& toolkit;
    gui::Window& window;
    sound::SoundEngine& engine;
    const TrackCatalogue& catalogue;
    int RowCount = 0;
    TrackRows rows;
    std::vector<RowCue> cues; // indexed like the rows
    // Indexed like the rows: the gain of the note that started the row (a controller's
    // velocity), 1 for every other start. It scales the sound, never RowVolume.
    std::vector<float> noteGain;
};

bool validRow(const Player& player, int row);

// The row's current catalogue index (auxiliary value 1 of its file cell).
int rowFileIndex(Player& player, int row);

// Switches the row on and plays its file from the start on a fresh stream. For a note that
// already started the row's cue at its own frame, that sound becomes the row's.
void startRow(Player& player, int row, bool startedByNote = false, float gain = 1.0f);
// The volume of the row's sound: RowVolume scaled by the gain of the note that started it.
int channelVolume(const Player& player, int row);
// Sets the row's cue again when its file, volume, speed, loop or sound changed; a file whose
// head is not in memory yet is decoded on the engine's worker and cued at a later call.
void syncCue(Player& player, int row);
void stopRow(Player& player, int row);
// Opens the file's stream for the row and plays it when the row is on.
void openRowStream(Player& player, const std::string& path, int row);
// One tick: positions, levels, and the rows whose stream has played to its end.
void updateRows(Player& player);
// Shows "ON" or "OFF" on a switch control.
void setOnOff(Player& player, int id, std::string_view text);
// The row off, its "Play" switch "OFF" and its position and level at rest: a stop leaves the
// position's caption blank (" ") and the meter at 0, a change of file empties the caption and
// takes the meter below its scale (-1).
void showRowStopped(Player& player, int row, std::string_view positionCaption, float level);
void showMidiText(Player& player, std::string_view text);

// The rate of a row's voice: speed 50 plays the file at its own rate.
int rowRateHz(int speed, int fileRate);
int clampedSpeed(std::int32_t speed);
int clampedVolume(std::int32_t volume);
// A volume cell's caption: the slider percent, rounded, right-aligned in three places.
std::string volumeCaption(float percent);
// Switches the row's loop and tells its stream at once.
void setRowLoop(Player& player, int row, bool loop);

} // namespace sonarello
