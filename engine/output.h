// What the engine asks of an output (JACK, PulseAudio, ALSA, a paced clock, a WAV file) and how
// it names one. Opened and closed on control threads; each output's own thread is the audio thread.
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
    // True for an output that comes back by itself after its server returns (the JACK
    // session), which the engine then leaves alone.
    virtual bool recoversByItself() const { return false; }
    // Periods the device ran out of sound since the output opened.
    virtual unsigned underruns() const { return 0; }
};

// The outputs the program was built with; the engine opens them by kind.
class OutputDevices
{
  public:
    virtual ~OutputDevices() = default;
    // Opens and starts an output that renders `mixer` (whose rate it sets to the one in use);
    // nullptr with a reason in `error` when it cannot.
    virtual std::unique_ptr<Output> open(const OutputChoice& choice, Mixer& mixer, int askedRate,
                                         int periodFrames, std::string& error) = 0;
    // True when a JACK server answers (without starting one).
    virtual bool jackServerRunning() = 0;
    // What a person calls the output: "JACK", "PipeWire (JACK)", "PulseAudio", "ALSA", ...
    virtual std::string name(OutputKind kind) = 0;
};

} // namespace sonarello::sound
