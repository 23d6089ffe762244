#include "alsa_output.h"

#include "base/raii.h"
#include "base/realtime_thread.h"
#include "engine/mixer.h"

#include <algorithm>
#include <alsa/asoundlib.h>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <pthread.h>
#include <thread>
#include <vector>

namespace sonarello::sound
{

namespace
{

using Pcm = std::unique_ptr<snd_pcm_t, Deleter<snd_pcm_close>>;
using HwParams = std::unique_ptr<snd_pcm_hw_params_t, Deleter<snd_pcm_hw_params_free>>;
using SwParams = std::unique_ptr<snd_pcm_sw_params_t, Deleter<snd_pcm_sw_params_free>>;
using Clock = std::chrono::steady_clock;

constexpr int kChannels = 2;
constexpr int kWaitMs = 200;
constexpr auto kStall = std::chrono::milliseconds(200);

// The formats we write, best first; devices without float get integers converted here.
constexpr snd_pcm_format_t kFormats[] = {SND_PCM_FORMAT_FLOAT_LE, SND_PCM_FORMAT_S32_LE,
                                         SND_PCM_FORMAT_S16_LE};

// libasound's own account of a failure goes nowhere: the player says in one line what it
// could not open, and the failure's text comes back through snd_strerror.
void quietAlsa(const char*, int, const char*, int, const char*, ...) {}

template <typename Sample> void convert(const float* in, Sample* out, std::size_t count) noexcept
{
    constexpr double kScale = static_cast<double>(std::numeric_limits<Sample>::max());
    // std::clamp keeps a NaN, which lrint may turn into anything: it becomes silence.
    for (std::size_t i = 0; i < count; ++i)
        out[i] = static_cast<Sample>(std::lrint(
            (std::isnan(in[i]) ? 0.0 : std::clamp(static_cast<double>(in[i]), -1.0, 1.0)) *
            kScale));
}

class AlsaOutput final : public Output
{
  public:
    bool open(Mixer& mixer, const std::string& device, int askedRate, int periodFrames,
              std::string& error)
    {
        // A PCM needs no control device: a default PCM without a mixer opens all the same.
        snd_lib_error_set_handler(&quietAlsa);
        snd_pcm_t* raw = nullptr;
        if (const int err = snd_pcm_open(&raw, device.c_str(), SND_PCM_STREAM_PLAYBACK, 0); err < 0)
            return fail(err, error);
        pcm_.reset(raw);
        if (const int err = configure(askedRate, periodFrames); err < 0)
            return fail(err, error);
        mixer.useDevice(rate_, static_cast<int>(period_));
        block_.resize(static_cast<std::size_t>(period_) * kChannels);
        if (format_ != SND_PCM_FORMAT_FLOAT_LE)
            converted_.resize(block_.size() * sizeof(std::int32_t));
        thread_ = std::thread([this, &mixer] { run(mixer); });
        return true;
    }

    ~AlsaOutput() override
    {
        quit_.store(true);
        if (thread_.joinable())
            thread_.join();
        if (pcm_)
            snd_pcm_drop(pcm_.get());
    }

    int sampleRate() const override { return static_cast<int>(rate_); }
    bool running() override { return !failed_.load(std::memory_order_relaxed); }
    unsigned underruns() const override { return underruns_.load(std::memory_order_relaxed); }

  private:
    static bool fail(int err, std::string& error)
    {
        error = snd_strerror(err);
        return false;
    }

    int configure(int askedRate, int periodFrames)
    {
        snd_pcm_t* pcm = pcm_.get();
        snd_pcm_hw_params_t* rawHw = nullptr;
        if (const int err = snd_pcm_hw_params_malloc(&rawHw); err < 0)
            return err;
        const HwParams hw(rawHw);
        int err = snd_pcm_hw_params_any(pcm, rawHw);
        // The device's own rate rather than ALSA's resampler: the mixer resamples anyway.
        if (err >= 0)
            err = snd_pcm_hw_params_set_rate_resample(pcm, rawHw, 0);
        if (err >= 0)
            err = snd_pcm_hw_params_set_access(pcm, rawHw, SND_PCM_ACCESS_RW_INTERLEAVED);
        if (err < 0)
            return err;
        const auto format = std::find_if(
            std::begin(kFormats), std::end(kFormats),
            [&](snd_pcm_format_t f) { return snd_pcm_hw_params_test_format(pcm, rawHw, f) == 0; });
        if (format == std::end(kFormats))
            return -EINVAL;
        format_ = *format;
        rate_ = static_cast<unsigned>(askedRate);
        period_ = static_cast<snd_pcm_uframes_t>(periodFrames);
        buffer_ = 2 * period_;
        err = snd_pcm_hw_params_set_format(pcm, rawHw, format_);
        if (err >= 0)
            err = snd_pcm_hw_params_set_channels(pcm, rawHw, kChannels);
        if (err >= 0)
            err = snd_pcm_hw_params_set_rate_near(pcm, rawHw, &rate_, nullptr);
        if (err >= 0)
            err = snd_pcm_hw_params_set_period_size_near(pcm, rawHw, &period_, nullptr);
        if (err >= 0)
            err = snd_pcm_hw_params_set_buffer_size_near(pcm, rawHw, &buffer_);
        if (err >= 0)
            err = snd_pcm_hw_params(pcm, rawHw);
        if (err >= 0)
            err = snd_pcm_hw_params_get_period_size(rawHw, &period_, nullptr);
        if (err >= 0)
            err = snd_pcm_hw_params_get_buffer_size(rawHw, &buffer_);
        if (err < 0)
            return err;

        snd_pcm_sw_params_t* rawSw = nullptr;
        if (err = snd_pcm_sw_params_malloc(&rawSw); err < 0)
            return err;
        const SwParams sw(rawSw);
        err = snd_pcm_sw_params_current(pcm, rawSw);
        if (err >= 0)
            err = snd_pcm_sw_params_set_start_threshold(pcm, rawSw, buffer_);
        if (err >= 0)
            err = snd_pcm_sw_params_set_avail_min(pcm, rawSw, period_);
        if (err >= 0)
            err = snd_pcm_sw_params(pcm, rawSw);
        return err;
    }

    // audio thread: false when the device is gone for good.
    bool write(const void* data, snd_pcm_uframes_t frames) noexcept
    {
        const auto* bytes = static_cast<const std::uint8_t*>(data);
        const auto frameBytes = static_cast<std::size_t>(snd_pcm_frames_to_bytes(pcm_.get(), 1));
        while (frames > 0 && !quit_.load(std::memory_order_relaxed))
        {
            const snd_pcm_sframes_t done = snd_pcm_writei(pcm_.get(), bytes, frames);
            if (done == -EAGAIN)
                continue;
            if (done < 0)
            {
                underruns_.fetch_add(1, std::memory_order_relaxed);
                if (snd_pcm_recover(pcm_.get(), static_cast<int>(done), 1) < 0)
                    return false;
                continue;
            }
            frames -= static_cast<snd_pcm_uframes_t>(done);
            bytes += static_cast<std::size_t>(done) * frameBytes;
        }
        return true;
    }

    // audio thread. A device takes a period when it has room for one; a PCM with no clock of
    // its own (the null PCM, a file over it) always has room, so the steady clock keeps the
    // pace there: no more than a buffer ahead of real time since the device last made us wait.
    void run(Mixer& mixer) noexcept
    {
        setRealtimePriority(pthread_self(), kRenderPriority);

        const auto frameTime = [this](snd_pcm_uframes_t frames)
        {
            return std::chrono::duration_cast<Clock::duration>(
                std::chrono::duration<double>(static_cast<double>(frames) / rate_));
        };
        const auto blocked = frameTime(period_) / 4;
        auto anchor = Clock::now();
        std::uint64_t anchorFrames = 0;
        std::uint64_t written = 0;
        while (!quit_.load(std::memory_order_relaxed))
        {
            const auto before = Clock::now();
            const int ready = snd_pcm_wait(pcm_.get(), kWaitMs);
            if (ready < 0)
            {
                underruns_.fetch_add(1, std::memory_order_relaxed);
                if (snd_pcm_recover(pcm_.get(), ready, 1) < 0)
                    break;
                continue;
            }
            if (ready == 0)
                continue; // stalled or suspended: look at the quit flag, then wait again
            const auto after = Clock::now();
            if (after - before > blocked)
            {
                anchor = after;
                anchorFrames = written;
            }
            mixer.render(block_.data(), static_cast<int>(period_));
            const void* data = block_.data();
            if (format_ == SND_PCM_FORMAT_S32_LE)
                convert(block_.data(), reinterpret_cast<std::int32_t*>(converted_.data()),
                        block_.size());
            else if (format_ == SND_PCM_FORMAT_S16_LE)
                convert(block_.data(), reinterpret_cast<std::int16_t*>(converted_.data()),
                        block_.size());
            if (format_ != SND_PCM_FORMAT_FLOAT_LE)
                data = converted_.data();
            if (!write(data, period_))
                break;
            written += period_;
            if (written - anchorFrames <= buffer_)
                continue;
            const auto due =
                anchor +
                frameTime(static_cast<snd_pcm_uframes_t>(written - anchorFrames - buffer_));
            if (Clock::now() - due > kStall)
            {
                anchor = Clock::now(); // the machine stalled: keep pace from here
                anchorFrames = written;
            }
            std::this_thread::sleep_until(due);
        }
        if (!quit_.load(std::memory_order_relaxed))
            failed_.store(true, std::memory_order_relaxed);
    }

    Pcm pcm_;
    snd_pcm_format_t format_ = SND_PCM_FORMAT_FLOAT_LE;
    unsigned rate_ = 0;
    snd_pcm_uframes_t period_ = 0;
    snd_pcm_uframes_t buffer_ = 0;
    std::vector<float> block_;
    std::vector<std::uint8_t> converted_;
    std::atomic<bool> quit_{false};
    std::atomic<bool> failed_{false};
    std::atomic<unsigned> underruns_{0};
    std::thread thread_;
};

} // namespace

std::unique_ptr<Output> openAlsaOutput(Mixer& mixer, const std::string& device, int askedRate,
                                       int periodFrames, std::string& error)
{
    auto output = std::make_unique<AlsaOutput>();
    if (!output->open(mixer, device, askedRate, periodFrames, error))
        return nullptr;
    return output;
}

} // namespace sonarello::sound
