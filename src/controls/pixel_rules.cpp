#include "controls/pixel_rules.h"

#include <QPainter>
#include <QStaticText>

#include <algorithm>
#include <cmath>

namespace {

// The image `painter` draws on when its pixels can be written directly: a 32-bit image without
// clip or transform. A painter fills a one-pixel column, or a rectangle more than a few dozen
// rows high, at many times the cost of the stores themselves (the tall one by handing rows to a
// thread pool), and the graph draws some fifty lines and up to two hundred bars ten times a
// second.
QImage* DirectImage(QPainter& painter) {
    QPaintDevice* device = painter.device();
    if (device == nullptr || device->devType() != QInternal::Image || painter.hasClipping() ||
        painter.transform().type() != QTransform::TxNone)
        return nullptr;
    auto* image = static_cast<QImage*>(device);
    const QImage::Format format = image->format();
    const bool direct = format == QImage::Format_RGB32 || format == QImage::Format_ARGB32 ||
                        format == QImage::Format_ARGB32_Premultiplied;
    return direct ? image : nullptr;
}

// The position inside a pattern of `size` pixels that `coordinate` falls on.
int PatternIndex(int coordinate, int origin, int size) {
    const int offset = (coordinate - origin) % size;
    return offset < 0 ? offset + size : offset;
}

} // namespace

void DrawLineWithoutEnd(QPainter& painter, QPoint from, QPoint to, const QColor& color) {
    QRect line;
    if (from.y() == to.y())
        line = QRect(std::min(from.x(), to.x() + 1), from.y(), std::abs(to.x() - from.x()), 1);
    else if (from.x() == to.x())
        line = QRect(from.x(), std::min(from.y(), to.y() + 1), 1, std::abs(to.y() - from.y()));
    if (line.isEmpty())
        return;
    if (QImage* image = DirectImage(painter)) {
        line &= image->rect();
        if (line.isEmpty())
            return;
        const QRgb pixel = color.rgb();
        // One look at the bits: each scanLine() call would check for sharing again.
        const qsizetype stride = image->bytesPerLine();
        uchar* row = image->bits() + line.top() * stride + line.left() * qsizetype(sizeof(QRgb));
        // A line is one column or one row.
        if (line.width() == 1) {
            for (int y = line.top(); y <= line.bottom(); ++y, row += stride)
                *reinterpret_cast<QRgb*>(row) = pixel;
        } else {
            auto* first = reinterpret_cast<QRgb*>(row);
            std::fill(first, first + line.width(), pixel);
        }
        return;
    }
    painter.fillRect(line, color);
}

void DrawFrame(QPainter& painter, const QRect& rect, const QColor& frame,
               const std::optional<QColor>& fill) {
    if (rect.isEmpty())
        return;
    if (fill)
        painter.fillRect(rect.adjusted(1, 1, -1, -1), *fill);
    painter.fillRect(QRect(rect.left(), rect.top(), rect.width(), 1), frame);
    painter.fillRect(QRect(rect.left(), rect.bottom(), rect.width(), 1), frame);
    painter.fillRect(QRect(rect.left(), rect.top(), 1, rect.height()), frame);
    painter.fillRect(QRect(rect.right(), rect.top(), 1, rect.height()), frame);
}

void FillPattern(QPainter& painter, const QRect& rect, const QImage& pattern, QPoint origin) {
    if (pattern.isNull())
        return;
    QImage* image = DirectImage(painter);
    if (image != nullptr && pattern.format() == QImage::Format_RGB32) {
        const QRect area = rect & image->rect();
        if (area.isEmpty())
            return;
        const int width = pattern.width();
        const int height = pattern.height();
        const uchar* const source = pattern.constBits();
        const qsizetype sourceStride = pattern.bytesPerLine();
        const int firstColumn = PatternIndex(area.left(), origin.x(), width);
        const qsizetype stride = image->bytesPerLine();
        uchar* row = image->bits() + area.top() * stride;
        for (int y = area.top(); y <= area.bottom(); ++y, row += stride) {
            const auto* from = reinterpret_cast<const QRgb*>(
                source + PatternIndex(y, origin.y(), height) * sourceStride);
            auto* to = reinterpret_cast<QRgb*>(row);
            int column = firstColumn;
            for (int x = area.left(); x <= area.right(); ++x) {
                to[x] = from[column];
                if (++column == width)
                    column = 0;
            }
        }
        return;
    }
    const QPoint previous = painter.brushOrigin();
    painter.setBrushOrigin(origin);
    painter.fillRect(rect, QBrush(pattern));
    painter.setBrushOrigin(previous);
}

void InvertDottedFrame(QImage& image, const QRect& rect) {
    const QRect inside = image.rect();
    const auto invert = [&](int x, int y) {
        if (((x + y) & 1) != 0 || !inside.contains(x, y))
            return;
        image.setPixel(x, y, image.pixel(x, y) ^ 0x00FFFFFFu);
    };
    if (rect.isEmpty())
        return;
    for (int x = rect.left(); x <= rect.right(); ++x) {
        invert(x, rect.top());
        if (rect.bottom() != rect.top())
            invert(x, rect.bottom());
    }
    for (int y = rect.top() + 1; y < rect.bottom(); ++y) {
        invert(rect.left(), y);
        if (rect.right() != rect.left())
            invert(rect.right(), y);
    }
}

QRegion RoundedRectRegion(const QRect& rect, int ellipseWidth, int ellipseHeight) {
    const QRect r = rect.normalized();
    QRegion region;
    if (r.isEmpty())
        return region;
    const int ew = std::min(std::abs(ellipseWidth), r.width());
    const int eh = std::min(std::abs(ellipseHeight), r.height());
    const bool rounded = ew >= 2 && eh >= 2;
    // Radii between the centres of the corner box's outer pixels.
    const double rx = (ew - 1) / 2.0;
    const double ry = (eh - 1) / 2.0;
    // How far row k from the top (or bottom) edge is cut in at each end.
    const auto inset = [&](int k) {
        if (!rounded || k >= ry)
            return 0;
        const double dy = (ry - k) / ry;
        const double dx = rx * std::sqrt(std::max(0.0, 1.0 - dy * dy));
        // A small tolerance keeps centres that lie exactly on the ellipse inside it.
        return static_cast<int>(std::ceil(rx - dx - 1e-9));
    };
    for (int y = r.top(); y <= r.bottom(); ++y) {
        const int cut = inset(std::min(y - r.top(), r.bottom() - y));
        if (2 * cut < r.width())
            region += QRect(r.left() + cut, y, r.width() - 2 * cut, 1);
    }
    return region;
}

void DrawTextAt(QPainter& painter, QPoint topLeft, const QStaticText& text, const QColor& color) {
    painter.setPen(color);
    painter.drawStaticText(topLeft, text);
}

void DrawCaption(QPainter& painter, const QRect& rect, const QString& caption,
                 const QColor& color) {
    painter.save();
    painter.setClipRect(rect, Qt::IntersectClip);
    painter.setPen(color);
    painter.drawText(rect, Qt::AlignCenter | Qt::TextSingleLine | Qt::TextShowMnemonic, caption);
    painter.restore();
}
