#pragma once

#include <QEvent>
#include <QObject>

// Counts the paint events of the widget it is installed on as an event filter.
class PaintCounter : public QObject {
public:
    int paints = 0;

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        paints += event->type() == QEvent::Paint ? 1 : 0;
        return false;
    }
};
