#pragma once

// The few pixel rules the flat controls and the traffic graph are drawn by. Every function draws
// with hard edges (no antialiasing) on a painter the caller has set up; lines and patterns on a
// plain 32-bit image are written straight into its pixels, which the graph's redraws need.

#include <QColor>
#include <QImage>
#include <QPoint>
#include <QRect>
#include <QRegion>
#include <QString>

#include <optional>

class QPainter;
class QStaticText;

// A horizontal or vertical line from `from` up to `to`, the end point left out, so that lines
// laid end to end never draw a pixel twice.
void DrawLineWithoutEnd(QPainter& painter, QPoint from, QPoint to, const QColor& color);

// A one-pixel frame on the outermost pixels of `rect` (its right and bottom edges included),
// with the inside filled when a fill colour is given.
void DrawFrame(QPainter& painter, const QRect& rect, const QColor& frame,
               const std::optional<QColor>& fill = std::nullopt);

// Fills `rect` with `pattern` repeated so that the pattern's pixel (0, 0) lands on `origin`.
void FillPattern(QPainter& painter, const QRect& rect, const QImage& pattern, QPoint origin);

// The dotted focus frame: inverts every other pixel on the edge of `rect`, those whose x + y is
// even, so drawing it twice takes it away again. Pixels outside the image are left out.
void InvertDottedFrame(QImage& image, const QRect& rect);

// A rounded rectangle as a region of whole pixels. Each corner is the quarter of an ellipse
// `ellipseWidth` x `ellipseHeight` pixels that fits in the corner's pixel box, its extreme points
// on the centres of the box's edge pixels; a pixel belongs to the region when its centre lies on
// or inside that ellipse. An ellipse larger than the rectangle is shrunk to it; one narrower or
// lower than 2 pixels leaves the corner square.
QRegion RoundedRectRegion(const QRect& rect, int ellipseWidth, int ellipseHeight);

// Text whose character cell has its top-left corner at `topLeft`.
void DrawTextAt(QPainter& painter, QPoint topLeft, const QStaticText& text, const QColor& color);

// A caption on one line, centred both ways in `rect` and cut off at its edges; "&" marks the
// next character as the mnemonic, which is underlined ("&&" draws one "&").
void DrawCaption(QPainter& painter, const QRect& rect, const QString& caption, const QColor& color);
