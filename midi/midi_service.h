// The system's numbered, named MIDI inputs and outputs, the "Sonarello" virtual input and one
// handler for every short message. Control threads; the handler runs on the MIDI thread.
#pragma once

#include "engine/sound_engine.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace sonarello::midi
{

struct PadRouting;

using PortHandle = std::uint32_t;   // 0: no port; every call with it is harmless
using ShortMessage = std::uint32_t; // status | data1 << 8 | data2 << 16
using MessageHandler = std::function<void(ShortMessage)>;

constexpr PortHandle kNoPort = 0;
// Set on a Note On whose sound already started at the note's own time (a cue, see
// sound::SoundEngine::setCue); the handler strips it.
constexpr ShortMessage kStartedByNote = 1u << 31;
// Results of the port operations: 0 = success, anything else a refusal.
constexpr int kMidiOk = 0;
constexpr int kMidiBadHandle = 5;

// Always open, feeding the same handler as the chosen input, so any program or device can
// be connected to the player with the system's patchbay.
constexpr const char* kVirtualPortName = "Sonarello";
// Every client and port of the player starts with this name; the device lists leave them out.
constexpr const char* kClientName = "Sonarello";

constexpr ShortMessage packShortMessage(int status, int data1, int data2)
{
    return static_cast<ShortMessage>(status & 0xFF) | static_cast<ShortMessage>(data1 & 0xFF) << 8 |
           static_cast<ShortMessage>(data2 & 0xFF) << 16;
}

// A note's meaning in a packed message: a Note On above velocity 0 starts, a Note Off or a Note
// On at velocity 0 stops. The key is the data byte as it came (a cue has keys 0..127 only).
// Any thread.
struct Note
{
    bool isNote = false;
    bool on = false;
    int key = 0;
};
constexpr Note noteOf(ShortMessage message) noexcept
{
    const ShortMessage kind = message & 0xF0;
    return {kind == 0x80 || kind == 0x90, kind == 0x90 && (message >> 16 & 0xFF) != 0,
            static_cast<int>(message >> 8 & 0xFF)};
}

// The packed message of a device's bytes; 0 for what the player does not take: data without a
// status, system exclusive, time code, clock, active sensing, and anything longer than three
// bytes. Any thread, real-time safe.
ShortMessage shortMessageOf(const std::uint8_t* bytes, std::size_t size) noexcept;

// The line on standard error when a chosen device went away, or came back and was connected
// again. Control threads.
void sayDevice(std::string_view device, bool back);

class MidiService
{
  public:
    virtual ~MidiService() = default;

    // Replaces the handler; returns once no call of the previous one is running, so an
    // empty handler set before shutdown guarantees that no message reaches the player after.
    virtual void setHandler(MessageHandler handler) = 0;
    // Where notes start cued sounds as they arrive, before they reach the handler; nullptr
    // for none. Set before the inputs start.
    virtual void setNoteStarter(sound::NoteStarter* starter) = 0;
    // Whether the MIDI thread may run ahead of ordinary work where the system allows it (it
    // does until told otherwise).
    virtual void setRunAhead(bool ahead) = 0;

    // Every port of the system in the system's order, the player's own left out; the
    // position in the list is the port's number.
    virtual std::vector<std::string> inputNames() = 0;
    virtual std::vector<std::string> outputNames() = 0;

    // kNoPort when the number is beyond the last port or the port cannot be opened.
    virtual PortHandle openInput(int number) = 0;
    // Messages reach the handler only between start and stop.
    virtual int startInput(PortHandle input) = 0;
    virtual int stopInput(PortHandle input) = 0;
    // Messages of the input still waiting when it stops or closes are dropped; one that the
    // handler is already working on is finished.
    virtual int closeInput(PortHandle input) = 0;

    virtual PortHandle openOutput(int number) = 0;
    virtual int closeOutput(PortHandle output) = 0;
    // The number under which the open output was chosen.
    virtual int outputNumber(PortHandle output, int& number) = 0;

    // "alsa", "jack", "none" or "loopback".
    virtual std::string apiName() const = 0;

    // For a controller's lights; nothing is sent unless a controller profile asks. Sends a
    // short or system exclusive message to the open output (on JACK, to midi_out); false
    // when it was not taken.
    virtual bool send(PortHandle, const std::uint8_t*, std::size_t) { return false; }
    // Returns once what was sent has left, or after a short wait.
    virtual void flushOutput() {}
    // Where a controller's pads find their rows' cues (see midi/pad_routing.h); nullptr: the
    // note number is the cue key. The routing outlives its use here.
    virtual void setPadRouting(PadRouting*) {}
    // The ports that the system's patchbay connected to the player's own input.
    virtual std::vector<std::string> connectedSources() { return {}; }
};

// True for the ports of the player's own clients, as the system names them.
bool isPlayerPort(std::string_view systemName);

// "auto", "alsa", "jack" or "none".
bool isMidiChoice(std::string_view choice);

// The system's API for a --midi= choice: "auto" takes JACK when the sound goes through JACK
// (notes then start at their own frame), else ALSA when the sequencer exists, else JACK when
// a server runs, else none; an unknown word gives none.
std::string chooseMidiApi(std::string_view choice, bool audioOnJack, bool sequencerExists,
                          bool jackServerRuns);

} // namespace sonarello::midi
