#include "main_window.h"

#include "base/text.h"
#include "gui/canvas.h"

#include <mutex>

namespace sonarello
{

namespace
{

constexpr gui::Colour kBlack = gui::rgb(0, 0, 0);
constexpr gui::Colour kWhite = gui::rgb(255, 255, 255);
constexpr gui::Colour kKeyNumber = gui::rgb(255, 0, 0);
constexpr std::int32_t kWhiteCaption = 16777215;

struct Column
{
    int base;
    int x;
    int width;
    const char* header;
    int headerFaceMode;
};

constexpr Column kLoop{kLoopBase, 45, 18, "Loop", 0};
constexpr Column kFile{kFileBase, 64, 230, "", 3};
constexpr Column kPlay{kPlayBase, 295, 18, "Play", 0};
constexpr Column kVolume{kVolumeBase, 314, 30, "Volume", 1};
constexpr Column kLevel{kLevelBase, 345, 30, "Livello", 1};
constexpr Column kPosition{kPositionBase, 376, 50, "Posizione", 0};
constexpr Column kSpeed{kSpeedBase, 427, 50, "Velocità", 1};
constexpr Column kKeys{kKeyBase, 4, 40, "", 1};

// A cell one row high.
void createCell(Player& p, controls::ControlSetup setup)
{
    setup.height = kRowHeight;
    controls::createControl(p.toolkit, p.window, setup);
}

void buildHeaders(Player& p, const Column& c, std::string_view leftCaption,
                  std::string_view rightCaption)
{
    for (const auto& [x, caption] :
         {std::pair{c.x, leftCaption}, std::pair{c.x + kRightBlockOffset, rightCaption}})
        createCell(p, {.id = c.base,
                       .x = x,
                       .y = kHeaderTop,
                       .width = c.width,
                       .caption = caption,
                       .style = "ori_ago",
                       .faceColour = "pulsanteoro",
                       .faceMode = c.headerFaceMode});
}

// Row cells of one column: style, face, value, divisions and caption per row.
template <typename MakeCell> void buildRows(Player& p, const Column& c, MakeCell makeCell)
{
    for (int row = 1; row <= p.RowCount; ++row)
    {
        const gui::Point at = cellPosition(p.RowCount, c.x, row);
        makeCell(c.base + row, at, row);
    }
}

void drawPianoKey(gui::Image& image, int row)
{
    gui::Canvas canvas(image);
    canvas.fill(kWhite);
    const int w = image.width;
    const int h = image.height;
    switch (row % 12)
    {
    case 1:
    case 3:
    case 6:
    case 8:
    case 10:
        canvas.box(w / 3, 0, w, h, kBlack, kBlack);
        canvas.moveTo(0, h / 2);
        canvas.lineTo(w / 3, h / 2, kBlack);
        break;
    case 4:
    case 11:
        canvas.moveTo(0, h - 1);
        canvas.lineTo(w, h - 1, kBlack);
        break;
    default:
        break;
    }
    canvas.selectFont(gui::kDefaultFontFamily, gui::kDefaultFontPoints + 1, true);
    canvas.printAt(0, 0, text::numberText(row), kKeyNumber);
}

void buildKeyColumn(Player& p)
{
    buildHeaders(p, kKeys, "", ".");
    buildRows(p, kKeys,
              [&](int id, gui::Point at, int row)
              {
                  gui::Control& key =
                      p.window.createControl(id, at.x, at.y, kKeys.width, kRowHeight, true);
                  drawPianoKey(key.image, row);
                  p.window.showControl(key);
              });
}

void buildSwitchColumn(Player& p, const Column& c, bool loop)
{
    buildHeaders(p, c, c.header, c.header);
    buildRows(p, c,
              [&](int id, gui::Point at, int row)
              {
                  createCell(p, {.id = id,
                                 .x = at.x,
                                 .y = at.y,
                                 .width = c.width,
                                 .value = 100,
                                 .caption = "OFF",
                                 .captionColour = kWhiteCaption,
                                 .style = "ori_rosso",
                                 .faceColour = "verde"});
                  if (loop && p.rows.RowLoop[static_cast<std::size_t>(row)] == 1)
                      setOnOff(p, id, "ON");
              });
}

void buildFileColumn(Player& p, const std::string& workFolder)
{
    const std::string header = workFolder + "*.mp3,*.wav";
    buildHeaders(p, kFile, header, header);
    buildRows(p, kFile,
              [&](int id, gui::Point at, int row)
              {
                  createCell(p, {.id = id,
                                 .x = at.x,
                                 .y = at.y,
                                 .width = kFile.width,
                                 .captionColour = kWhiteCaption,
                                 .style = "ori_rosso",
                                 .faceColour = "grigio"});
                  const std::int32_t index = p.rows.RowFile[static_cast<std::size_t>(row)];
                  if (gui::Control* cell = p.window.findControl(id))
                      cell->setAuxValue(1, index);
                  controls::setControlValue(p.toolkit, p.window, id, 0,
                                            "[<]" + p.catalogue.title(index));
              });
}

void buildBarColumn(Player& p, const Column& c, int divisions)
{
    buildHeaders(p, c, c.header, c.header);
    buildRows(p, c,
              [&](int id, gui::Point at, int row)
              {
                  float value = 0;
                  std::string caption;
                  if (c.base == kVolumeBase)
                  {
                      value = static_cast<float>(p.rows.RowVolume[static_cast<std::size_t>(row)]) /
                              kVolumeScale;
                      caption = volumeCaption(value);
                  }
                  else if (c.base == kSpeedBase)
                      value = static_cast<float>(p.rows.RowSpeed[static_cast<std::size_t>(row)]);
                  createCell(p, {.id = id,
                                 .x = at.x,
                                 .y = at.y,
                                 .width = c.width,
                                 .value = value,
                                 .divisions = divisions,
                                 .caption = caption,
                                 .captionColour = kWhiteCaption,
                                 .style = "ori_blurosso",
                                 .faceColour = "grigio"});
              });
}

} // namespace

int clientHeight(int rowCount)
{
    return static_cast<int>(text::roundToInt(8.5 * rowCount + 62));
}

std::string windowTitle(float engineVersion)
{
    return "Sonarello " + text::numberText(engineVersion) + " (Versione : 27 luglio 2007)";
}

gui::Point cellPosition(int rowCount, int x, int row)
{
    // The left block takes the first half of the rows (rounded up), the right one the rest.
    const int leftRows = (rowCount + 1) / 2;
    const bool right = row > leftRows;
    const int k = right ? row - leftRows : row;
    return {x + (right ? kRightBlockOffset : 0), kFirstRowTop + (k - 1) * kRowPitch};
}

void createMidiDisplay(Player& p)
{
    std::scoped_lock lock(p.lock);
    controls::createControl(p.toolkit, p.window,
                            {.id = kMidiDisplayId,
                             .x = 4,
                             .y = 4,
                             .width = 284,
                             .height = 24,
                             .caption = "*.mp3,*.wav",
                             .style = "ori_ago",
                             .faceColour = "pulsanteoro",
                             .faceMode = 3});
}

void buildColumns(Player& p, const std::string& workFolder)
{
    std::scoped_lock lock(p.lock);
    buildKeyColumn(p);
    buildSwitchColumn(p, kLoop, true);
    buildFileColumn(p, workFolder);
    buildSwitchColumn(p, kPlay, false);
    buildBarColumn(p, kVolume, 4);
    buildBarColumn(p, kLevel, 4);
    buildBarColumn(p, kPosition, 10);
    buildBarColumn(p, kSpeed, 10);
}

} // namespace sonarello
