// Draws every indicator style, face mode, bevel, caption alignment and both switch states on
// one sheet and saves it as a PNG: the toolkit's look at a glance. Main thread only.
#include "controls/toolkit.h"
#include "gui/canvas.h"
#include "gui/window.h"

#include <cstdio>
#include <string>
#include <vector>

namespace
{

using namespace sonarello;

constexpr int kSheetWidth = 760;
constexpr int kSheetHeight = 520;
constexpr int kScale = 2;
constexpr gui::Colour kSheetColour = gui::rgb(236, 236, 230);
constexpr gui::Colour kLabelColour = gui::rgb(40, 40, 40);
constexpr std::int32_t kWhite = 0xFFFFFF;

struct Label
{
    int x;
    int y;
    std::string text;
};

struct Gallery
{
    ProgramLock lock;
    controls::Toolkit toolkit{lock};
    gui::Window window{kSheetWidth, kSheetHeight, lock};
    std::vector<Label> labels;
    int nextId = 1;

    int add(int x, int y, int w, int h, std::string_view label, int bevel,
            std::string_view bevelColour, float value, int divisions, std::string_view caption,
            std::int32_t captionColour, std::string_view style, std::string_view faceColour,
            int faceMode, std::string_view text = "")
    {
        const int id = nextId++;
        controls::createControl(toolkit, window,
                                {id, x, y, w, h, text, bevel, bevelColour, value, divisions,
                                 caption, captionColour, style, faceColour, faceMode});
        if (!label.empty())
            labels.push_back({x, y + h + 2, std::string(label)});
        return id;
    }

    int addSwitch(int x, int y, std::string_view label, bool on)
    {
        const int id = nextId++;
        controls::createControl(toolkit, window,
                                {.id = id,
                                 .x = x,
                                 .y = y,
                                 .width = 70,
                                 .height = 20,
                                 .text = "/",
                                 .bevelWidth = 2,
                                 .bevelColour = "grigio",
                                 .captionColour = kWhite,
                                 .style = "switch",
                                 .faceColour = "grigio"});
        if (on)
            controls::toggleSwitch(toolkit, window, id, "OFF/ON");
        labels.push_back({x, y + 22, std::string(label)});
        return id;
    }
};

void build(Gallery& g)
{
    g.labels.push_back({8, 6, "Indicator styles (value 65, ticks where the style has them)"});
    const char* horizontal[] = {"ori_ago", "ori_agone", "ori_rosso", "ori_blurosso", "ori_vmeter"};
    int x = 8;
    for (const char* style : horizontal)
    {
        g.add(x, 24, 120, 20, style, 0, "", 65.0f, 10, "", kWhite, style, "grigio", 0);
        x += 130;
    }
    const char* vertical[] = {"ver_ago", "ver_agone", "ver_blurosso", "ver_vmeter"};
    x = 8;
    for (const char* style : vertical)
    {
        g.add(x, 64, 30, 90, style, 0, "", 65.0f, 10, "", kWhite, style, "grigio", 2);
        x += 90;
    }
    g.add(370, 64, 120, 20, "ori_blurosso at 100", 0, "", 100.0f, 4, "", kWhite, "ori_blurosso",
          "grigio", 0);
    g.add(500, 64, 120, 20, "ori_blurosso at 0", 0, "", 0.0f, 4, "", kWhite, "ori_blurosso",
          "grigio", 0);
    g.add(370, 104, 120, 20, "ori_agone, bevel 2", 2, "oro", 30.0f, 4, "", 0, "ori_agone",
          "pulsanteoro", 1);
    g.add(500, 104, 120, 20, "ori_rosso at 100", 0, "", 100.0f, 0, "ON", kWhite, "ori_rosso",
          "verde", 0);

    g.labels.push_back({8, 172, "Face modes 0 to 6 (pulsanteoro; mode 3 also without colour)"});
    x = 8;
    for (int mode = 0; mode <= 6; ++mode)
    {
        const std::string label = "mode " + std::to_string(mode);
        g.add(x, 190, 80, 36, label, 0, "", 0.0f, 0, "", 0, "ori_ago", "pulsanteoro", mode,
              mode == 6 ? "tessera" : "");
        x += 90;
    }
    g.add(x, 190, 80, 36, "mode 3, no colour", 0, "", 0.0f, 0, "", kWhite, "ori_ago", "", 3);

    g.labels.push_back({8, 248, "Bevels: single colour (no style) and two-tone"});
    g.add(8, 266, 100, 36, "single, 4 grigio", 4, "grigio", 0.0f, 0, "", 0, "", "grigio", 1);
    g.add(118, 266, 100, 36, "two-tone, 4 grigio", 4, "grigio", 0.0f, 0, "", 0, "ori_ago", "grigio",
          1);
    g.add(228, 266, 100, 36, "two-tone, 3 oro", 3, "oro", 0.0f, 0, "", 0, "ori_ago", "oro", 0);
    g.add(338, 266, 100, 36, "two-tone, 3 #4080FF", 3, "#4080FF", 0.0f, 0, "", 0, "ori_ago",
          "#4080FF", 2);
    g.add(448, 266, 100, 36, "pulsanterosso", 3, "pulsanterosso", 0.0f, 0, "", 0, "ori_ago",
          "pulsanterosso", 5);
    g.add(558, 266, 100, 36, "pulsanteblu", 3, "pulsanteblu", 0.0f, 0, "", kWhite, "ori_ago",
          "pulsanteblu", 1);

    g.labels.push_back({8, 324, "Captions: left, centred, right; \"%\" and \"!\" directives"});
    g.add(8, 342, 140, 20, "[<] left", 0, "", 0.0f, 0, "[<]Sinistra", 0, "ori_ago", "pulsanteoro",
          0);
    g.add(158, 342, 140, 20, "centred", 0, "", 0.0f, 0, "Centro", 0, "ori_ago", "pulsanteoro", 0);
    g.add(308, 342, 140, 20, "[>] right", 0, "", 0.0f, 0, "[>]Destra", 0, "ori_ago", "pulsanteoro",
          0);
    g.add(458, 342, 140, 20, "\"%\" at 57.4", 0, "", 57.4f, 10, "%", kWhite, "ori_blurosso",
          "grigio", 0);
    g.add(608, 342, 140, 20, "\"!\" at 50, 10 divisions", 0, "", 50.0f, 10, "!", kWhite,
          "ori_blurosso", "grigio", 0);

    g.labels.push_back({8, 384, "Switch, off and on; a row of the player"});
    g.addSwitch(8, 402, "switch off", false);
    g.addSwitch(88, 402, "switch on", true);
    const int y = 402;
    g.add(180, y, 40, 16, "", 0, "", 0.0f, 0, "", 0, "ori_ago", "pulsanteoro", 1);
    g.add(221, y, 18, 16, "", 0, "", 100.0f, 0, "OFF", kWhite, "ori_rosso", "verde", 0);
    // As the player does, the whole title goes in with a later call.
    const int file =
        g.add(240, y, 230, 16, "", 0, "", 0.0f, 0, "", kWhite, "ori_rosso", "grigio", 0);
    controls::setControlValue(g.toolkit, g.window, file, 0.0f, "[<]01 Intro del concerto.mp3");
    g.add(471, y, 18, 16, "", 0, "", 0.0f, 0, "ON", kWhite, "ori_rosso", "verde", 0);
    g.add(490, y, 30, 16, "", 0, "", 100.0f, 4, "100", kWhite, "ori_blurosso", "grigio", 0);
    g.add(521, y, 30, 16, "", 0, "", 72.0f, 4, "", kWhite, "ori_blurosso", "grigio", 0);
    g.add(552, y, 50, 16, "", 0, "", 35.0f, 10, " 1:24", kWhite, "ori_blurosso", "grigio", 0);
    g.add(603, y, 50, 16, "", 0, "", 50.0f, 10, "", kWhite, "ori_blurosso", "grigio", 0);
    g.labels.push_back(
        {180, y + 18, "key, Loop, file, Play, Volume, Livello, Posizione, Velocità"});
    const int midi = g.add(180, 450, 284, 24, "MIDI message display", 0, "", 0.0f, 0, "", 0,
                           "ori_ago", "pulsanteoro", 3);
    controls::setControlValue(g.toolkit, g.window, midi, 100.0f, "C: 1 N: 38 T: 3 V: 90");
}

gui::Image compose(Gallery& g)
{
    gui::Image sheet(kSheetWidth, kSheetHeight, kSheetColour);
    gui::Canvas canvas(sheet);
    std::lock_guard guard(g.lock);
    for (int id = 1; id < g.nextId; ++id)
        if (const gui::Control* c = g.window.findControl(id))
            canvas.copyAt(c->image, c->x, c->y);
    canvas.selectFont(gui::kDefaultFontFamily, gui::kDefaultFontPoints);
    for (const Label& label : g.labels)
        canvas.printAt(label.x, label.y, label.text, kLabelColour);
    gui::Image large(kSheetWidth * kScale, kSheetHeight * kScale);
    gui::Canvas(large).stretch(sheet, 0, 0, kSheetWidth, kSheetHeight, 0, 0, large.width,
                               large.height);
    return large;
}

} // namespace

int main(int argc, char** argv)
{
    const std::string output = argc > 1 ? argv[1] : "gallery.png";
    int qtArgc = 1;
    gui::Application application(qtArgc, argv);
    Gallery gallery;
    build(gallery);
    if (!gui::saveImage(compose(gallery), output))
    {
        std::fprintf(stderr, "sonarello-gallery: cannot write %s\n", output.c_str());
        return 1;
    }
    std::printf("%s\n", output.c_str());
    return 0;
}
