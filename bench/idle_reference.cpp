// The toolkit's own floor for the idle CPU figure: a bare dialog that repaints an opaque panel of
// the traffic graph's size (with a grid and a line of text) ten times a second, as the graph
// does. bench/idle_cpu.sh measures it next to the program.
#include <QApplication>
#include <QDialog>
#include <QPainter>
#include <QTimer>
#include <QWidget>

namespace {

class Panel : public QWidget {
public:
    explicit Panel(QWidget* parent) : QWidget(parent) { setAttribute(Qt::WA_OpaquePaintEvent); }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.fillRect(rect(), QColor(0, 0, 75));
        m_offset = (m_offset + 1) % 10;
        for (int x = m_offset; x < width(); x += 10)
            painter.fillRect(x, 0, 1, height(), QColor(32, 64, 32));
        painter.setPen(QColor(0, 255, 255));
        painter.drawText(5, 15, QStringLiteral("0.0 / 0.0 KB/sec"));
    }

private:
    int m_offset = 0;
};

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QDialog dialog;
    dialog.setFixedSize(479, 367); // the main dialog's size in pixels
    Panel panel(&dialog);
    panel.setGeometry(20, 179, 440, 112); // the graph's place
    QTimer redraw;
    QObject::connect(&redraw, &QTimer::timeout, &panel, [&panel] { panel.update(); });
    redraw.start(100);
    dialog.show();
    return app.exec();
}
