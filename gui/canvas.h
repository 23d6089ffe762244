// Pixel images and our own pixel-exact lines, boxes, ellipses and stretch copies; text in the
// system's fonts. Any thread, one thread per image at a time (the program lock sees to it).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sonarello::gui
{

// A colour packed as red + 256 x green + 65536 x blue.
using Colour = std::uint32_t;

constexpr int clampComponent(std::int64_t c)
{
    return c < 0 ? 0 : c > 255 ? 255 : static_cast<int>(c);
}

// Packs three components, each clamped to 0..255 on its own.
constexpr Colour rgb(std::int64_t red, std::int64_t green, std::int64_t blue)
{
    return static_cast<Colour>(clampComponent(red)) |
           static_cast<Colour>(clampComponent(green)) << 8 |
           static_cast<Colour>(clampComponent(blue)) << 16;
}

constexpr int redOf(Colour c)
{
    return static_cast<int>(c & 0xFF);
}
constexpr int greenOf(Colour c)
{
    return static_cast<int>((c >> 8) & 0xFF);
}
constexpr int blueOf(Colour c)
{
    return static_cast<int>((c >> 16) & 0xFF);
}

// A 32-bit image; pixels are stored row by row as 0xFFRRGGBB.
struct Image
{
    int width = 0;
    int height = 0;
    std::vector<std::uint32_t> pixels;

    Image() = default;
    Image(int w, int h, Colour fill = 0);

    bool empty() const { return width <= 0 || height <= 0; }
    Colour at(int x, int y) const;
    void set(int x, int y, Colour c);
};

struct TextExtent
{
    int width = 0;
    int height = 0;
};

struct Point
{
    int x = 0;
    int y = 0;
};

// A drawing context over one image: current point, current font. Lines exclude their end
// pixel; boxes and ellipses exclude their right and bottom edge; everything clips.
class Canvas
{
  public:
    explicit Canvas(Image& target);
    ~Canvas();
    Canvas(const Canvas&) = delete;
    Canvas& operator=(const Canvas&) = delete;

    int width() const { return target_->width; }
    int height() const { return target_->height; }
    Image& image() { return *target_; }

    void fill(Colour c);
    void moveTo(int x, int y);
    void lineBy(int dx, int dy, Colour c);
    void lineTo(int x, int y, Colour c);
    void box(int x1, int y1, int x2, int y2, Colour outline, std::optional<Colour> fill);
    void ellipse(int x1, int y1, int x2, int y2, Colour outline, std::optional<Colour> fill);
    // Copies the source rectangle of `source` scaled (nearest pixel) onto the destination
    // rectangle.
    void stretch(const Image& source, int sx, int sy, int sw, int sh, int dx, int dy, int dw,
                 int dh);
    void copyAt(const Image& source, int x, int y);

    // Height in points at 96 dots per inch; "Arial" resolves to a metric-compatible face.
    void selectFont(std::string_view family, int points, bool bold = false);
    TextExtent textExtent(std::string_view utf8);
    int lineHeight();
    // Draws the text with its top-left corner at (x, y), on a transparent background.
    void printAt(int x, int y, std::string_view utf8, Colour c);

  private:
    struct Font;
    Font& font();

    Image* target_;
    Point current_;
    std::unique_ptr<Font> font_;
};

// The face every control text uses unless told otherwise.
inline constexpr std::string_view kDefaultFontFamily = "Arial";
inline constexpr int kDefaultFontPoints = 7;

// Loads a BMP or PNG file (a name holding ".") or an image compiled into the program (a name
// without "."), scaled to width x height; nothing when it cannot be loaded.
std::optional<Image> loadImage(std::string_view name, int width, int height);

bool saveImage(const Image& image, const std::string& path);

} // namespace sonarello::gui
