#include "clock_output.h"

#include "base/raii.h"
#include "base/spsc_queue.h"
#include "engine/mixer.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <sndfile.h>
#include <thread>
#include <vector>

namespace sonarello::sound
{

namespace
{

using SndFile = std::unique_ptr<SNDFILE, Deleter<sf_close>>;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kRecordingFrames = std::size_t{1} << 20; // about 20 s
constexpr std::size_t kWriteFrames = 4096;
constexpr auto kWriterIdle = std::chrono::milliseconds(20);
constexpr auto kStall = std::chrono::milliseconds(200);

// Writes what the clock rendered to the file on a thread of its own, so that the render
// thread never waits for the disk. Every frame is written whole, in order.
class Recorder
{
  public:
    explicit Recorder(SndFile file) : file_(std::move(file))
    {
        thread_ = std::thread([this] { run(); });
    }
    ~Recorder()
    {
        quit_.store(true);
        thread_.join();
    }

    // render thread: false while the disk is so far behind that the recording is full
    bool push(const float* stereo, std::size_t frames) noexcept
    {
        if (queue_.room() < frames)
            return false;
        for (std::size_t i = 0; i < frames; ++i)
            queue_.push({stereo[2 * i], stereo[2 * i + 1]});
        return true;
    }

  private:
    void run()
    {
        std::vector<Frame> chunk(kWriteFrames);
        while (true)
        {
            const bool quitting = quit_.load();
            std::size_t n = 0;
            while (n < chunk.size() && queue_.pop(chunk[n]))
                ++n;
            if (n > 0)
                sf_writef_float(file_.get(), &chunk.data()->left, static_cast<sf_count_t>(n));
            else if (quitting)
                return;
            else
                std::this_thread::sleep_for(kWriterIdle);
        }
    }

    SndFile file_;
    struct Frame
    {
        float left = 0, right = 0;
    };
    static_assert(sizeof(Frame) == 2 * sizeof(float),
                  "frames lie as the file's interleaved samples");
    SpscQueue<Frame> queue_{kRecordingFrames};
    std::atomic<bool> quit_{false};
    std::thread thread_;
};

class ClockOutput final : public Output
{
  public:
    bool open(Mixer& mixer, int rate, int periodFrames, const std::string& wavPath,
              std::string& error)
    {
        rate_ = rate;
        mixer.useDevice(rate, periodFrames);
        if (!wavPath.empty())
        {
            SF_INFO info{};
            info.samplerate = rate;
            info.channels = 2;
            info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
            // Created here or not at all: a recording never replaces a file.
            const int fd =
                ::open(wavPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
            if (fd < 0)
            {
                error = wavPath + ": " + std::strerror(errno);
                return false;
            }
            SndFile file(sf_open_fd(fd, SFM_WRITE, &info, SF_TRUE));
            if (!file)
            {
                error = sf_strerror(nullptr);
                return false;
            }
            sf_command(file.get(), SFC_SET_UPDATE_HEADER_AUTO, nullptr, SF_TRUE);
            recorder_ = std::make_unique<Recorder>(std::move(file));
        }
        thread_ = std::thread([this, &mixer, periodFrames] { run(mixer, periodFrames); });
        return true;
    }

    ~ClockOutput() override
    {
        quit_.store(true);
        if (thread_.joinable())
            thread_.join();
    }

    int sampleRate() const override { return rate_; }
    bool running() override { return true; }

  private:
    // audio thread
    void run(Mixer& mixer, int periodFrames)
    {
        std::vector<float> block(static_cast<std::size_t>(periodFrames) * 2);
        const auto period = std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(static_cast<double>(periodFrames) / rate_));
        auto next = Clock::now();
        while (!quit_.load(std::memory_order_relaxed))
        {
            mixer.render(block.data(), periodFrames);
            // A disk stalled for the whole recording's length holds the clock rather than
            // lose a period of the file.
            while (recorder_ && !recorder_->push(block.data(), block.size() / 2) &&
                   !quit_.load(std::memory_order_relaxed))
                std::this_thread::sleep_for(kWriterIdle);
            next += period;
            const auto now = Clock::now();
            if (now - next > kStall)
                next = now; // the machine stalled: keep pace from here
            std::this_thread::sleep_until(next);
        }
    }

    int rate_ = 0;
    std::unique_ptr<Recorder> recorder_;
    std::atomic<bool> quit_{false};
    std::thread thread_;
};

} // namespace

std::unique_ptr<Output> openClockOutput(Mixer& mixer, int rate, int periodFrames,
                                        const std::string& wavPath, std::string& error)
{
    auto clock = std::make_unique<ClockOutput>();
    if (!clock->open(mixer, rate, periodFrames, wavPath, error))
        return nullptr;
    return clock;
}

} // namespace sonarello::sound
