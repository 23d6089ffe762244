#include "midi_setup.h"

#include "shell/startup.h"

#include <mutex>
#include <optional>

namespace sonarello
{

namespace
{

constexpr int kOutDialogWidth = 225;
constexpr int kOutDialogHeight = 160;
constexpr int kInDialogWidth = 225;
constexpr int kInDialogHeight = 320;

// The rows as MIDI input sees them; the caller holds the program lock.
class PlayerRows final : public MidiRowTarget
{
  public:
    explicit PlayerRows(Player& p) : player(p) {}
    void showMidiText(const std::string& text) override { sonarello::showMidiText(player, text); }
    void startRow(int row, bool startedByNote) override
    {
        sonarello::startRow(player, row, startedByNote);
    }
    void stopRow(int row) override { sonarello::stopRow(player, row); }

  private:
    Player& player;
};

// The chosen entry of a device dialog, or nothing when it was closed.
std::optional<std::string> chooseEntry(const char* title, int width, int height,
                                       const std::vector<std::string>& names)
{
    const auto entries = deviceListEntries(names);
    const int chosen = gui::chooseFromList(title, width, height, entries);
    if (chosen < 0 || chosen >= static_cast<int>(entries.size()))
        return std::nullopt;
    return entries[static_cast<std::size_t>(chosen)];
}

} // namespace

void startMidi(Program& program)
{
    MidiState& midi = program.midi;
    if (!midi.service)
        return;
    program.midiTarget = std::make_unique<PlayerRows>(*program.player);
    midi.service->setNoteStarter(program.engine->noteStarter());
    midi.service->setRunAhead(program.engine->midiMayRunAhead());
    if (!program.controllerChoice.empty())
        program.controller = std::make_unique<controllers::Controller>(
            *program.player, program.midi, program.controllerChoice);
    midi.service->setHandler(
        [&program](midi::ShortMessage message)
        {
            std::scoped_lock lock(program.lock);
            if (!program.controller || !program.controller->onMessage(message))
                onMidiInput(program.midi, message, *program.midiTarget);
        });
    openMidiInput(midi, midi.MidiInDevice);
    startMidiInput(midi);
    openMidiOutput(midi, midi.MidiOutDevice);
    if (program.controller)
        program.controller->start();
}

void detachMidi(Program& program)
{
    if (program.controller)
        program.controller->finish();
    if (program.midi.service)
    {
        program.midi.service->setNoteStarter(nullptr);
        program.midi.service->setHandler({});
    }
}

void closeMidi(Program& program)
{
    closeMidiInput(program.midi);
    closeMidiOutput(program.midi);
}

void chooseMidiInDevice(Program& program)
{
    MidiState& midi = program.midi;
    const auto entry =
        chooseEntry("Midi in device", kInDialogWidth, kInDialogHeight,
                    midi.service ? midi.service->inputNames() : std::vector<std::string>{});
    if (!entry)
        return;
    closeMidiInput(midi);
    program.showMessage("Midi in ora è : " + *entry);
    selectMidiInDevice(midi, deviceNumberFromEntry(*entry));
    if (program.controller)
        program.controller->deviceChosen();
}

void chooseMidiOutDevice(Program& program)
{
    MidiState& midi = program.midi;
    const auto entry =
        chooseEntry("Midi out device", kOutDialogWidth, kOutDialogHeight,
                    midi.service ? midi.service->outputNames() : std::vector<std::string>{});
    if (!entry)
        return;
    closeMidiOutput(midi);
    program.showMessage("Midi out ora è : " + *entry);
    selectMidiOutDevice(midi, deviceNumberFromEntry(*entry));
    if (program.controller)
        program.controller->deviceChosen();
}

} // namespace sonarello
