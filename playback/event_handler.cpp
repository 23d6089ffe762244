#include "event_handler.h"

#include "base/text.h"
#include "gui/window.h"

#include <algorithm>
#include <mutex>

namespace sonarello
{

namespace
{

std::size_t at(int row)
{
    return static_cast<std::size_t>(row);
}

void handleCommand(Player& p, WindowServices& s, int command)
{
    if (command == kCommandMidiOut && s.chooseMidiOutDevice)
        s.chooseMidiOutDevice();
    else if (command == kCommandMidiIn && s.chooseMidiInDevice)
        s.chooseMidiInDevice();
    else if (command == kCommandClose)
    {
        s.saveSettings();
        s.endWindow(1);
    }
    else if (const int key = rowInColumn(p, command, kKeyBase))
        toggleRow(p, key);
    else if (const int play = rowInColumn(p, command, kPlayBase))
        toggleRow(p, play);
    else if (const int loop = rowInColumn(p, command, kLoopBase))
    {
        std::scoped_lock lock(p.lock);
        setRowLoop(p, loop, p.rows.RowLoop[at(loop)] == 0);
    }
}

void showVolume(Player& p, int id, int row)
{
    const float value = static_cast<float>(p.rows.RowVolume[at(row)]) / kVolumeScale;
    controls::setControlValue(p.toolkit, p.window, id, value, volumeCaption(value));
    p.engine.setVolume(p.rows.RowChannel[at(row)], channelVolume(p, row));
}

void showSpeed(Player& p, int id, int row)
{
    const int speed = p.rows.RowSpeed[at(row)];
    const int rate = rowRateHz(speed, p.engine.sampleRate(p.rows.RowStream[at(row)]));
    p.engine.setFrequency(p.rows.RowChannel[at(row)], rate);
    controls::setControlValue(p.toolkit, p.window, id, static_cast<float>(speed),
                              text::numberText(2 * static_cast<std::int64_t>(speed)) + "%");
}

void seek(Player& p, int id, int row)
{
    if (p.rows.RowPlaying[at(row)] == 0)
        startRow(p, row);
    const sound::StreamHandle stream = p.rows.RowStream[at(row)];
    const double length = p.engine.lengthBytes(stream);
    const double v = controls::readSliderValue(p.toolkit, p.window, id);
    const double target = std::clamp(length * v / 100.0, 0.0, length);
    p.engine.setPositionBytes(stream, static_cast<std::uint32_t>(text::roundToInt(target)));
}

void rewind(Player& p, int row)
{
    const sound::StreamHandle stream = p.rows.RowStream[at(row)];
    const std::uint32_t t = p.engine.timeMs(stream);
    if (t > kRewindStepMs)
        p.engine.setTimeMs(stream, t - kRewindStepMs);
}

// The catalogue index one step from `index`, held within 1..fileCount; a "file=" value
// from the settings may stand at the top of the int range, so index + 1 is never formed there.
int steppedFileIndex(int index, int step, int fileCount)
{
    if (step > 0)
        return index < fileCount ? index + 1 : fileCount;
    return index > 1 ? index - 1 : 1;
}

void stepFile(Player& p, int id, int row, int step)
{
    const gui::Control* cell = p.window.findControl(id);
    const int index = cell ? cell->auxValue(1) : 0;
    setRowFile(p, row, steppedFileIndex(index, step, p.catalogue.FileCount));
}

// Pointer over a control: the adjustments of the cell's column. Returns the pause the
// adjustment asks for, taken by the caller after the lock is released.
std::chrono::milliseconds handlePointer(Player& p, WindowServices& s, int id)
{
    std::scoped_lock lock(p.lock);
    s.buttonState(gui::kLeftMouseButton);
    s.buttonState(gui::kRightMouseButton);
    auto pressed = [&](int button) { return s.buttonState(button) != 0; };
    auto held = [&](int button) { return s.buttonState(button) == gui::kButtonDown; };
    std::chrono::milliseconds pause{0};
    if (const int row = rowInColumn(p, id, kPlayBase))
    {
        if (pressed(gui::kRightMouseButton))
            startRow(p, row);
    }
    else if (const int position = rowInColumn(p, id, kPositionBase))
    {
        if (pressed(gui::kLeftMouseButton))
            seek(p, id, position);
        if (pressed(gui::kRightMouseButton) && p.rows.RowPlaying[at(position)] == 1)
        {
            rewind(p, position);
            pause = kRewindPause;
        }
    }
    else if (const int volume = rowInColumn(p, id, kVolumeBase))
    {
        if (held(gui::kLeftMouseButton))
        {
            setRowVolume(p, volume, controls::readSliderValue(p.toolkit, p.window, id));
        }
        if (held(gui::kRightMouseButton))
        {
            p.rows.RowVolume[at(volume)] = sound::kMaxVolume;
            showVolume(p, id, volume);
        }
    }
    else if (const int speed = rowInColumn(p, id, kSpeedBase))
    {
        if (held(gui::kLeftMouseButton))
        {
            const float v = controls::readSliderValue(p.toolkit, p.window, id);
            p.rows.RowSpeed[at(speed)] = static_cast<std::int32_t>(text::roundToInt(v));
            showSpeed(p, id, speed);
        }
        if (held(gui::kRightMouseButton))
        {
            p.rows.RowSpeed[at(speed)] = kNormalSpeed;
            showSpeed(p, id, speed);
        }
    }
    else if (const int file = rowInColumn(p, id, kFileBase))
    {
        const bool next = held(gui::kRightMouseButton);
        if (next)
            stepFile(p, id, file, +1);
        const bool previous = held(gui::kLeftMouseButton);
        if (previous)
            stepFile(p, id, file, -1);
        if (next || previous)
            pause = kFileStepPause;
    }
    return pause;
}

} // namespace

void toggleRow(Player& p, int row)
{
    std::scoped_lock lock(p.lock);
    if (!validRow(p, row))
        return;
    if (p.rows.RowPlaying[at(row)] == 0)
        startRow(p, row);
    else
        stopRow(p, row);
}

void setRowVolume(Player& p, int row, std::int32_t volume)
{
    std::scoped_lock lock(p.lock);
    if (!validRow(p, row))
        return;
    p.rows.RowVolume[at(row)] = volume;
    showVolume(p, kVolumeBase + row, row);
}

void setRowSpeed(Player& p, int row, std::int32_t speed)
{
    std::scoped_lock lock(p.lock);
    if (!validRow(p, row))
        return;
    p.rows.RowSpeed[at(row)] = speed;
    showSpeed(p, kSpeedBase + row, row);
}

void seekRowMs(Player& p, int row, std::uint32_t ms)
{
    std::scoped_lock lock(p.lock);
    if (!validRow(p, row))
        return;
    if (p.rows.RowPlaying[at(row)] == 0)
        startRow(p, row);
    p.engine.setTimeMs(p.rows.RowStream[at(row)], std::min(ms, p.rows.RowLengthMs[at(row)]));
}

void setRowFile(Player& p, int row, int index)
{
    std::scoped_lock lock(p.lock);
    if (!validRow(p, row))
        return;
    const int id = kFileBase + row;
    auto& rows = p.rows;
    p.engine.closeStream(rows.RowStream[at(row)]);
    rows.RowStream[at(row)] = sound::kNoStream;
    showRowStopped(p, row, "", -1.0f);
    if (gui::Control* cell = p.window.findControl(id))
        cell->setAuxValue(1, index);
    syncCue(p, row); // a note never plays the file the row left
    controls::setControlValue(p.toolkit, p.window, id, 0.0f, "[<]" + p.catalogue.title(index));
    openRowStream(p, p.catalogue.path(index), row);
}

int rowInColumn(const Player& player, int id, int base)
{
    const int row = id - base;
    return row >= 1 && row <= player.RowCount ? row : 0;
}

std::int32_t volumeFromSlider(float percent)
{
    return static_cast<std::int32_t>(
        text::roundToInt(static_cast<double>(percent) * static_cast<double>(kVolumeScale)));
}

void setRowVolume(Player& player, int row, float percent)
{
    std::scoped_lock lock(player.lock);
    if (!validRow(player, row))
        return;
    player.rows.RowVolume[at(row)] = volumeFromSlider(percent);
    showVolume(player, kVolumeBase + row, row);
}

std::intptr_t handleMainWindowEvent(Player& player, WindowServices& services, std::uint32_t message,
                                    std::intptr_t p1, std::intptr_t)
{
    switch (message)
    {
    case gui::message::kInitialise:
        services.setTimer(kRowTimerId, kRowTimerMs);
        break;
    case gui::message::kTimer:
        if (p1 == kRowTimerId)
        {
            updateRows(player);
            if (services.afterTick)
                services.afterTick();
        }
        break;
    case gui::message::kPointerOverControl:
        if (const auto pause = handlePointer(player, services, static_cast<int>(p1));
            pause.count() > 0)
            services.pause(pause);
        break;
    case gui::message::kDestroy:
        services.killTimer(kRowTimerId);
        break;
    case gui::message::kCommand:
    {
        const int command = static_cast<int>(p1 & 0xFFFF);
        if (command == kCommandEnd)
        {
            services.endWindow(0);
            return 1;
        }
        handleCommand(player, services, command);
        break;
    }
    default:
        break;
    }
    return 0;
}

} // namespace sonarello
