// The ring of decoded frames between the streamer, which writes it, and the one voice that
// reads it: both sides of their protocol. Writer: streamer thread; reader: audio thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

namespace sonarello::sound
{

constexpr std::int64_t kRingHistoryFrames = 512; // kept behind a voice for ramps and switches

// The protocol. File frames live at frame % capacity. The reader asks for a window starting
// at a frame by bumping wantedEpoch; the writer seeks, answers with servedEpoch and fills
// [windowStart, windowEnd), never writing at or beyond readFloor + capacity. The reader never
// reads below its floor, which it only raises, and reads a window only of the epoch it asked.
//
// Memory orders, the only ones used on these atomics:
// - wantedEpoch is stored with release after wantedFrame and readFloor (relaxed), and loaded
//   with acquire by the writer before it reads them: a request arrives whole.
// - servedEpoch is stored with release after windowStart, windowEnd and dataEnd (relaxed), and
//   loaded with acquire by the reader before it reads them: a window arrives whole.
// - windowEnd is stored with release after the frames below it were written, and loaded with
//   acquire by the reader before it copies them.
// - readFloor is stored with release after the reader's last copy below it, and loaded with
//   acquire by the writer before it overwrites those frames.
class StreamRing
{
  public:
    // control thread, before the ring's first use
    void allocate(std::int64_t frames);
    bool allocated() const { return frames_ != nullptr; }
    std::int64_t capacity() const { return capacity_; }

    // ---- writer: streamer thread ----
    // A request not answered yet: its epoch and first frame.
    bool pendingRequest(std::uint32_t& epoch, std::int64_t& frame) const noexcept;
    // Answers the request: an empty window at `start`; `dataEnd` is where the file's decoded
    // frames end (earlier than the file where decoding cannot go on).
    void serve(std::uint32_t epoch, std::int64_t start, std::int64_t dataEnd) noexcept;
    std::int64_t windowEnd() const noexcept { return windowEnd_.load(std::memory_order_relaxed); }
    // Where the writer may write next, up to `most` frames in one piece; 0 when the ring is as
    // full as it may be.
    std::int64_t writable(float*& dst, std::int64_t most) const noexcept;
    // Publishes `frames` written at the window's end; `stopped`: decoding ended there early.
    void commit(std::int64_t frames, bool stopped) noexcept;

    // ---- reader: the voice, audio thread ----
    class Reader
    {
      public:
        // A new reader of the ring takes over the epoch its predecessor left.
        void attach(StreamRing& ring) noexcept;
        // Asks for the frames from `start` on (a start, a seek, a loop).
        void request(std::int64_t start) noexcept;
        // The window asked for was opened.
        bool served() const noexcept;
        // Where the file's decoded frames end, once served.
        std::int64_t dataEnd() const noexcept;
        // Copies frames from `frame` on while the ring holds them; 0 when it lags behind.
        int fetch(std::int64_t frame, float* dst, int n) const noexcept;
        // Lets the writer overwrite what lies more than the history behind `lowest`.
        void release(std::int64_t lowest) noexcept;

      private:
        StreamRing* ring_ = nullptr;
        std::uint32_t epoch_ = 0;
        std::int64_t floor_ = 0;
    };

  private:
    std::unique_ptr<float[]> frames_; // stereo interleaved
    std::int64_t capacity_ = 0;
    std::atomic<std::int64_t> windowStart_{0};
    std::atomic<std::int64_t> windowEnd_{0};
    std::atomic<std::int64_t> dataEnd_{0};
    std::atomic<std::uint32_t> wantedEpoch_{0};
    std::atomic<std::uint32_t> servedEpoch_{0};
    std::atomic<std::int64_t> wantedFrame_{0};
    std::atomic<std::int64_t> readFloor_{0};
};

} // namespace sonarello::sound
