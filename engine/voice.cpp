#include "voice.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace sonarello::sound
{

namespace
{

constexpr double kFadeSeconds = 0.003; // stops, seeks, holding at rate 0

void raisePeak(std::atomic<float>& peak, float value) noexcept
{
    float seen = peak.load(std::memory_order_relaxed);
    while (value > seen && !peak.compare_exchange_weak(seen, value, std::memory_order_relaxed))
    {
    }
}

// The steady case, most blocks of most voices: one gain, nothing ramps.
void mixAtGain(float* __restrict mix, const float* __restrict in, int frames, float gain,
               float& peakL, float& peakR) noexcept
{
    float left = 0, right = 0;
    for (int i = 0; i < frames; ++i)
    {
        const float l = in[2 * i] * gain;
        const float r = in[2 * i + 1] * gain;
        mix[2 * i] += l;
        mix[2 * i + 1] += r;
        left = std::max(left, std::fabs(l));
        right = std::max(right, std::fabs(r));
    }
    peakL = left;
    peakR = right;
}

} // namespace

// ---- source ----

void StreamSource::attach(StreamState& stream) noexcept
{
    stream_ = &stream;
    reader_.attach(stream.ring);
}

void StreamSource::restart(std::int64_t frame) noexcept
{
    done_ = false;
    wrapLength_ = 0;
    request(frame);
}

void StreamSource::request(std::int64_t frame) noexcept
{
    const StreamState& s = *stream_;
    if (s.streamed())
        reader_.request(std::clamp(frame, s.head->headFrames, s.totalFrames()));
}

std::int64_t StreamSource::endFrame() const noexcept
{
    const StreamState& s = *stream_;
    if (!s.streamed())
        return s.head->headFrames;
    if (!reader_.served())
        return s.totalFrames();
    return std::max(reader_.dataEnd(), s.head->headFrames);
}

int StreamSource::fetch(std::int64_t at, float* dst, int n) const noexcept
{
    const StreamState& s = *stream_;
    const DecodedHead& head = *s.head;
    if (at < 0)
        return 0;
    if (at < head.headFrames)
    {
        const int m = static_cast<int>(std::min<std::int64_t>(n, head.headFrames - at));
        std::memcpy(dst, head.frames.data() + at * 2, sizeof(float) * 2 * std::size_t(m));
        return m;
    }
    return s.streamed() ? reader_.fetch(at, dst, n) : 0;
}

int StreamSource::pull(std::int64_t& at, float* dst, int n) noexcept
{
    int got = 0;
    while (got < n)
    {
        const std::int64_t end = endFrame();
        if (at >= end)
        {
            if (stream_->loop.load(std::memory_order_relaxed) && end > 0 &&
                !stream_->unreadable.load(std::memory_order_acquire))
            {
                wrapLength_ = end;
                at = 0;
                request(0);
                continue;
            }
            done_ = true;
            break;
        }
        const int m =
            fetch(at, dst + 2 * got, static_cast<int>(std::min<std::int64_t>(n - got, end - at)));
        if (m == 0)
            break;
        at += m;
        got += m;
    }
    return got;
}

// ---- ramps ----

void GainRamp::jump(float to) noexcept
{
    value = target = to;
    left = 0;
}

void GainRamp::glide(float to, int frames) noexcept
{
    target = to;
    left = std::max(frames, 0);
    if (left == 0)
        value = to;
    else
        step = (target - value) / static_cast<float>(left);
}

float GainRamp::next() noexcept
{
    if (left > 0 && --left == 0)
        value = target;
    else if (left > 0)
        value += step;
    return value;
}

float Fade::next(bool out, float step) noexcept
{
    level = out ? std::max(0.0f, level - step) : std::min(1.0f, level + step);
    return level;
}

// ---- commands ----

void Voice::prepare(int rate, int outputRate)
{
    if (rate > 0)
        varispeed.prepare(Varispeed::stepFor(rate, outputRate));
}

void Voice::play(StreamState& stream, std::uint32_t serial_, std::int64_t frame, float gain_,
                 int rate, int outputRate) noexcept
{
    source.attach(stream);
    serial = serial_;
    phase = Phase::Playing;
    cursor = std::clamp<std::int64_t>(frame, 0, stream.totalFrames());
    started = false;
    rateHz = std::max(rate, 0);
    heldRate = rateHz;
    gain.jump(gain_);
    fade.level = rateHz > 0 ? 1.0f : 0.0f;
    pendingSeek = -1;
    tailFrames = tailPlayed = 0;
    varispeed.cancelCrossfade();
    varispeed.stop();
    source.restart(cursor);
    const double step = Varispeed::stepFor(rateHz, outputRate);
    if (rateHz > 0 && step != 1.0)
        varispeed.start(source, cursor, step);
    peakLeft.store(0, std::memory_order_relaxed);
    peakRight.store(0, std::memory_order_relaxed);
    // Running first: a control thread that sees the serial played must see it running too,
    // or it takes the sound as over and frees the stream this voice now reads.
    running.store(serial, std::memory_order_release);
    played.store(serial, std::memory_order_release);
}

void Voice::stop() noexcept
{
    phase = Phase::Stopping;
    if (!started)
        fade.level = 0;
}

void Voice::seek(std::int64_t frame, int outputRate) noexcept
{
    if (started && !fade.silent())
        pendingSeek = std::max<std::int64_t>(frame, 0);
    else
        seekNow(frame, outputRate);
}

void Voice::seekNow(std::int64_t frame, int outputRate) noexcept
{
    StreamState& s = source.stream();
    cursor = std::clamp<std::int64_t>(frame, 0, s.totalFrames());
    varispeed.cancelCrossfade();
    s.ended.store(false, std::memory_order_relaxed);
    source.restart(cursor);
    if (varispeed.active())
        varispeed.start(source, cursor, Varispeed::stepFor(heldRate, outputRate));
    s.position.store(cursor, std::memory_order_relaxed);
}

void Voice::setVolume(float g, int rampFrames) noexcept
{
    gain.glide(g, started ? rampFrames : 0);
}

void Voice::setRate(int rate) noexcept
{
    rateHz = std::max(rate, 0);
    if (rateHz > 0)
        heldRate = rateHz;
    if (!started && rateHz > 0)
        fade.level = 1;
}

void Voice::release() noexcept
{
    phase = Phase::Idle;
    running.store(0, std::memory_order_release);
}

void Voice::handOver(int outputRate) noexcept
{
    if (!takesCommands())
        return;
    if (!started || fade.silent())
        return release(); // nothing sounds that could click
    stop();
    std::fill(tail.begin(), tail.end(), 0.0f);
    tailFrames = 0;
    while (phase == Phase::Stopping && tailFrames < kTailFrames)
    {
        const int n = std::min(kMaxRenderBlock, kTailFrames - tailFrames);
        render(tail.data() + std::size_t(tailFrames) * 2, n, outputRate);
        tailFrames += n;
    }
    if (phase == Phase::Stopping) // the fade outlasts the tail: it ends there
        release();
    phase = Phase::Tail;
    tailPlayed = 0;
    running.store(serial, std::memory_order_release); // the slot is busy until the tail ends
}

// ---- one block ----

void Voice::render(float* mix, int n, int outputRate) noexcept
{
    if (phase == Phase::Tail)
        return playTail(mix, n);
    if (!settle(outputRate))
        return;
    const int rate = rateHz > 0 ? rateHz : heldRate;
    bool drained = false;
    const int produced = produce(n, Varispeed::stepFor(rate, outputRate), drained);
    const bool out = fadingOut();
    if (produced > 0)
        started = true;
    else if (out)
        fade.level = 0; // nothing sounds that could click: stop or seek at once
    const float fadeStep = 1.0f / static_cast<float>(std::max(1.0, kFadeSeconds * outputRate));
    mixOut(mix, buffer.data(), produced, out, fadeStep);
    publish(drained);
}

// A stop or seek whose fade has ended takes effect; false while the voice is held silent.
bool Voice::settle(int outputRate) noexcept
{
    if (fade.silent())
    {
        if (phase == Phase::Stopping)
        {
            release();
            return false;
        }
        if (pendingSeek >= 0)
        {
            seekNow(pendingSeek, outputRate);
            pendingSeek = -1;
        }
    }
    return !(fadingOut() && fade.silent());
}

// The block's frames in `buffer`: copied at ratio 1, resampled otherwise, switching between
// the two without a click.
int Voice::produce(int n, double step, bool& drained) noexcept
{
    if (varispeed.active() && varispeed.settledAtOne(step) && !source.done())
        cursor = varispeed.handBack(source);
    else if (!varispeed.active() && step != 1.0)
    {
        varispeed.cancelCrossfade();
        varispeed.start(source, cursor, step);
    }
    if (varispeed.active())
        return varispeed.resample(source, buffer.data(), n, step, drained);
    const int produced = source.pull(cursor, buffer.data(), n);
    drained = source.done() && produced < n;
    varispeed.crossfade(source, buffer.data(), produced);
    return produced;
}

// Adds the frames at their gain and fade, and raises the peaks.
void Voice::mixOut(float* mix, const float* in, int frames, bool out, float fadeStep) noexcept
{
    float peakL = 0, peakR = 0;
    if (gain.steady() && fade.full() && !out)
        mixAtGain(mix, in, frames, gain.value, peakL, peakR);
    else
        for (int i = 0; i < frames; ++i)
        {
            const float g = gain.next() * fade.next(out, fadeStep);
            const float l = in[2 * i] * g;
            const float r = in[2 * i + 1] * g;
            mix[2 * i] += l;
            mix[2 * i + 1] += r;
            peakL = std::max(peakL, std::fabs(l));
            peakR = std::max(peakR, std::fabs(r));
        }
    raisePeak(peakLeft, peakL);
    raisePeak(peakRight, peakR);
}

// The position heard, the ring's floor for the streamer, and the stream's end.
void Voice::publish(bool drained) noexcept
{
    StreamState& s = source.stream();
    const bool resampling = varispeed.active();
    const std::int64_t heard = resampling ? varispeed.heard(source) : cursor;
    if (s.streamed())
        source.release(resampling ? std::min<std::int64_t>(heard, varispeed.lowestNeeded())
                                  : cursor);
    if (phase == Phase::Playing && pendingSeek < 0)
        s.position.store(std::clamp<std::int64_t>(heard, 0, s.totalFrames()),
                         std::memory_order_relaxed);
    if (drained && phase == Phase::Playing)
    {
        s.position.store(source.endFrame(), std::memory_order_relaxed);
        s.ended.store(true, std::memory_order_release);
        release();
    }
}

void Voice::playTail(float* mix, int n) noexcept
{
    const int frames = std::min(n, tailFrames - tailPlayed);
    float peakL = 0, peakR = 0;
    mixAtGain(mix, tail.data() + std::size_t(tailPlayed) * 2, frames, 1.0f, peakL, peakR);
    raisePeak(peakLeft, peakL);
    raisePeak(peakRight, peakR);
    tailPlayed += frames;
    if (tailPlayed >= tailFrames)
        release();
}

} // namespace sonarello::sound
