#include "output.h"

#include "../jack_session.h"
#include "../raii.h"
#include "device_outputs.h"
#include "mixer.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <sndfile.h>
#include <thread>
#include <vector>

namespace sonarello::sound
{

namespace
{

using SndFile = std::unique_ptr<SNDFILE, Deleter<sf_close>>;

constexpr const char* kAlsaDevice = "default";

// The audio of the player's JACK client: the session renders the mixer in its process
// callback, and opens the client again when the server returns.
class JackOutput final : public Output
{
  public:
    bool open(const OutputChoice& choice, Mixer& mixer, int periodFrames, std::string& error)
    {
        opened_ = jack::Session::instance().openAudio(mixer, choice.connect, periodFrames, error);
        rate_ = opened_ ? jack::Session::instance().sampleRate() : 0;
        return opened_;
    }

    ~JackOutput() override
    {
        if (opened_)
            jack::Session::instance().closeAudio();
    }

    int sampleRate() const override { return rate_; }
    bool running() override { return true; } // the session brings it back

  private:
    bool opened_ = false;
    int rate_ = 0;
};

// A thread that renders one period at a time at the pace of the wall clock, and writes
// what it renders to a WAV file when it has one.
class ClockOutput final : public Output
{
  public:
    bool open(Mixer& mixer, int rate, int periodFrames, const std::string& wavPath,
              std::string& error)
    {
        rate_ = rate;
        mixer.setOutputRate(rate);
        mixer.setNoteDelayFrames(periodFrames);
        if (!wavPath.empty())
        {
            SF_INFO info{};
            info.samplerate = rate;
            info.channels = 2;
            info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
            // Created here or not at all: a recording never replaces a file.
            const int fd =
                ::open(wavPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
            if (fd < 0)
            {
                error = wavPath + ": " + std::strerror(errno);
                return false;
            }
            file_.reset(sf_open_fd(fd, SFM_WRITE, &info, SF_TRUE));
            if (!file_)
            {
                error = sf_strerror(nullptr);
                return false;
            }
            sf_command(file_.get(), SFC_SET_UPDATE_HEADER_AUTO, nullptr, SF_TRUE);
        }
        thread_ = std::thread([this, &mixer, periodFrames] { run(mixer, periodFrames); });
        return true;
    }

    ~ClockOutput() override
    {
        quit_.store(true);
        if (thread_.joinable())
            thread_.join();
    }

    int sampleRate() const override { return rate_; }
    bool running() override { return true; }

  private:
    // audio thread; the file is written after each period is rendered, outside render()
    void run(Mixer& mixer, int periodFrames)
    {
        using Clock = std::chrono::steady_clock;
        std::vector<float> block(static_cast<std::size_t>(periodFrames) * 2);
        const auto period = std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(static_cast<double>(periodFrames) / rate_));
        auto next = Clock::now();
        while (!quit_.load(std::memory_order_relaxed))
        {
            mixer.render(block.data(), periodFrames);
            if (file_)
                sf_writef_float(file_.get(), block.data(), periodFrames);
            next += period;
            const auto now = Clock::now();
            if (now - next > std::chrono::milliseconds(200))
                next = now; // the machine stalled: keep pace from here
            std::this_thread::sleep_until(next);
        }
    }

    int rate_ = 0;
    SndFile file_;
    std::atomic<bool> quit_{false};
    std::thread thread_;
};

} // namespace

std::optional<OutputChoice> parseOutputChoice(const std::string& text, bool& valid)
{
    valid = true;
    OutputChoice choice;
    if (text == "auto" || text.empty())
        return std::nullopt;
    if (text == "jack" || text == "jack:noconnect")
    {
        choice.kind = OutputKind::Jack;
        choice.connect = text == "jack";
    }
    else if (text == "pulse")
        choice.kind = OutputKind::Pulse;
    else if (text == "alsa")
        choice.kind = OutputKind::Alsa;
    else if (text == "null")
        choice.kind = OutputKind::Null;
    else if (text.rfind("wav:", 0) == 0 && text.size() > 4)
    {
        choice.kind = OutputKind::Wav;
        choice.wavPath = text.substr(4);
    }
    else
    {
        valid = false;
        return std::nullopt;
    }
    return choice;
}

std::string outputName(OutputKind kind)
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

bool jackServerRunning()
{
    return jack::serverRunning();
}

std::unique_ptr<Output> openOutput(const OutputChoice& choice, Mixer& mixer, int askedRate,
                                   int periodFrames, std::string& error)
{
    if (choice.kind == OutputKind::Null || choice.kind == OutputKind::Wav)
    {
        auto clock = std::make_unique<ClockOutput>();
        if (!clock->open(mixer, askedRate, periodFrames, choice.wavPath, error))
            return nullptr;
        return clock;
    }
    if (choice.kind == OutputKind::Jack)
    {
        auto jack = std::make_unique<JackOutput>();
        if (!jack->open(choice, mixer, periodFrames, error))
            return nullptr;
        return jack;
    }
    if (choice.kind == OutputKind::Pulse)
        return openPulseOutput(mixer, askedRate, periodFrames, error);
    return openAlsaOutput(mixer, kAlsaDevice, askedRate, periodFrames, error);
}

} // namespace sonarello::sound
