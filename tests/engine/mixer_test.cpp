// The mixer rendered block by block. The global operator new is replaced to count the
// allocations made on the rendering thread while a flag is up: the render path must make none.
#if defined(__GNUC__) && !defined(__clang__)
// The replacement pair below is malloc/free on purpose.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
#include "engine/audio_engine.h"
#include "engine/decoder.h"
#include "engine/mixer.h"
#include "support/sound_files.h"
#include "support/temp_folder.h"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <new>
#include <thread>

static thread_local bool counting = false;
static thread_local long allocations = 0;

void* operator new(std::size_t size)
{
    if (counting)
        ++allocations;
    if (void* p = std::malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept
{
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept
{
    std::free(p);
}

using namespace sonarello;
using namespace sonarello::sound;

namespace
{

constexpr int kPeriod = 256;

class MixerRender : public ::testing::Test
{
  protected:
    SoundEngine& engine() { return manual->engine(); }

    std::vector<float> render(int frames)
    {
        std::vector<float> out(static_cast<std::size_t>(frames) * 2);
        for (int done = 0; done < frames; done += kPeriod)
            manual->render(out.data() + done * 2, std::min(kPeriod, frames - done));
        return out;
    }

    StreamHandle open(const std::string& name) { return engine().openStream(folder.file(name)); }

    test::TempFolder folder;
    std::unique_ptr<ManualEngine> manual = createManualEngine(44100);
};

// The largest step from one sample to the next on the left side.
float largestStep(const std::vector<float>& stereo)
{
    float most = 0;
    for (std::size_t i = 2; i < stereo.size(); i += 2)
        most = std::max(most, std::fabs(stereo[i] - stereo[i - 2]));
    return most;
}

TEST_F(MixerRender, PlaysEveryFrameFromTheFirstToTheLastOrLoopsAndVolumeZeroIsSilent)
{
    ASSERT_TRUE(test::writeRampFile(folder.file("ramp.wav"), 1000, 44100));
    const StreamHandle stream = open("ramp.wav");
    engine().playStream(stream);
    auto out = render(2048);
    for (int f = 0; f < 1000; ++f)
        ASSERT_EQ(test::rampFrameOf(out[2 * f], 1000), f) << "frame " << f;
    EXPECT_EQ(test::peakOf(out, 2 * 1000), 0.0f);
    EXPECT_TRUE(engine().ended(stream));
    EXPECT_EQ(engine().positionBytes(stream), engine().lengthBytes(stream));

    engine().setLoop(stream, true);
    engine().playStream(stream);
    out = render(2500);
    for (int f = 0; f < 2500; ++f)
        ASSERT_EQ(test::rampFrameOf(out[2 * f], 1000), f % 1000) << "frame " << f;
    EXPECT_FALSE(engine().ended(stream));

    engine().closeStream(stream);
    render(1024); // its stop ramp
    ASSERT_NE(engine().playStream(open("ramp.wav"), 0, 44100), kNoChannel);
    EXPECT_EQ(test::peakOf(render(2048)), 0.0f) << "a voice at volume 0 is never heard";
}

TEST_F(MixerRender, SpeedChangesPitchWithoutClicksAndRateZeroHolds)
{
    ASSERT_TRUE(test::writeSine(folder.file("a.wav"), 441, 4, 44100));
    const StreamHandle stream = open("a.wav");
    const ChannelHandle ch = engine().playStream(stream, 255, 44100);
    std::vector<float> all;
    for (int rate : {44100, 66150, 52000, 44100, 30000, 44100})
    {
        engine().setFrequency(ch, rate);
        const auto part = render(8192);
        const std::vector<float> settled(part.begin() + 2 * 4096, part.end());
        EXPECT_NEAR(test::measureFrequency(settled, 44100), 441.0 * rate / 44100, 0.5) << rate;
        all.insert(all.end(), part.begin(), part.end());
    }
    // A 0.5 sine at 441 Hz (x1.5) moves at most 0.047 per frame; a click jumps further.
    EXPECT_LT(largestStep(all), 0.06f);
    // Rate 0 (or below, clamped) holds the voice silent where it is.
    for (int rate : {0, -20})
    {
        engine().setFrequency(ch, rate);
        render(1024);
        const auto held = engine().timeMs(stream);
        EXPECT_EQ(test::peakOf(render(4410)), 0.0f) << rate;
        EXPECT_EQ(engine().timeMs(stream), held) << rate;
    }
    engine().setFrequency(ch, 44100);
    EXPECT_GT(test::peakOf(render(4410)), 0.4f);
}

TEST_F(MixerRender, LevelsAreReportedOnceAndTheVolumeIsClamped)
{
    ASSERT_TRUE(test::writeSine(folder.file("a.wav"), 441, 2, 44100, 0.8f));
    const ChannelHandle ch = engine().playStream(open("a.wav"), 255, 44100);
    const float full = test::peakOf(render(4410));
    float left = 0, right = 0;
    ASSERT_TRUE(engine().currentLevels(ch, left, right));
    EXPECT_NEAR(left, full, 1e-6);
    EXPECT_NEAR(right, full, 1e-6);
    ASSERT_TRUE(engine().currentLevels(ch, left, right));
    EXPECT_EQ(left, 0.0f) << "a peak is reported once";

    engine().setVolume(ch, 9000); // clamped to 255
    render(4410);
    engine().currentLevels(ch, left, right);
    EXPECT_NEAR(left, full, 1e-6);
}

TEST_F(MixerRender, SeeksAreSampleAccurateByMillisecondsAndBytes)
{
    constexpr std::int64_t kFrames = 44100 * 4;
    ASSERT_TRUE(test::writeRampFile(folder.file("ramp.wav"), kFrames, 44100));
    const StreamHandle stream = open("ramp.wav");
    const auto size = std::filesystem::file_size(folder.file("ramp.wav"));
    ASSERT_TRUE(engine().setTimeMs(stream, 1500));
    engine().playStream(stream);
    auto out = render(kPeriod);
    EXPECT_EQ(test::rampFrameOf(out[0], kFrames), 66150);
    EXPECT_EQ(engine().timeMs(stream), 1506u) << "66406 frames in";

    // The byte position the rows' position display reads is the player's test's.
    ASSERT_TRUE(engine().setPositionBytes(stream, static_cast<std::uint32_t>(size / 3)));
    out = render(4096); // fades out, jumps, fades in
    const std::int64_t last = test::rampFrameOf(out[2 * 4095], kFrames);
    EXPECT_GT(last, kFrames / 3) << "a third of the bytes in";
    EXPECT_LT(last, kFrames / 3 + 4096);
    for (int f = 3000; f < 4096; ++f)
        ASSERT_EQ(test::rampFrameOf(out[2 * f], kFrames), last - (4095 - f));

    ASSERT_TRUE(engine().setTimeMs(stream, 999999)); // beyond the end: ends
    render(4096);
    EXPECT_TRUE(engine().ended(stream));
    EXPECT_EQ(engine().timeMs(stream), 4000u);
}

// A stream played again from its start while it sounds past its preloaded head (so from the
// ring, which one voice reads at a time), at a crest of its tone: the old sound fades out over
// the stop ramp instead of being cut, and the new one starts from the file's first sample.
TEST_F(MixerRender, ReplayFadesOutTheSoundItReplacesWithoutAStep)
{
    ASSERT_TRUE(test::writeSine(folder.file("long tone.wav"), 440, 12.0, 44100));
    const StreamHandle stream = open("long tone.wav");
    ASSERT_NE(engine().playStream(stream), kNoChannel);
    // Up to a crest of the tone, two seconds in: past the head.
    const int crest = static_cast<int>(std::lround((900.25 / 440) * 44100));
    const float last = render(crest)[2 * std::size_t(crest - 1)]; // the last sample before
    ASSERT_TRUE(engine().setTimeMs(stream, 0));
    ASSERT_NE(engine().playStream(stream), kNoChannel);
    auto after = render(kPeriod * 8);
    after.insert(after.begin(), 2, last);

    const float natural = static_cast<float>(2 * M_PI * 440 / 44100) * 0.5f;
    // A 3 ms fade of a crest adds at most its level over the ramp's frames to each step.
    EXPECT_LT(largestStep(after), natural + 0.5f / (0.003f * 44100) * 2);
    EXPECT_GT(test::peakOf(after), 0.9f * 0.5f); // the new sound plays
}

TEST_F(MixerRender, RenderPathAllocatesNothing)
{
    manual = createManualEngine(48000);
    ASSERT_TRUE(test::writeSine(folder.file("short.wav"), 441, 2, 44100));
    ASSERT_TRUE(test::writeSine(folder.file("long.wav"), 441, 12, 44100));
    engine().preload(folder.file("long.wav"));
    std::vector<ChannelHandle> channels;
    std::vector<StreamHandle> streams;
    for (int i = 0; i < 72; ++i)
    {
        streams.push_back(open(i % 2 ? "short.wav" : "long.wav"));
        engine().setLoop(streams.back(), true);
        channels.push_back(
            engine().playStream(streams.back(), 200, i % 3 ? 44100 + i * 100 : 48000));
    }
    std::vector<float> out(2 * 1024);
    for (int block = 0; block < 400; ++block)
    {
        if (block % 50 == 10)
            for (std::size_t i = 0; i < channels.size(); i += 7)
            {
                engine().setFrequency(channels[i], block % 100 == 10 ? 48000 : 30000);
                engine().setVolume(channels[i], block % 2 ? 10 : 255);
                engine().setTimeMs(streams[i], 1000);
            }
        counting = true;
        manual->renderOnly(out.data(), 1024);
        counting = false;
        manual->fillRings();
    }
    EXPECT_EQ(allocations, 0);
}

// Regression: restarting every playing row within one period left rows switched on but
// silent, as the fading sounds still held their channels.
TEST_F(MixerRender, SeventyTwoRowsRestartedTogetherAllSoundAndChannelsBeyondAreRefused)
{
    ASSERT_TRUE(test::writeSine(folder.file("a.wav"), 441, 2, 44100, 0.01f));
    std::vector<StreamHandle> streams;
    for (int i = 0; i < 72; ++i)
    {
        streams.push_back(open("a.wav"));
        ASSERT_NE(engine().playStream(streams.back()), kNoChannel);
    }
    render(kPeriod);
    for (auto& stream : streams)
    {
        engine().closeStream(stream);
        stream = open("a.wav");
        EXPECT_NE(engine().playStream(stream), kNoChannel);
    }
    int more = 0;
    for (StreamHandle s = open("a.wav"); engine().playStream(s) != kNoChannel; s = open("a.wav"))
        ++more;
    EXPECT_EQ(more, EngineOptions{}.channels - 2 * 72);
}

TEST_F(MixerRender, ZeroAndStaleHandlesReachNothing)
{
    ASSERT_TRUE(test::writeSine(folder.file("a.wav"), 441, 2, 44100));
    // An unopenable file is stream 0: it plays nothing, has no length and never ends.
    const StreamHandle missing = engine().openStream(folder.file("missing.wav"));
    EXPECT_EQ(missing, kNoStream);
    EXPECT_EQ(engine().playStream(missing), kNoChannel);
    EXPECT_EQ(engine().lengthMs(missing), 0u);
    EXPECT_FALSE(engine().ended(missing));
    EXPECT_FALSE(engine().setVolume(kNoChannel, 10));

    const StreamHandle first = open("a.wav");
    const ChannelHandle stale = engine().playStream(first);
    render(512);
    engine().closeStream(first);
    render(2048);
    ASSERT_NE(engine().playStream(open("a.wav"), 255), kNoChannel);
    EXPECT_FALSE(engine().setVolume(stale, 0));
    EXPECT_FALSE(engine().setVolume(3, 0)) << "a row number is no channel";
    EXPECT_GT(test::peakOf(render(4410)), 0.4f);
}

// Through the ring every frame arrives in order, across the head-to-ring seam and the loop back,
// twice over. A file deleted or replaced after its head was preloaded plays the preloaded file
// whole; one cut before it plays is played as it now is, one cut while it plays ends: none loops
// its preloaded head alone.
TEST_F(MixerRender, StreamedFilesPlayEveryFrameAndLoopWholeThoughChangedUnderThem)
{
    namespace fs = std::filesystem;
    manual = createManualEngine(8000);
    constexpr std::int64_t kFrames = 8000 * 12; // streamed after its 8 s head
    constexpr std::int64_t kHeard = 2 * kFrames + 4000;
    const std::string path = folder.file("show.wav");
    for (const std::string change :
         {"unchanged", "deleted", "replaced", "cut", "cut while playing"})
    {
        ASSERT_TRUE(test::writeRampFile(path, kFrames, 8000));
        engine().preload(path);
        if (change == "deleted")
            fs::remove(path);
        if (change == "replaced")
        {
            ASSERT_TRUE(test::writeRampFile(folder.file("new.wav"), kFrames / 3, 8000));
            fs::rename(folder.file("new.wav"), path);
        }
        const auto cut = [&] { fs::resize_file(path, fs::file_size(path) / 2); };
        if (change == "cut")
            cut();
        const std::int64_t frames = change == "cut" ? measureFile(path)->format.frames : kFrames;
        const StreamHandle stream = open("show.wav");
        engine().setLoop(stream, true);
        engine().playStream(stream);
        auto out = render(kPeriod);
        if (change == "cut while playing")
            cut();
        const auto rest = render(static_cast<int>(kHeard));
        out.insert(out.end(), rest.begin(), rest.end());
        for (std::int64_t f = 0; change != "cut while playing" && f < kHeard; ++f)
            ASSERT_EQ(test::rampFrameOf(out[std::size_t(2 * f)], kFrames), f % frames)
                << change << ", frame " << f;
        EXPECT_EQ(engine().ended(stream), change == "cut while playing") << change;
        engine().setLoop(stream, false);
        render(static_cast<int>(kFrames));
        EXPECT_TRUE(engine().ended(stream)) << change << ", no longer looping";
        engine().closeStream(stream);
        render(kPeriod); // its fade
    }
}

} // namespace

// Notes start cued sounds at their own frame: read in the audio cycle (JACK), or from a MIDI
// thread at a constant delay after their arrival.
class CuedNotes : public MixerRender
{
  protected:
    static constexpr int kFrames = 4410;
    static constexpr std::int64_t kArrival = 1'000'000'000;
    static constexpr std::int64_t kBlockNs = std::int64_t{kPeriod} * 1'000'000'000 / 44100;

    CuedNotes()
    {
        EXPECT_TRUE(test::writeRampFile(folder.file("ramp.wav"), kFrames, 44100));
        engine().preload(folder.file("ramp.wav"));
        // Blocks are placed by the instants they start at, as a device's are.
        manual->mixer().useDevice(manual->mixer().outputRate(), kPeriod);
    }

    bool cue(int key, ChannelHandle sounding = kNoChannel, int volume = 255)
    {
        return engine().setCue(key, open("ramp.wav"), volume, 44100, sounding);
    }

    std::vector<float> block(std::vector<NoteEvent> events, std::int64_t now = -1)
    {
        std::vector<float> out(kPeriod * 2);
        manual->mixer().render(out.data(), kPeriod, now, events.data(),
                               static_cast<int>(events.size()));
        handled.clear();
        for (const NoteEvent& e : events)
            handled.push_back(e.handled);
        manual->fillRings();
        return out;
    }

    // The frame where the ramp starts (its first sample is 0), -1 when it does not.
    static int onset(const std::vector<float>& out)
    {
        for (std::size_t f = 1; f < out.size() / 2; ++f)
            if (out[2 * f] != 0.0f)
                return static_cast<int>(f) - 1;
        return -1;
    }

    // The row takes over the sound its cue started: the channel, and the stream in `taken`.
    ChannelHandle take(int key)
    {
        ChannelHandle channel = kNoChannel;
        EXPECT_TRUE(engine().takeStartedCue(key, taken, channel)) << "key " << key;
        return channel;
    }

    // The row takes the sound over, stops it and closes its stream.
    void release(int key)
    {
        take(key);
        engine().stopStream(taken);
        block({}, kArrival);
        engine().closeStream(taken);
    }

    std::vector<bool> handled;
    StreamHandle taken = kNoStream;
    NoteStarter& starter = *engine().noteStarter(); // notes and cue starts from other threads
};

TEST_F(CuedNotes, ANoteSoundsAtItsFrameAndNoteOffFadesAtItsFrame)
{
    ASSERT_TRUE(cue(60));
    auto out = block({{100, 60, true}});
    EXPECT_TRUE(handled[0]);
    EXPECT_EQ(onset(out), 100);
    EXPECT_EQ(test::rampFrameOf(out[2 * 100], kFrames), 0) << "from its first sample";

    const ChannelHandle channel = take(60);
    ChannelHandle again = kNoChannel;
    EXPECT_FALSE(engine().takeStartedCue(60, taken, again)) << "taken once";

    ASSERT_TRUE(cue(60, channel));
    out = block({{50, 60, false}});
    EXPECT_TRUE(handled[0]);
    EXPECT_EQ(test::rampFrameOf(out[2 * 49], kFrames), 156 + 49) << "full until its frame";
    EXPECT_GT(out[2 * 110], 0.0f) << "fading from its frame";
    EXPECT_EQ(out[2 * 190], 0.0f) << "faded 3 ms after its frame";
    EXPECT_EQ(test::peakOf(block({})), 0.0f);
}

TEST_F(CuedNotes, TwoRowsInOneCycleAndTheSameRowTwice)
{
    ASSERT_TRUE(cue(60));
    ASSERT_TRUE(cue(61, kNoChannel, 0));
    auto out = block({{10, 60, true}, {20, 61, true}, {30, 60, true}});
    EXPECT_EQ(handled, (std::vector<bool>{true, true, false}))
        << "the second hit waits for a new cue";
    EXPECT_EQ(onset(out), 10);
    const ChannelHandle first = take(60);
    EXPECT_NE(take(61), first);

    // Set again, the row restarts at the next hit's frame while its old sound fades.
    ASSERT_TRUE(cue(60, first));
    block({{40, 60, true}});
    EXPECT_TRUE(handled[0]);
    for (int i = 0; i < 4; ++i)
        block({});
    EXPECT_FALSE(engine().setVolume(first, 255)) << "the old sound is gone";
}

TEST_F(CuedNotes, NoCueMeansTheNoteIsLeftToTheControlSide)
{
    ASSERT_TRUE(test::writeRampFile(folder.file("cold.wav"), kFrames, 44100));
    EXPECT_FALSE(engine().setCue(62, open("cold.wav"), 255, 44100, kNoChannel))
        << "a file whose head is not in memory cannot be cued";
    EXPECT_EQ(onset(block({{0, 62, true}})), -1);
    EXPECT_FALSE(handled[0]);

    engine().prefetch(folder.file("cold.wav"));
    for (int i = 0; i < 200 && !engine().preloaded(folder.file("cold.wav")); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(engine().setCue(62, open("cold.wav"), 255, 44100, kNoChannel))
        << "decoded by the engine's worker";
}

// A note from another thread sounds one period after its arrival, on its own frame; a cue
// started at an instant (no note delay) sounds on that instant's frame. Several started at one
// instant, sounding sample for sample together, are played in tests/e2e.
TEST_F(CuedNotes, TimedNotesAndCueStartsSoundOnTheirOwnFrame)
{
    for (int k : {0, 37, 254})
    {
        SCOPED_TRACE(k);
        const std::int64_t offsetNs = std::llround(k * 1e9 / 44100);
        ASSERT_TRUE(cue(60));
        ASSERT_TRUE(starter.noteAt(60, true, kArrival));
        // The block that holds arrival + one period starts k frames before it.
        const std::int64_t start = kArrival + kBlockNs - offsetNs;
        EXPECT_EQ(onset(block({}, start - kBlockNs)), -1);
        EXPECT_EQ(onset(block({}, start)), k);
        ASSERT_TRUE(cue(60, take(60)));
        ASSERT_TRUE(starter.noteAt(60, false, kArrival));
        block({}, start);
        block({}, start + kBlockNs);
        EXPECT_EQ(test::peakOf(block({}, start + 2 * kBlockNs)), 0.0f) << "faded";
        engine().closeStream(taken);

        ASSERT_TRUE(cue(60));
        ASSERT_TRUE(starter.startCueAt(60, kArrival + offsetNs));
        EXPECT_EQ(onset(block({}, kArrival)), k);
        release(60);
    }
    ASSERT_TRUE(cue(60));
    ASSERT_TRUE(starter.startCueAt(60, kArrival - 1'000'000)) << "an instant gone by";
    EXPECT_EQ(onset(block({}, kArrival)), 0) << "starts at once";
    release(60);
    EXPECT_FALSE(starter.noteAt(61, true, 0)) << "no cue";
    EXPECT_FALSE(starter.startCueAt(61, kArrival)) << "no cue";
}

TEST_F(CuedNotes, WhatTheRowSetsBeforeADelayedNoteSoundsIsWhatItStarts)
{
    // The row takes each sound over as soon as its note reached it, a period before it sounds.
    ASSERT_TRUE(cue(60));
    ASSERT_TRUE(cue(61));
    ASSERT_TRUE(starter.noteAt(60, true, kArrival));
    ASSERT_TRUE(starter.noteAt(61, true, kArrival));
    EXPECT_TRUE(engine().setVolume(take(60), 0));
    const StreamHandle quiet = taken;
    take(61);
    EXPECT_TRUE(engine().stopStream(taken));
    EXPECT_EQ(onset(block({}, kArrival)), -1);
    for (int i = 1; i <= 3; ++i)
        EXPECT_EQ(test::peakOf(block({}, kArrival + i * kBlockNs)), 0.0f);
    EXPECT_GT(engine().timeMs(quiet), 0u) << "the turned-down sound plays, silent";
    EXPECT_EQ(engine().timeMs(taken), 0u) << "the stopped one never started";

    // A voice stopped before its note sounded is free again: far more of them than there are
    // voices leave every note its own.
    for (int i = 0; i < 200; ++i)
    {
        ASSERT_TRUE(cue(61));
        ASSERT_TRUE(starter.noteAt(61, true, kArrival)) << i;
        release(61);
    }
}
