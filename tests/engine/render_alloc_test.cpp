// Replaces the global operator new to count allocations made on the rendering thread while
// a flag is up: the render path must make none.
#if defined(__GNUC__) && !defined(__clang__)
// The replacement pair below is malloc/free on purpose.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
#include "engine/audio_engine.h"
#include "support/sound_files.h"
#include "support/temp_folder.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <new>

namespace
{
thread_local bool counting = false;
thread_local long allocations = 0;
} // namespace

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

TEST(RenderPath, AllocatesNothing)
{
    test::TempFolder folder;
    ASSERT_TRUE(test::writeSine(folder.file("short.wav"), 441, 2, 44100));
    ASSERT_TRUE(test::writeSine(folder.file("long.wav"), 441, 12, 44100));
    auto manual = createManualEngine(48000);
    SoundEngine& engine = manual->engine();
    engine.preload(folder.file("long.wav"));
    std::vector<ChannelHandle> channels;
    std::vector<StreamHandle> streams;
    for (int i = 0; i < 72; ++i)
    {
        streams.push_back(engine.openStream(folder.file(i % 2 ? "short.wav" : "long.wav")));
        engine.setLoop(streams.back(), true);
        channels.push_back(engine.playStream(streams.back(), 200, i % 3 ? 44100 + i * 100 : 48000));
    }
    std::vector<float> out(2 * 1024);
    long total = 0;
    for (int block = 0; block < 400; ++block)
    {
        if (block % 50 == 10)
            for (std::size_t i = 0; i < channels.size(); i += 7)
            {
                engine.setFrequency(channels[i], block % 100 == 10 ? 48000 : 30000);
                engine.setVolume(channels[i], block % 2 ? 10 : 255);
                engine.setTimeMs(streams[i], 1000);
            }
        counting = true;
        allocations = 0;
        manual->renderOnly(out.data(), 1024);
        counting = false;
        total += allocations;
        manual->fillRings();
    }
    EXPECT_EQ(total, 0);
}
