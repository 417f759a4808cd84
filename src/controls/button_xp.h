#pragma once

#include <QPushButton>

#include "controls/hover_tracker.h"
#include "platform/gdi.h"

// A flat push button: a one-pixel frame around a filled face and centred text, tinted from the
// highlight colour while the pointer is over it and more strongly while it is pressed.
//
// The owner constructs it, gives it parent, geometry, caption and object name, then calls
// PreSubclassWindow() once; from then on every paint is owner-drawn.
class CButtonXP : public QPushButton {
    Q_OBJECT
public:
    explicit CButtonXP(QWidget* parent = nullptr);
    ~CButtonXP() override;

    void PreSubclassWindow();
    const HoverTracker& Tracker() const { return m_tracker; }

protected:
    virtual void DrawItem(const DRAWITEMSTRUCT& item);

    bool event(QEvent* e) override;
    void paintEvent(QPaintEvent* e) override;

private:
    bool m_ownerDrawn = false;
    HoverTracker m_tracker;
    QImage m_paintBuffer; // reused by every paint
};
