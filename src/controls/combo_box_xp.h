#pragma once

#include <QComboBox>
#include <QPointer>

#include "controls/combo_edit_xp.h"
#include "controls/hover_tracker.h"
#include "controls/paint_buffer.h"

class QProxyStyle;

// An editable drop-down combo box with a flat frame and a flat drop-down button, highlighted
// while the pointer is over it or its edit part and while the list is dropped.
//
// The owner constructs it, gives it parent, geometry and object name, then calls
// PreSubclassWindow() once. Any later height is the height of the closed control: the edit
// field gets that height less 6 pixels. The dropped list shows up to 7 items, each whole: it is
// wider than the box when an item needs it.
class CComboBoxXP : public QComboBox {
    Q_OBJECT
public:
    explicit CComboBoxXP(QWidget* parent = nullptr);
    ~CComboBoxXP() override;

    void PreSubclassWindow();
    HoverTracker& Tracker() { return m_tracker; }
    const HoverTracker& Tracker() const { return m_tracker; }

    void showPopup() override;
    void hidePopup() override;

protected:
    bool event(QEvent* e) override;
    void paintEvent(QPaintEvent* e) override;
    void moveEvent(QMoveEvent* e) override;
    void resizeEvent(QResizeEvent* e) override;

private:
    bool IsDropped() const;
    void DeselectUnfocusedEdit();

    int m_visibleItems = 7;
    CComboEditXP m_editPart;
    HoverTracker m_tracker;
    bool m_attached = false;
    // Lays the edit field and the drop-down button out the way this control paints them.
    QPointer<QProxyStyle> m_layoutStyle;
    PaintBuffer m_buffer;
};
