#pragma once

#include <QPushButton>

#include "controls/hover_tracker.h"
#include "controls/paint_buffer.h"

// A flat push button: a one-pixel frame around a filled face and centred text, tinted from the
// highlight colour while the pointer is over it and more strongly while it is pressed.
//
// The owner constructs it, gives it parent, geometry, caption and object name, then calls
// PreSubclassWindow() once; from then on it paints itself.
class CButtonXP : public QPushButton {
    Q_OBJECT
public:
    // What a paint shows besides the hover state.
    struct State {
        bool pressed = false;
        bool disabled = false;
        bool focused = false;
    };

    explicit CButtonXP(QWidget* parent = nullptr);
    ~CButtonXP() override;

    void PreSubclassWindow();
    const HoverTracker& Tracker() const { return m_tracker; }

    // Paints the whole button in `state` into `image`, which has the button's size.
    void Draw(QImage& image, const State& state) const;

protected:
    bool event(QEvent* e) override;
    void paintEvent(QPaintEvent* e) override;

private:
    bool m_ownerDrawn = false;
    HoverTracker m_tracker;
    PaintBuffer m_buffer;
};
