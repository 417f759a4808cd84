#pragma once

#include <QImage>
#include <QRegion>

class QWidget;

// A control's picture drawn off-screen and copied onto the control in one piece, so the screen
// never shows half a paint and paint code can read back what it drew. The image is kept between
// paints, so each paint reuses its memory.
class PaintBuffer {
public:
    // The image to draw into, `size` pixels; it holds whatever the last paint left there.
    QImage& Image(QSize size);
    // Copies the picture onto `widget`, which must be in its paint event: the whole picture, or
    // only the parts of `parts` when it is not empty.
    void CopyTo(QWidget& widget, const QRegion& parts = {}) const;

private:
    QImage m_image;
};
