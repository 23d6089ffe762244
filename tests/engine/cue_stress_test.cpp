#include "engine/mixer.h"

#include <array>
#include <atomic>
#include <gtest/gtest.h>
#include <memory>
#include <thread>
#include <vector>

using namespace sonarello::sound;

namespace
{

constexpr int kRate = 48000;
constexpr int kKeys = 4;
constexpr int kRounds = 20000;

// Notes fire cues from two MIDI threads and the audio thread while the control thread arms new
// cues over them, takes the fired ones back and frees both: no thread may read a cue once the
// control side could free it (the sanitizers see any read after the free).
TEST(MixerCues, ArmedFiredAndTakenFromSeveralThreadsAtOnce)
{
    Mixer mixer(kMinVoices, kRate);
    std::atomic<bool> done{false};
    std::atomic<int> fired{0};
    const auto midi = [&](int first)
    {
        for (int i = first; !done.load(std::memory_order_relaxed); ++i)
            if (mixer.noteAt(i % kKeys, true, 0))
                fired.fetch_add(1, std::memory_order_relaxed);
    };
    std::thread midiA(midi, 0);
    std::thread midiB(midi, 1);
    std::thread audio(
        [&]
        {
            std::vector<float> block(2 * 64);
            while (!done.load(std::memory_order_relaxed))
            {
                std::array<NoteEvent, 2> notes{{{0, 2, true, false}, {10, 3, true, false}}};
                mixer.render(block.data(), 64, -1, notes.data(), static_cast<int>(notes.size()));
            }
        });

    std::uint32_t serial = 1;
    // Rounds go on until the MIDI threads fired some cues, however busy the machine.
    for (int round = 0; round < kRounds || (fired.load() == 0 && round < 50 * kRounds); ++round)
    {
        const int key = round % kKeys;
        mixer.offerSpare(round % kMinVoices, serial++);
        delete mixer.firedCue(key);
        Cue* replaced = nullptr;
        auto cue = std::make_unique<Cue>();
        cue->rateHz = kRate;
        if (mixer.armCue(key, cue.get(), replaced))
            cue.release();
        delete replaced;
    }
    done.store(true);
    midiA.join();
    midiB.join();
    audio.join();
    for (int key = 0; key < kKeys; ++key)
    {
        delete mixer.firedCue(key);
        Cue* last = nullptr;
        mixer.armCue(key, nullptr, last);
        delete last;
    }
    EXPECT_GT(fired.load(), 0);
}

} // namespace
