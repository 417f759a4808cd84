#pragma once

#include <QLineEdit>

#include "platform/gdi.h"

// Colour query kinds; every kind is answered the same way.
constexpr unsigned CTLCOLOR_EDIT = 1;
constexpr unsigned CTLCOLOR_STATIC = 6;

// An edit box coloured by its owner. The owner writes the three members and invalidates the
// control (update()); the next paint asks CtlColor and shows the new colours. The owner must
// set them before the first paint.
class CEditEx : public QLineEdit {
    Q_OBJECT
public:
    explicit CEditEx(QWidget* parent = nullptr);
    ~CEditEx() override;

    // Sets the text and text background colours on `dc` and returns the background brush, or
    // null (leave the colours to the default) when no brush is held.
    HBRUSH CtlColor(CDC* dc, unsigned ctlColor);

    COLORREF m_crText = 0;
    COLORREF m_crBkgnd = 0;
    CBrush m_brBkgnd;

protected:
    void paintEvent(QPaintEvent* e) override;
};

// Gives an edit box the 12-point "宋体" lamp font. The edit keeps its own copy of the font, so the
// font made here outlives its use by the control.
void SetLampFont(QLineEdit& edit);
