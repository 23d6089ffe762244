#include "varispeed.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <zita-resampler/vresampler.h>

namespace sonarello::sound
{

namespace
{

constexpr unsigned kFilterHalfLength = 20; // taps each side at the file's rate
constexpr double kBandStep = 0.9;          // below ratio 1, each band starts this far below
constexpr double kTopBandFrom = 16;        // VResampler reaches 16 times its set-up ratio
constexpr int kCrossfadeFrames = 64;       // from one filter to another or to the plain copy

// Ratio = output frames per file frame. Band 0 serves above 16, band 1 from 1 to 16, the
// others below 1, each cut off for its lowest ratio so that nothing folds back.
int bandOf(double ratio) noexcept
{
    if (ratio > kTopBandFrom)
        return 0;
    if (ratio >= 1)
        return 1;
    const int k = static_cast<int>(std::ceil(std::log(ratio) / std::log(kBandStep) - 1e-9));
    return std::clamp(1 + k, 2, Varispeed::kBands - 1);
}

double baseOf(int band) noexcept
{
    return band == 0 ? kTopBandFrom : std::pow(kBandStep, band - 1);
}

} // namespace

Varispeed::Varispeed() = default;

Varispeed::~Varispeed()
{
    for (auto& filter : filters_)
        delete filter.load(std::memory_order_relaxed);
}

double Varispeed::stepFor(int rate, int outputRate) noexcept
{
    if (rate == outputRate)
        return 1.0;
    return std::clamp(static_cast<double>(rate) / outputRate, kMinStep, kMaxStep);
}

void Varispeed::prepare(double step)
{
    if (step == 1.0)
        return;
    if (!ownedBuffers_)
    {
        ownedBuffers_ = std::make_unique<Buffers>();
        buffers_.store(ownedBuffers_.get(), std::memory_order_release);
    }
    const int band = bandOf(1.0 / step);
    auto& slot = filters_[static_cast<std::size_t>(band)];
    if (slot.load(std::memory_order_relaxed) != nullptr)
        return;
    auto filter = std::make_unique<VResampler>();
    if (filter->setup(baseOf(band), 2, kFilterHalfLength) != 0)
        return;
    slot.store(filter.release(), std::memory_order_release);
}

VResampler* Varispeed::filterFor(int& band) const noexcept
{
    for (int distance = 0; distance < kBands; ++distance)
        for (const int b : {band - distance, band + distance})
            if (b >= 0 && b < kBands)
                if (VResampler* f =
                        filters_[static_cast<std::size_t>(b)].load(std::memory_order_acquire))
                {
                    band = b;
                    return f;
                }
    return nullptr;
}

bool Varispeed::start(FrameSource& source, std::int64_t at, double step) noexcept
{
    cancelCrossfade();
    active_ = startLane(lanes_[current_], bandOf(1.0 / step), source, static_cast<double>(at),
                        1.0 / step);
    return active_;
}

// Sets the lane's filter at file time `at` (its fraction too), fed with the frames before it;
// what is not at hand, before the file's start or behind the ring, is silence.
bool Varispeed::startLane(Lane& lane, int band, FrameSource& source, double at,
                          double ratio) noexcept
{
    Buffers* buffers = buffers_.load(std::memory_order_acquire);
    VResampler* filter = filterFor(band);
    if (buffers == nullptr || filter == nullptr)
        return false;
    lane.filter = filter;
    lane.band = band;
    lane.base = baseOf(band);
    lane.stage = buffers->stage[&lane == &lanes_[0] ? 0 : 1].data();
    lane.staged = 0;
    lane.zeros = 0;
    lane.end = -1;
    filter->reset();
    filter->set_rratio(ratio / lane.base);
    const double whole = std::floor(at);
    filter->set_phase(at - whole);
    lane.feed = static_cast<std::int64_t>(whole);

    const std::int64_t wrap = source.wrapLength();
    std::int64_t pos = lane.feed - (filter->inpsize() / 2 - 1);
    while (pos < lane.feed)
    {
        const int m = static_cast<int>(std::min<std::int64_t>(kStageFrames, lane.feed - pos));
        for (int got = 0; got < m;)
        {
            std::int64_t p = pos + got;
            if (p < 0 && wrap > 0)
                p += wrap;
            const int r = p >= 0 ? source.fetch(p, lane.stage + 2 * got, m - got) : 0;
            if (r > 0)
                got += r;
            else
            {
                lane.stage[2 * got] = lane.stage[2 * got + 1] = 0;
                ++got;
            }
        }
        filter->inp_data = lane.stage;
        filter->inp_count = static_cast<unsigned>(m);
        filter->out_data = nullptr;
        filter->out_count = 1; // nothing comes out before the filter holds its whole length
        filter->process();
        pos += m;
    }
    return true;
}

double Varispeed::timeOf(const Lane& lane, const FrameSource& source) const noexcept
{
    double t = static_cast<double>(lane.feed - lane.staged + lane.zeros) - lane.filter->inpdist();
    const std::int64_t wrap = source.wrapLength();
    if (wrap > 0 && t < 0)
        t += static_cast<double>(wrap); // the input wrapped ahead of what is heard
    return t;
}

int Varispeed::run(Lane& lane, FrameSource& source, float* out, int n, double ratio,
                   bool& drained) noexcept
{
    VResampler& f = *lane.filter;
    f.set_rratio(ratio / lane.base);
    int done = 0;
    while (done < n)
    {
        if (lane.end < 0)
        {
            const int want =
                std::min(kStageFrames, static_cast<int>(std::ceil((n - done) / ratio)) + 2);
            if (lane.staged < want)
            {
                const int asked = want - lane.staged;
                const int got = source.pull(lane.feed, lane.stage + 2 * lane.staged, asked);
                lane.staged += got;
                if (got < asked && source.done())
                    lane.end = lane.feed;
            }
        }
        f.out_data = out + 2 * done;
        f.out_count = static_cast<unsigned>(n - done);
        int given = lane.staged;
        const bool silence = lane.staged == 0 && lane.end >= 0;
        if (silence)
        {
            // Past the file's end, silence plays out the filter's tail up to the last frame.
            const double left = (static_cast<double>(lane.end) - timeOf(lane, source)) * ratio;
            const int tail = static_cast<int>(std::ceil(left - 1e-9));
            if (tail <= 0)
            {
                drained = true;
                break;
            }
            f.out_count = static_cast<unsigned>(std::min(n - done, tail));
            given = kStageFrames;
            f.inp_data = nullptr;
        }
        else
            f.inp_data = lane.stage;
        f.inp_count = static_cast<unsigned>(given);
        const unsigned asked = f.out_count;
        f.process();
        const int used = given - static_cast<int>(f.inp_count);
        const int gen = static_cast<int>(asked - f.out_count);
        if (silence)
            lane.zeros += used;
        else
        {
            lane.staged -= used;
            std::memmove(lane.stage, lane.stage + 2 * used,
                         sizeof(float) * 2 * static_cast<std::size_t>(lane.staged));
        }
        done += gen;
        if (gen == 0 && used == 0)
            break; // a stall: nothing at hand
    }
    return done;
}

int Varispeed::resample(FrameSource& source, float* out, int n, double step, bool& drained) noexcept
{
    const double ratio = 1.0 / step;
    Lane& lane = lanes_[current_];
    int band = bandOf(ratio);
    if (crossfadeLeft_ == 0 && band != lane.band)
    {
        // Out of the filter's band: a second filter takes over where the first one is, unless
        // the band's filter was not made and the nearest one is this one.
        Lane& next = lanes_[1 - current_];
        if (filterFor(band) != nullptr && band != lane.band &&
            startLane(next, band, source, timeOf(lane, source), ratio))
        {
            current_ = 1 - current_;
            crossfadeLeft_ = kCrossfadeFrames;
            toCopy_ = false;
        }
    }
    const int produced = run(lanes_[current_], source, out, n, ratio, drained);
    if (!toCopy_)
        fadeOut(source, out, produced, ratio);
    return produced;
}

bool Varispeed::settledAtOne(double step) const noexcept
{
    return step == 1.0 && crossfadeLeft_ == 0;
}

std::int64_t Varispeed::handBack(const FrameSource& source) noexcept
{
    active_ = false;
    const std::int64_t at = std::llround(timeOf(lanes_[current_], source));
    current_ = 1 - current_;
    crossfadeLeft_ = kCrossfadeFrames;
    toCopy_ = true;
    return at;
}

void Varispeed::crossfade(FrameSource& source, float* copy, int frames) noexcept
{
    if (toCopy_)
        fadeOut(source, copy, frames, 1.0);
}

// Mixes the other lane, fading, into the first frames of `into`, over the filters' sub-frame
// offset from one another or from the copy.
void Varispeed::fadeOut(FrameSource& source, float* into, int frames, double ratio) noexcept
{
    if (crossfadeLeft_ <= 0)
        return;
    float* side = buffers_.load(std::memory_order_relaxed)->side.data();
    const int m = std::min(crossfadeLeft_, frames);
    bool ignored = false;
    const int r = run(lanes_[1 - current_], source, side, m, ratio, ignored);
    for (int i = 0; i < r; ++i)
    {
        const float w =
            static_cast<float>(kCrossfadeFrames - crossfadeLeft_ + i + 1) / (kCrossfadeFrames + 1);
        into[2 * i] = side[2 * i] * (1 - w) + into[2 * i] * w;
        into[2 * i + 1] = side[2 * i + 1] * (1 - w) + into[2 * i + 1] * w;
    }
    crossfadeLeft_ = r < m ? 0 : crossfadeLeft_ - m;
}

std::int64_t Varispeed::heard(const FrameSource& source) const noexcept
{
    return std::llround(timeOf(lanes_[current_], source));
}

std::int64_t Varispeed::lowestNeeded() const noexcept
{
    const Lane& lane = lanes_[current_];
    std::int64_t lowest = lane.feed - lane.staged;
    if (crossfadeLeft_ > 0 && !toCopy_)
        lowest = std::min(lowest, lanes_[1 - current_].feed - lanes_[1 - current_].staged);
    return lowest;
}

} // namespace sonarello::sound
