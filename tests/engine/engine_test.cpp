// The engine's threads beside the control thread: the outputs' and the streamer's, and notes
// firing cues from several threads at once.
#include "engine/audio_engine.h"
#include "engine/decoder.h"
#include "engine/mixer.h"
#include "support/sound_files.h"
#include "support/temp_folder.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <gtest/gtest.h>
#include <memory>
#include <random>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace sonarello;
using namespace sonarello::sound;
using namespace std::chrono_literals;

namespace
{

TEST(SoundEngineOutputs, ExplicitOutputsThatCannotOpenFailAndAutoNeverDoes)
{
    test::TempFolder folder;
    EXPECT_FALSE(test::startSystemEngine("telepathy"));
    EXPECT_FALSE(test::startSystemEngine("wav:" + folder.file("no/such/folder/x.wav")));
    // No JACK server answers to this name.
    setenv("JACK_DEFAULT_SERVER", ("sonarello-absent-" + std::to_string(getpid())).c_str(), 1);
    setenv("JACK_NO_START_SERVER", "1", 1);
    EXPECT_FALSE(test::startSystemEngine("jack"));
    EXPECT_TRUE(test::startSystemEngine("auto"));
}

// The null output keeps real time. Seeks, loop wraps and rate changes move every voice's ring
// window while the streamer fills it; each looping voice must keep sounding and moving.
TEST(SoundEngineOutputs, NullOutputKeepsRealTimeAndStreamsSurviveSeeksLoopsAndRateChanges)
{
    test::TempFolder folder;
    const auto engine = test::startSystemEngine("null");
    ASSERT_TRUE(engine);
    EXPECT_EQ(engine->outputRate(), 44100);
    ASSERT_TRUE(test::writeSine(folder.file("long.wav"), 441, 12, 44100));
    const StreamHandle paced = engine->openStream(folder.file("long.wav"));
    ASSERT_NE(engine->playStream(paced, 255, 88200), kNoChannel);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(test::writeSine(folder.file("long.mp3"), 441, 12, 44100, 0.5f,
                                soundgen::Container::Mp3Vbr));
    engine->preload(folder.file("long.mp3"));
    std::vector<StreamHandle> streams;
    std::vector<ChannelHandle> channels;
    for (int i = 0; i < 16; ++i)
    {
        streams.push_back(engine->openStream(folder.file(i % 2 ? "long.wav" : "long.mp3")));
        engine->setLoop(streams.back(), true);
        channels.push_back(engine->playStream(streams.back(), 100, 44100));
    }
    std::mt19937 random(3);
    for (int step = 0; step < 60; ++step)
    {
        const std::size_t i = random() % streams.size();
        if (step % 3 == 0)
            engine->setTimeMs(streams[i], static_cast<std::uint32_t>(random() % 12000));
        else if (step % 3 == 1)
            engine->setFrequency(channels[i], static_cast<int>(30000 + random() % 60000));
        else
            engine->setTimeMs(streams[i], 11950); // the loop wraps soon after
        std::this_thread::sleep_for(20ms);
    }
    const auto elapsedMs =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    EXPECT_NEAR(engine->timeMs(paced), 2 * elapsedMs, 0.1 * elapsedMs) << "twice the own rate";
    std::vector<std::uint32_t> before;
    for (const StreamHandle s : streams)
        before.push_back(engine->timeMs(s));
    std::this_thread::sleep_for(300ms);
    for (std::size_t i = 0; i < streams.size(); ++i)
    {
        float left = 0, right = 0;
        engine->currentLevels(channels[i], left, right);
        EXPECT_NE(engine->timeMs(streams[i]), before[i]) << i;
        EXPECT_GT(left, 0.1f) << i;
    }
}

// Though a thread of its own writes the file, a ramp played at full volume comes back in it.
TEST(SoundEngineOutputs, WavRecordingHoldsEveryRenderedSampleAsItWas)
{
    test::TempFolder folder;
    ASSERT_TRUE(test::writeRampFile(folder.file("ramp.wav"), 44100 / 2, 44100));
    const std::string recording = folder.file("take.wav");
    auto engine = test::startSystemEngine("wav:" + recording);
    ASSERT_TRUE(engine);
    const auto stream = engine->openStream(folder.file("ramp.wav"));
    ASSERT_NE(engine->playStream(stream), kNoChannel);
    for (int i = 0; i < 200 && !engine->ended(stream); ++i)
        std::this_thread::sleep_for(10ms);
    engine.reset(); // the recording is complete once its engine is gone
    int rate = 0;
    const std::vector<float> take = test::readSound(recording, rate);
    const std::vector<float> ramp = test::readSound(folder.file("ramp.wav"), rate);
    // Silence, then the ramp from its frame 1 (frame 0 is silent too), sample for sample.
    const auto at = std::search(take.begin(), take.end(), ramp.begin() + 2, ramp.end());
    ASSERT_TRUE(at != take.end());
    EXPECT_TRUE(std::all_of(take.begin(), at, [](float s) { return s == 0.0f; }));
}

// Notes fire cues from two MIDI threads and the audio thread while the control thread arms new
// cues over them, takes the fired ones back and frees both: no thread may read a cue once the
// control side could free it (the sanitizers see any read after the free).
TEST(MixerCues, ArmedFiredAndTakenFromSeveralThreadsAtOnce)
{
    constexpr int kRate = 48000;
    constexpr int kKeys = 4;
    constexpr int kRounds = 20000;
    constexpr int kFires = 5000; // each a chance for a read of a cue the control side freed
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
    // Rounds go on until the MIDI threads fired enough cues, however busy the machine.
    for (int round = 0; round < kRounds || (fired.load() < kFires && round < 50 * kRounds); ++round)
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
