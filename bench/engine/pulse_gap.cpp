// A long file's first play through PulseAudio, listened to for gaps: a PulseAudio daemon of its
// own with a null sink, a 62 s sine (streamed, never played before: its head preloaded as a
// row's is, the rest cold on disk) played once for a while, and the sink's monitor recorded
// whole. Any break in the sine the monitor carries (silence inserted, frames lost) is a gap,
// printed with where it fell; so are the stream's underruns. Exit 1 on any gap (in a smoke run,
// on a gap the stream did not report as an underrun).
// Usage: pulse_gap [SECONDS] [PERIOD] [--mp3]
#include "devices/system_outputs.h"
#include "engine/audio_engine.h"
#include "smoke.h"
#include "soundgen.h"
#include "support/pulse_server.h"
#include "support/temp_folder.h"

#include "monitor.h"
#include <algorithm>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <numbers>
#include <pulse/error.h>
#include <pulse/simple.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace sonarello;
using namespace sonarello::sound;

namespace
{

constexpr int kRate = 44100;
constexpr double kTone = 441.0;
constexpr float kAmplitude = 0.5f;
constexpr double kFileSeconds = 62.0;
constexpr int kChunkFrames = 64;
// A sample further than this from what the sine's last two predict breaks it; a 16-bit or
// MP3 copy of the sine stays far closer.
constexpr float kBreak = 0.02f;

// Records the monitor into memory from open() to stop().
class Recorder
{
  public:
    explicit Recorder(double seconds)
    {
        frames_.reserve(static_cast<std::size_t>((seconds + 10) * kRate) * 2);
    }

    bool open()
    {
        stream_ = bench::openMonitor("pulse_gap", "test.monitor", kRate, kChunkFrames);
        if (!stream_)
            return false;
        thread_ = std::thread([this] { run(); });
        return true;
    }

    // Starts keeping what is recorded (before, the idle sink's silence is dropped).
    void keep() { keeping_ = true; }

    const std::vector<float>& stop()
    {
        quit_ = true;
        if (thread_.joinable())
            thread_.join();
        return frames_;
    }

    ~Recorder() { stop(); }

  private:
    void run()
    {
        std::vector<float> chunk(kChunkFrames * 2);
        while (!quit_)
        {
            if (pa_simple_read(stream_.get(), chunk.data(), chunk.size() * sizeof(float), nullptr) <
                0)
                return;
            if (keeping_ && frames_.size() + chunk.size() <= frames_.capacity())
                frames_.insert(frames_.end(), chunk.begin(), chunk.end());
        }
    }

    bench::MonitorStream stream_;
    std::atomic<bool> quit_{false};
    std::atomic<bool> keeping_{false};
    std::vector<float> frames_;
    std::thread thread_;
};

struct Gap
{
    std::int64_t frame = 0;  // after the sound's first frame
    std::int64_t silent = 0; // frames of silence in it
};

// Breaks in the sine's left side from its first loud sample to `frames` after it.
std::vector<Gap> findGaps(const std::vector<float>& recorded, std::int64_t frames,
                          std::int64_t& onset)
{
    const auto total = static_cast<std::int64_t>(recorded.size() / 2);
    const auto left = [&](std::int64_t f) { return recorded[static_cast<std::size_t>(f) * 2]; };
    onset = 0;
    while (onset < total && std::fabs(left(onset)) < kAmplitude / 2)
        ++onset;
    // The sound starts where it is loud; it rose from silence within the last half cycle.
    const std::int64_t end = std::min(total, onset + frames);
    const float twoCos = 2.0f * static_cast<float>(std::cos(2 * std::numbers::pi * kTone / kRate));
    std::vector<Gap> gaps;
    std::int64_t lastBreak = -kRate;
    for (std::int64_t f = onset + 2; f < end; ++f)
    {
        const float predicted = twoCos * left(f - 1) - left(f - 2);
        const bool silent = std::fabs(left(f)) < 1e-6f && std::fabs(left(f - 1)) < 1e-6f;
        if (std::fabs(left(f) - predicted) < kBreak && !silent)
            continue;
        if (f - lastBreak > kRate / 10) // breaks this close are one gap: its start and end
        {
            Gap gap{f - onset, 0};
            while (f + gap.silent < end && std::fabs(left(f + gap.silent)) < 1e-6f)
                ++gap.silent;
            gaps.push_back(gap);
        }
        lastBreak = f;
    }
    return gaps;
}

// Leaves the file on disk only, as one that was never played.
void dropFromCache(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return;
    ::fdatasync(fd);
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    ::close(fd);
}

} // namespace

int main(int argc, char** argv)
{
    double seconds = argc > 1 ? std::atof(argv[1]) : bench::sized(60.0, 5.0);
    const int period = argc > 2 ? std::atoi(argv[2]) : 256;
    const bool mp3 = argc > 3 && std::string(argv[3]) == "--mp3";
    seconds = std::clamp(seconds, 1.0, kFileSeconds - 1);
    if (!test::PulseServer::installed())
    {
        std::puts("pulse_gap: pulseaudio is not installed; nothing measured");
        return 77;
    }
    test::PulseServer server; // points every client of the process at it
    test::TempFolder folder;
    Recorder recorder(seconds);
    if (!server.start() || !recorder.open() || !server.settle())
    {
        std::puts("pulse_gap: the PulseAudio server did not come up");
        return 1;
    }
    const std::string file = folder.file(mp3 ? "long.mp3" : "long.wav");
    soundgen::writeSound(file, {soundgen::Sound::Sine, kTone, kFileSeconds, kRate, 2, kAmplitude},
                         mp3 ? soundgen::Container::Mp3Cbr : soundgen::Container::Wav16);
    dropFromCache(file);

    auto engine = createSystemEngine();
    EngineOptions options;
    options.output = "pulse";
    options.periodFrames = period;
    if (!engine->start(options) || engine->outputRate() != kRate)
    {
        std::puts("pulse_gap: no PulseAudio output at 44.1 kHz");
        return 1;
    }
    engine->preload(file); // as a row's file is when the rows are read
    dropFromCache(file);
    // The sink follows the new stream's latency only after what it rendered ahead while idle.
    std::this_thread::sleep_for(std::chrono::seconds(2));
    recorder.keep();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const unsigned underrunsBefore = engine->underruns();

    const StreamHandle stream = engine->openStream(file);
    if (engine->playStream(stream) == kNoChannel)
    {
        std::puts("pulse_gap: the file did not play");
        return 1;
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const unsigned underruns = engine->underruns() - underrunsBefore;
    engine->closeStream(stream);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const std::vector<float>& recorded = recorder.stop();

    std::int64_t onset = 0;
    // The last tenth of a second may still be on its way to the monitor.
    const auto heard = static_cast<std::int64_t>((seconds - 0.1) * kRate);
    const std::vector<Gap> gaps = findGaps(recorded, heard, onset);
    const auto recordedFrames = static_cast<std::int64_t>(recorded.size() / 2);
    const bool whole = recordedFrames >= onset + heard;
    std::printf("PulseAudio first play of a %.0f s %s for %.0f s, period %d: %u underruns, "
                "%zu gaps in the monitor%s\n",
                kFileSeconds, mp3 ? "MP3" : "WAV", seconds, period, underruns, gaps.size(),
                whole ? "" : " (the recording came out short)");
    for (const Gap& gap : gaps)
        std::printf("  gap at frame %lld (%.3f s): %lld frames of silence\n",
                    static_cast<long long>(gap.frame), static_cast<double>(gap.frame) / kRate,
                    static_cast<long long>(gap.silent));
    if (!whole)
        return 1;
    // A smoke run shares a busy machine: a stall the stream reported as an underrun (and grew
    // its buffer for) is the machine's; a gap it did not report is frames the engine lost.
    if (bench::smoke())
        return gaps.size() <= underruns ? 0 : 1;
    return underruns == 0 && gaps.empty() ? 0 : 1;
}
