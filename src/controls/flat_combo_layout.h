#pragma once

#include <QProxyStyle>

// Where the toolkit puts a flat combo box's edit field and arrow: the field inside the painted
// rings and 3 pixels from the top and bottom (so it is the closed height less 6), the arrow in
// the drop-down button's column at the right.
class FlatComboLayout : public QProxyStyle {
public:
    QRect subControlRect(ComplexControl control, const QStyleOptionComplex* option, SubControl sub,
                         const QWidget* widget) const override;
};
