#include "system_outputs.h"

#include "alsa/alsa_output.h"
#include "clocks/clock_output.h"
#include "engine/audio_engine.h"
#include "jack/jack_output.h"
#include "jack/session.h"
#include "pulse/pulse_output.h"

namespace sonarello::sound
{

namespace
{

constexpr const char* kAlsaDevice = "default";

class SystemOutputs final : public OutputDevices
{
  public:
    std::unique_ptr<Output> open(const OutputChoice& choice, Mixer& mixer, int askedRate,
                                 int periodFrames, std::string& error) override
    {
        switch (choice.kind)
        {
        case OutputKind::Jack:
            return jack::openJackOutput(mixer, choice.connect, periodFrames, error);
        case OutputKind::Pulse:
            return openPulseOutput(mixer, askedRate, periodFrames, error);
        case OutputKind::Alsa:
            return openAlsaOutput(mixer, kAlsaDevice, askedRate, periodFrames, error);
        case OutputKind::Null:
        case OutputKind::Wav:
            break;
        }
        return openClockOutput(mixer, askedRate, periodFrames, choice.wavPath, error);
    }

    bool jackServerRunning() override { return jack::serverRunning(); }

    std::string name(OutputKind kind) override
    {
        switch (kind)
        {
        case OutputKind::Jack:
            return jack::libraryName() == "PipeWire" ? "PipeWire (JACK)" : "JACK";
        case OutputKind::Pulse:
            return "PulseAudio";
        case OutputKind::Alsa:
            return "ALSA";
        case OutputKind::Null:
            return "a silent clock";
        case OutputKind::Wav:
            return "a WAV file";
        }
        return "";
    }
};

} // namespace

OutputDevices& systemOutputs()
{
    static SystemOutputs outputs;
    return outputs;
}

std::unique_ptr<SoundEngine> createSystemEngine()
{
    return createAudioEngine(systemOutputs());
}

} // namespace sonarello::sound
