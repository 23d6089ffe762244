#include "streamer.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>

namespace sonarello::sound
{

namespace
{

constexpr std::int64_t kDecodeChunkFrames = 8192;
constexpr auto kIdlePoll = std::chrono::milliseconds(10);
// After a play or a seek: how long the streamer looks for the voice's request, and how often.
// The audio thread makes it within a period, or after a seek's 3 ms fade.
constexpr auto kExpectFor = std::chrono::milliseconds(50);
constexpr auto kExpectPoll = std::chrono::microseconds(500);

// The stream ends where its decoded frames end, once, with a line that says why.
void markUnreadable(StreamState& s)
{
    if (!s.unreadable.exchange(true, std::memory_order_release))
        std::fprintf(stderr, "Sonarello: \"%s\" changed or can no longer be read; it ends there\n",
                     s.path.c_str());
}

bool openDecoderIfNeeded(StreamState& s)
{
    if (s.decoder)
        return true;
    if (s.decoderFailed)
        return false;
    // The file the head came from, even deleted or replaced under its name; the head is
    // never spliced onto a file rewritten in place.
    const bool held = s.file && s.file->isOpen();
    if (!held || !s.file->changed())
        s.decoder = openDecoder(held ? s.file->path() : s.path);
    s.decodeFrame = 0;
    // A file replaced by another one of a different length is no longer the stream's file.
    if (!s.decoder || s.decoder->format().frames != s.totalFrames())
    {
        s.decoder.reset();
        s.decoderFailed = true;
        markUnreadable(s);
        return false;
    }
    return true;
}

// Opens the window a voice asked for at `start`, seeking the decoder there.
void serveRequest(StreamState& s, std::uint32_t epoch, std::int64_t start)
{
    bool ok = openDecoderIfNeeded(s);
    if (ok && s.decodeFrame != start)
        ok = s.decoder->seek(start);
    s.decodeFrame = ok ? start : -1;
    s.ring.serve(epoch, start, ok ? s.totalFrames() : start);
    s.refilling = ok;
}

// Seconds of playing time left before the voice runs out of decoded frames.
double secondsAhead(const StreamState& s)
{
    const std::int64_t ahead = s.ring.windowEnd() - s.position.load(std::memory_order_relaxed);
    const int rate = s.rateHz.load(std::memory_order_relaxed);
    return static_cast<double>(ahead) / std::max(rate > 0 ? rate : s.fileRate(), 1);
}

// The ring has room and the file has frames left for it.
bool canFill(const StreamState& s)
{
    float* dst = nullptr;
    return s.decoder && s.decodeFrame == s.ring.windowEnd() &&
           s.ring.writable(dst, kDecodeChunkFrames) > 0;
}

// Decodes one chunk into the ring; false when the ring is as full as it may be.
bool fillChunk(StreamState& s)
{
    float* dst = nullptr;
    const std::int64_t wanted = s.ring.writable(dst, kDecodeChunkFrames);
    if (wanted == 0 || s.decodeFrame != s.ring.windowEnd())
        return false;
    const std::int64_t got = std::max<std::int64_t>(s.decoder->read(dst, wanted), 0);
    s.decodeFrame += got;
    // A damaged file ends where decoding stops and loops from there; one that was cut or
    // rewritten while it played ends there.
    if (got < wanted && s.file && s.file->changed())
        markUnreadable(s);
    s.ring.commit(got, got < wanted); // decoding failed where it stopped short
    return got > 0;
}

} // namespace

std::shared_ptr<DecodedHead> decodeHead(Decoder& decoder, const FileMeasure& measure)
{
    auto head = std::make_shared<DecodedHead>();
    head->measure = measure;
    const std::int64_t total = measure.format.frames;
    const bool whole = total <= kHeadFrames ||
                       static_cast<double>(total) < kWholeFileSeconds * measure.format.sampleRate;
    const std::int64_t wanted = whole ? total : kHeadFrames;
    head->frames.resize(static_cast<std::size_t>(wanted * 2));
    std::int64_t got = 0;
    while (got < wanted)
    {
        const std::int64_t n =
            decoder.read(head->frames.data() + got * 2, std::min(wanted - got, kDecodeChunkFrames));
        if (n <= 0)
            break;
        got += n;
    }
    head->headFrames = got;
    head->whole = whole || got < wanted;
    if (got < wanted)
    {
        head->frames.resize(static_cast<std::size_t>(got * 2));
        head->frames.shrink_to_fit();
    }
    return head;
}

void StreamState::allocateRing()
{
    if (ring.allocated() || !streamed())
        return;
    ring.allocate(static_cast<std::int64_t>(std::ceil((kRingSeconds + 0.1) * fileRate())) +
                  kRingHistoryFrames);
}

Streamer::Streamer(bool ownThread)
{
    if (ownThread)
        thread_ = std::thread([this] { run(); });
}

Streamer::~Streamer()
{
    {
        std::lock_guard lock(mutex_);
        quit_ = true;
    }
    wakeUp_.notify_all();
    if (thread_.joinable())
        thread_.join();
}

void Streamer::add(std::shared_ptr<StreamState> stream)
{
    {
        std::lock_guard lock(mutex_);
        if (std::find(streams_.begin(), streams_.end(), stream) == streams_.end())
            streams_.push_back(std::move(stream));
    }
    wakeUp_.notify_all();
}

void Streamer::remove(const StreamState* stream)
{
    std::lock_guard lock(mutex_);
    std::erase_if(streams_, [&](const auto& s) { return s.get() == stream; });
}

void Streamer::wake()
{
    wakeUp_.notify_all();
}

void Streamer::expectRequest()
{
    {
        std::lock_guard lock(mutex_);
        expectUntil_ = std::chrono::steady_clock::now() + kExpectFor;
    }
    wakeUp_.notify_all();
}

void Streamer::serviceNow()
{
    while (serviceOnce())
    {
    }
}

bool Streamer::serviceOnce()
{
    std::lock_guard serviceLock(serviceMutex_);
    std::vector<std::shared_ptr<StreamState>> streams;
    {
        std::lock_guard lock(mutex_);
        streams = streams_;
    }
    StreamState* mostUrgent = nullptr;
    double leastAhead = 0;
    for (const auto& stream : streams)
    {
        StreamState& s = *stream;
        std::uint32_t epoch = 0;
        std::int64_t start = 0;
        if (s.ring.pendingRequest(epoch, start))
            serveRequest(s, epoch, start);
        if (!s.playing.load(std::memory_order_relaxed) || s.ended.load(std::memory_order_relaxed))
            continue;
        const double ahead = secondsAhead(s);
        if (ahead < kRefillBelowSeconds)
            s.refilling = true;
        if (ahead >= kRingSeconds || !canFill(s))
            s.refilling = false;
        if (s.refilling && (!mostUrgent || ahead < leastAhead))
        {
            mostUrgent = &s;
            leastAhead = ahead;
        }
    }
    if (!mostUrgent)
        return false;
    if (!fillChunk(*mostUrgent))
        mostUrgent->refilling = false;
    return true;
}

void Streamer::run()
{
    std::unique_lock lock(mutex_);
    while (!quit_)
    {
        lock.unlock();
        const bool busy = serviceOnce();
        lock.lock();
        if (busy || quit_)
            continue;
        const auto now = std::chrono::steady_clock::now();
        wakeUp_.wait_for(lock, now < expectUntil_ ? kExpectPoll : kIdlePoll);
    }
}

} // namespace sonarello::sound
