#include "toolkit.h"

#include "base/text.h"
#include "controls/colours.h"
#include "controls/indicators.h"
#include "controls/painting.h"

#include <algorithm>
#include <limits>
#include <mutex>

namespace sonarello::controls
{

namespace
{

constexpr std::size_t kTableSize = kMaxControlId + 1;
constexpr std::string_view kSwitchCaptions = "OFF/ON";
constexpr int kLampOuterRadius = 5;
constexpr float kLampPeak = 100.0f;
constexpr char kSwitchSeparator = '/';

std::size_t characterCount(std::string_view s)
{
    std::size_t count = 0;
    for (std::string_view rest = s; !rest.empty(); ++count)
        rest.remove_prefix(text::fitCharacters(rest, 1).size());
    return count;
}

std::string_view trimLeadingBlanks(std::string_view s)
{
    const auto first = s.find_first_not_of(' ');
    return first == std::string_view::npos ? std::string_view{} : s.substr(first);
}

std::int16_t toDivisions(int n)
{
    return static_cast<std::int16_t>(std::clamp<int>(n, std::numeric_limits<std::int16_t>::min(),
                                                     std::numeric_limits<std::int16_t>::max()));
}

std::int32_t storeImage(Toolkit& toolkit, gui::Image image)
{
    toolkit.images.push_back(std::move(image));
    return static_cast<std::int32_t>(toolkit.images.size());
}

// Loads the named image at the control's size; an image that cannot be loaded gives handle 0
// and leaves the face as it is.
std::int32_t loadAndShow(Toolkit& toolkit, gui::Canvas& canvas, std::string_view name, bool draw)
{
    auto image = gui::loadImage(name, canvas.width(), canvas.height());
    if (!image)
        return 0;
    if (draw)
        canvas.stretch(*image, 0, 0, image->width, image->height, 0, 0, canvas.width(),
                       canvas.height());
    return storeImage(toolkit, std::move(*image));
}

// Sets up the image face or the two pictures a text names. Returns true when the text asks
// for the drawn switch instead, which the caller draws once the record holds its look.
bool setUpControlText(Toolkit& toolkit, gui::Control& control, gui::Window& window,
                      std::string_view text)
{
    gui::Canvas canvas(control.image);
    const auto slash = text.find(kSwitchSeparator);
    if (slash == std::string_view::npos)
    {
        if (trimLeadingBlanks(text).empty())
            return false;
        control.setAuxValue(kAuxImageOff, loadAndShow(toolkit, canvas, text, true));
        control.setAuxValue(kAuxSwitchState, 0);
        window.showControl(control);
        return false;
    }
    const std::string_view first = text.substr(0, slash);
    const std::string_view second = text.substr(slash + 1);
    if (trimLeadingBlanks(std::string(first) + std::string(second)).empty())
        return true;
    control.setAuxValue(kAuxImageOff, loadAndShow(toolkit, canvas, first, true));
    control.setAuxValue(kAuxImageOn, loadAndShow(toolkit, canvas, second, false));
    control.setAuxValue(kAuxSwitchState, 0);
    window.showControl(control);
    return false;
}

// The only painting path of a live control: the static part once (then from the cache), the
// indicator, the ticks, the caption, in this order; shown when complete.
void drawControl(Toolkit& toolkit, gui::Window& window, int id, const DrawnControl& record,
                 std::string_view caption, std::string_view style, std::string_view faceColour)
{
    gui::Control* control = window.findControl(id);
    if (control == nullptr)
        return;
    gui::Canvas canvas(control->image);
    gui::Image& background = toolkit.backgrounds[static_cast<std::size_t>(id)];
    const bool cached = control->auxValue(kAuxBackgroundMarker) != 0 &&
                        background.width == control->image.width &&
                        background.height == control->image.height;
    if (!cached)
    {
        drawBevel(canvas, record.bevelWidth, record.bevelColour.trimmed(), !style.empty());
        fillFace(canvas, record.bevelWidth, faceColour, record.faceMode,
                 imageForHandle(toolkit, control->auxValue(kAuxImageOff)));
        background = control->image;
        control->setAuxValue(kAuxBackgroundMarker, id);
    }
    else
    {
        std::copy(background.pixels.begin(), background.pixels.end(),
                  control->image.pixels.begin());
    }
    const std::string shown = applyCaptionDirective(caption, record.value, record.divisions);
    if (record.value > 0)
        drawIndicator(canvas, style, record.bevelWidth, record.value, record.divisions, faceColour);
    if (record.divisions > 0)
        drawTicks(canvas, style, record.bevelWidth, record.divisions);
    if (!shown.empty())
    {
        canvas.selectFont(gui::kDefaultFontFamily, gui::kDefaultFontPoints);
        drawCaption(canvas, shown, static_cast<gui::Colour>(record.captionColour), 0);
    }
    window.showControl(*control);
}

} // namespace

template <std::size_t Width> void FixedText<Width>::assign(std::string_view s)
{
    const std::string_view kept = text::fitCharacters(s, Width);
    stored.assign(kept);
    stored.append(Width - characterCount(kept), ' ');
}

template <std::size_t Width> std::string_view FixedText<Width>::trimmed() const
{
    return text::trimBlanks(stored);
}

template struct FixedText<20>;
template struct FixedText<32>;

Toolkit::Toolkit(ProgramLock& programLock)
    : lock(programLock), controls(kTableSize), backgrounds(kTableSize)
{
}

bool validControlId(int id)
{
    return id >= kMinControlId && id <= kMaxControlId;
}

const gui::Image* imageForHandle(const Toolkit& toolkit, std::int32_t handle)
{
    if (handle <= 0 || static_cast<std::size_t>(handle) > toolkit.images.size())
        return nullptr;
    return &toolkit.images[static_cast<std::size_t>(handle) - 1];
}

void createControl(Toolkit& toolkit, gui::Window& window, const ControlSetup& setup)
{
    const int id = setup.id;
    if (!validControlId(id))
        return;
    std::lock_guard guard(toolkit.lock);
    gui::Control& control =
        window.createControl(id, setup.x, setup.y, setup.width, setup.height, id > 0);
    const bool drawnSwitch =
        !setup.text.empty() && setUpControlText(toolkit, control, window, setup.text);
    DrawnControl& record = toolkit.controls[static_cast<std::size_t>(id)];
    record.bevelWidth = setup.bevelWidth;
    record.bevelColour.assign(setup.bevelColour);
    record.value = setup.value;
    record.divisions = toDivisions(setup.divisions);
    record.caption.assign(setup.caption);
    record.captionColour = setup.captionColour;
    record.style.assign(setup.style);
    record.faceColour.assign(setup.faceColour);
    record.faceMode = setup.faceMode;
    setControlValue(toolkit, window, id, setup.value, {});
    // Switched on, then off: the switch ends off, with its caption and red lamp over the
    // first paint rather than under it, in the look this call gives it.
    if (drawnSwitch)
    {
        toggleSwitch(toolkit, window, id, kSwitchCaptions);
        toggleSwitch(toolkit, window, id, kSwitchCaptions);
    }
}

void setControlValue(Toolkit& toolkit, gui::Window& window, int id, float value,
                     std::string_view caption)
{
    if (!validControlId(id))
        return;
    std::lock_guard guard(toolkit.lock);
    DrawnControl& record = toolkit.controls[static_cast<std::size_t>(id)];
    std::string shown;
    if (caption.empty())
        shown = record.caption.trimmed();
    else
    {
        record.caption.assign(caption);
        shown = caption;
    }
    const std::string style(record.style.trimmed());
    const std::string faceColour(record.faceColour.trimmed());
    if (value >= 0)
        record.value = value;
    drawControl(toolkit, window, id, record, shown, style, faceColour);
}

float sliderReading(std::string_view lowerStyle, gui::Point cursor, const gui::Control& control)
{
    float result = 0.0f;
    if (lowerStyle.find("ver") != std::string_view::npos && control.height > 0)
    {
        const float reading = std::min(100.0f, static_cast<float>(cursor.y - 1 - control.y) *
                                                   100.0f / static_cast<float>(control.height));
        result = 100.0f - reading;
    }
    if (lowerStyle.find("ori") != std::string_view::npos && control.width > 0)
        result = std::min(100.0f, static_cast<float>(cursor.x + 1 - control.x) * 100.0f /
                                      static_cast<float>(control.width));
    return result;
}

float readSliderValue(Toolkit& toolkit, gui::Window& window, int id)
{
    if (!validControlId(id))
        return 0.0f;
    std::lock_guard guard(toolkit.lock);
    const gui::Control* control = window.findControl(id);
    if (control == nullptr)
        return 0.0f;
    const std::string style =
        text::asciiLower(toolkit.controls[static_cast<std::size_t>(id)].style.stored);
    return sliderReading(style, window.cursorPosition(), *control);
}

void toggleSwitch(Toolkit& toolkit, gui::Window& window, int id, std::string_view text)
{
    if (!validControlId(id))
        return;
    std::lock_guard guard(toolkit.lock);
    gui::Control* control = window.findControl(id);
    if (control == nullptr)
        return;
    const DrawnControl& record = toolkit.controls[static_cast<std::size_t>(id)];
    const std::int32_t state = control->auxValue(kAuxSwitchState);
    const gui::Image* imageOff = imageForHandle(toolkit, control->auxValue(kAuxImageOff));
    const gui::Image* imageOn = imageForHandle(toolkit, control->auxValue(kAuxImageOn));
    gui::Canvas canvas(control->image);
    const int h = canvas.height();
    const std::string captions(text.empty() ? record.caption.trimmed() : text);
    // Without a "/" both states show the whole text.
    const auto slash = captions.find(kSwitchSeparator);
    const bool turningOn = state == 0;
    std::string caption = captions;
    if (slash != std::string::npos)
        caption = turningOn ? captions.substr(slash + 1) : captions.substr(0, slash);
    control->setAuxValue(kAuxSwitchState, turningOn ? 1 : 0);
    if (const gui::Image* image = turningOn ? imageOn : imageOff)
    {
        canvas.copyAt(*image, 0, 0);
        window.showControl(*control);
        return;
    }
    const std::string bevelColour(record.bevelColour.trimmed());
    const std::string faceColour(record.faceColour.trimmed());
    const int margin = turningOn ? record.bevelWidth + 1 : record.bevelWidth;
    const int mode = turningOn ? nearest(record.value) : record.faceMode;
    drawBevel(canvas, margin, bevelColour, true);
    fillFace(canvas, margin, faceColour, mode, imageOff);
    if (h > 0)
    {
        const std::string_view palette = turningOn ? "verdino" : "rosso";
        for (int r = kLampOuterRadius; r >= 0; --r)
            drawDisc(canvas, nearest(h / 2.0 + r / 2.0), nearest(h / 2.0), r,
                     paletteColour(palette, nearest(255.0 / h), -r, kLampPeak));
    }
    drawCaption(canvas, caption, static_cast<gui::Colour>(record.captionColour), 0);
    window.showControl(*control);
}

} // namespace sonarello::controls
