// The soak run: the whole player over the real engine and the null output plays all 72 rows
// of looping files for a long time while speeds and volumes change and MIDI floods arrive;
// it reports a late output, voices that waited for decoded audio, memory growth and the rows
// still playing.
#include "base/text.h"
#include "devices/system_outputs.h"
#include "doubles/loopback_midi_service.h"
#include "engine/audio_engine.h"
#include "midi/midi_message.h"
#include "shell/startup.h"
#include "smoke.h"
#include "soundgen.h"

#include <QTimer>
#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <malloc.h>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using namespace sonarello;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace
{

constexpr int kRows = kMaxRows;
constexpr int kFirstNote = kMidiRowOffset + 1;
constexpr auto kFloodEvery = std::chrono::seconds(15);
constexpr int kFloodMessages = 3000; // from each of two senders
constexpr auto kChangeEvery = milliseconds(20);
constexpr auto kCheckEvery = milliseconds(500);
constexpr auto kProgressEvery = std::chrono::seconds(10);
constexpr double kToleranceMs = 40.0; // a few periods of scheduling noise
constexpr double kAllowedGrowth = 0.10;
constexpr auto kServerSettles = std::chrono::seconds(3);
constexpr auto kRowsCatchUp = milliseconds(250); // two ticks of the rows' timer

// The output the rows play through: null, or another in SOAK_AUDIO (e.g. pulse).
std::string outputName()
{
    const char* audio = std::getenv("SOAK_AUDIO");
    return audio != nullptr && *audio != '\0' ? audio : "null";
}
constexpr std::array<int, 3> kWatchedSpeeds = {25, 50, 75};
constexpr std::size_t kMidiDisplayWidth = 20; // characters

double seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

std::size_t at(int row)
{
    return static_cast<std::size_t>(row);
}

// Bytes the program holds on the heap, as opposed to what the allocator keeps from before.
long heapInUseKb()
{
    const struct mallinfo2 info = mallinfo2();
    return static_cast<long>((info.uordblks + info.hblkhd) / 1024);
}

long residentKb()
{
    std::ifstream statm("/proc/self/statm");
    long pages = 0;
    long resident = 0;
    statm >> pages >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// Five sources (decoded whole or streamed; WAV and MP3; 22.05, 44.1 and 48 kHz) copied
// under 72 names.
void makeFolder(const fs::path& folder)
{
    using soundgen::Container;
    using soundgen::Sound;
    struct Source
    {
        const char* name;
        soundgen::SoundSpec recipe;
        Container container;
    };
    const std::array<Source, 5> sources{{
        {"loop.wav", {Sound::Loop, 110.0, 4.0, 44100, 2, 0.4f}, Container::Wav16},
        {"chord.wav", {Sound::Chord, 220.0, 12.0, 48000, 2, 0.4f}, Container::Wav16},
        {"chord.mp3", {Sound::Chord, 330.0, 14.0, 44100, 2, 0.4f}, Container::Mp3Cbr},
        {"tone.mp3", {Sound::Sine, 440.0, 11.0, 22050, 1, 0.4f}, Container::Mp3Vbr},
        {"kick.wav", {Sound::Kick, 60.0, 2.0, 44100, 1, 0.4f}, Container::WavFloat},
    }};
    fs::create_directories(folder);
    fs::remove(folder / kSettingsFileName); // every run starts from the same rows
    char name[32];
    std::snprintf(name, sizeof name, "%02d %s", kRows, sources[(kRows - 1) % sources.size()].name);
    if (fs::exists(folder / name))
        return;
    for (const Source& s : sources)
        soundgen::writeSound((folder / (std::string("source-") + s.name + ".tmp")).string(),
                             s.recipe, s.container);
    for (int row = 1; row <= kRows; ++row)
    {
        const Source& s = sources[at(row - 1) % sources.size()];
        std::snprintf(name, sizeof name, "%02d %s", row, s.name);
        fs::copy_file(folder / (std::string("source-") + s.name + ".tmp"), folder / name,
                      fs::copy_options::overwrite_existing);
    }
    for (const Source& s : sources)
        fs::remove(folder / (std::string("source-") + s.name + ".tmp"));
}

// Drives the running player from its own thread, as a performer and a MIDI rig would.
class Soak
{
  public:
    Soak(Program& program, midi::LoopbackMidiService& midi, Clock::duration length)
        : p_(program), midi_(midi), length_(length)
    {
    }

    void run()
    {
        startupKb_ = residentKb();
        // A sound server's sink that sat idle has rendered ahead (PulseAudio's null sink: up
        // to two seconds) and follows a new stream only after that: the rows start then.
        if (outputName() != "null")
            std::this_thread::sleep_for(kServerSettles);
        const auto start = Clock::now();
        setWatchedSpeeds();
        startEveryRow();
        const auto warmUp = std::min<Clock::duration>(std::chrono::seconds(60), length_ / 4);
        auto nextFlood = start + kFloodEvery;
        auto nextCheck = Clock::now() + kCheckEvery;
        auto nextProgress = start + kProgressEvery;
        bool baselineTaken = false;
        sample(previous_);
        while (Clock::now() - start < length_)
        {
            const auto now = Clock::now();
            if (!baselineTaken && now - start >= warmUp)
            {
                baselineKb_ = residentKb();
                baselineHeapKb_ = heapInUseKb();
                baselineTaken = true;
            }
            if (now >= nextFlood)
            {
                flood();
                nextFlood += kFloodEvery;
                // A row that found every voice busy in the flood starts at the next tick.
                std::this_thread::sleep_for(kRowsCatchUp);
                sample(previous_); // restarted rows: the next check starts from here
                nextCheck = Clock::now() + kCheckEvery;
            }
            else if (now >= nextCheck)
            {
                check();
                nextCheck += kCheckEvery;
            }
            if (now >= nextProgress)
            {
                std::printf("  %4.0f s: %ld kB resident, output late %ld times, %ld voice stalls, "
                            "%ld silent, %u gaps\n",
                            seconds(now - start), residentKb(), lateChecks_, stalls_, silentChecks_,
                            p_.player->engine.underruns());
                std::fflush(stdout);
                nextProgress += kProgressEvery;
            }
            changeSpeedAndVolume();
            std::this_thread::sleep_for(kChangeEvery);
        }
        endKb_ = residentKb();
        endHeapKb_ = heapInUseKb();
        playingAtEnd_ = playingRows();
        silentAtEnd_ = silentRows();
        underrunsAtEnd_ = p_.player->engine.underruns();
        report(seconds(Clock::now() - start));
    }

    bool passed() const
    {
        return stalls_ == 0 && lateChecks_ == 0 && silentChecks_ == 0 &&
               playingAtEnd_ == p_.player->RowCount && underrunsAtEnd_ == 0 &&
               (bench::smoke() || // seconds long: memory is still warming up
                static_cast<double>(endKb_) <=
                    static_cast<double>(baselineKb_) * (1 + kAllowedGrowth));
    }

  private:
    struct Positions
    {
        Clock::time_point when;
        std::array<std::uint32_t, kRows + 1> ms{};
    };

    // Even rows keep a fixed speed and are the ones checked for steady progress.
    static bool watched(int row) { return row % 2 == 0; }

    void setWatchedSpeeds()
    {
        std::scoped_lock lock(p_.lock);
        for (int row = 1; row <= p_.player->RowCount; ++row)
            p_.player->rows.RowSpeed[at(row)] =
                watched(row) ? kWatchedSpeeds[at(row / 2) % kWatchedSpeeds.size()] : kNormalSpeed;
    }

    void push(int status, int data1, int data2)
    {
        midi_.push(midi::kVirtualPortName, midi::packShortMessage(status, data1, data2));
        ++midiMessages_;
    }

    int playingRows()
    {
        std::scoped_lock lock(p_.lock);
        const auto& playing = p_.player->rows.RowPlaying;
        return static_cast<int>(std::count(playing.begin() + 1, playing.end(), 1));
    }

    int silentRows()
    {
        std::scoped_lock lock(p_.lock);
        int silent = 0;
        for (int row = 1; row <= p_.player->RowCount; ++row)
            silent += p_.player->rows.RowPlaying[at(row)] == 1 &&
                      p_.player->rows.RowChannel[at(row)] == sound::kNoChannel;
        return silent;
    }

    // Notes on for every row, then a program change that the MIDI display shows once the
    // MIDI thread has handled everything sent before it.
    void startEveryRow()
    {
        for (int row = 1; row <= p_.player->RowCount; ++row)
            push(0x90, kFirstNote - 1 + row, 100);
        const int marker = ++markers_;
        push(0xC0 | marker % 16, marker / 16 % 128, 0);
        const std::string shown(text::trimBlanks(text::fitCharacters(
            decodeMidiMessage(midi::packShortMessage(0xC0 | marker % 16, marker / 16 % 128, 0))
                .text,
            kMidiDisplayWidth)));
        for (;;)
        {
            {
                std::scoped_lock lock(p_.lock);
                if (p_.toolkit->controls[kMidiDisplayId].caption.trimmed() == shown)
                    return;
            }
            std::this_thread::sleep_for(milliseconds(5));
        }
    }

    // Two senders at once: notes on and off over the whole grid, controllers, bends, clock.
    void flood()
    {
        std::atomic<int> sent{0};
        auto sender = [&](unsigned seed)
        {
            std::mt19937 random(seed);
            std::uniform_int_distribution<int> note(kFirstNote, kFirstNote + kRows - 1);
            std::uniform_int_distribution<int> value(0, 127);
            for (int i = 0; i < kFloodMessages; ++i)
            {
                const int kind = i % 8;
                const int status = kind < 3 ? 0x90 : kind < 6 ? 0x80 : kind == 6 ? 0xB0 : 0xE0;
                midi_.push(midi::kVirtualPortName,
                           midi::packShortMessage(status, note(random), value(random)));
                if (i % 16 == 0)
                    midi_.push(midi::kVirtualPortName, midi::packShortMessage(0xF8, 0, 0));
            }
            sent += kFloodMessages + kFloodMessages / 16;
        };
        std::thread a(sender, random_());
        std::thread b(sender, random_());
        a.join();
        b.join();
        midiMessages_ += sent;
        ++floods_;
        startEveryRow();
    }

    // One odd row's speed and any row's volume, as dragging their cells does.
    void changeSpeedAndVolume()
    {
        std::uniform_int_distribution<int> row(1, p_.player->RowCount);
        std::uniform_int_distribution<int> speed(1, kMaxSpeed);
        std::uniform_int_distribution<int> volume(0, sound::kMaxVolume);
        std::scoped_lock lock(p_.lock);
        auto& rows = p_.player->rows;
        auto& engine = p_.player->engine;
        const int fast = row(random_) | 1;
        if (fast <= p_.player->RowCount)
        {
            rows.RowSpeed[at(fast)] = speed(random_);
            engine.setFrequency(
                rows.RowChannel[at(fast)],
                rowRateHz(rows.RowSpeed[at(fast)], engine.sampleRate(rows.RowStream[at(fast)])));
        }
        const int loud = row(random_);
        rows.RowVolume[at(loud)] = volume(random_);
        engine.setVolume(rows.RowChannel[at(loud)], clampedVolume(rows.RowVolume[at(loud)]));
        ++changes_;
    }

    void sample(Positions& out)
    {
        std::scoped_lock lock(p_.lock);
        out.when = Clock::now();
        for (int row = 1; row <= p_.player->RowCount; ++row)
            out.ms[at(row)] = p_.engine->timeMs(p_.player->rows.RowStream[at(row)]);
    }

    // Every watched row moved on by its speed's share of the time gone. When they all fall
    // behind together, the output itself was late (on a device: an xrun); one row behind the
    // others is a voice that waited for the streamer.
    void check()
    {
        Positions now;
        sample(now);
        const double wallMs = seconds(now.when - previous_.when) * 1000.0;
        std::scoped_lock lock(p_.lock);
        const auto& rows = p_.player->rows;
        std::vector<std::pair<int, double>> shares; // row, moved / expected
        for (int row = 2; row <= p_.player->RowCount; row += 2)
        {
            if (rows.RowChannel[at(row)] == sound::kNoChannel)
            {
                ++silentChecks_; // switched on, yet no channel took its stream
                continue;
            }
            const std::uint32_t length = rows.RowLengthMs[at(row)];
            const double expected = wallMs * rows.RowSpeed[at(row)] / kNormalSpeed;
            if (length == 0 || expected <= 0 || expected > length / 2.0)
                continue; // too long ago to tell a full loop from none
            const double moved = static_cast<double>(
                (now.ms[at(row)] + length - previous_.ms[at(row)] % length) % length);
            shares.emplace_back(row, moved / expected);
        }
        previous_ = now;
        if (shares.empty())
            return;
        auto middle = shares.begin() + static_cast<std::ptrdiff_t>(shares.size() / 2);
        std::nth_element(shares.begin(), middle, shares.end(),
                         [](const auto& a, const auto& b) { return a.second < b.second; });
        const double outputShare = std::min(middle->second, 1.0);
        const double outputLateMs = (1.0 - outputShare) * wallMs;
        ++checks_;
        if (outputLateMs > kToleranceMs)
        {
            ++lateChecks_;
            lateMs_ += outputLateMs;
            worstLateMs_ = std::max(worstLateMs_, outputLateMs);
        }
        for (const auto& [row, share] : shares)
        {
            const double behindMs =
                (outputShare - share) * wallMs * rows.RowSpeed[at(row)] / kNormalSpeed;
            if (behindMs > kToleranceMs)
            {
                ++stalls_;
                const std::string& path = p_.catalogue.path(rows.RowFile[at(row)]);
                ++stallsByFile_[path.substr(path.rfind(' ') + 1)];
            }
        }
    }

    void report(double ranSeconds) const
    {
        const double growth = 100.0 * static_cast<double>(endKb_ - baselineKb_) /
                              static_cast<double>(std::max(baselineKb_, 1L));
        std::printf("Soak: %.0f s, %d rows of looping files, %s output at 256-frame periods\n",
                    ranSeconds, p_.player->RowCount, outputName().c_str());
        std::printf("  MIDI: %ld messages in %d floods; %ld speed and volume changes\n",
                    midiMessages_, floods_, changes_);
        std::printf("  Output late by more than %.0f ms (xruns on a device): %ld of %ld checks, "
                    "%.0f ms in all, worst %.0f ms\n",
                    kToleranceMs, lateChecks_, checks_, lateMs_, worstLateMs_);
        std::printf("  Voices that waited for the streamer: %ld", stalls_);
        for (const auto& [file, count] : stallsByFile_)
            std::printf("%s %s %ld", file == stallsByFile_.begin()->first ? ":" : ",", file.c_str(),
                        count);
        std::printf("\n");
        std::printf("  Memory (resident): %ld kB at start-up, %ld kB after warm-up, %ld kB at "
                    "the end: %+.1f %% (limit %+.0f %%)\n",
                    startupKb_, baselineKb_, endKb_, growth, kAllowedGrowth * 100);
        std::printf("  Rows on without a channel (silent): seen in %ld row checks, %d at the end\n",
                    silentChecks_, silentAtEnd_);
        std::printf("  Heap in use: %ld kB after warm-up, %ld kB at the end\n", baselineHeapKb_,
                    endHeapKb_);
        std::printf("  Rows playing at the end: %d of %d\n", playingAtEnd_, p_.player->RowCount);
        std::printf("  Gaps where the device's buffer ran dry: %u\n", underrunsAtEnd_);
        std::ifstream loadavg("/proc/loadavg");
        double load = 0;
        loadavg >> load;
        std::printf("  Machine load at the end: %.2f on %u cores\n", load,
                    std::thread::hardware_concurrency());
        std::printf("  %s\n", passed() ? "PASSED" : "FAILED");
    }

    Program& p_;
    midi::LoopbackMidiService& midi_;
    Clock::duration length_;
    std::mt19937 random_{72};
    Positions previous_;
    long startupKb_ = 0;
    long baselineKb_ = 0;
    long endKb_ = 0;
    long baselineHeapKb_ = 0;
    long endHeapKb_ = 0;
    std::map<std::string, long> stallsByFile_;
    long midiMessages_ = 0;
    long changes_ = 0;
    long checks_ = 0;
    long stalls_ = 0;
    long lateChecks_ = 0;
    double lateMs_ = 0;
    double worstLateMs_ = 0;
    int floods_ = 0;
    int playingAtEnd_ = 0;
    int silentAtEnd_ = 0;
    unsigned underrunsAtEnd_ = 0;
    int markers_ = 0;
    long silentChecks_ = 0;
};

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2)
    {
        std::fputs("usage: player_soak FOLDER [SECONDS]   (default 600 seconds)\n", stderr);
        return 1;
    }
    const fs::path folder = fs::absolute(argv[1]);
    const auto length = std::chrono::seconds(argc > 2 ? std::atol(argv[2]) : 600);
    makeFolder(folder);
    fs::current_path(folder);
    setenv("QT_QPA_PLATFORM", "offscreen", 0);

    gui::Application application(argc, argv);
    midi::LoopbackMidiService* loopback = nullptr;
    std::unique_ptr<Soak> soak;
    std::thread driver;
    std::atomic<bool> finished{false};
    std::unique_ptr<QTimer> poll;
    StartupServices services;
    services.makeEngine = [] { return sound::createSystemEngine(); };
    services.showMessage = [](const std::string& text)
    { std::fprintf(stderr, "%s\n", text.c_str()); };
    services.makeMidiService = [&](const std::string&)
    {
        auto service = std::make_unique<midi::LoopbackMidiService>(std::vector<std::string>{},
                                                                   std::vector<std::string>{});
        loopback = service.get();
        return service;
    };
    services.onWindowReady = [&](Program& program)
    {
        soak = std::make_unique<Soak>(program, *loopback, length);
        driver = std::thread(
            [&]
            {
                soak->run();
                finished = true;
            });
        // The GUI thread goes on with its ticks; it closes the window once the run is over.
        poll = std::make_unique<QTimer>();
        QObject::connect(poll.get(), &QTimer::timeout,
                         [&program, &finished, &driver, &poll]
                         {
                             if (!finished)
                                 return;
                             poll->stop();
                             driver.join();
                             program.window->end(0);
                         });
        poll->start(100);
    };
    const int code = runProgram(parseCommandLine({"--audio=" + outputName()}), services);
    if (code != kExitNormal)
        return code;
    return soak && soak->passed() ? 0 : 1;
}
