// Measures the sound engine where the stage needs it: start latency, CPU of 72 voices, the
// memory of 72 rows, and the two resamplers side by side for cost and sound. Prints its
// figures; each part runs in a process of its own so its memory is its own.
// Usage: engine_bench [latency|cpu|memory|resampler]...
#include "engine/audio_engine.h"
#include "engine/mixer.h"
#include "smoke.h"
#include "soundgen.h"
#include "support/temp_folder.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <complex>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <malloc.h>
#include <random>
#include <samplerate.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>
#include <zita-resampler/vresampler.h>

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
    for (int trial = 0; trial < bench::sized(20, 2); ++trial)
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
    for (int trial = 0; trial < bench::sized(500, 4); ++trial)
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
    const auto rows =
        rowFiles(folder, bench::sized(20.0, 1.0), 44100, soundgen::Container::Mp3Cbr, ".mp3");
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
    for (int trial = 0; trial < bench::sized(500, 4); ++trial)
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
    const double kSeconds = bench::sized(20.0, 0.2);
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
    const auto mp3 =
        rowFiles(folder, bench::sized(120.0, 1.0), 44100, soundgen::Container::Mp3Cbr, ".mp3");
    cpu("CPU, 72 voices at rates 0.6x..1.6x, MP3 44.1 kHz -> 48 kHz", mp3, false, 48000);
    const auto mp3at48 =
        rowFiles(folder, bench::sized(120.0, 1.0), 48000, soundgen::Container::Mp3Cbr, "48.mp3");
    cpu("CPU, 72 voices at ratio 1, MP3 48 kHz -> 48 kHz", mp3at48, true, 48000);
    const auto wav =
        rowFiles(folder, bench::sized(120.0, 1.0), 48000, soundgen::Container::Wav16, ".wav");
    cpu("CPU, 72 voices at ratio 1, WAV 48 kHz -> 48 kHz", wav, true, 48000);
}

void memory(const char* label, double seconds)
{
    test::TempFolder folder;
    const auto rows =
        rowFiles(folder, bench::sized(seconds, 2.0), 44100, soundgen::Container::Mp3Cbr, ".mp3");
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
    for (int b = 0; b < bench::sized(48000 * 12 / 256, 8); ++b) // every ring wraps
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

// ---- the resamplers side by side ----

constexpr int kFileRate = 44100;
constexpr int kMixRate = 48000;

// One stereo stream through a resampler, pulled in output blocks as a voice pulls it.
class Resampling
{
  public:
    virtual ~Resampling() = default;
    // n output frames from the input at `at` on, which moves on; fewer at the input's end.
    virtual int run(const std::vector<float>& in, long& at, float* out, int n) = 0;
};

class SincFastest final : public Resampling
{
  public:
    explicit SincFastest(double step) : ratio_(1 / step)
    {
        int error = 0;
        state_ = src_new(SRC_SINC_FASTEST, 2, &error);
    }
    ~SincFastest() override { src_delete(state_); }

    int run(const std::vector<float>& in, long& at, float* out, int n) override
    {
        const long frames = static_cast<long>(in.size() / 2);
        int done = 0;
        while (done < n && at < frames)
        {
            SRC_DATA d{};
            d.data_in = in.data() + at * 2;
            d.input_frames = std::min<long>(frames - at, std::lround((n - done) / ratio_) + 16);
            d.data_out = out + done * 2;
            d.output_frames = n - done;
            d.src_ratio = ratio_;
            src_process(state_, &d);
            at += d.input_frames_used;
            done += static_cast<int>(d.output_frames_gen);
            if (d.output_frames_gen == 0 && d.input_frames_used == 0)
                break;
        }
        return done;
    }

  private:
    double ratio_;
    SRC_STATE* state_ = nullptr;
};

// VResampler: set up at the band below the ratio (its cutoff follows the band), then moved to
// the exact ratio with set_rratio, as a varispeed voice moves.
class Zita final : public Resampling
{
  public:
    Zita(double step, unsigned filterLength)
    {
        const double ratio = 1 / step;
        double band = 1.0;
        while (band > ratio)
            band *= 0.9;
        resampler_.setup(band, 2, filterLength);
        resampler_.set_rratio(ratio / band);
        resampler_.inp_count = static_cast<unsigned>(resampler_.inpsize() / 2 - 1);
        resampler_.inp_data = nullptr;
        resampler_.out_count = 1u << 20;
        resampler_.out_data = nullptr;
        resampler_.process();
    }

    int run(const std::vector<float>& in, long& at, float* out, int n) override
    {
        const long frames = static_cast<long>(in.size() / 2);
        resampler_.out_data = out;
        resampler_.out_count = static_cast<unsigned>(n);
        while (resampler_.out_count > 0 && at < frames)
        {
            const auto take = static_cast<unsigned>(std::min<long>(frames - at, 1024));
            resampler_.inp_data = const_cast<float*>(in.data() + at * 2);
            resampler_.inp_count = take;
            resampler_.process();
            at += take - resampler_.inp_count;
        }
        return n - static_cast<int>(resampler_.out_count);
    }

  private:
    VResampler resampler_;
};

// zita: VResampler's filter length, 0 for libsamplerate.
std::unique_ptr<Resampling> makeResampling(unsigned zita, double step)
{
    if (zita > 0)
        return std::make_unique<Zita>(step, zita);
    return std::make_unique<SincFastest>(step);
}

// CPU of 72 stereo streams at 0.6x..1.6x, 44.1 kHz into 48 kHz, in 256-frame blocks.
double resamplerCpu(unsigned zita)
{
    constexpr int kBlock = 256;
    const double kSeconds = bench::sized(10.0, 0.1);
    std::vector<float> in(static_cast<std::size_t>(kFileRate * 16.5) * 2);
    std::mt19937 random(3);
    std::uniform_real_distribution<float> noise(-0.3f, 0.3f);
    for (float& x : in)
        x = noise(random);
    std::vector<std::unique_ptr<Resampling>> streams;
    std::vector<long> at(kRows, 0);
    for (int i = 0; i < kRows; ++i)
        streams.push_back(
            makeResampling(zita, (0.6 + 0.014 * double(i)) * kFileRate / double(kMixRate)));
    std::vector<float> out(kBlock * 2);
    const double t0 = threadCpuSeconds();
    for (int b = 0; b < static_cast<int>(kSeconds * kMixRate / kBlock); ++b)
        for (int i = 0; i < kRows; ++i)
            streams[std::size_t(i)]->run(in, at[std::size_t(i)], out.data(), kBlock);
    return 100 * (threadCpuSeconds() - t0) / kSeconds;
}

void fft(std::vector<std::complex<double>>& a)
{
    const std::size_t n = a.size();
    for (std::size_t i = 1, j = 0; i < n; ++i)
    {
        std::size_t bit = n >> 1;
        for (; j & bit; bit >>= 1)
            j ^= bit;
        j ^= bit;
        if (i < j)
            std::swap(a[i], a[j]);
    }
    for (std::size_t len = 2; len <= n; len <<= 1)
    {
        const std::complex<double> w = std::polar(1.0, -2 * M_PI / double(len));
        for (std::size_t i = 0; i < n; i += len)
        {
            std::complex<double> wk = 1;
            for (std::size_t k = 0; k < len / 2; ++k, wk *= w)
            {
                const auto u = a[i + k];
                const auto v = a[i + k + len / 2] * wk;
                a[i + k] = u + v;
                a[i + k + len / 2] = u - v;
            }
        }
    }
}

// A logarithmic sweep: its phase and frequency at file time t.
constexpr double kSweepFrom = 20, kSweepTo = 21000, kSweepSeconds = 8;
double sweepPhase(double t)
{
    const double k = std::log(kSweepTo / kSweepFrom) / kSweepSeconds;
    return 2 * M_PI * kSweepFrom * (std::exp(k * t) - 1) / k;
}
double sweepFrequency(double t)
{
    return kSweepFrom * std::exp(std::log(kSweepTo / kSweepFrom) / kSweepSeconds * t);
}

struct SweepResult
{
    double edgeKHz = 0;     // where the gain first falls 1 dB below the file's level
    double ripple = 0;      // largest deviation from 0 dB below 80 % of the ideal edge
    double spurious = -200; // worst power beside the tone, dB below it (aliases and images)
    double spuriousAtKHz = 0;
    double foldedBack = -200; // worst power where everything is above the new Nyquist, dB
};

// A swept sine at `speed` (pitch and tempo together) through the resampler, read in windows:
// the level of the tone where it belongs against the ideal's.
SweepResult sweep(unsigned zita, double speed)
{
    constexpr int kWindow = 4096;
    const double step = speed * kFileRate / kMixRate;
    std::vector<float> in(static_cast<std::size_t>(kSweepSeconds * kFileRate) * 2);
    for (std::size_t f = 0; f < in.size() / 2; ++f)
        in[2 * f] = in[2 * f + 1] =
            static_cast<float>(0.5 * std::sin(sweepPhase(double(f) / kFileRate)));
    auto resampling = makeResampling(zita, step);
    std::vector<float> out(static_cast<std::size_t>(double(in.size()) / step) + 4096);
    long at = 0;
    int produced = 0;
    for (int got = 1; got > 0;)
        produced += got = resampling->run(in, at, out.data() + produced * 2, 256);
    // The filter's delay, found where the output best matches the ideal at a low frequency.
    const double idealEdge = std::min(kFileRate / 2.0 * speed, kMixRate / 2.0);
    SweepResult result;
    result.edgeKHz = idealEdge / 1000;
    bool edgeFound = false;
    std::vector<std::complex<double>> spectrum(kWindow), ideal(kWindow);
    for (int start = 0; start + kWindow < produced - 8192; start += kWindow / 2)
    {
        const double centre = (start + kWindow / 2.0) * step / kFileRate; // file seconds
        const double heard = sweepFrequency(centre) * speed;
        if (heard < 100)
            continue;
        for (int i = 0; i < kWindow; ++i)
        {
            const double w = 0.5 - 0.5 * std::cos(2 * M_PI * i / kWindow);
            spectrum[std::size_t(i)] = w * out[2 * std::size_t(start + i)];
            ideal[std::size_t(i)] = w * 0.5 * std::sin(sweepPhase((start + i) * step / kFileRate));
        }
        fft(spectrum);
        fft(ideal);
        const double bin = heard * kWindow / kMixRate;
        // The sweep moves through the window: the tone spreads over that, plus Hann's lobe.
        const double spread =
            std::exp(std::log(kSweepTo / kSweepFrom) / kSweepSeconds * kWindow * step / kFileRate) -
            1;
        const double reach = 4 + bin * spread * 0.6;
        double tone = 0, idealTone = 0;
        for (int k = 1; k < kWindow / 2; ++k)
            if (std::fabs(k - bin) <= reach)
            {
                tone += std::norm(spectrum[std::size_t(k)]);
                idealTone += std::norm(ideal[std::size_t(k)]);
            }
        if (heard > idealEdge)
            continue;
        const double gain = 10 * std::log10(tone / idealTone);
        if (!edgeFound && gain < -1)
        {
            result.edgeKHz = heard / 1000;
            edgeFound = true;
        }
        if (heard < 0.7 * idealEdge)
            result.ripple = std::max(result.ripple, std::fabs(gain));
    }
    return result;
}

// A steady tone of the file at `hz` played at `speed`: what the output holds beside the tone
// where it belongs (aliases, images), in dB under a full tone; where the tone belongs above
// the output's Nyquist, everything the output holds is folded back.
double beside(unsigned zita, double speed, double hz)
{
    constexpr int kWindow = 16384;
    const double step = speed * kFileRate / kMixRate;
    std::vector<float> in(static_cast<std::size_t>(kFileRate * 2.0 * step) * 2 + 8192);
    for (std::size_t f = 0; f < in.size() / 2; ++f)
        in[2 * f] = in[2 * f + 1] =
            static_cast<float>(0.5 * std::sin(2 * M_PI * hz * double(f) / kFileRate));
    auto resampling = makeResampling(zita, step);
    std::vector<float> out(2 * (8192 + kWindow));
    long at = 0;
    resampling->run(in, at, out.data(), 8192 + kWindow);
    std::vector<std::complex<double>> spectrum(kWindow);
    double full = 0;
    for (int i = 0; i < kWindow; ++i)
    {
        const double x = 2 * M_PI * i / kWindow; // Blackman-Harris: sidelobes under -92 dB
        const double w =
            0.35875 - 0.48829 * std::cos(x) + 0.14128 * std::cos(2 * x) - 0.01168 * std::cos(3 * x);
        spectrum[std::size_t(i)] = w * out[2 * std::size_t(8192 + i)];
        full += w * w * 0.125;
    }
    fft(spectrum);
    const double heard = hz * speed;
    const double bin = heard * kWindow / kMixRate;
    double rest = 0;
    for (int k = 1; k < kWindow / 2; ++k)
        if (heard > kMixRate / 2.0 || std::fabs(k - bin) > 8)
            rest += std::norm(spectrum[std::size_t(k)]);
    return 10 * std::log10(2 * rest / (full * kWindow) + 1e-30);
}

void resamplers()
{
    for (const unsigned zita : {0u, 32u, 24u, 20u})
    {
        char name[64];
        std::snprintf(name, sizeof name, "zita VResampler, filter length %u", zita);
        if (zita == 0)
            std::snprintf(name, sizeof name, "libsamplerate SINC_FASTEST");
        std::printf("%s: 72 stereo streams at 0.6x..1.6x, 44.1 -> 48 kHz: %.1f %% of one core\n",
                    name, resamplerCpu(zita));
        for (const double speed : {0.6, 1.6})
        {
            const SweepResult r = sweep(zita, speed);
            std::printf("  swept sine at %.1fx: passband to %.1f kHz (-1 dB; ideal %.1f), "
                        "ripple below 70 %% %.2f dB\n",
                        speed, r.edgeKHz, std::min(kFileRate / 2.0 * speed, kMixRate / 2.0) / 1000,
                        r.ripple);
            std::printf("  beside the tone (aliases, images), dB under a full tone:");
            for (const double hz : {1000.0, 5000.0, 10000.0, 13000.0, 16000.0, 19000.0})
                std::printf(" %.0f kHz%s %.1f", hz / 1000,
                            hz * speed > kMixRate / 2.0 ? " (folded)" : "",
                            beside(zita, speed, hz));
            std::printf("\n");
        }
    }
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
        else if (part == "resampler")
            inChild(resamplers);
    }
}
