#include "midi/midi_devices.h"

#include "base/text.h"
#include "midi/midi_message.h"

#include <limits>
#include <thread>

namespace sonarello
{

int openMidiInput(MidiState& state, int device)
{
    if (state.MidiInHandle != midi::kNoPort || !state.service)
        return 0;
    state.MidiInHandle = state.service->openInput(device);
    return state.MidiInHandle != midi::kNoPort ? 1 : 0;
}

int startMidiInput(MidiState& state)
{
    return state.service && state.service->startInput(state.MidiInHandle) == midi::kMidiOk ? 1 : 0;
}

int closeMidiInput(MidiState& state)
{
    if (state.MidiInHandle == midi::kNoPort || !state.service)
        return 0;
    const int stopped = state.service->stopInput(state.MidiInHandle);
    const int closed = state.service->closeInput(state.MidiInHandle);
    if (stopped != midi::kMidiOk || closed != midi::kMidiOk)
        return 0;
    state.MidiInHandle = midi::kNoPort;
    return 1;
}

void openMidiOutput(MidiState& state, int device)
{
    state.MidiOutHandle = state.service ? state.service->openOutput(device) : midi::kNoPort;
}

void closeMidiOutput(MidiState& state)
{
    if (!state.service || state.service->closeOutput(state.MidiOutHandle) != midi::kMidiOk)
        std::this_thread::sleep_for(kFailedOutputCloseWait);
}

void selectMidiInDevice(MidiState& state, int device)
{
    state.MidiInDevice = device;
    openMidiInput(state, state.MidiInDevice);
    startMidiInput(state);
}

void selectMidiOutDevice(MidiState& state, int device)
{
    state.MidiOutDevice = device;
    openMidiOutput(state, state.MidiOutDevice);
    int opened = 0;
    if (state.service && state.service->outputNumber(state.MidiOutHandle, opened) == midi::kMidiOk)
        state.MidiOutDevice = opened;
}

// MIDI thread
void onMidiInput(MidiState& state, std::uint32_t message, MidiRowTarget& target)
{
    const bool startedByNote = (message & midi::kStartedByNote) != 0;
    const MidiMeaning meaning = decodeMidiMessage(message & ~midi::kStartedByNote);
    if (meaning.action == RowAction::None)
    {
        if (!meaning.text.empty())
            target.showMidiText(meaning.text);
        return;
    }
    state.LastMidiNote = meaning.note;
    state.LastMidiOn = meaning.action == RowAction::Start ? 1 : 0;
    target.showMidiText(meaning.text);
    const int row = state.LastMidiNote - kMidiRowOffset;
    if (state.LastMidiOn == 1)
        target.startRow(row, startedByNote);
    else
        target.stopRow(row);
}

std::vector<std::string> deviceListEntries(const std::vector<std::string>& names)
{
    std::vector<std::string> entries;
    entries.reserve(names.size());
    for (std::size_t i = 0; i < names.size(); ++i)
        entries.push_back(text::numberText(static_cast<std::int64_t>(i)) + " " + names[i]);
    return entries;
}

int deviceNumberFromEntry(std::string_view entry)
{
    std::size_t i = 0;
    while (i < entry.size() && entry[i] == ' ')
        ++i;
    int number = 0;
    for (; i < entry.size() && entry[i] >= '0' && entry[i] <= '9'; ++i)
    {
        const int digit = entry[i] - '0';
        if (number > (std::numeric_limits<int>::max() - digit) / 10)
            return std::numeric_limits<int>::max();
        number = number * 10 + digit;
    }
    return number;
}

} // namespace sonarello
