// Saves side-by-side pictures of the flat controls in their looks, grabbed headless:
//   control_looks_shot <output folder>
// writes button-looks.png (idle, hovered, pressed) and combo-looks.png (idle, hovered, dropped).

#include <QAbstractItemView>
#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QEnterEvent>
#include <QPainter>
#include <QWidget>

#include <cstdio>
#include <vector>

#include "controls/button_xp.h"
#include "controls/combo_box_xp.h"
#include "desktop/fonts.h"
#include "dialog_templates.h"
#include "resource.h"

namespace {

constexpr int kScale = 3;
constexpr int kGap = 8;

void Hover(QWidget* w) {
    QEnterEvent enter(QPointF(3, 3), QPointF(3, 3), QPointF(3, 3));
    QCoreApplication::sendEvent(w, &enter);
}

// The pictures in a row on the dialog's face colour, enlarged so single pixels show.
QImage SideBySide(const std::vector<QImage>& shots) {
    int width = kGap;
    int height = 0;
    for (const QImage& s : shots) {
        width += s.width() + kGap;
        height = std::max(height, s.height());
    }
    QImage row(width, height + 2 * kGap, QImage::Format_RGB32);
    row.fill(QApplication::palette().color(QPalette::Window));
    QPainter p(&row);
    int x = kGap;
    for (const QImage& s : shots) {
        p.drawImage(x, kGap, s);
        x += s.width() + kGap;
    }
    p.end();
    return row.scaled(row.size() * kScale, Qt::IgnoreAspectRatio, Qt::FastTransformation);
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    InstallDialogLook();
    if (argc < 2) {
        std::fprintf(stderr, "usage: control_looks_shot <output folder>\n");
        return 2;
    }
    const QDir out(QString::fromLocal8Bit(argv[1]));

    QWidget window;
    // The main dialog's font.
    const DialogTemplate& dialogTemplate = LoadDialogTemplate(IDD_TARVEL_DIALOG);
    QFont font(QString::fromUtf8(dialogTemplate.fontFace));
    font.setPointSize(dialogTemplate.pointSize);
    window.setFont(font);
    window.resize(400, 300);

    CButtonXP button;
    button.setParent(&window);
    button.setGeometry(10, 10, 75, 23);
    button.setText(QStringLiteral("运行(&R)"));
    button.setObjectName(QStringLiteral("runButton"));
    button.PreSubclassWindow();

    CComboBoxXP combo;
    combo.setParent(&window);
    combo.setObjectName(QStringLiteral("clientAddressCombo"));
    for (int i = 1; i <= 9; ++i)
        combo.addItem(QStringLiteral("192.168.0.%1").arg(i));
    combo.PreSubclassWindow();
    combo.move(10, 50);
    combo.resize(120, combo.height());
    window.show();
    QCoreApplication::processEvents();
    // Pictures of the plain looks: no control holds the focus.
    if (QWidget* focused = QApplication::focusWidget())
        focused->clearFocus();

    std::vector<QImage> buttons;
    buttons.push_back(button.grab().toImage());
    Hover(&button);
    buttons.push_back(button.grab().toImage());
    button.setDown(true);
    buttons.push_back(button.grab().toImage());

    std::vector<QImage> combos;
    combos.push_back(combo.grab().toImage());
    Hover(&combo);
    combos.push_back(combo.grab().toImage());
    combo.showPopup();
    QCoreApplication::processEvents();
    // The dropped look: the closed control with its list below it.
    const QImage closed = combo.grab().toImage();
    const QImage list = combo.view()->window()->grab().toImage();
    QImage dropped(std::max(closed.width(), list.width()), closed.height() + list.height(),
                   QImage::Format_RGB32);
    dropped.fill(QApplication::palette().color(QPalette::Window));
    {
        QPainter p(&dropped);
        p.drawImage(0, 0, closed);
        p.drawImage(0, closed.height(), list);
    }
    combos.push_back(dropped);
    combo.hidePopup();

    const bool ok = SideBySide(buttons).save(out.filePath(QStringLiteral("button-looks.png"))) &&
                    SideBySide(combos).save(out.filePath(QStringLiteral("combo-looks.png")));
    return ok ? 0 : 1;
}
