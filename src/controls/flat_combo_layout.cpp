#include "controls/flat_combo_layout.h"

#include <QStyleOptionComplex>

#include "controls/draw_button.h"

QRect FlatComboLayout::subControlRect(ComplexControl control, const QStyleOptionComplex* option,
                                      SubControl sub, const QWidget* widget) const {
    if (control == CC_ComboBox) {
        const QRect r = option->rect;
        switch (sub) {
        case SC_ComboBoxArrow:
            return QRect(r.right() + 1 - kDropButtonWidth, r.top(), kDropButtonWidth, r.height());
        case SC_ComboBoxEditField:
            return QRect(r.left() + 3, r.top() + 3, r.width() - kDropButtonWidth - 5,
                         r.height() - 6);
        case SC_ComboBoxFrame:
        case SC_ComboBoxListBoxPopup:
            return r;
        default:
            break;
        }
    }
    return QProxyStyle::subControlRect(control, option, sub, widget);
}
