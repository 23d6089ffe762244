// Measures the sound engine where the stage needs it: start latency, CPU of 72 voices and
// the memory of 72 rows. Prints its figures; each part runs in a process of its own so its
// memory is its own. Usage: engine_bench [latency|cpu|memory]...
#include "platform/sound/audio_engine.h"
#include "platform/sound/mixer.h"
#include "soundgen.h"
#include "support/temp_folder.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <malloc.h>
#include <random>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace sonarello;
using namespace sonarello::sound;

namespace
{

constexpr int kRows = 72;

double threadCpuSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

double residentMegabytes()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stod(line.substr(6)) / 1024.0;
    return 0;
}

// A cosine starts at its peak, so its first frame is never zero.
void writeCosine(const std::string& path, double seconds, int rate)
{
    std::vector<float> samples(static_cast<std::size_t>(seconds * rate) * 2);
    for (std::size_t f = 0; f < samples.size() / 2; ++f)
        samples[2 * f] = samples[2 * f + 1] =
            0.5f * static_cast<float>(std::cos(2 * M_PI * 441.0 * double(f) / rate));
    soundgen::writeSamples(path, samples, rate, 2, soundgen::Container::Wav16);
}

// Copies of a few generated files under as many names as there are rows: every row then
// holds its own head and stream, as with different files.
std::vector<std::string> rowFiles(const test::TempFolder& folder, double seconds, int rate,
                                  soundgen::Container container, const char* extension)
{
    std::vector<std::string> originals;
    for (int i = 0; i < 3; ++i)
    {
        soundgen::SoundSpec recipe{soundgen::Sound::Chord,
                                   220.0 + 55 * i,
                                   seconds + 60 * i * (seconds > 60),
                                   rate,
                                   2,
                                   0.3f};
        originals.push_back(folder.file("source" + std::to_string(i) + extension));
        soundgen::writeSound(originals.back(), recipe, container);
    }
    std::vector<std::string> rows;
    for (int i = 0; i < kRows; ++i)
    {
        rows.push_back(folder.file("row" + std::to_string(i) + extension));
        std::filesystem::copy_file(originals[std::size_t(i) % originals.size()], rows.back());
    }
    return rows;
}

// The open and play calls of a note for a row stepped to a file outside the preloaded set,
// with the head decoded at the note (cold) and on the engine's worker after the step.
void fileStep(const test::TempFolder& folder, SoundEngine& engine)
{
    std::vector<double> cold, stepped;
    for (int trial = 0; trial < 20; ++trial)
    {
        const std::string name = folder.file("step" + std::to_string(trial) + ".mp3");
        soundgen::writeSound(name, {soundgen::Sound::Chord, 330, 20, 44100, 2, 0.3f},
                             soundgen::Container::Mp3Cbr);
        const bool prefetch = trial % 2 == 1;
        if (prefetch)
        {
            engine.prefetch(name);
            while (!engine.preloaded(name))
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        const auto before = std::chrono::steady_clock::now();
        const StreamHandle s = engine.openStream(name);
        engine.playStream(s, 255, 44100);
        (prefetch ? stepped : cold)
            .push_back(
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - before)
                    .count());
        engine.closeStream(s);
    }
    std::sort(cold.begin(), cold.end());
    std::sort(stepped.begin(), stepped.end());
    std::printf("a note after a file step (20 s MP3): open and play calls median %.3f ms, max "
                "%.3f ms with the head decoded on the engine's worker; %.3f ms, max %.3f ms "
                "decoding it at the note\n",
                stepped[stepped.size() / 2], stepped.back(), cold[cold.size() / 2], cold.back());
}

// Notes read in the audio cycle with their frame (JACK): from the note's frame to the first
// sounding frame of its cue, 72 rows playing.
void cuedNotes(const test::TempFolder& folder, ManualEngine& manual)
{
    constexpr int kPeriod = 128;
    SoundEngine& engine = manual.engine();
    std::mt19937 random(11);
    std::vector<int> delays;
    std::vector<float> block(kPeriod * 2);
    for (int trial = 0; trial < 500; ++trial)
    {
        engine.setCue(60, engine.openStream(folder.file("hit.wav")), 255, 48000, kNoChannel);
        NoteEvent note{std::uniform_int_distribution<int>(0, kPeriod - 1)(random), 60, true};
        manual.mixer().render(block.data(), kPeriod, -1, &note, 1);
        int first = -1;
        for (int f = 0; f < kPeriod && first < 0; ++f)
            if (std::fabs(block[2 * std::size_t(f)]) > 0.4f)
                first = f;
        delays.push_back(first < 0 ? kPeriod : first - note.frame);
        StreamHandle stream = kNoStream;
        ChannelHandle channel = kNoChannel;
        if (engine.takeStartedCue(60, stream, channel))
            engine.closeStream(stream);
        for (int i = 0; i < 4; ++i)
            manual.render(block.data(), kPeriod);
    }
    std::sort(delays.begin(), delays.end());
    std::printf("a note read in the audio cycle, %d-frame period: from its frame to its first "
                "sound min %d, median %d, max %d frames\n",
                kPeriod, delays.front(), delays[delays.size() / 2], delays.back());
}

void latency()
{
    constexpr int kPeriod = 128;
    constexpr int kRate = 48000;
    test::TempFolder folder;
    writeCosine(folder.file("hit.wav"), 3, kRate);
    const auto rows = rowFiles(folder, 20, 44100, soundgen::Container::Mp3Cbr, ".mp3");
    auto manual = createManualEngine(kRate);
    SoundEngine& engine = manual->engine();
    engine.preload(folder.file("hit.wav"));
    for (const auto& row : rows) // the other rows play meanwhile
    {
        engine.preload(row);
        engine.playStream(engine.openStream(row), 1, 40000);
    }
    std::vector<float> block(kPeriod * 2);
    std::mt19937 random(7);
    std::vector<double> ms;
    std::vector<double> calls;
    int late = 0; // frames of silence the engine leaves at the start of the next block
    StreamHandle hit = kNoStream;
    for (int trial = 0; trial < 500; ++trial)
    {
        engine.closeStream(hit);
        for (int i = 0; i < 8; ++i)
            manual->render(block.data(), kPeriod);
        // The call lands somewhere in the period being played; the next block is the
        // earliest the device can take.
        const double waitFrames = std::uniform_real_distribution<double>(0, kPeriod)(random);
        const auto before = std::chrono::steady_clock::now();
        hit = engine.openStream(folder.file("hit.wav"));
        engine.playStream(hit, 255, kRate);
        const double callMs =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - before)
                .count();
        int frames = -1;
        for (int b = 0; b < 16 && frames < 0; ++b)
        {
            manual->renderOnly(block.data(), kPeriod);
            for (int f = 0; f < kPeriod && frames < 0; ++f)
                if (std::fabs(block[2 * std::size_t(f)]) >
                    0.4f) // the hit starts at 0.5, the rest < 0.1
                    frames = b * kPeriod + f;
            manual->fillRings();
        }
        calls.push_back(callMs);
        late = std::max(late, frames);
        ms.push_back((waitFrames + std::max(frames, 0)) * 1000.0 / kRate);
        if (frames < 0)
            std::printf("trial %d: no sound\n", trial);
    }
    std::sort(ms.begin(), ms.end());
    std::printf("start latency, %d-frame period at %d Hz (one period = %.2f ms), 72 rows "
                "playing, from the play command to the first sounding frame: min %.3f ms, "
                "median %.3f ms, max %.3f ms; silent frames before the hit in its first "
                "block: at most %d\n",
                kPeriod, kRate, 1000.0 * kPeriod / kRate, ms.front(), ms[ms.size() / 2], ms.back(),
                late);
    std::sort(calls.begin(), calls.end());
    std::printf("  of which the open and play calls: median %.3f ms, max %.3f ms\n",
                calls[calls.size() / 2], calls.back());
    engine.closeStream(hit);
    for (int i = 0; i < 8; ++i)
        manual->render(block.data(), kPeriod);
    fileStep(folder, engine);
    cuedNotes(folder, *manual);
}

void cpu(const char* label, const std::vector<std::string>& rows, bool ratioOne, int rate)
{
    constexpr int kPeriod = 256;
    constexpr double kSeconds = 20;
    auto manual = createManualEngine(rate);
    SoundEngine& engine = manual->engine();
    for (std::size_t i = 0; i < rows.size(); ++i)
    {
        engine.preload(rows[i]);
        const StreamHandle s = engine.openStream(rows[i]);
        engine.setLoop(s, true);
        const int hz = ratioOne ? rate : static_cast<int>(44100 * (0.6 + 0.014 * double(i)));
        engine.playStream(s, 180, hz);
    }
    std::vector<float> block(kPeriod * 2);
    const int blocks = static_cast<int>(kSeconds * rate / kPeriod);
    double mixing = 0, decoding = 0;
    for (int b = 0; b < blocks; ++b)
    {
        const double t0 = threadCpuSeconds();
        manual->renderOnly(block.data(), kPeriod);
        const double t1 = threadCpuSeconds();
        manual->fillRings();
        mixing += t1 - t0;
        decoding += threadCpuSeconds() - t1;
    }
    std::printf("%s: %.1f %% of one core (mixing %.1f %%, decoding %.1f %%)\n", label,
                100 * (mixing + decoding) / kSeconds, 100 * mixing / kSeconds,
                100 * decoding / kSeconds);
}

void cpu()
{
    test::TempFolder folder;
    const auto mp3 = rowFiles(folder, 120, 44100, soundgen::Container::Mp3Cbr, ".mp3");
    cpu("CPU, 72 voices at rates 0.6x..1.6x, MP3 44.1 kHz -> 48 kHz", mp3, false, 48000);
    const auto mp3at48 = rowFiles(folder, 120, 48000, soundgen::Container::Mp3Cbr, "48.mp3");
    cpu("CPU, 72 voices at ratio 1, MP3 48 kHz -> 48 kHz", mp3at48, true, 48000);
    const auto wav = rowFiles(folder, 120, 48000, soundgen::Container::Wav16, ".wav");
    cpu("CPU, 72 voices at ratio 1, WAV 48 kHz -> 48 kHz", wav, true, 48000);
}

void memory(const char* label, double seconds)
{
    test::TempFolder folder;
    const auto rows = rowFiles(folder, seconds, 44100, soundgen::Container::Mp3Cbr, ".mp3");
    malloc_trim(0); // what writing the files left in the heap is not ours to count
    const double before = residentMegabytes();
    auto manual = createManualEngine(48000);
    SoundEngine& engine = manual->engine();
    for (const auto& row : rows)
        engine.preload(row);
    std::vector<StreamHandle> streams;
    for (const auto& row : rows)
    {
        streams.push_back(engine.openStream(row));
        engine.playStream(streams.back(), 200, 44100);
    }
    std::vector<float> block(256 * 2);
    for (int b = 0; b < 48000 * 12 / 256; ++b) // long enough for every ring to wrap
        manual->render(block.data(), 256);
    double ms = 0;
    for (const StreamHandle s : streams)
        ms += engine.timeMs(s);
    std::printf("%s: %.1f MB (mean position %.1f s)\n", label, residentMegabytes() - before,
                ms / 1000 / kRows);
}

void memoryStreamed()
{
    memory("memory, 72 playing rows of 3 to 5-minute files (streamed)", 180);
}

void memoryWhole()
{
    memory("memory, 72 playing rows of 9-second files (decoded whole)", 9);
}

void inChild(void (*part)())
{
    std::fflush(stdout);
    const pid_t pid = fork();
    if (pid == 0)
    {
        part();
        std::fflush(stdout);
        _exit(0);
    }
    waitpid(pid, nullptr, 0);
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> parts(argv + 1, argv + argc);
    if (parts.empty())
        parts = {"latency", "cpu", "memory"};
    for (const auto& part : parts)
    {
        if (part == "latency")
            inChild(latency);
        else if (part == "cpu")
            inChild(cpu);
        else if (part == "memory")
        {
            inChild(memoryStreamed);
            inChild(memoryWhole);
        }
    }
}
