#include "osc_setup.h"

#include "midi/midi_message.h"
#include "osc/osc_server.h"
#include "shell/startup.h"

#include <cmath>
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

class OscRows final : public osc::RowTarget
{
  public:
    explicit OscRows(Program& p) : program(p), player(*p.player) {}

    void lock() override { program.lock.lock(); }
    void unlock() override { program.lock.unlock(); }
    osc::Limits limits() override { return {player.RowCount, player.catalogue.FileCount}; }

    void startRow(int row, bool cued) override { sonarello::startRow(player, row, cued); }
    void stopRow(int row) override { sonarello::stopRow(player, row); }
    void toggleRow(int row) override { sonarello::toggleRow(player, row); }
    void setLoop(int row, bool loop) override { setRowLoop(player, row, loop); }
    void setVolume(int row, float percent) override
    {
        setRowVolume(player, row, volumeFromSlider(percent));
    }
    void setSpeed(int row, float percent) override
    {
        setRowSpeed(player, row, static_cast<std::int32_t>(std::lround(percent)));
    }
    void setPosition(int row, double seconds) override
    {
        seekRowMs(player, row, static_cast<std::uint32_t>(std::llround(seconds * 1000)));
    }
    void setFile(int row, int index) override { setRowFile(player, row, index); }
    void stepFile(int row, int step) override
    {
        std::scoped_lock hold(program.lock);
        const int index = rowFileIndex(player, row);
        const int files = player.catalogue.FileCount;
        setRowFile(player, row,
                   step > 0 ? (index < files ? index + 1 : files) : (index > 1 ? index - 1 : 1));
    }

    bool playing(int row) override
    {
        std::scoped_lock hold(program.lock);
        return validRow(player, row) && player.rows.RowPlaying[at(row)] == 1;
    }
    void fadeRow(int row, float gain) override
    {
        std::scoped_lock hold(program.lock);
        if (!validRow(player, row))
            return;
        const auto volume = static_cast<float>(clampedVolume(player.rows.RowVolume[at(row)]));
        player.engine.setVolume(player.rows.RowChannel[at(row)],
                                static_cast<int>(std::lround(volume * gain)));
    }
    bool cueStartAt(int row, std::int64_t steadyNs) override
    {
        sound::NoteStarter* starter = program.engine->noteStarter();
        return starter && starter->startCueAt(row + kMidiRowOffset, steadyNs);
    }
    std::uint64_t latePeriods() override
    {
        return program.engine ? program.engine->underruns() : 0;
    }
    void rowStates(std::vector<osc::RowState>& states) override
    {
        std::scoped_lock hold(program.lock);
        const auto& rows = player.rows;
        states.resize(at(player.RowCount) + 1);
        for (int row = 1; row <= player.RowCount; ++row)
        {
            osc::RowState& s = states[at(row)];
            s.playing = rows.RowPlaying[at(row)] == 1;
            s.loop = rows.RowLoop[at(row)] == 1;
            s.title = player.catalogue.title(rowFileIndex(player, row));
            s.volume = static_cast<float>(rows.RowVolume[at(row)]) / kVolumeScale;
            s.speed = static_cast<float>(rows.RowSpeed[at(row)]);
            s.seconds =
                s.playing ? static_cast<float>(player.engine.timeMs(rows.RowStream[at(row)])) / 1000
                          : 0.0f;
        }
    }

  private:
    Program& program;
    Player& player;
};

} // namespace

void startOsc(Program& program)
{
    if (!program.oscOptions)
        return;
    program.oscTarget = std::make_unique<OscRows>(program);
    program.osc = std::make_unique<osc::OscServer>(*program.oscTarget);
    std::string error;
    if (!program.osc->start(*program.oscOptions, error))
    {
        std::fprintf(stderr, "Sonarello: no OSC: %s\n", error.c_str());
        program.osc.reset();
        return;
    }
    std::fprintf(stderr, "Sonarello: OSC on udp %s:%d%s\n", program.oscOptions->address.c_str(),
                 program.osc->port(),
                 program.oscOptions->allow.networks.empty() ? "" : ", from the allowed senders");
}

void stopOsc(Program& program)
{
    if (!program.osc)
        return;
    program.osc->stop();
    std::fprintf(stderr, "Sonarello: OSC counted %s\n", program.osc->countersText().c_str());
    program.osc.reset();
}

} // namespace sonarello
