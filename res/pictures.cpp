#include "pictures.h"

#include "resource.h"

#include <QFont>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

namespace {

// Two network sides joined by an arrow: the picture of what the program does.
void DrawRelaySymbol(QPainter& p, const QRectF& box, const QColor& node, const QColor& arrow) {
    const qreal r = box.height() * 0.22;
    const QPointF left(box.left() + r + 1, box.center().y());
    const QPointF right(box.right() - r - 1, box.center().y());
    p.setPen(Qt::NoPen);
    p.setBrush(node);
    p.drawEllipse(left, r, r);
    p.drawEllipse(right, r, r);
    p.setPen(QPen(arrow, qMax<qreal>(1.5, r * 0.45), Qt::SolidLine, Qt::RoundCap));
    const QPointF from(left.x() + r * 1.3, left.y());
    const QPointF to(right.x() - r * 1.5, right.y());
    p.drawLine(from, to);
    QPainterPath head;
    head.moveTo(to + QPointF(r * 0.9, 0));
    head.lineTo(to + QPointF(-r * 0.2, -r * 0.8));
    head.lineTo(to + QPointF(-r * 0.2, r * 0.8));
    head.closeSubpath();
    p.setPen(Qt::NoPen);
    p.setBrush(arrow);
    p.drawPath(head);
}

} // namespace

QImage LoadLogoBitmap() {
    QImage image(160, 44, QImage::Format_RGB888);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient background(0, 0, 0, 44);
    background.setColorAt(0, QColor(18, 52, 110));
    background.setColorAt(1, QColor(6, 22, 58));
    p.fillRect(image.rect(), background);
    DrawRelaySymbol(p, QRectF(6, 6, 52, 32), QColor(110, 200, 255), QColor(0, 255, 128));
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(22);
    font.setBold(true);
    p.setFont(font);
    p.setPen(QColor(235, 242, 255));
    p.drawText(QRect(64, 2, 94, 28), Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("Tarvel"));
    font.setPixelSize(9);
    font.setBold(false);
    p.setFont(font);
    p.setPen(QColor(150, 190, 230));
    p.drawText(QRect(65, 28, 94, 12), Qt::AlignLeft | Qt::AlignVCenter,
               QStringLiteral("TCP / UDP relay"));
    return image;
}

QImage AppIconImage(int size) {
    QImage image(size, size, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    // Drawn on a 32 x 32 grid, scaled to the size asked for.
    p.scale(size / 32.0, size / 32.0);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(18, 52, 110));
    p.drawRoundedRect(QRectF(0.5, 0.5, 31, 31), 6, 6);
    DrawRelaySymbol(p, QRectF(3, 6, 26, 20), QColor(110, 200, 255), QColor(0, 255, 128));
    return image;
}

QIcon LoadAppIcon() {
    return QIcon(QPixmap::fromImage(AppIconImage()));
}

QPixmap LoadPicture(int resourceId) {
    switch (resourceId) {
    case IDB_LOGO:
        return QPixmap::fromImage(LoadLogoBitmap());
    case IDR_MAINFRAME:
        return LoadAppIcon().pixmap(32, 32);
    default:
        return {};
    }
}
