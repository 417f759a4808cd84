#pragma once

#include <QComboBox>
#include <QLineEdit>
#include <QPointer>

#include <cstdint>

#include "controls/hover_tracker.h"
#include "platform/gdi.h"

class QProxyStyle;

// State word of CDrawButton.
constexpr std::uint32_t kDrawButtonDropArrow = 2; // glyph kind in bits 0-7
constexpr std::uint32_t kDrawButtonDisabled = 0x100;
constexpr std::uint32_t kDrawButtonFlat = 0x200;
constexpr std::uint32_t kDrawButtonOnDialog = 0x800;
constexpr std::uint32_t kDrawButtonPressed = 0x1000;
constexpr std::uint32_t kDrawButtonHot = 0x4000;

// Paints the flat drop-down button of the combo box; made on the stack at every paint.
class CDrawButton {
public:
    CDrawButton(std::uint32_t state, const RECT& rect) : m_state(state), m_rect(rect) {}
    virtual ~CDrawButton() = default;
    CDrawButton(const CDrawButton&) = delete;
    CDrawButton& operator=(const CDrawButton&) = delete;

    // State 0 means the stored state.
    virtual void Draw(CDC* dc, std::uint32_t state);

    std::uint32_t m_state;
    RECT m_rect;
};

// Watches the combo box's edit part and reports the pointer over it to the combo's tracker, so
// the two count as one area for the hover look.
class CComboEditXP : public QObject {
    Q_OBJECT
public:
    CComboEditXP() = default;
    ~CComboEditXP() override;

    void SubclassWindow(QLineEdit* edit);
    QLineEdit* Edit() const { return m_edit; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QPointer<QLineEdit> m_edit;
};

// An editable drop-down combo box with a flat frame and a flat drop-down button, highlighted
// while the pointer is over it or its edit part and while the list is dropped.
//
// The owner constructs it, gives it parent, geometry and object name, then calls
// PreSubclassWindow() once. Any later height is the height of the closed control: the edit
// field gets that height less 6 pixels. The dropped list shows up to 7 items.
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
};
