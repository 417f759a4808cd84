#include "controls/edit_ex.h"

CEditEx::CEditEx(QWidget* parent) : QLineEdit(parent) {}

CEditEx::~CEditEx() = default;

void CEditEx::SetTextColor(const QColor& color) {
    m_text = color;
    ApplyColors();
}

void CEditEx::SetBackgroundColor(const QColor& color) {
    m_background = color;
    ApplyColors();
}

void CEditEx::ApplyColors() {
    if (!m_background)
        return;
    // Only these roles are the owner's; every other one follows the application palette.
    QPalette colors = palette();
    for (const QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive}) {
        colors.setColor(group, QPalette::Text, m_text);
        colors.setColor(group, QPalette::Base, *m_background);
        colors.setColor(group, QPalette::Window, *m_background);
    }
    // A changed palette repaints the edit box.
    setPalette(colors);
}
