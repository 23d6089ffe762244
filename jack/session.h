// The player's one JACK client, "Sonarello": audio outputs out_1 and out_2, the MIDI input
// midi_in and output midi_out, the connections chosen by name, and the server-loss policy.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sonarello::sound
{
class Mixer;
}

namespace sonarello::midi
{
class MidiDispatcher;
struct PadRouting;
} // namespace sonarello::midi

namespace sonarello::jack
{

// Control threads (every call locks); its process callback is the audio thread. When the
// server goes away the client is set aside, never closed (closing a dead server's client can
// crash); a new one with the same name and ports is opened when the server answers again, and
// every connection asked for here is made again.
class Session
{
  public:
    static Session& instance();

    // The mixer renders into out_1 and out_2, and notes read on midi_in start its cues at
    // their own frame. On PipeWire the graph is asked for a quantum of `periodFrames`; a
    // jackd server keeps its own period. False with a reason when no server answers.
    bool openAudio(sound::Mixer& mixer, bool connectPlayback, int periodFrames, std::string& error);
    void closeAudio();
    int sampleRate();

    // midi_in's messages go to the dispatcher's slot; midi_out is registered beside it.
    bool openMidi(midi::MidiDispatcher& dispatcher, int slot);
    void closeMidi();

    // The other clients' MIDI ports: sources (their outputs) or destinations, system order.
    std::vector<std::string> midiPorts(bool sources);
    // A port of another client connected to midi_in, or midi_out connected to a port; kept by
    // name, and made again whenever the port or the server returns. False when it could not
    // be made now.
    bool connectMidi(const std::string& port, bool source);
    void disconnectMidi(const std::string& port, bool source);

    // A controller's lights: queued for midi_out, written at the start of the next cycle;
    // false when the queue is full. midiSent: nothing queued is left.
    bool sendMidi(const std::uint8_t* bytes, std::size_t size);
    bool midiSent();
    // Where pads' notes find their rows' cues, and the lights their cycle writes.
    void setPadRouting(midi::PadRouting* routing);
    // The ports connected to midi_in, whoever connected them.
    std::vector<std::string> midiInSources();

    bool serverUp();
    // Cycles the player ended after their time or never ran (lock-free, any thread).
    std::uint64_t latePeriods();
    // The mixer renders in this client's process callback.
    bool audioOpen();

    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

  private:
    Session();
    ~Session();
    struct State;
    State* state_; // never freed: JACK's threads may still hold it when the process ends
};

// True when a JACK server answers (without starting one).
bool serverRunning();

// "PipeWire" when the JACK library in use is PipeWire's, else "JACK".
std::string libraryName();

// Where no JACK server answers but a PipeWire daemon runs and PipeWire's JACK library is
// installed, starts this program again on that library, as pw-jack does, asking PipeWire for
// a quantum of `periodFrames`. Returns only when it does not (or cannot) start again. Call it
// first thing, before any lock or thread exists.
void startOverOnPipeWire(char** argv, int periodFrames);

} // namespace sonarello::jack
