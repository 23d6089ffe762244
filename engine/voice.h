// One sounding stream: reads its head or ring in play order, varispeeds it, ramps volume and
// fades, and publishes position and peaks. Audio thread; the published atomics any thread.
#pragma once

#include "stream_ring.h"
#include "streamer.h"
#include "varispeed.h"

#include <atomic>
#include <cstdint>
#include <vector>

namespace sonarello::sound
{

// A stream's frames in play order: the head, then the ring, back to the start where it loops.
class StreamSource final : public FrameSource
{
  public:
    void attach(StreamState& stream) noexcept;
    StreamState& stream() const noexcept { return *stream_; }
    // Moves to `frame` and asks the streamer for what follows it.
    void restart(std::int64_t frame) noexcept;
    // Where the frames at hand end: the head, the decoded part or the file.
    std::int64_t endFrame() const noexcept;
    // Lets the streamer overwrite the ring behind `lowest`.
    void release(std::int64_t lowest) noexcept { reader_.release(lowest); }

    int pull(std::int64_t& at, float* dst, int n) noexcept override;
    int fetch(std::int64_t at, float* dst, int n) const noexcept override;
    bool done() const noexcept override { return done_; }
    std::int64_t wrapLength() const noexcept override { return wrapLength_; }

  private:
    void request(std::int64_t frame) noexcept;

    StreamState* stream_ = nullptr;
    StreamRing::Reader reader_;
    bool done_ = false;
    std::int64_t wrapLength_ = 0;
};

// A volume change spread over some frames, so that it never clicks.
struct GainRamp
{
    float value = 1, target = 1, step = 0;
    int left = 0;

    void jump(float to) noexcept;
    void glide(float to, int frames) noexcept;
    bool steady() const noexcept { return left == 0; }
    float next() noexcept;
};

// The short fade of a start from silence, a stop, a seek and a hold at rate 0.
struct Fade
{
    float level = 1;
    bool silent() const noexcept { return level == 0.0f; }
    bool full() const noexcept { return level == 1.0f; }
    float next(bool out, float step) noexcept;
};

class Voice
{
  public:
    enum class Phase
    {
        Idle,
        Playing,
        Stopping,
        Tail // handed its stream over; plays out its own fade
    };

    // control thread: makes what the voice needs to play at a rate, before a command or an
    // offer that may start it there is published
    void prepare(int rateHz, int outputRate);

    // commands, audio thread
    void play(StreamState& stream, std::uint32_t serial, std::int64_t frame, float gain, int rateHz,
              int outputRate) noexcept;
    void stop() noexcept;
    void seek(std::int64_t frame, int outputRate) noexcept;
    void setVolume(float g, int rampFrames) noexcept;
    void setRate(int rate) noexcept;
    void release() noexcept;
    // Another voice takes the stream (a stream is read by one voice): the fade-out this one
    // still owes is rendered now, while the stream is its own, and played from its tail.
    void handOver(int outputRate) noexcept;
    // Adds one block of at most kMaxRenderBlock frames to mix.
    void render(float* mix, int n, int outputRate) noexcept;

    bool idle() const noexcept { return phase == Phase::Idle; }
    // Commands reach only a voice that still reads its stream.
    bool takesCommands() const noexcept
    {
        return phase == Phase::Playing || phase == Phase::Stopping;
    }
    const StreamState* playing() const noexcept
    {
        return takesCommands() ? &source.stream() : nullptr;
    }

    // audio thread
    Phase phase = Phase::Idle;
    std::uint32_t serial = 0;

    // published
    std::atomic<std::uint32_t> played{0}; // serial of the last sound started here
    std::atomic<std::uint32_t> running{0};
    std::atomic<float> peakLeft{0};
    std::atomic<float> peakRight{0};

  private:
    // The parts of one block, in order.
    bool settle(int outputRate) noexcept; // false: nothing to play in this block
    int produce(int n, double step, bool& drained) noexcept;
    void mixOut(float* mix, const float* in, int frames, bool fadingOut, float fadeStep) noexcept;
    void publish(bool drained) noexcept;
    void playTail(float* mix, int n) noexcept;

    void seekNow(std::int64_t frame, int outputRate) noexcept;
    bool fadingOut() const noexcept
    {
        return phase == Phase::Stopping || pendingSeek >= 0 || rateHz == 0;
    }

    StreamSource source;
    Varispeed varispeed;
    std::int64_t cursor = 0; // next file frame of the plain copy
    bool started = false;    // some sound has been produced
    int rateHz = 0;
    int heldRate = 0; // the last rate above 0, used while fading into a hold
    GainRamp gain;
    Fade fade;
    std::int64_t pendingSeek = -1;
    std::vector<float> buffer = std::vector<float>(kMaxRenderBlock * 2);
    // The fade-out rendered at a hand-over: long enough for the fade at any common rate.
    static constexpr int kTailFrames = 2 * kMaxRenderBlock;
    std::vector<float> tail = std::vector<float>(kTailFrames * 2);
    int tailFrames = 0, tailPlayed = 0;
};

} // namespace sonarello::sound
