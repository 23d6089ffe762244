#include "stream_ring.h"

#include <algorithm>
#include <cstring>

namespace sonarello::sound
{

void StreamRing::allocate(std::int64_t frames)
{
    capacity_ = frames;
    frames_.reset(new float[static_cast<std::size_t>(frames * 2)]);
}

// ---- writer ----

bool StreamRing::pendingRequest(std::uint32_t& epoch, std::int64_t& frame) const noexcept
{
    epoch = wantedEpoch_.load(std::memory_order_acquire);
    if (epoch == servedEpoch_.load(std::memory_order_relaxed))
        return false;
    frame = wantedFrame_.load(std::memory_order_relaxed);
    return true;
}

void StreamRing::serve(std::uint32_t epoch, std::int64_t start, std::int64_t dataEnd) noexcept
{
    windowStart_.store(start, std::memory_order_relaxed);
    windowEnd_.store(start, std::memory_order_relaxed);
    dataEnd_.store(dataEnd, std::memory_order_relaxed);
    servedEpoch_.store(epoch, std::memory_order_release);
}

std::int64_t StreamRing::writable(float*& dst, std::int64_t most) const noexcept
{
    const std::int64_t end = windowEnd_.load(std::memory_order_relaxed);
    const std::int64_t floor = readFloor_.load(std::memory_order_acquire);
    const std::int64_t limit =
        std::min(floor + capacity_, dataEnd_.load(std::memory_order_relaxed));
    if (end >= limit)
        return 0;
    const std::int64_t slot = end % capacity_;
    dst = frames_.get() + slot * 2;
    return std::min({limit - end, most, capacity_ - slot});
}

void StreamRing::commit(std::int64_t frames, bool stopped) noexcept
{
    const std::int64_t end = windowEnd_.load(std::memory_order_relaxed) + frames;
    if (stopped)
        dataEnd_.store(end, std::memory_order_relaxed);
    windowEnd_.store(end, std::memory_order_release);
}

// ---- reader ----

void StreamRing::Reader::attach(StreamRing& ring) noexcept
{
    ring_ = &ring;
    epoch_ = ring.wantedEpoch_.load(std::memory_order_relaxed);
}

void StreamRing::Reader::request(std::int64_t start) noexcept
{
    floor_ = start - kRingHistoryFrames;
    ring_->readFloor_.store(floor_, std::memory_order_relaxed);
    ring_->wantedFrame_.store(start, std::memory_order_relaxed);
    ring_->wantedEpoch_.store(++epoch_, std::memory_order_release);
}

bool StreamRing::Reader::served() const noexcept
{
    return ring_->servedEpoch_.load(std::memory_order_acquire) == epoch_;
}

std::int64_t StreamRing::Reader::dataEnd() const noexcept
{
    return ring_->dataEnd_.load(std::memory_order_relaxed);
}

int StreamRing::Reader::fetch(std::int64_t frame, float* dst, int n) const noexcept
{
    if (!served())
        return 0;
    const StreamRing& r = *ring_;
    const std::int64_t start = r.windowStart_.load(std::memory_order_relaxed);
    const std::int64_t end = r.windowEnd_.load(std::memory_order_acquire);
    if (frame < start || frame >= end || frame < floor_)
        return 0;
    const std::int64_t slot = frame % r.capacity_;
    const int m = static_cast<int>(std::min({std::int64_t{n}, end - frame, r.capacity_ - slot}));
    std::memcpy(dst, r.frames_.get() + slot * 2, sizeof(float) * 2 * std::size_t(m));
    return m;
}

void StreamRing::Reader::release(std::int64_t lowest) noexcept
{
    if (ring_->servedEpoch_.load(std::memory_order_relaxed) != epoch_)
        return;
    const std::int64_t f = lowest - kRingHistoryFrames;
    if (f > floor_)
    {
        floor_ = f;
        ring_->readFloor_.store(f, std::memory_order_release);
    }
}

} // namespace sonarello::sound
