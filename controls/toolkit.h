// The drawn controls toolkit: control table, cached backgrounds and the operations the player
// calls. Each takes the program lock; create on the GUI thread, update from any thread.
#pragma once

#include "controls/program_lock.h"
#include "gui/window.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace sonarello::controls
{

inline constexpr int kMinControlId = 0;
inline constexpr int kMaxControlId = 10000;

// Auxiliary values the toolkit gives a meaning to.
inline constexpr int kAuxSwitchState = 1;
inline constexpr int kAuxImageOff = 2;
inline constexpr int kAuxImageOn = 3;
inline constexpr int kAuxBackgroundMarker = 8;

// A text field of a fixed number of characters: the first Width characters of what is
// assigned (never a cut UTF-8 sequence), padded with blanks.
template <std::size_t Width> struct FixedText
{
    std::string stored = std::string(Width, ' ');

    void assign(std::string_view s);
    std::string_view trimmed() const;
};

struct DrawnControl
{
    std::int32_t bevelWidth = 0;
    FixedText<20> bevelColour;
    float value = 0.0f;
    std::int16_t divisions = 0;
    FixedText<20> caption;
    std::int32_t captionColour = 0;
    FixedText<32> style;
    FixedText<20> faceColour;
    std::int32_t faceMode = 0;
};

// The toolkit's tables, created once at start-up. Touch them only under `lock`.
struct Toolkit
{
    explicit Toolkit(ProgramLock& programLock);

    ProgramLock& lock;
    std::vector<DrawnControl> controls;  // the control table, indexed by control id
    std::vector<gui::Image> backgrounds; // bevel and face of each painted control, by id
    std::vector<gui::Image> images;      // loaded images; an image handle is index + 1
};

bool validControlId(int id);

// How a control is created: its place, then its look, as the control record keeps it.
struct ControlSetup
{
    int id = 0;
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    // Non-empty: an image face ("name") or a switch ("off/on" pictures, or "/" for the drawn
    // OFF/ON switch, which ends off with its red lamp in the look it was given). As "/" splits the
    // two pictures, a picture is named relative to the current folder (a name holding ".") or
    // is an image compiled into the program.
    std::string_view text = {};
    int bevelWidth = 0;
    std::string_view bevelColour = {};
    float value = 0.0f;
    int divisions = 0;
    std::string_view caption = {};
    std::int32_t captionColour = 0;
    std::string_view style = {};
    std::string_view faceColour = {};
    int faceMode = 0;
};

// Creates the control and paints it; ids outside 0..10000 are refused. GUI thread.
void createControl(Toolkit& toolkit, gui::Window& window, const ControlSetup& setup);

// Stores a value (a negative one keeps the stored value) and a caption (an empty one keeps the
// stored caption), then repaints the control from its cached background.
void setControlValue(Toolkit& toolkit, gui::Window& window, int id, float value,
                     std::string_view caption);

// The percentage along the control's axis at the mouse pointer; unclamped. GUI thread.
float readSliderValue(Toolkit& toolkit, gui::Window& window, int id);

// The reading of a pointer at `cursor` over `control` for a lower-cased style.
float sliderReading(std::string_view lowerStyle, gui::Point cursor, const gui::Control& control);

// Flips the switch state in auxiliary value 1 and draws the new state: its image, or bevel,
// face, lamp and the caption part of `text` ("OFF/ON"; empty = the stored caption).
void toggleSwitch(Toolkit& toolkit, gui::Window& window, int id, std::string_view text);

// The image behind an image handle, or nothing.
const gui::Image* imageForHandle(const Toolkit& toolkit, std::int32_t handle);

} // namespace sonarello::controls
