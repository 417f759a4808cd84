#include "controls/paint_buffer.h"

#include <QPainter>
#include <QWidget>

QImage& PaintBuffer::Image(QSize size) {
    if (m_image.size() != size)
        m_image = QImage(size, QImage::Format_RGB32);
    return m_image;
}

void PaintBuffer::CopyTo(QWidget& widget, const QRegion& parts) const {
    QPainter painter(&widget);
    if (parts.isEmpty()) {
        painter.drawImage(0, 0, m_image);
        return;
    }
    // One rectangle at a time: under a rectangle clip the painter copies rows directly, where a
    // clip region of many rows would hand every copy to Qt's thread pool. (The clip equal to the
    // part copied is not redundant: without it the copy takes a slower path.)
    for (const QRect& part : parts) {
        painter.setClipRect(part);
        painter.drawImage(part.topLeft(), m_image, part);
    }
}
