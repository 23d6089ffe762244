// Decoded audio of open streams: heads kept for instant start, rings kept ahead of voices.
// Streamer thread and control threads; the audio thread reads StreamState via the Mixer.
#pragma once

#include "decoder.h"
#include "stream_ring.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace sonarello::sound
{

constexpr std::int64_t kHeadFrames = 65536; // decoded start of every file kept in memory
constexpr double kWholeFileSeconds = 10.0;  // shorter files are decoded whole
constexpr double kRingSeconds = 2.0;        // the streamer keeps a voice this far ahead
constexpr double kRefillBelowSeconds = 1.0; // and tops the ring up when less is left

// The decoded start of a file (all of it when short) with its measure. Immutable once
// built, shared by every stream of the file.
struct DecodedHead
{
    FileMeasure measure;
    std::vector<float> frames; // stereo interleaved
    std::int64_t headFrames = 0;
    bool whole = false;                   // frames hold everything that could be decoded
    std::shared_ptr<const FileHold> file; // the file it was decoded from, kept open

    std::int64_t totalFrames() const { return measure.format.frames; }
};

// Decodes the head of the file the decoder reads from its current position (the start).
// Control or streamer thread.
std::shared_ptr<DecodedHead> decodeHead(Decoder& decoder, const FileMeasure& measure);

// One open stream: its head, its ring and the state its voice publishes. Created and owned
// by the control side; the streamer writes the ring, the voice reads it.
struct StreamState
{
    std::string path;
    std::shared_ptr<const DecodedHead> head;
    std::shared_ptr<const FileHold> file; // where the rest after the head is decoded from

    StreamRing ring; // streamed files only

    // Published by the voice while it plays; set by the control side while none does.
    std::atomic<std::int64_t> position{0};
    std::atomic<bool> ended{false};
    std::atomic<bool> loop{false};
    std::atomic<int> rateHz{0};
    std::atomic<bool> playing{false}; // the streamer serves only playing streams
    // Set by the streamer: the file changed under the stream or can no longer be read, so
    // the voice ends where the decoded frames end instead of looping.
    std::atomic<bool> unreadable{false};

    // Streamer thread only.
    std::unique_ptr<Decoder> decoder;
    std::int64_t decodeFrame = -1; // where the decoder stands, -1 unknown
    bool decoderFailed = false;
    bool refilling = false;

    bool streamed() const { return !head->whole; }
    std::int64_t totalFrames() const { return head->totalFrames(); }
    int fileRate() const { return head->measure.format.sampleRate; }
    // control thread, before the stream first plays
    void allocateRing();
};

// The thread that fills the rings of playing streams, the one closest to running dry first.
class Streamer
{
  public:
    // Without its own thread the rings fill only through serviceNow().
    explicit Streamer(bool ownThread = true);
    ~Streamer();
    Streamer(const Streamer&) = delete;
    Streamer& operator=(const Streamer&) = delete;

    // control thread
    void add(std::shared_ptr<StreamState> stream);
    void remove(const StreamState* stream);
    void wake();
    // A voice is about to ask for a window (a play or a seek was posted): the request is made
    // on the audio thread, which cannot wake us, so the streamer looks for it closely for a
    // while instead of at its idle poll.
    void expectRequest();
    // Fills every ring that needs it until none does; for tests and benchmarks that drive
    // the mixer without the thread. Any thread but the streamer's own.
    void serviceNow();

  private:
    void run();
    bool serviceOnce(); // true when it did some work

    std::mutex mutex_;
    std::condition_variable wakeUp_;
    std::vector<std::shared_ptr<StreamState>> streams_;
    std::mutex serviceMutex_;
    bool quit_ = false;
    std::chrono::steady_clock::time_point expectUntil_;
    std::thread thread_;
};

} // namespace sonarello::sound
