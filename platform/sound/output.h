// Outputs that pull the mixer: JACK, PulseAudio, ALSA, a paced clock, a WAV file.
// Opened and closed on control threads; each output's own thread is the audio thread.
#pragma once

#include <memory>
#include <optional>
#include <string>

namespace sonarello::sound
{

class Mixer;

enum class OutputKind
{
    Jack,
    Pulse,
    Alsa,
    Null,
    Wav
};

struct OutputChoice
{
    OutputKind kind = OutputKind::Null;
    bool connect = true; // JACK: connect our outputs to the system playback ports
    std::string wavPath;
};

// "jack", "jack:noconnect", "pulse", "alsa", "null" or "wav:FILE"; nullopt for "auto" and
// for anything unknown (valid says which).
std::optional<OutputChoice> parseOutputChoice(const std::string& text, bool& valid);

class Output
{
  public:
    virtual ~Output() = default;
    virtual int sampleRate() const = 0;
    // False once the device or its server went away.
    virtual bool running() = 0;
    // Periods the device ran out of sound since the output opened.
    virtual unsigned underruns() const { return 0; }
};

// True when a JACK server answers (without starting one).
bool jackServerRunning();

// What a person calls the output: "JACK", "PipeWire (JACK)", "PulseAudio", "ALSA", ...
std::string outputName(OutputKind kind);

// Opens and starts an output that renders `mixer` (whose rate it sets to the one in use);
// nullptr with a reason in `error` when it cannot.
std::unique_ptr<Output> openOutput(const OutputChoice& choice, Mixer& mixer, int askedRate,
                                   int periodFrames, std::string& error);

} // namespace sonarello::sound
