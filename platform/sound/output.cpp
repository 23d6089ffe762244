#include "output.h"

#include "../raii.h"
#include "mixer.h"

#include <RtAudio.h>
#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <jack/jack.h>
#include <sndfile.h>
#include <thread>
#include <vector>

namespace sonarello::sound
{

namespace
{

using SndFile = std::unique_ptr<SNDFILE, Deleter<sf_close>>;
using JackClient = std::unique_ptr<jack_client_t, Deleter<jack_client_close>>;
using JackPortNames = std::unique_ptr<const char*, Deleter<jack_free>>;

constexpr const char* kClientName = "Sonarello";

// RtAudio reports errors of a running stream here instead of throwing on its own threads.
std::atomic<unsigned> rtStreamErrors{0};

void onRtError(RtAudioError::Type type, const std::string&)
{
    if (type != RtAudioError::WARNING && type != RtAudioError::DEBUG_WARNING)
        rtStreamErrors.fetch_add(1, std::memory_order_relaxed);
}

// audio thread (RtAudio's callback)
int renderCallback(void* out, void*, unsigned int frames, double, RtAudioStreamStatus,
                   void* mixer) noexcept
{
    static_cast<Mixer*>(mixer)->render(static_cast<float*>(out), static_cast<int>(frames));
    return 0;
}

RtAudio::Api apiOf(OutputKind kind)
{
    switch (kind)
    {
    case OutputKind::Pulse:
        return RtAudio::LINUX_PULSE;
    default:
        return RtAudio::LINUX_ALSA;
    }
}

class DeviceOutput final : public Output
{
  public:
    bool open(const OutputChoice& choice, Mixer& mixer, int askedRate, int periodFrames,
              std::string& error)
    {
        try
        {
            audio_ = std::make_unique<RtAudio>(apiOf(choice.kind));
            audio_->showWarnings(false);
            const unsigned count = audio_->getDeviceCount();
            if (count == 0)
            {
                error = "no device";
                return false;
            }
            unsigned device = audio_->getDefaultOutputDevice();
            const RtAudio::DeviceInfo info = audio_->getDeviceInfo(device);
            // The asked rate first; a device that refuses it plays at its own.
            std::vector<unsigned> rates;
            rates.push_back(static_cast<unsigned>(askedRate));
            if (info.preferredSampleRate > 0)
                rates.push_back(info.preferredSampleRate);
            for (unsigned r : info.sampleRates)
                rates.push_back(r);
            rates.push_back(48000);
            RtAudio::StreamParameters params;
            params.deviceId = device;
            params.nChannels = 2;
            RtAudio::StreamOptions options;
            options.streamName = kClientName;
            options.flags = RTAUDIO_SCHEDULE_REALTIME;
            for (unsigned rate : rates)
            {
                try
                {
                    unsigned frames = static_cast<unsigned>(periodFrames);
                    audio_->openStream(&params, nullptr, RTAUDIO_FLOAT32, rate, &frames,
                                       &renderCallback, &mixer, &options, &onRtError);
                    break;
                }
                catch (const RtAudioError& e)
                {
                    error = e.getMessage();
                }
            }
            if (!audio_->isStreamOpen())
                return false;
            rate_ = static_cast<int>(audio_->getStreamSampleRate());
            mixer.setOutputRate(rate_);
            errorsAtStart_ = rtStreamErrors.load(std::memory_order_relaxed);
            audio_->startStream();
            return audio_->isStreamRunning();
        }
        catch (const std::exception& e)
        {
            error = e.what();
            return false;
        }
    }

    ~DeviceOutput() override
    {
        try
        {
            if (!audio_)
                return;
            if (audio_->isStreamRunning())
                audio_->stopStream();
            if (audio_->isStreamOpen())
                audio_->closeStream();
        }
        catch (...)
        {
        }
    }

    int sampleRate() const override { return rate_; }

    bool running() override
    {
        try
        {
            return audio_->isStreamOpen() && audio_->isStreamRunning() &&
                   rtStreamErrors.load(std::memory_order_relaxed) == errorsAtStart_;
        }
        catch (...)
        {
            return false;
        }
    }

  private:
    std::unique_ptr<RtAudio> audio_;
    int rate_ = 0;
    unsigned errorsAtStart_ = 0;
};

// A JACK client of our own. RtAudio's JACK backend closes its client from a thread of its
// own when the server goes away, racing the server's thread; here the shutdown callback
// only raises a flag and the watchdog closes the client.
class JackOutput final : public Output
{
  public:
    bool open(const OutputChoice& choice, Mixer& mixer, std::string& error)
    {
        silenceJack();
        jack_status_t status{};
        client_.reset(jack_client_open(kClientName, JackNoStartServer, &status));
        if (!client_)
        {
            error = "no JACK server";
            return false;
        }
        mixer_ = &mixer;
        rate_ = static_cast<int>(jack_get_sample_rate(client_.get()));
        mixer.setOutputRate(rate_);
        for (int i = 0; i < 2; ++i)
        {
            const std::string name = "out_" + std::to_string(i + 1);
            ports_[i] = jack_port_register(client_.get(), name.c_str(), JACK_DEFAULT_AUDIO_TYPE,
                                           JackPortIsOutput, 0);
            if (!ports_[i])
            {
                error = "cannot register the JACK ports";
                return false;
            }
        }
        jack_set_process_callback(client_.get(), &JackOutput::process, this);
        jack_on_info_shutdown(client_.get(), &JackOutput::shutdown, this);
        if (jack_activate(client_.get()) != 0)
        {
            error = "cannot activate the JACK client";
            return false;
        }
        if (choice.connect)
            connectToPlayback();
        return true;
    }

    ~JackOutput() override
    {
        if (client_ && !gone_.load())
            jack_deactivate(client_.get());
    }

    int sampleRate() const override { return rate_; }
    bool running() override { return !gone_.load(std::memory_order_acquire); }

    static void silenceJack()
    {
        jack_set_error_function([](const char*) {});
        jack_set_info_function([](const char*) {});
    }

  private:
    void connectToPlayback()
    {
        JackPortNames playback(jack_get_ports(client_.get(), nullptr, JACK_DEFAULT_AUDIO_TYPE,
                                              JackPortIsPhysical | JackPortIsInput));
        for (int i = 0; playback && i < 2 && playback.get()[i]; ++i)
            jack_connect(client_.get(), jack_port_name(ports_[i]), playback.get()[i]);
    }

    // audio thread (JACK's process callback)
    static int process(jack_nframes_t frames, void* self) noexcept
    {
        auto& out = *static_cast<JackOutput*>(self);
        auto* left = static_cast<float*>(jack_port_get_buffer(out.ports_[0], frames));
        auto* right = static_cast<float*>(jack_port_get_buffer(out.ports_[1], frames));
        for (jack_nframes_t done = 0; done < frames;)
        {
            const auto n = std::min<jack_nframes_t>(frames - done, kBlock);
            out.mixer_->render(out.block_.data(), static_cast<int>(n));
            for (jack_nframes_t i = 0; i < n; ++i)
            {
                left[done + i] = out.block_[2 * i];
                right[done + i] = out.block_[2 * i + 1];
            }
            done += n;
        }
        return 0;
    }

    // JACK's thread, when the server goes away
    static void shutdown(jack_status_t, const char*, void* self) noexcept
    {
        static_cast<JackOutput*>(self)->gone_.store(true, std::memory_order_release);
    }

    static constexpr jack_nframes_t kBlock = 1024;
    std::array<float, kBlock * 2> block_{};
    std::array<jack_port_t*, 2> ports_{};
    Mixer* mixer_ = nullptr;
    int rate_ = 0;
    std::atomic<bool> gone_{false};
    JackClient client_; // closed first, before the members its callbacks use
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
        if (!wavPath.empty())
        {
            SF_INFO info{};
            info.samplerate = rate;
            info.channels = 2;
            info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
            file_.reset(sf_open(wavPath.c_str(), SFM_WRITE, &info));
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

bool jackServerRunning()
{
    JackOutput::silenceJack();
    jack_status_t status{};
    const JackClient probe(jack_client_open("Sonarello-probe", JackNoStartServer, &status));
    return probe != nullptr;
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
        if (!jack->open(choice, mixer, error))
            return nullptr;
        return jack;
    }
    auto device = std::make_unique<DeviceOutput>();
    if (!device->open(choice, mixer, askedRate, periodFrames, error))
        return nullptr;
    return device;
}

} // namespace sonarello::sound
