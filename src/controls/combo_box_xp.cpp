#include "controls/combo_box_xp.h"

#include <QAbstractItemView>
#include <QLineEdit>
#include <QPainter>
#include <QStyle>
#include <QStyleOptionComboBox>

#include "controls/accessible_combo_box.h"
#include "controls/draw_button.h"
#include "controls/flat_combo_layout.h"
#include "controls/pixel_rules.h"
#include "desktop/system_colors.h"

CComboBoxXP::CComboBoxXP(QWidget* parent) : QComboBox(parent) {
    InstallAccessibleComboBox();
    setEditable(true);
    setMaxVisibleItems(m_visibleItems);
}

CComboBoxXP::~CComboBoxXP() {
    // The edit part stops watching before the base class takes its edit window down.
    m_editPart.SubclassWindow(nullptr);
}

void CComboBoxXP::PreSubclassWindow() {
    m_tracker.owner = this;
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
    // The dropped list is as wide as its longest entry, never narrower than the box: a link-local
    // IPv6 address with its interface is far wider than the field, and cut in the middle it no
    // longer says which address it is.
    if (QAbstractItemView* list = view()) {
        const int scrollBar = count() > maxVisibleItems()
                                  ? list->style()->pixelMetric(QStyle::PM_ScrollBarExtent)
                                  : 0;
        list->setMinimumWidth(list->sizeHintForColumn(0) + 2 * list->frameWidth() + scrollBar);
    }
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
    const QRect client = rect();
    const QRect button(client.right() + 1 - kDropButtonWidth, client.top(), kDropButtonWidth,
                       client.height());
    const bool dropped = IsDropped();
    const bool hovered = m_tracker.hover == 1;
    QImage& image = m_buffer.Image(size());
    QPainter painter(&image);

    // The field's background, left of the button. The sunken edge the toolkit would draw around
    // it is covered by the rings below, so it is left out.
    const QColor field =
        ToQColor(GetSystemColor(isEnabled() ? SystemColor::Window : SystemColor::ButtonFace));
    painter.fillRect(QRect(client.left(), client.top(), button.left(), client.height()), field);
    if (!isEditable()) {
        painter.save();
        painter.setClipRect(QRect(0, 0, button.left(), client.height()));
        QStyleOptionComboBox option;
        initStyleOption(&option);
        style()->drawControl(QStyle::CE_ComboBoxLabel, &option, &painter, this);
        painter.restore();
    }

    // The drop-down button.
    std::uint32_t state = 0;
    if (!isEnabled())
        state |= kDrawButtonDisabled;
    if (hovered)
        state |= kDrawButtonHot;
    if (dropped)
        state |= kDrawButtonPressed | kDrawButtonHot;
    CDrawButton(state, button).Draw(painter);

    // The outer frame, then an inner ring that covers the field's edge and the column between
    // the field and the button.
    DrawFrame(painter, client,
              ToQColor(GetSystemColor(dropped || hovered ? SystemColor::Highlight
                                                         : SystemColor::ButtonShadow)));
    const QRect inner = client.adjusted(1, 1, -1 - kDropButtonWidth, -1);
    DrawFrame(painter, inner, field);
    DrawLineWithoutEnd(painter, QPoint(inner.right() + 1, inner.top()),
                       QPoint(inner.right() + 1, inner.bottom() + 1), field);
    painter.end();
    m_buffer.CopyTo(*this);
}
