// Replaces pthread_mutex_lock to count the locks taken on the thread that runs a JACK cycle
// while a flag is up: the process callback must take none.
#include "engine/audio_engine.h"
#include "engine/mixer.h"
#include "jack/process.h"
#include "support/sound_files.h"
#include "support/temp_folder.h"

#include <array>
#include <atomic>
#include <chrono>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <thread>
#include <tuple>

static thread_local bool counting = false;
static thread_local long locks = 0;

extern "C" int pthread_mutex_lock(pthread_mutex_t* mutex)
{
    using Lock = int (*)(pthread_mutex_t*);
    static Lock real = nullptr;
    if (real == nullptr)
        real = reinterpret_cast<Lock>(dlsym(RTLD_NEXT, "pthread_mutex_lock"));
    if (counting)
        ++locks;
    return real(mutex);
}

using namespace sonarello;
using namespace std::chrono_literals;

namespace
{

constexpr int kFrames = 128;

// One JACK cycle's port buffers played by a test: the MIDI events on midi_in and the two audio
// outputs. Any thread, one cycle at a time.
class FakeCycle final : public jack::CycleIo
{
  public:
    std::vector<std::pair<std::uint32_t, std::array<std::uint8_t, 3>>> events; // frame, bytes
    std::array<float, 2 * kFrames> audio{}; // the left output, then the right

    int midiEventCount() noexcept override { return static_cast<int>(events.size()); }
    bool midiEvent(int index, std::uint32_t& frame, const std::uint8_t*& bytes,
                   std::size_t& size) noexcept override
    {
        const auto& [at, message] = events[static_cast<std::size_t>(index)];
        frame = at;
        bytes = message.data();
        size = message.size();
        return true;
    }
    float* audioOut(int side) noexcept override { return audio.data() + side * kFrames; }
    void clearMidiOut() noexcept override {}
};

constexpr int kRate = 48000;
constexpr int kControllers = 600;
constexpr int kNoteOffs = 2048; // a sequencer's note-by-note "all notes off"

// A cycle crowded with controllers and then every key's Note Off, as a sequencer's panic sends
// them: with the audio rendered here, with the audio elsewhere (the notes then start their cues
// through the mixer's note starter), and while the player is busy and its queue has room for
// fewer messages than the cycle brings.
TEST(JackCycle, EveryNoteOffArrivesWithoutALockAndWithOneWake)
{
    test::TempFolder folder;
    const std::string path = folder.file("drum.wav");
    ASSERT_TRUE(test::writeSine(path, 440, 0.5, 44100));
    auto manual = sound::createManualEngine(kRate);
    sound::SoundEngine& engine = manual->engine();
    engine.preload(path);
    ASSERT_TRUE(engine.setCue(36, engine.openStream(path), 255, 0, sound::kNoChannel));

    FakeCycle io;
    io.events.push_back({0, {0x90, 36, 100}});
    for (int i = 0; i < kControllers; ++i)
        io.events.push_back({1, {0xB0, 7, static_cast<std::uint8_t>(i % 128)}});
    for (int i = 0; i < kNoteOffs; ++i)
        io.events.push_back({2,
                             {static_cast<std::uint8_t>(0x80 | i / 128 % 16),
                              static_cast<std::uint8_t>(i % 128), 0}});

    // waiting: messages already queued while the player is busy
    for (const auto& [what, audioHere, waiting] : {std::tuple{"audio through JACK", true, 0},
                                                   {"audio elsewhere", false, 0},
                                                   {"a busy player", true, 1800}})
    {
        SCOPED_TRACE(what);
        midi::MidiDispatcher dispatcher;
        std::atomic<int> noteOffs{0};
        std::atomic<bool> busy{waiting > 0};
        dispatcher.setHandler(
            [&](midi::ShortMessage m)
            {
                while (busy.load())
                    std::this_thread::sleep_for(1ms);
                noteOffs += (m & 0xF0) == 0x80 ? 1 : 0;
            });
        if (!audioHere)
            dispatcher.setNoteStarter(&manual->mixer());
        const int slot = dispatcher.claimSlot();
        dispatcher.setStarted(slot, true);
        for (int i = 0; i < waiting; ++i)
            dispatcher.post(slot, midi::packShortMessage(0xC0, i % 128, 0));
        ASSERT_TRUE(waiting == 0 || dispatcher.room(slot) < static_cast<int>(io.events.size()));
        jack::Process process;
        process.attachDispatcher(&dispatcher, slot);
        process.attachMixer(audioHere ? &manual->mixer() : nullptr);

        const auto wakes = dispatcher.wakes();
        counting = true;
        process.cycle(io, kFrames);
        counting = false;
        EXPECT_EQ(locks, 0);
        EXPECT_EQ(dispatcher.wakes() - wakes, 1u);
        busy.store(false);
        for (int i = 0; i < 500 && noteOffs.load() < kNoteOffs; ++i)
            std::this_thread::sleep_for(10ms);
        EXPECT_EQ(noteOffs.load(), kNoteOffs);
        dispatcher.setHandler(nullptr); // before what it counts into goes
    }
}

// The output closed and opened again while JACK's thread runs cycles, then with the server gone:
// each mixer is freed right after its detach (the sanitizers see a cycle that still reads it).
TEST(JackCycle, DetachReturnsOnlyOnceNoCycleHoldsTheMixer)
{
    jack::Process process;
    std::atomic<bool> serverUp{true};
    std::thread jackThread(
        [&]
        {
            FakeCycle io;
            while (serverUp.load())
                process.cycle(io, kFrames);
        });
    for (int round = 0; round < 300; ++round)
    {
        auto mixer = std::make_unique<sound::Mixer>(sound::kMinVoices, kRate);
        process.attachMixer(mixer.get());
        std::this_thread::yield();
        process.attachMixer(nullptr);
    }
    serverUp.store(false);
    jackThread.join();
    auto last = std::make_unique<sound::Mixer>(sound::kMinVoices, kRate);
    process.attachMixer(last.get());
    process.attachMixer(nullptr); // returns at once: nothing runs
}

// A server that starts its count again makes no late period.
TEST(JackCycle, LatePeriodsAreCyclesEndedLateOrNeverRun)
{
    jack::LatePeriods late;
    const struct
    {
        std::uint32_t first, gone;
        std::uint64_t count;
    } cycles[] = {{0xFFFFFF80, 100, 0}, {0, 128, 0}, {128, 129, 1}, {256, 10, 1},
                  {512, 10, 2},         {64, 10, 2}, {192, 10, 2}};
    for (const auto& c : cycles)
    {
        late.ended(c.first, kFrames, c.gone);
        EXPECT_EQ(late.count(), c.count) << c.first;
    }
}

} // namespace
