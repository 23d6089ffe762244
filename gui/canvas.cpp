#include "canvas.h"

#include <QFile>
#include <QFont>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QString>

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace sonarello::gui
{

namespace
{

constexpr std::uint32_t kOpaque = 0xFF000000u;
constexpr double kDotsPerInch = 96.0;
constexpr double kPointsPerInch = 72.0;

std::uint32_t toPixel(Colour c)
{
    return kOpaque | static_cast<std::uint32_t>(redOf(c)) << 16 |
           static_cast<std::uint32_t>(greenOf(c)) << 8 | static_cast<std::uint32_t>(blueOf(c));
}

Colour fromPixel(std::uint32_t p)
{
    return rgb((p >> 16) & 0xFF, (p >> 8) & 0xFF, p & 0xFF);
}

QImage wrap(Image& image)
{
    return QImage(reinterpret_cast<uchar*>(image.pixels.data()), image.width, image.height,
                  image.width * 4, QImage::Format_RGB32);
}

QString fromUtf8(std::string_view s)
{
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}

// Text needs the application's font database; without one, text measures and draws nothing.
bool fontsAvailable()
{
    return qobject_cast<QGuiApplication*>(QCoreApplication::instance());
}

Image fromQImage(const QImage& source)
{
    const QImage converted = source.convertToFormat(QImage::Format_RGB32);
    Image image(converted.width(), converted.height());
    for (int y = 0; y < converted.height(); ++y)
    {
        const auto* line = reinterpret_cast<const std::uint32_t*>(converted.constScanLine(y));
        std::copy(line, line + converted.width(),
                  image.pixels.begin() + static_cast<std::ptrdiff_t>(y) * converted.width());
    }
    return image;
}

} // namespace

Image::Image(int w, int h, Colour fill)
    : width(std::max(w, 0)), height(std::max(h, 0)),
      pixels(static_cast<std::size_t>(width) * static_cast<std::size_t>(height), toPixel(fill))
{
}

Colour Image::at(int x, int y) const
{
    if (x < 0 || y < 0 || x >= width || y >= height)
        return 0;
    return fromPixel(pixels[static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
                            static_cast<std::size_t>(x)]);
}

void Image::set(int x, int y, Colour c)
{
    if (x < 0 || y < 0 || x >= width || y >= height)
        return;
    pixels[static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
           static_cast<std::size_t>(x)] = toPixel(c);
}

struct Canvas::Font
{
    QFont font;
    QFontMetrics metrics;

    explicit Font(const QFont& f) : font(f), metrics(f) {}
};

Canvas::Canvas(Image& target) : target_(&target) {}

Canvas::~Canvas() = default;

void Canvas::fill(Colour c)
{
    std::fill(target_->pixels.begin(), target_->pixels.end(), toPixel(c));
}

void Canvas::moveTo(int x, int y)
{
    current_ = {x, y};
}

void Canvas::lineBy(int dx, int dy, Colour c)
{
    lineTo(current_.x + dx, current_.y + dy, c);
}

void Canvas::lineTo(int x, int y, Colour c)
{
    const std::uint32_t pixel = toPixel(c);
    Image& image = *target_;
    const auto plot = [&](int px, int py)
    {
        if (px >= 0 && py >= 0 && px < image.width && py < image.height)
            image.pixels[static_cast<std::size_t>(py) * static_cast<std::size_t>(image.width) +
                         static_cast<std::size_t>(px)] = pixel;
    };
    int x0 = current_.x;
    int y0 = current_.y;
    current_ = {x, y};
    if (y0 == y)
    {
        // The common case: a horizontal run, clipped before the loop.
        if (y0 < 0 || y0 >= image.height)
            return;
        const int from = x > x0 ? x0 : x + 1;
        const int to = x > x0 ? x - 1 : x0;
        const int first = std::max(from, 0);
        const int last = std::min(to, image.width - 1);
        if (first <= last)
        {
            auto row = image.pixels.begin() + static_cast<std::ptrdiff_t>(y0) * image.width;
            std::fill(row + first, row + last + 1, pixel);
        }
        return;
    }
    // Bresenham; the end point itself is not drawn. Very long lines stop where they leave
    // the image for good.
    const long long adx = std::llabs(static_cast<long long>(x) - x0);
    const long long ady = std::llabs(static_cast<long long>(y) - y0);
    const int sx = x0 < x ? 1 : -1;
    const int sy = y0 < y ? 1 : -1;
    long long err = adx - ady;
    const long long steps = std::max(adx, ady);
    const long long limit =
        std::min<long long>(steps, 2LL * (static_cast<long long>(image.width) + image.height) +
                                       std::llabs(x0) + std::llabs(y0) + 2);
    for (long long n = 0; n < limit; ++n)
    {
        plot(x0, y0);
        const long long e2 = 2 * err;
        if (e2 > -ady)
        {
            err -= ady;
            x0 += sx;
        }
        if (e2 < adx)
        {
            err += adx;
            y0 += sy;
        }
    }
}

void Canvas::box(int x1, int y1, int x2, int y2, Colour outline, std::optional<Colour> fill)
{
    if (x1 > x2)
        std::swap(x1, x2);
    if (y1 > y2)
        std::swap(y1, y2);
    if (x2 <= x1 || y2 <= y1)
        return;
    Image& image = *target_;
    const std::uint32_t edge = toPixel(outline);
    const std::uint32_t inside = fill ? toPixel(*fill) : 0;
    const int top = std::max(y1, 0);
    const int bottom = std::min(y2 - 1, image.height - 1);
    const int left = std::max(x1, 0);
    const int right = std::min(x2 - 1, image.width - 1);
    for (int y = top; y <= bottom; ++y)
    {
        auto row = image.pixels.begin() + static_cast<std::ptrdiff_t>(y) * image.width;
        if (y == y1 || y == y2 - 1)
        {
            if (left <= right)
                std::fill(row + left, row + right + 1, edge);
            continue;
        }
        if (fill && left <= right)
            std::fill(row + left, row + right + 1, inside);
        if (x1 >= 0 && x1 < image.width)
            row[x1] = edge;
        if (x2 - 1 >= 0 && x2 - 1 < image.width)
            row[x2 - 1] = edge;
    }
}

void Canvas::ellipse(int x1, int y1, int x2, int y2, Colour outline, std::optional<Colour> fill)
{
    if (x1 > x2)
        std::swap(x1, x2);
    if (y1 > y2)
        std::swap(y1, y2);
    // A box without width or height still covers its corner pixel, so a disc of radius 0 is
    // one dot.
    x2 = std::max(x2, x1 + 1);
    y2 = std::max(y2, y1 + 1);
    const double cx = (x1 + x2) / 2.0;
    const double cy = (y1 + y2) / 2.0;
    const double rx = (x2 - x1) / 2.0;
    const double ry = (y2 - y1) / 2.0;
    const auto inside = [&](int x, int y)
    {
        if (x < x1 || x >= x2 || y < y1 || y >= y2)
            return false;
        const double u = (x + 0.5 - cx) / rx;
        const double v = (y + 0.5 - cy) / ry;
        return u * u + v * v <= 1.0 + 1e-9;
    };
    const int top = std::max(y1, 0);
    const int bottom = std::min(y2, target_->height);
    const int left = std::max(x1, 0);
    const int right = std::min(x2, target_->width);
    for (int y = top; y < bottom; ++y)
        for (int x = left; x < right; ++x)
        {
            if (!inside(x, y))
                continue;
            const bool onEdge =
                !inside(x - 1, y) || !inside(x + 1, y) || !inside(x, y - 1) || !inside(x, y + 1);
            if (onEdge)
                target_->set(x, y, outline);
            else if (fill)
                target_->set(x, y, *fill);
        }
}

void Canvas::stretch(const Image& source, int sx, int sy, int sw, int sh, int dx, int dy, int dw,
                     int dh)
{
    if (sw <= 0 || sh <= 0 || dw <= 0 || dh <= 0 || source.empty())
        return;
    Image& image = *target_;
    for (int j = std::max(0, -dy); j < dh && dy + j < image.height; ++j)
    {
        const long long srcY = sy + static_cast<long long>(j) * sh / dh;
        if (srcY < 0 || srcY >= source.height)
            continue;
        for (int i = std::max(0, -dx); i < dw && dx + i < image.width; ++i)
        {
            const long long srcX = sx + static_cast<long long>(i) * sw / dw;
            if (srcX < 0 || srcX >= source.width)
                continue;
            image.pixels[static_cast<std::size_t>(dy + j) * static_cast<std::size_t>(image.width) +
                         static_cast<std::size_t>(dx + i)] =
                source.pixels[static_cast<std::size_t>(srcY * source.width + srcX)];
        }
    }
}

void Canvas::copyAt(const Image& source, int x, int y)
{
    stretch(source, 0, 0, source.width, source.height, x, y, source.width, source.height);
}

void Canvas::selectFont(std::string_view family, int points, bool bold)
{
    if (!fontsAvailable())
        return;
    QFont f(fromUtf8(family));
    f.setPixelSize(
        std::max(1, static_cast<int>(std::nearbyint(points * kDotsPerInch / kPointsPerInch))));
    f.setBold(bold);
    font_ = std::make_unique<Font>(f);
}

Canvas::Font& Canvas::font()
{
    if (!font_)
        selectFont(kDefaultFontFamily, kDefaultFontPoints);
    return *font_;
}

TextExtent Canvas::textExtent(std::string_view utf8)
{
    if (!fontsAvailable())
        return {};
    const QFontMetrics& m = font().metrics;
    return {m.horizontalAdvance(fromUtf8(utf8)), m.height()};
}

int Canvas::lineHeight()
{
    if (!fontsAvailable())
        return 0;
    return font().metrics.lineSpacing();
}

void Canvas::printAt(int x, int y, std::string_view utf8, Colour c)
{
    if (!fontsAvailable() || target_->empty() || utf8.empty())
        return;
    Font& f = font();
    QImage surface = wrap(*target_);
    QPainter painter(&surface);
    painter.setFont(f.font);
    painter.setPen(QColor(redOf(c), greenOf(c), blueOf(c)));
    painter.drawText(QPointF(x, y + f.metrics.ascent()), fromUtf8(utf8));
}

std::optional<Image> loadImage(std::string_view name, int width, int height)
{
    if (width <= 0 || height <= 0 || name.empty())
        return std::nullopt;
    const QString path = name.find('.') != std::string_view::npos
                             ? fromUtf8(name)
                             : QStringLiteral(":/images/") + fromUtf8(name);
    QImage loaded;
    if (!QFile::exists(path) || !loaded.load(path) || loaded.isNull())
        return std::nullopt;
    return fromQImage(loaded.scaled(width, height, Qt::IgnoreAspectRatio, Qt::FastTransformation));
}

bool saveImage(const Image& image, const std::string& path)
{
    if (image.empty())
        return false;
    Image copy = image;
    return wrap(copy).save(QString::fromStdString(path));
}

} // namespace sonarello::gui
