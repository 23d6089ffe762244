// The timer tick's repaints (position and level bars of 72 rows, from the cached background)
// and the first paint of the whole grid. Main thread.
#include "controls/toolkit.h"
#include "gui/window.h"

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
    controls::createControl(toolkit, window,
                            {.id = 4400,
                             .x = 4,
                             .y = 4,
                             .width = 284,
                             .height = 24,
                             .caption = "*.mp3,*.wav",
                             .style = "ori_ago",
                             .faceColour = "pulsanteoro",
                             .faceMode = 3});
    ++created;
    // The row-number keys are plain surfaces; only their headers are drawn controls.
    for (int block = 0; block < 2; ++block)
    {
        controls::createControl(toolkit, window,
                                {.id = 2900,
                                 .x = 4 + block * kBlockOffset,
                                 .y = kFirstRowTop - kRowHeight,
                                 .width = 40,
                                 .height = kRowHeight,
                                 .caption = block == 0 ? "" : ".",
                                 .style = "ori_ago",
                                 .faceColour = "pulsanteoro",
                                 .faceMode = 1});
        ++created;
    }
    for (const Column& c : kColumns)
    {
        for (int block = 0; block < 2; ++block)
        {
            controls::createControl(toolkit, window,
                                    {.id = c.base,
                                     .x = c.x + block * kBlockOffset,
                                     .y = kFirstRowTop - kRowHeight,
                                     .width = c.width,
                                     .height = kRowHeight,
                                     .caption = c.header,
                                     .style = "ori_ago",
                                     .faceColour = "pulsanteoro",
                                     .faceMode = c.headerFace});
            ++created;
        }
        for (int row = 1; row <= kRows; ++row)
        {
            const int block = row > kRows / 2 ? 1 : 0;
            const int k = row - block * (kRows / 2) - 1;
            const std::string caption =
                c.base == 3800 ? "[<]" + std::to_string(row) + " titolo del brano.mp3" : c.caption;
            controls::createControl(toolkit, window,
                                    {.id = c.base + row,
                                     .x = c.x + block * kBlockOffset,
                                     .y = kFirstRowTop + k * kRowPitch,
                                     .width = c.width,
                                     .height = kRowHeight,
                                     .value = c.value,
                                     .divisions = c.divisions,
                                     .caption = caption,
                                     .captionColour = kWhite,
                                     .style = c.style,
                                     .faceColour = c.face});
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
