#include "varispeed.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <samplerate.h>

namespace sonarello::sound
{

namespace
{

constexpr int kStageFrames = kMaxRenderBlock * 9; // filter input for one block at kMaxStep
constexpr int kPrimeFrames = 64;                  // history fed to the filter when it takes over
constexpr int kCrossfadeFrames = 64;              // from the filter back to the plain copy

} // namespace

void Varispeed::SrcDeleter::operator()(SRC_STATE* state) const noexcept
{
    src_delete(state);
}

Varispeed::Varispeed() : stage_(kStageFrames * 2), side_(kMaxRenderBlock * 2)
{
    int error = 0;
    src_.reset(src_new(SRC_SINC_FASTEST, 2, &error));
}

Varispeed::~Varispeed() = default;

double Varispeed::stepFor(int rate, int outputRate) noexcept
{
    if (rate == outputRate)
        return 1.0;
    return std::clamp(static_cast<double>(rate) / outputRate, kMinStep, kMaxStep);
}

void Varispeed::start(FrameSource& source, std::int64_t at, double step, bool glide) noexcept
{
    src_reset(src_.get());
    staged_ = 0;
    discard_ = 0;
    feed_ = at;
    time_ = static_cast<double>(at);
    active_ = true;
    if (glide && at >= kPrimeFrames && !source.done() &&
        source.fetch(at - kPrimeFrames, stage_.data(), kPrimeFrames) == kPrimeFrames)
    {
        src_set_ratio(src_.get(), 1.0);
        SRC_DATA d{};
        d.data_in = stage_.data();
        d.input_frames = kPrimeFrames;
        d.data_out = side_.data();
        d.output_frames = kPrimeFrames;
        d.src_ratio = 1.0;
        src_process(src_.get(), &d);
        staged_ = static_cast<int>(kPrimeFrames - d.input_frames_used);
        std::memmove(stage_.data(), stage_.data() + d.input_frames_used * 2,
                     sizeof(float) * 2 * std::size_t(staged_));
        discard_ = static_cast<int>(kPrimeFrames - d.output_frames_gen);
        lastRatio_ = 1.0;
        return;
    }
    lastRatio_ = 1.0 / step;
    src_set_ratio(src_.get(), lastRatio_);
}

int Varispeed::resample(FrameSource& source, float* out, int n, double step, bool& drained) noexcept
{
    const double ratio = 1.0 / step;
    int done = 0;
    while (done < n)
    {
        const int want = std::min(kStageFrames, static_cast<int>(std::ceil((n - done) * step)) +
                                                    kPrimeFrames / 4);
        if (staged_ < want && !source.done())
            staged_ += source.pull(feed_, stage_.data() + staged_ * 2, want - staged_);
        SRC_DATA d{};
        d.data_in = stage_.data();
        d.input_frames = staged_;
        d.data_out = out + done * 2;
        d.output_frames = n - done;
        d.src_ratio = ratio;
        d.end_of_input = source.done() ? 1 : 0;
        if (src_process(src_.get(), &d) != 0)
        {
            drained = true;
            break;
        }
        const int used = static_cast<int>(d.input_frames_used);
        int gen = static_cast<int>(d.output_frames_gen);
        staged_ -= used;
        std::memmove(stage_.data(), stage_.data() + used * 2,
                     sizeof(float) * 2 * std::size_t(staged_));
        if (discard_ > 0 && gen > 0)
        {
            const int drop = std::min(discard_, gen);
            std::memmove(out + done * 2, out + (done + drop) * 2,
                         sizeof(float) * 2 * std::size_t(gen - drop));
            discard_ -= drop;
            gen -= drop;
        }
        time_ += gen * 2.0 / (lastRatio_ + ratio);
        lastRatio_ = ratio;
        const auto wrap = static_cast<double>(source.wrapLength());
        if (wrap > 0 && time_ >= wrap && time_ > static_cast<double>(feed_))
            time_ -= wrap;
        done += gen;
        if (d.output_frames_gen == 0 && used == 0)
        {
            drained = source.done();
            break;
        }
    }
    return done;
}

std::int64_t Varispeed::handBack() noexcept
{
    active_ = false;
    crossfadeLeft_ = kCrossfadeFrames;
    return std::llround(time_);
}

// Over the filter's sub-frame offset from the copy.
void Varispeed::crossfade(FrameSource& source, float* copy, int frames) noexcept
{
    if (crossfadeLeft_ <= 0)
        return;
    const int m = std::min(crossfadeLeft_, frames);
    bool ignored = false;
    const int r = resample(source, side_.data(), m, 1.0, ignored);
    for (int i = 0; i < r; ++i)
    {
        const float w =
            static_cast<float>(kCrossfadeFrames - crossfadeLeft_ + i + 1) / (kCrossfadeFrames + 1);
        copy[2 * i] = side_[2 * i] * (1 - w) + copy[2 * i] * w;
        copy[2 * i + 1] = side_[2 * i + 1] * (1 - w) + copy[2 * i + 1] * w;
    }
    crossfadeLeft_ = r < m ? 0 : crossfadeLeft_ - m;
}

std::int64_t Varispeed::heard() const noexcept
{
    return std::llround(time_);
}

} // namespace sonarello::sound
