#include "controls/combo_box_xp.h"

#include <QAbstractItemView>
#include <QAccessibleWidget>
#include <QLineEdit>
#include <QPainter>
#include <QProxyStyle>
#include <QStyleOptionComboBox>

#include "controls/hls_color.h"
#include "controls/selected_objects.h"
#include "platform/system_colors.h"

namespace {

// Where the toolkit puts the edit field and the arrow: the field inside the painted rings and
// 3 pixels from the top and bottom (so it is the closed height less 6), the arrow in a column
// as wide as a scroll-bar thumb at the right.
class FlatComboLayout : public QProxyStyle {
public:
    QRect subControlRect(ComplexControl control, const QStyleOptionComplex* option, SubControl sub,
                         const QWidget* widget) const override {
        if (control == CC_ComboBox) {
            const QRect r = option->rect;
            const int thumb = GetSystemMetrics(SM_CXHTHUMB);
            switch (sub) {
            case SC_ComboBoxArrow:
                return QRect(r.right() + 1 - thumb, r.top(), thumb, r.height());
            case SC_ComboBoxEditField:
                return QRect(r.left() + 3, r.top() + 3, r.width() - thumb - 5, r.height() - 6);
            case SC_ComboBoxFrame:
            case SC_ComboBoxListBoxPopup:
                return r;
            default:
                break;
            }
        }
        return QProxyStyle::subControlRect(control, option, sub, widget);
    }
};

// What assistive technology is told about the combo box. The toolkit's own description names an
// editable combo box on Linux by its current text; this one gives its accessible name (or its
// label's text) as the name and the text as the value, as other platforms do.
class AccessibleComboBoxXP : public QAccessibleWidget {
public:
    explicit AccessibleComboBoxXP(QWidget* widget)
        : QAccessibleWidget(widget, QAccessible::ComboBox) {}

    QString text(QAccessible::Text t) const override {
        if (t == QAccessible::Value)
            return Combo()->currentText();
        return QAccessibleWidget::text(t);
    }
    QAccessible::State state() const override {
        QAccessible::State state = QAccessibleWidget::state();
        state.editable = Combo()->isEditable();
        state.expandable = true;
        return state;
    }
    QStringList actionNames() const override {
        return QAccessibleWidget::actionNames() << showMenuAction();
    }
    void doAction(const QString& action) override {
        if (action == showMenuAction())
            Combo()->showPopup();
        else
            QAccessibleWidget::doAction(action);
    }

private:
    QComboBox* Combo() const { return static_cast<QComboBox*>(widget()); }
};

QAccessibleInterface* AccessibleComboBoxXPFactory(const QString& className, QObject* object) {
    if (className == QLatin1String(CComboBoxXP::staticMetaObject.className()) && object &&
        object->isWidgetType())
        return new AccessibleComboBoxXP(static_cast<QWidget*>(object)); // the toolkit owns it
    return nullptr;
}

} // namespace

void CDrawButton::Draw(CDC* dc, std::uint32_t state) {
    if (state == 0)
        state = m_state;
    const bool disabled = (state & kDrawButtonDisabled) != 0;
    const bool pressed = (state & kDrawButtonPressed) != 0;
    const bool hot = (state & kDrawButtonHot) != 0;
    const RECT& r = m_rect;

    // Step 1-3: frame and face.
    SelectedPen pen(dc, GetSysColor(COLOR_BTNFACE));
    SelectedBrush brush(dc, GetSysColor(COLOR_BTNFACE));
    const COLORREF highlight = GetSysColor(COLOR_HIGHLIGHT);
    const COLORREF pressedTint = TintColor(highlight, 50, 50);
    const COLORREF hotTint = TintColor(highlight, 70, 43);
    if (!disabled && hot) {
        pen.SetColor(highlight);
        brush.SetColor(pressed ? pressedTint : hotTint);
    } else {
        pen.SetColor(GetSysColor(COLOR_BTNSHADOW));
    }
    dc->Rectangle(r);

    // Step 4: glyph colour. Black only if the display really shows the hot tint, so the arrow
    // never vanishes on a face that came out differently.
    COLORREF glyph = GetSysColor(COLOR_BTNTEXT);
    if (pressed)
        glyph = RGB(240, 240, 240);
    else if (disabled)
        glyph = GetSysColor(COLOR_GRAYTEXT);
    else if (dc->GetPixel(r.left + 1, r.top + 1) == hotTint)
        glyph = RGB(0, 0, 0);

    // Step 5: a 7 x 4 triangle pointing down, its tip at (cx, y0).
    pen.SetColor(glyph);
    const int cx = (r.left + r.right) / 2;
    const int y0 = (r.top + r.bottom) / 2 + 2;
    for (int i = 0; i < 4; ++i) {
        dc->MoveToEx(cx - i, y0 - i, nullptr);
        dc->LineTo(cx + i + 1, y0 - i);
    }
    // Step 6: brush, then pen go back as the selections end.
}

CComboEditXP::~CComboEditXP() = default;

void CComboEditXP::SubclassWindow(QLineEdit* edit) {
    if (m_edit != nullptr)
        m_edit->removeEventFilter(this);
    m_edit = edit;
    if (edit != nullptr) {
        edit->setMouseTracking(true);
        edit->installEventFilter(this);
    }
}

bool CComboEditXP::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_edit) {
        if (auto* combo = qobject_cast<CComboBoxXP*>(m_edit->parentWidget()))
            FeedHoverEvent(combo->Tracker(), m_edit, event);
    }
    return false;
}

CComboBoxXP::CComboBoxXP(QWidget* parent) : QComboBox(parent) {
    static const bool accessibleInstalled = [] {
        QAccessible::installFactory(AccessibleComboBoxXPFactory);
        return true;
    }();
    (void)accessibleInstalled;
    setEditable(true);
    setMaxVisibleItems(m_visibleItems);
}

CComboBoxXP::~CComboBoxXP() {
    // The edit part stops watching before the base class takes its edit window down.
    m_editPart.SubclassWindow(nullptr);
}

void CComboBoxXP::PreSubclassWindow() {
    m_tracker.owner = this;
    m_tracker.flags = 1;
    setMouseTracking(true);
    if (QLineEdit* edit = lineEdit())
        m_editPart.SubclassWindow(edit);
    if (m_layoutStyle == nullptr) {
        auto* layout = new FlatComboLayout; // owned by this combo box through its parent
        layout->setParent(this);
        m_layoutStyle = layout;
        setStyle(layout);
    }
    m_attached = true;
    // The height given so far may include the dropped list, which the toolkit sizes by itself:
    // the closed control takes the system's height for its font, a text line plus 2 for the
    // field and 6 around it.
    resize(width(), fontMetrics().height() + 2 + 6);
    update();
}

bool CComboBoxXP::IsDropped() const {
    return view() != nullptr && view()->isVisible();
}

void CComboBoxXP::showPopup() {
    QComboBox::showPopup();
    update();
}

void CComboBoxXP::hidePopup() {
    QComboBox::hidePopup();
    update();
}

bool CComboBoxXP::event(QEvent* e) {
    const bool handled = QComboBox::event(e);
    if (m_attached)
        FeedHoverEvent(m_tracker, this, e);
    return handled;
}

void CComboBoxXP::DeselectUnfocusedEdit() {
    QLineEdit* edit = lineEdit();
    if (m_attached && edit != nullptr && !edit->hasFocus())
        edit->deselect();
}

void CComboBoxXP::moveEvent(QMoveEvent* e) {
    QComboBox::moveEvent(e);
    DeselectUnfocusedEdit();
}

void CComboBoxXP::resizeEvent(QResizeEvent* e) {
    QComboBox::resizeEvent(e);
    DeselectUnfocusedEdit();
}

void CComboBoxXP::paintEvent(QPaintEvent* e) {
    if (!m_attached) {
        QComboBox::paintEvent(e);
        return;
    }
    // Step 1-2: the system paints the combo box except the button area.
    const RECT client{0, 0, width(), height()};
    const int thumb = GetSystemMetrics(SM_CXHTHUMB);
    const RECT button{client.right - thumb, client.top, client.right, client.bottom};
    // The system part of an editable combo box is its field background; the sunken edge that
    // comes with it is covered by the rings below, so it is left out. Toolkit styles would add
    // edges of their own in other places.
    QImage image(size(), QImage::Format_RGB32);
    {
        CDC system(&image);
        const QRegion outsideButton = QRegion(rect()).subtracted(QRegion(ToQRect(button)));
        system.SelectClipRgn(&outsideButton);
        system.FillSolidRect(client, GetSysColor(isEnabled() ? COLOR_WINDOW : COLOR_BTNFACE));
    }
    if (!isEditable()) {
        QPainter label(&image);
        label.setClipRect(ToQRect(RECT{0, 0, button.left, client.bottom}));
        QStyleOptionComboBox option;
        initStyleOption(&option);
        style()->drawControl(QStyle::CE_ComboBoxLabel, &option, &label, this);
    }

    // Step 3-4: the drop-down button.
    CDC dc(&image);
    const bool dropped = IsDropped();
    std::uint32_t state = kDrawButtonDropArrow | kDrawButtonOnDialog | kDrawButtonFlat;
    if (!isEnabled())
        state |= kDrawButtonDisabled;
    if (m_tracker.hover == 1)
        state |= kDrawButtonHot;
    if (dropped)
        state |= kDrawButtonPressed | kDrawButtonHot;
    CDrawButton(state, button).Draw(&dc, 0);

    // Step 5: outer frame.
    {
        SelectedPen pen(
            &dc, GetSysColor(dropped || m_tracker.hover == 1 ? COLOR_HIGHLIGHT : COLOR_BTNSHADOW));
        dc.SelectStockObject(NULL_BRUSH);
        dc.Rectangle(client);

        // Step 6: the inner ring covers the system's sunken edge around the text part.
        pen.SetColor(GetSysColor(isEnabled() ? COLOR_WINDOW : COLOR_BTNFACE));
        RECT inner = client;
        InflateRect(inner, -1, -1);
        inner.right -= thumb;
        dc.Rectangle(inner);

        // Step 7: separator between the text part and the button.
        dc.MoveToEx(inner.right, inner.top, nullptr);
        dc.LineTo(inner.right, inner.bottom);
    }
    QPainter(this).drawImage(0, 0, image);
}
