// Mixes the playing voices into the output block: head or ring, varispeed, ramps, loops,
// levels. render() is the audio thread; post() one control thread at a time; the rest any.
#pragma once

#include "spsc_queue.h"
#include "streamer.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

typedef struct SRC_STATE_tag SRC_STATE;

namespace sonarello::sound
{

constexpr int kMinVoices = 128;
constexpr int kMaxRenderBlock = 512; // longer periods are mixed in blocks of this size
constexpr double kMaxStep = 8.0;     // file frames per output frame, at most
constexpr double kMinStep = 1.0 / 128.0;

struct MixerCommand
{
    enum class Kind : std::uint8_t
    {
        Play,
        Stop,
        Seek,
        Volume,
        Rate
    };
    Kind kind = Kind::Stop;
    std::uint16_t slot = 0;
    std::uint32_t serial = 0; // which voice on the slot the command is for
    StreamState* stream = nullptr;
    std::int64_t frame = 0; // Play: start frame; Seek: target frame
    float gain = 1.0f;      // Play, Volume
    int rateHz = 0;         // Play, Rate: file frames per second
};

class Mixer
{
  public:
    Mixer(int voices, int outputRate);
    ~Mixer();
    Mixer(const Mixer&) = delete;
    Mixer& operator=(const Mixer&) = delete;

    // control thread, only while nothing renders
    void setOutputRate(int rate);
    int outputRate() const { return outputRate_.load(std::memory_order_relaxed); }
    int voiceCount() const { return static_cast<int>(voices_.size()); }

    // control thread (one at a time); false when the queue is full
    bool post(const MixerCommand& command) noexcept;
    std::uint64_t commandsPosted() const { return posted_; }

    // audio thread: adds nothing but the voices, writing exactly frames stereo frames
    void render(float* out, int frames) noexcept;

    // any thread
    std::uint64_t commandsDone() const { return done_.load(std::memory_order_acquire); }
    std::uint32_t runningSerial(int slot) const;
    // The peak of each side since the previous call, after volume.
    void takePeaks(int slot, float& left, float& right);

    struct Voice;

  private:
    void apply(const MixerCommand& command) noexcept;

    std::vector<std::unique_ptr<Voice>> voices_;
    SpscQueue<MixerCommand> commands_;
    std::atomic<int> outputRate_;
    std::uint64_t posted_ = 0;
    std::uint64_t drained_ = 0;
    std::atomic<std::uint64_t> done_{0};
};

} // namespace sonarello::sound
