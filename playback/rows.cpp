#include "rows.h"

#include "base/text.h"
#include "midi/midi_message.h"

#include <algorithm>
#include <cstdio>
#include <mutex>

namespace sonarello
{

namespace
{

std::size_t at(int row)
{
    return static_cast<std::size_t>(row);
}

void setValue(Player& p, int id, float value, std::string_view caption)
{
    controls::setControlValue(p.toolkit, p.window, id, value, caption);
}

} // namespace

void TrackRows::resize(int rowCount)
{
    const auto n = static_cast<std::size_t>(rowCount) + 1;
    RowStream.assign(n, 0);
    RowChannel.assign(n, 0);
    RowLoop.assign(n, 0);
    RowPlaying.assign(n, 0);
    RowSpeed.assign(n, 0);
    RowVolume.assign(n, 0);
    RowLengthMs.assign(n, 0);
    RowLengthBytes.assign(n, 0);
    RowFile.assign(n, 0);
}

bool validRow(const Player& player, int row)
{
    return row >= 1 && row <= player.RowCount;
}

int clampedSpeed(std::int32_t speed)
{
    return std::clamp(speed, 0, kMaxSpeed);
}
int clampedVolume(std::int32_t volume)
{
    return std::clamp(volume, 0, sound::kMaxVolume);
}

std::string volumeCaption(float percent)
{
    char caption[16];
    std::snprintf(caption, sizeof caption, "%3lld",
                  static_cast<long long>(text::roundToInt(percent)));
    return caption;
}

int channelVolume(const Player& player, int row)
{
    const float gain = at(row) < player.noteGain.size() ? player.noteGain[at(row)] : 1.0f;
    const std::int32_t volume = player.rows.RowVolume[at(row)];
    if (gain >= 1.0f)
        return clampedVolume(volume);
    return clampedVolume(
        static_cast<std::int32_t>(text::roundToInt(static_cast<double>(volume) * gain)));
}

int rowRateHz(int speed, int fileRate)
{
    return static_cast<int>(
        text::roundToInt(static_cast<double>(clampedSpeed(speed)) * fileRate / kNormalSpeed));
}

int rowFileIndex(Player& player, int row)
{
    const gui::Control* cell = player.window.findControl(kFileBase + row);
    return cell ? cell->auxValue(1) : 0;
}

void setOnOff(Player& player, int id, std::string_view text)
{
    std::scoped_lock lock(player.lock);
    const std::string upper = text::asciiUpper(text);
    gui::Control* control = player.window.findControl(id);
    if (upper.find("OFF") != std::string::npos)
    {
        if (control)
            control->setAuxValue(1, 1);
        setValue(player, id, 100.0f, text::trimBlanks(text));
    }
    if (upper.find("ON") != std::string::npos)
    {
        if (control)
            control->setAuxValue(1, 0);
        setValue(player, id, 0.0f, text::trimBlanks(text));
    }
}

void showMidiText(Player& player, std::string_view text)
{
    std::scoped_lock lock(player.lock);
    setValue(player, kMidiDisplayId, 100.0f, text);
}

void openRowStream(Player& player, const std::string& path, int row)
{
    std::scoped_lock lock(player.lock);
    auto& rows = player.rows;
    auto& engine = player.engine;
    const sound::StreamHandle stream = engine.openStream(path);
    rows.RowStream[at(row)] = stream;
    engine.setLoop(stream, rows.RowLoop[at(row)] == 1);
    if (rows.RowPlaying[at(row)] == 1)
    {
        // Volume and rate go with the start, so the first sample already has them.
        const int rate = rowRateHz(rows.RowSpeed[at(row)], engine.sampleRate(stream));
        rows.RowChannel[at(row)] = engine.playStream(stream, channelVolume(player, row), rate);
    }
    rows.RowLengthMs[at(row)] = engine.lengthMs(stream);
    rows.RowLengthBytes[at(row)] =
        static_cast<std::int32_t>(std::min<std::uint32_t>(engine.lengthBytes(stream), INT32_MAX));
}

namespace
{

// The sound a note started from the row's cue becomes the row's stream, with the row's
// present volume and speed; false when no note started it.
bool takeCuedStart(Player& player, int row)
{
    auto& rows = player.rows;
    auto& engine = player.engine;
    sound::StreamHandle stream = sound::kNoStream;
    sound::ChannelHandle channel = sound::kNoChannel;
    if (!engine.takeStartedCue(row + kMidiRowOffset, stream, channel))
        return false;
    if (rows.RowStream[at(row)] != sound::kNoStream)
        engine.closeStream(rows.RowStream[at(row)]);
    rows.RowStream[at(row)] = stream;
    rows.RowChannel[at(row)] = channel;
    rows.RowPlaying[at(row)] = 1;
    engine.setLoop(stream, rows.RowLoop[at(row)] == 1);
    engine.setVolume(channel, channelVolume(player, row));
    engine.setFrequency(channel, rowRateHz(rows.RowSpeed[at(row)], engine.sampleRate(stream)));
    rows.RowLengthMs[at(row)] = engine.lengthMs(stream);
    rows.RowLengthBytes[at(row)] =
        static_cast<std::int32_t>(std::min<std::uint32_t>(engine.lengthBytes(stream), INT32_MAX));
    player.cues[at(row)].armed = false;
    return true;
}

} // namespace

void startRow(Player& player, int row, bool startedByNote, float gain)
{
    std::scoped_lock lock(player.lock);
    if (!validRow(player, row))
        return;
    if (at(row) < player.noteGain.size())
        player.noteGain[at(row)] = gain;
    auto& rows = player.rows;
    if (!startedByNote || !takeCuedStart(player, row))
    {
        const int index = rowFileIndex(player, row);
        if (rows.RowStream[at(row)] != sound::kNoStream)
            player.engine.closeStream(rows.RowStream[at(row)]);
        rows.RowPlaying[at(row)] = 1;
        openRowStream(player, player.catalogue.path(index), row);
    }
    setOnOff(player, kPlayBase + row, "ON");
    syncCue(player, row);
}

void syncCue(Player& player, int row)
{
    std::scoped_lock lock(player.lock);
    if (!validRow(player, row) || player.cues.size() <= at(row))
        return;
    const auto& rows = player.rows;
    RowCue wanted;
    wanted.file = rowFileIndex(player, row);
    wanted.volume = clampedVolume(rows.RowVolume[at(row)]);
    wanted.speed = clampedSpeed(rows.RowSpeed[at(row)]);
    wanted.loop = rows.RowLoop[at(row)] == 1;
    wanted.sounding = rows.RowChannel[at(row)];
    RowCue& cue = player.cues[at(row)];
    if (cue.armed && cue.file == wanted.file && cue.volume == wanted.volume &&
        cue.speed == wanted.speed && cue.loop == wanted.loop && cue.sounding == wanted.sounding)
        return;
    auto& engine = player.engine;
    const std::string& path = player.catalogue.path(wanted.file);
    if (path.empty() || !engine.preloaded(path))
    {
        // Asked once per file: a file that cannot be decoded is not tried at every tick.
        if (!path.empty() && cue.file != wanted.file)
            engine.prefetch(path);
        if (cue.armed)
            engine.setCue(row + kMidiRowOffset, sound::kNoStream, 0, 0, wanted.sounding);
        cue.armed = false;
        cue.file = wanted.file;
        return;
    }
    const sound::StreamHandle stream = engine.openStream(path);
    engine.setLoop(stream, wanted.loop);
    const int rate = rowRateHz(wanted.speed, engine.sampleRate(stream));
    wanted.armed =
        engine.setCue(row + kMidiRowOffset, stream, wanted.volume, rate, wanted.sounding);
    cue = wanted;
}

void stopRow(Player& player, int row)
{
    std::scoped_lock lock(player.lock);
    if (!validRow(player, row))
        return;
    player.engine.stopStream(player.rows.RowStream[at(row)]);
    showRowStopped(player, row, " ", 0.0f);
}

void showRowStopped(Player& player, int row, std::string_view positionCaption, float level)
{
    std::scoped_lock lock(player.lock);
    player.rows.RowPlaying[at(row)] = 0;
    setOnOff(player, kPlayBase + row, "OFF");
    setValue(player, kPositionBase + row, 0.0f, positionCaption);
    setValue(player, kLevelBase + row, level, "");
}

void setRowLoop(Player& player, int row, bool loop)
{
    std::scoped_lock lock(player.lock);
    if (!validRow(player, row))
        return;
    player.rows.RowLoop[at(row)] = loop ? 1 : 0;
    player.engine.setLoop(player.rows.RowStream[at(row)], loop);
    setOnOff(player, kLoopBase + row, loop ? "ON" : "OFF");
}

namespace
{

float keptGain(const Player& player, int row)
{
    return at(row) < player.noteGain.size() ? player.noteGain[at(row)] : 1.0f;
}

// Moves one playing row's displays; true when its stream has played to its end (a row
// whose file could not be opened ends at once).
bool updateRow(Player& player, int row)
{
    auto& rows = player.rows;
    auto& engine = player.engine;
    const sound::StreamHandle stream = rows.RowStream[at(row)];
    const auto position = static_cast<std::int32_t>(engine.positionBytes(stream));
    const std::int32_t length = rows.RowLengthBytes[at(row)];
    const float percent =
        length == 0 ? 100.0f : static_cast<float>(static_cast<double>(position) * 100.0 / length);
    const double seconds = rows.RowLengthMs[at(row)] * static_cast<double>(percent) / 100000.0;
    setValue(player, kPositionBase + row, percent, formatDuration(std::max(0.0, seconds)));
    float left = 0.0f;
    float right = 0.0f;
    engine.currentLevels(rows.RowChannel[at(row)], left, right);
    setValue(player, kLevelBase + row, (left + right) * 50.0f, "");
    return stream == sound::kNoStream || length == 0 || engine.ended(stream);
}

} // namespace

void updateRows(Player& player)
{
    for (int row = 1; row <= player.RowCount; ++row)
    {
        // One row at a time, so a MIDI note waits for at most one row's work.
        std::scoped_lock lock(player.lock);
        syncCue(player, row);
        if (player.rows.RowPlaying[at(row)] != 1)
            continue;
        // A start that found every channel busy (a burst of notes) is made good at once.
        if (player.rows.RowStream[at(row)] != sound::kNoStream &&
            player.rows.RowChannel[at(row)] == sound::kNoChannel)
        {
            startRow(player, row, false, keptGain(player, row));
            continue;
        }
        if (!updateRow(player, row))
            continue;
        stopRow(player, row);
        if (player.rows.RowLoop[at(row)] == 1)
            startRow(player, row, false, keptGain(player, row));
    }
}

} // namespace sonarello
