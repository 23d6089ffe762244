// A voice's varispeed: resamples file frames at any ratio, takes over from the plain copy with
// the history just heard, and hands back to it crossfaded. Filters are made by prepare() on the
// control side; everything else runs on the audio thread.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>

class VResampler;

namespace sonarello::sound
{

constexpr int kMaxRenderBlock = 512; // longer periods are mixed in blocks of this size
constexpr double kMaxStep = 8.0;     // file frames per output frame, at most
constexpr double kMinStep = 1.0 / 128.0;

// File frames in play order, as a voice reads them.
class FrameSource
{
  public:
    // Reads from `at` on, wrapping at the end of a looping stream; fewer at a stall or the end.
    virtual int pull(std::int64_t& at, float* dst, int n) noexcept = 0;
    // Copies frames from `at` on while they are at hand, without moving anything.
    virtual int fetch(std::int64_t at, float* dst, int n) const noexcept = 0;
    // A stream that does not loop ran out of frames.
    virtual bool done() const noexcept = 0;
    // The length of a looping stream once it wrapped, else 0.
    virtual std::int64_t wrapLength() const noexcept = 0;

  protected:
    ~FrameSource() = default;
};

class Varispeed
{
  public:
    Varispeed();
    ~Varispeed();
    Varispeed(const Varispeed&) = delete;
    Varispeed& operator=(const Varispeed&) = delete;

    // File frames per output frame for a rate; exactly 1 where the plain copy serves.
    static double stepFor(int rate, int outputRate) noexcept;

    // Control thread: makes the filter that serves `step`, once; the audio thread may use it
    // once a command or an offer published after this call reached it.
    void prepare(double step);

    bool active() const noexcept { return active_; }
    // Takes over at file frame `at`, with the frames before it as the filter's history. False
    // when no filter was prepared.
    bool start(FrameSource& source, std::int64_t at, double step) noexcept;
    void stop() noexcept { active_ = false; }
    // Resampled frames into out; how many (fewer at a stall or at the end, then `drained` says
    // whether the source is done).
    int resample(FrameSource& source, float* out, int n, double step, bool& drained) noexcept;

    // The plain copy may take over: the ratio is 1 and no filter hands over to another.
    bool settledAtOne(double step) const noexcept;
    // Hands back to the plain copy: the file frame it goes on from; the next frames of the
    // copy are crossfaded from the filter's by crossfade().
    std::int64_t handBack(const FrameSource& source) noexcept;
    void crossfade(FrameSource& source, float* copy, int frames) noexcept;
    void cancelCrossfade() noexcept { crossfadeLeft_ = 0; }

    // The file frame being heard, and the lowest frame the filters still need.
    std::int64_t heard(const FrameSource& source) const noexcept;
    std::int64_t lowestNeeded() const noexcept;

    static constexpr int kStageFrames = 256;
    // Ratios are served in bands: one filter per band, cut off for the band's lowest ratio.
    static constexpr int kBands = 22;

  private:
    // One filter and the file frames on their way into it.
    struct Lane
    {
        VResampler* filter = nullptr;
        int band = -1;
        double base = 1;        // the ratio the filter was made for
        std::int64_t feed = 0;  // next file frame pulled into the stage
        std::int64_t zeros = 0; // silence fed after the end, to play the filter's tail
        std::int64_t end = -1;  // where the file ended for this lane, -1 not yet
        int staged = 0;
        float* stage = nullptr;
    };

    // Audio-thread buffers, made with the first filter.
    struct Buffers
    {
        std::array<float, kStageFrames * 2> stage[2];
        std::array<float, kMaxRenderBlock * 2> side;
    };

    bool startLane(Lane& lane, int band, FrameSource& source, double at, double ratio) noexcept;
    int run(Lane& lane, FrameSource& source, float* out, int n, double ratio,
            bool& drained) noexcept;
    void fadeOut(FrameSource& source, float* into, int frames, double ratio) noexcept;
    double timeOf(const Lane& lane, const FrameSource& source) const noexcept;
    // The filter for a band, or the nearest one prepared; nullptr when none is.
    VResampler* filterFor(int& band) const noexcept;

    std::array<std::atomic<VResampler*>, kBands> filters_{};
    std::atomic<Buffers*> buffers_{nullptr};
    std::unique_ptr<Buffers> ownedBuffers_;
    Lane lanes_[2];
    int current_ = 0;
    bool active_ = false;
    int crossfadeLeft_ = 0; // frames the other lane still fades out over
    bool toCopy_ = false;   // the other lane fades into the plain copy, not into a lane
};

} // namespace sonarello::sound
