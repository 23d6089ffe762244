// A voice's varispeed: resamples file frames at any ratio, takes over from the plain copy with
// the history just heard, and hands back to it crossfaded. Audio thread, after construction.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

typedef struct SRC_STATE_tag SRC_STATE;

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

    bool active() const noexcept { return active_; }
    // Takes over at file frame `at`. With `glide`, the filter starts from the frames just
    // heard at the ratio just heard, so the change of ratio glides instead of jumping.
    void start(FrameSource& source, std::int64_t at, double step, bool glide) noexcept;
    void stop() noexcept { active_ = false; }
    // Resampled frames into out; how many (fewer at a stall or at the end, then `drained` says
    // whether the source is done).
    int resample(FrameSource& source, float* out, int n, double step, bool& drained) noexcept;

    // The plain copy may take over: the ratio is 1 and the filter has settled on it.
    bool settledAtOne(double step) const noexcept { return step == 1.0 && lastRatio_ == 1.0; }
    // Hands back to the plain copy: the file frame it goes on from; the next frames of the
    // copy are crossfaded from the filter's by crossfade().
    std::int64_t handBack() noexcept;
    void crossfade(FrameSource& source, float* copy, int frames) noexcept;
    void cancelCrossfade() noexcept { crossfadeLeft_ = 0; }

    // The file frame being heard, and the lowest frame the filter still needs.
    std::int64_t heard() const noexcept;
    std::int64_t lowestNeeded() const noexcept { return feed_ - staged_; }

  private:
    struct SrcDeleter
    {
        void operator()(SRC_STATE* state) const noexcept;
    };

    std::unique_ptr<SRC_STATE, SrcDeleter> src_;
    bool active_ = false;
    double lastRatio_ = 1;  // output/input ratio the filter ended its last call with
    double time_ = 0;       // file frame of the filter's next output
    std::int64_t feed_ = 0; // next file frame fed to the filter
    int staged_ = 0;
    int discard_ = 0;
    int crossfadeLeft_ = 0;
    std::vector<float> stage_;
    std::vector<float> side_;
};

} // namespace sonarello::sound
