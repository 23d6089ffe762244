#include "pulse_output.h"

#include "base/raii.h"
#include "base/realtime_thread.h"
#include "engine/mixer.h"

#include <algorithm>
#include <atomic>
#include <pthread.h>
#include <pulse/pulseaudio.h>

namespace sonarello::sound
{

namespace
{

using Mainloop = std::unique_ptr<pa_threaded_mainloop, Deleter<pa_threaded_mainloop_free>>;
using Context = std::unique_ptr<pa_context, Deleter<pa_context_unref>>;
using Stream = std::unique_ptr<pa_stream, Deleter<pa_stream_unref>>;
using Operation = std::unique_ptr<pa_operation, Deleter<pa_operation_unref>>;

constexpr const char* kClientName = "Sonarello";
constexpr std::size_t kFrameBytes = 2 * sizeof(float);
// The buffer starts at four periods and grows by one after each underrun, up to this many.
// Every request of the server and every block we write passes through its main thread, which
// runs at ordinary priority: behind another program's work it can be late by a period or more.
// Two periods left the server about one period in hand when it asked (it asks once a period's
// worth is free) and ran dry by a few frames at the first such delay; four leave it three.
// A server that still ran dry is given room instead of running dry again.
constexpr std::uint32_t kFirstPeriods = 4;
constexpr std::uint32_t kMostPeriods = 6;

class PulseOutput final : public Output
{
  public:
    bool open(Mixer& mixer, int askedRate, int periodFrames, std::string& error)
    {
        mixer_ = &mixer;
        loop_.reset(pa_threaded_mainloop_new());
        if (!loop_)
            return fail("no main loop", error);
        context_.reset(pa_context_new(pa_threaded_mainloop_get_api(loop_.get()), kClientName));
        if (!context_)
            return fail("no context", error);
        pa_context_set_state_callback(context_.get(), &PulseOutput::onContextState, this);
        // Never start a server of our own: with none running, the next output is tried.
        if (pa_context_connect(context_.get(), nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0 ||
            pa_threaded_mainloop_start(loop_.get()) < 0)
            return fail(pa_strerror(pa_context_errno(context_.get())), error);

        pa_threaded_mainloop_lock(loop_.get());
        const bool opened = connect(mixer, askedRate, periodFrames, error);
        pa_threaded_mainloop_unlock(loop_.get());
        return opened;
    }

    ~PulseOutput() override
    {
        if (!loop_)
            return;
        pa_threaded_mainloop_lock(loop_.get());
        if (stream_)
        {
            pa_stream_set_write_callback(stream_.get(), nullptr, nullptr);
            pa_stream_set_underflow_callback(stream_.get(), nullptr, nullptr);
            pa_stream_set_state_callback(stream_.get(), nullptr, nullptr);
            pa_stream_disconnect(stream_.get());
        }
        if (context_)
        {
            pa_context_set_state_callback(context_.get(), nullptr, nullptr);
            pa_context_disconnect(context_.get());
        }
        pa_threaded_mainloop_unlock(loop_.get());
        pa_threaded_mainloop_stop(loop_.get());
        stream_.reset();
        context_.reset();
    }

    int sampleRate() const override { return rate_; }
    bool running() override { return !failed_.load(std::memory_order_relaxed); }

    unsigned underruns() const override { return underruns_.load(std::memory_order_relaxed); }

  private:
    static bool fail(const std::string& why, std::string& error)
    {
        error = why;
        return false;
    }

    // With the main loop locked: waits until `ready` or a failed state.
    template <typename Ready> bool waitFor(Ready ready)
    {
        while (!ready())
        {
            if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(context_.get())) ||
                (stream_ && !PA_STREAM_IS_GOOD(pa_stream_get_state(stream_.get()))))
                return false;
            pa_threaded_mainloop_wait(loop_.get());
        }
        return true;
    }

    // With the main loop locked.
    bool connect(Mixer& mixer, int askedRate, int periodFrames, std::string& error)
    {
        if (!waitFor([this] { return pa_context_get_state(context_.get()) == PA_CONTEXT_READY; }))
            return fail(pa_strerror(pa_context_errno(context_.get())), error);

        // The server's own rate spares it a resampler (and its delay); the mixer resamples.
        rate_ = askedRate;
        bool answered = false;
        struct Query
        {
            PulseOutput* self;
            bool* answered;
        } query{this, &answered};
        Operation info(pa_context_get_server_info(
            context_.get(),
            [](pa_context*, const pa_server_info* server, void* data) noexcept
            {
                auto* q = static_cast<Query*>(data);
                if (server && pa_sample_spec_valid(&server->sample_spec))
                    q->self->rate_ = static_cast<int>(server->sample_spec.rate);
                *q->answered = true;
                pa_threaded_mainloop_signal(q->self->loop_.get(), 0);
            },
            &query));
        if (!info || !waitFor([&] { return answered; }))
            return fail(pa_strerror(pa_context_errno(context_.get())), error);

        mixer.useDevice(rate_, periodFrames);

        const pa_sample_spec format{PA_SAMPLE_FLOAT32LE, static_cast<std::uint32_t>(rate_), 2};
        stream_.reset(pa_stream_new(context_.get(), kClientName, &format, nullptr));
        if (!stream_)
            return fail(pa_strerror(pa_context_errno(context_.get())), error);
        pa_stream_set_state_callback(stream_.get(), &PulseOutput::onStreamState, this);
        pa_stream_set_write_callback(stream_.get(), &PulseOutput::onWrite, this);
        pa_stream_set_underflow_callback(stream_.get(), &PulseOutput::onUnderflow, this);

        // Four periods at first, from our buffer to the sink's output (adjust-latency mode);
        // the server asks for one period at a time. After an underrun it waits for the
        // whole buffer again before playing on, so a short stall is one gap, not a stutter.
        periodBytes_ = static_cast<std::uint32_t>(periodFrames * kFrameBytes);
        const pa_buffer_attr attr = bufferOf(kFirstPeriods);
        const auto flags = static_cast<pa_stream_flags_t>(
            PA_STREAM_ADJUST_LATENCY | PA_STREAM_AUTO_TIMING_UPDATE | PA_STREAM_INTERPOLATE_TIMING);
        if (pa_stream_connect_playback(stream_.get(), nullptr, &attr, flags, nullptr, nullptr) <
                0 ||
            !waitFor([this] { return pa_stream_get_state(stream_.get()) == PA_STREAM_READY; }))
            return fail(pa_strerror(pa_context_errno(context_.get())), error);
        return true;
    }

    static void onContextState(pa_context* context, void* data) noexcept
    {
        auto* self = static_cast<PulseOutput*>(data);
        if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(context)))
            self->failed_.store(true, std::memory_order_relaxed);
        pa_threaded_mainloop_signal(self->loop_.get(), 0);
    }

    static void onStreamState(pa_stream* stream, void* data) noexcept
    {
        auto* self = static_cast<PulseOutput*>(data);
        if (!PA_STREAM_IS_GOOD(pa_stream_get_state(stream)))
            self->failed_.store(true, std::memory_order_relaxed);
        pa_threaded_mainloop_signal(self->loop_.get(), 0);
    }

    // The buffer of `periods` periods, now the one in use.
    pa_buffer_attr bufferOf(std::uint32_t periods)
    {
        const auto any = static_cast<std::uint32_t>(-1);
        periods_ = periods;
        return {any, periods * periodBytes_, any, periodBytes_, any};
    }

    static void onUnderflow(pa_stream* stream, void* data) noexcept
    {
        auto* self = static_cast<PulseOutput*>(data);
        self->underruns_.fetch_add(1, std::memory_order_relaxed);
        if (self->periods_ >= kMostPeriods)
            return;
        const pa_buffer_attr attr = self->bufferOf(self->periods_ + 1);
        if (pa_operation* grown = pa_stream_set_buffer_attr(stream, &attr, nullptr, nullptr))
            pa_operation_unref(grown);
    }

    // audio thread (the main loop's): renders what the server asks for into its own memory.
    static void onWrite(pa_stream* stream, std::size_t bytes, void* data) noexcept
    {
        auto* self = static_cast<PulseOutput*>(data);
        if (!self->prioritySet_)
        {
            setRealtimePriority(pthread_self(), kRenderPriority);
            self->prioritySet_ = true;
        }
        while (bytes >= kFrameBytes)
        {
            void* block = nullptr;
            std::size_t size = bytes;
            if (pa_stream_begin_write(stream, &block, &size) < 0 || !block)
            {
                self->failed_.store(true, std::memory_order_relaxed);
                return;
            }
            const auto frames = static_cast<int>(std::min(size, bytes) / kFrameBytes);
            if (frames == 0)
            {
                pa_stream_cancel_write(stream);
                return;
            }
            self->mixer_->render(static_cast<float*>(block), frames);
            const auto written = static_cast<std::size_t>(frames) * kFrameBytes;
            if (pa_stream_write(stream, block, written, nullptr, 0, PA_SEEK_RELATIVE) < 0)
            {
                self->failed_.store(true, std::memory_order_relaxed);
                return;
            }
            bytes -= written;
        }
    }

    Mainloop loop_;
    Context context_;
    Stream stream_;
    Mixer* mixer_ = nullptr;
    int rate_ = 0;
    std::uint32_t periodBytes_ = 0;
    std::uint32_t periods_ = kFirstPeriods; // main loop thread
    bool prioritySet_ = false;
    std::atomic<bool> failed_{false};
    std::atomic<unsigned> underruns_{0};
};

} // namespace

std::unique_ptr<Output> openPulseOutput(Mixer& mixer, int askedRate, int periodFrames,
                                        std::string& error)
{
    auto output = std::make_unique<PulseOutput>();
    if (!output->open(mixer, askedRate, periodFrames, error))
        return nullptr;
    return output;
}

} // namespace sonarello::sound
