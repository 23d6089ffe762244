// Pad-to-sound through PulseAudio: a PulseAudio daemon of its own with a null sink, the engine
// on it at a given period, notes that start a cued hit from a MIDI thread, and the sink's
// monitor recorded with short fragments. The time from each note's arrival to its first
// sample at the monitor, less the recording's own delay as the server reports it, is printed
// as min, median and max. Usage: pulse_latency [NOTES] [PERIOD] [--running]
// --running: the server the environment points at (pipewire-pulse, say), its default sink.
#include "devices/system_outputs.h"
#include "engine/audio_engine.h"
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
#include <optional>
#include <pulse/error.h>
#include <pulse/simple.h>
#include <random>
#include <string>
#include <thread>
#include <vector>

using namespace sonarello;
using namespace sonarello::sound;
using Clock = std::chrono::steady_clock;

namespace
{

constexpr int kRate = 44100;
constexpr int kChunkFrames = 32;
constexpr int kKey = 60;
constexpr float kThreshold = 0.02f;

std::int64_t nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

// Records the monitor; each note's onset is the first loud sample after it was armed.
class Recorder
{
  public:
    bool open()
    {
        stream_ = bench::openMonitor("pulse_latency", nullptr, kRate, kChunkFrames);
        if (!stream_)
            return false;
        thread_ = std::thread([this] { run(); });
        return true;
    }

    ~Recorder()
    {
        quit_ = true;
        if (thread_.joinable())
            thread_.join();
    }

    void arm(std::int64_t since) { armed_.store(since); }
    // Nanoseconds from the armed time to the onset; -1 while none was heard.
    std::int64_t onset() const { return onset_.load(); }
    void reset()
    {
        onset_.store(-1);
        armed_.store(-1);
    }

  private:
    void run()
    {
        std::vector<float> chunk(kChunkFrames * 2);
        while (!quit_)
        {
            if (pa_simple_read(stream_.get(), chunk.data(), chunk.size() * sizeof(float), nullptr) <
                0)
                return;
            const std::int64_t read = nowNs();
            const auto latency =
                static_cast<std::int64_t>(pa_simple_get_latency(stream_.get(), nullptr));
            const std::int64_t armed = armed_.load();
            if (armed < 0 || onset_.load() >= 0)
                continue;
            for (int f = 0; f < kChunkFrames; ++f)
                if (std::fabs(chunk[static_cast<std::size_t>(2 * f)]) > kThreshold)
                {
                    const std::int64_t captured =
                        read - latency * 1000 -
                        static_cast<std::int64_t>(kChunkFrames - 1 - f) * 1'000'000'000 / kRate;
                    onset_.store(captured - armed);
                    break;
                }
        }
    }

    bench::MonitorStream stream_;
    std::atomic<bool> quit_{false};
    std::atomic<std::int64_t> armed_{-1};
    std::atomic<std::int64_t> onset_{-1};
    std::thread thread_;
};

} // namespace

int main(int argc, char** argv)
{
    const int notes = argc > 1 ? std::atoi(argv[1]) : 50;
    const int period = argc > 2 ? std::atoi(argv[2]) : 256;
    const bool running = argc > 3 && std::string(argv[3]) == "--running";
    if (!running && !test::PulseServer::installed())
    {
        std::puts("pulse_latency: pulseaudio is not installed; nothing measured");
        return 77;
    }
    std::optional<test::PulseServer> server; // points every client of the process at it
    if (!running)
        server.emplace();
    test::TempFolder folder;
    Recorder recorder;
    if (!(running || server->start()) || !recorder.open() || !(running || server->settle()))
    {
        std::puts("pulse_latency: the PulseAudio server did not come up");
        return 1;
    }
    if (running) // a sink that sat idle renders ahead until a recorder brings it down
        std::this_thread::sleep_for(std::chrono::seconds(2));
    const std::string hit = folder.file("hit.wav");
    soundgen::writeSound(hit, {soundgen::Sound::Sine, 441, 0.1, kRate, 2, 0.8f},
                         soundgen::Container::WavFloat);
    auto engine = createSystemEngine();
    EngineOptions options;
    options.output = "pulse";
    options.periodFrames = period;
    if (!engine->start(options))
        return 1;
    engine->preload(hit);
    // The sink follows the new stream's latency only after what it rendered ahead while idle.
    std::this_thread::sleep_for(std::chrono::seconds(2));
    std::mt19937 random(7);
    std::vector<double> ms;
    for (int n = 0; n < notes; ++n)
    {
        engine->setCue(kKey, engine->openStream(hit), 255, kRate, kNoChannel);
        std::this_thread::sleep_for(
            std::chrono::milliseconds(std::uniform_int_distribution<int>(150, 250)(random)));
        recorder.reset();
        const std::int64_t arrival = nowNs();
        recorder.arm(arrival);
        engine->noteStarter()->noteAt(kKey, true, arrival);
        for (int wait = 0; wait < 100 && recorder.onset() < 0; ++wait)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        if (recorder.onset() >= 0)
            ms.push_back(static_cast<double>(recorder.onset()) / 1e6);
        StreamHandle stream = kNoStream;
        ChannelHandle channel = kNoChannel;
        if (engine->takeStartedCue(kKey, stream, channel))
            engine->closeStream(stream);
    }
    std::sort(ms.begin(), ms.end());
    if (ms.empty())
    {
        std::puts("pulse_latency: no note was heard");
        return 1;
    }
    std::printf("%s pad-to-sound, period %d at %d Hz, %zu of %d notes heard: "
                "min %.1f ms, median %.1f ms, max %.1f ms\n",
                running ? "PulseAudio (the running server)" : "PulseAudio", period,
                engine->outputRate(), ms.size(), notes, ms.front(), ms[ms.size() / 2], ms.back());
    return 0;
}
