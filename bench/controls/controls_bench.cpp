// The timer tick's repaints (position and level bars of 72 rows, from the cached background)
// and the first paint of the whole grid. Main thread.
#include "controls/toolkit.h"
#include "platform/gui/window.h"

#include <benchmark/benchmark.h>

#include <memory>
#include <string>

namespace
{

using namespace sonarello;

constexpr int kRows = 72;
constexpr int kRowHeight = 16;
constexpr int kRowPitch = 17;
constexpr int kFirstRowTop = 48;
constexpr int kBlockOffset = 500;
constexpr std::int32_t kWhite = 0xFFFFFF;

struct Column
{
    int base;
    int x;
    int width;
    const char* header;
    int headerFace;
    const char* style;
    const char* face;
    float value;
    int divisions;
    const char* caption;
};

constexpr Column kColumns[] = {
    {3600, 45, 18, "Loop", 0, "ori_rosso", "verde", 100.0f, 0, "OFF"},
    {3800, 64, 230, "*.mp3,*.wav", 3, "ori_rosso", "grigio", 0.0f, 0, ""},
    {3400, 295, 18, "Play", 0, "ori_rosso", "verde", 100.0f, 0, "OFF"},
    {3200, 314, 30, "Volume", 1, "ori_blurosso", "grigio", 100.0f, 4, "100"},
    {4200, 345, 30, "Livello", 1, "ori_blurosso", "grigio", 0.0f, 4, ""},
    {4000, 376, 50, "Posizione", 0, "ori_blurosso", "grigio", 0.0f, 10, ""},
    {3000, 427, 50, "Velocità", 1, "ori_blurosso", "grigio", 50.0f, 10, ""},
};

// The player's grid: two header cells per column, 72 row cells per column of drawn cells,
// and the MIDI message display.
int buildGrid(controls::Toolkit& toolkit, gui::Window& window)
{
    int created = 0;
    controls::createControl(toolkit, window, 4400, 4, 4, 284, 24, "", 0, "", 0.0f, 0, "*.mp3,*.wav",
                            0, "ori_ago", "pulsanteoro", 3);
    ++created;
    // The row-number keys are plain surfaces; only their headers are drawn controls.
    for (int block = 0; block < 2; ++block)
    {
        controls::createControl(toolkit, window, 2900, 4 + block * kBlockOffset,
                                kFirstRowTop - kRowHeight, 40, kRowHeight, "", 0, "", 0.0f, 0,
                                block == 0 ? "" : ".", 0, "ori_ago", "pulsanteoro", 1);
        ++created;
    }
    for (const Column& c : kColumns)
    {
        for (int block = 0; block < 2; ++block)
        {
            controls::createControl(toolkit, window, c.base, c.x + block * kBlockOffset,
                                    kFirstRowTop - kRowHeight, c.width, kRowHeight, "", 0, "", 0.0f,
                                    0, c.header, 0, "ori_ago", "pulsanteoro", c.headerFace);
            ++created;
        }
        for (int row = 1; row <= kRows; ++row)
        {
            const int block = row > kRows / 2 ? 1 : 0;
            const int k = row - block * (kRows / 2) - 1;
            const std::string caption =
                c.base == 3800 ? "[<]" + std::to_string(row) + " titolo del brano.mp3" : c.caption;
            controls::createControl(toolkit, window, c.base + row, c.x + block * kBlockOffset,
                                    kFirstRowTop + k * kRowPitch, c.width, kRowHeight, "", 0, "",
                                    c.value, c.divisions, caption, kWhite, c.style, c.face, 0);
            ++created;
        }
    }
    return created;
}

void repaintPositionAndLevel(benchmark::State& state)
{
    ProgramLock lock;
    auto toolkit = std::make_unique<controls::Toolkit>(lock);
    gui::Window window(1000, 700, lock);
    buildGrid(*toolkit, window);
    int tick = 0;
    for (auto _ : state)
    {
        ++tick;
        for (int row = 1; row <= kRows; ++row)
        {
            const float position = static_cast<float>((tick + row) % 100);
            const std::string elapsed = " 0:" + std::to_string(10 + (tick + row) % 50);
            controls::setControlValue(*toolkit, window, 4000 + row, position, elapsed);
            controls::setControlValue(*toolkit, window, 4200 + row,
                                      static_cast<float>((tick * 7 + row) % 100), "");
        }
        gui::Application::processEvents();
    }
    state.counters["repaints"] = 2 * kRows;
}

void firstPaintOfTheGrid(benchmark::State& state)
{
    int created = 0;
    for (auto _ : state)
    {
        state.PauseTiming();
        ProgramLock lock;
        auto toolkit = std::make_unique<controls::Toolkit>(lock);
        auto window = std::make_unique<gui::Window>(1000, 700, lock);
        state.ResumeTiming();
        created = buildGrid(*toolkit, *window);
        state.PauseTiming();
        window.reset();
        toolkit.reset();
        state.ResumeTiming();
    }
    state.counters["controls"] = created;
}

BENCHMARK(repaintPositionAndLevel)->Unit(benchmark::kMillisecond);
BENCHMARK(firstPaintOfTheGrid)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv)
{
    int qtArgc = 1;
    gui::Application application(qtArgc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
