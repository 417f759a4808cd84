#include "controls/edit_ex.h"

#include <QApplication>

CEditEx::CEditEx(QWidget* parent) : QLineEdit(parent) {}

CEditEx::~CEditEx() {
    m_brBkgnd.DeleteObject();
}

HBRUSH CEditEx::CtlColor(CDC* dc, unsigned /*ctlColor*/) {
    dc->SetTextColor(m_crText);
    dc->SetBkColor(m_crBkgnd);
    return m_brBkgnd.GetSafeHandle();
}

void CEditEx::paintEvent(QPaintEvent* e) {
    // The colour query happens at paint time only, so the owner's changes show at the next paint.
    CDC query;
    const HBRUSH brush = CtlColor(&query, isReadOnly() ? CTLCOLOR_STATIC : CTLCOLOR_EDIT);
    // Without a brush the colours are the default ones of an edit box.
    QPalette colours = QApplication::palette(this);
    if (brush != nullptr) {
        const QColor text = ToQColor(query.GetTextColor());
        const QColor background = ToQColor(brush->color);
        for (const QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive}) {
            colours.setColor(group, QPalette::Text, text);
            colours.setColor(group, QPalette::Base, background);
            colours.setColor(group, QPalette::Window, background);
        }
    }
    // Setting an unchanged palette does nothing; a changed one asks for one more paint, which
    // draws the same.
    if (colours != palette())
        setPalette(colours);
    QLineEdit::paintEvent(e);
}

void SetLampFont(QLineEdit& edit) {
    CDC dc;
    CFont font;
    font.CreatePointFont(120, "宋体", &dc);
    edit.setFont(font.GetSafeHandle()->font);
    edit.update();
}
