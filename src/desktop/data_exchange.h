#pragma once

// Moves the port numbers between their edit boxes and the dialog's members, with the range check
// and the messages Run relies on.

#include <QPointer>
#include <QWidget>

#include <cstdint>

class QLineEdit;

// One run of a dialog's data exchange. In the saving direction the first failing step shows its
// message, puts the focus into its control and marks the exchange failed; every later step then
// does nothing, so the exchange stops there.
class CDataExchange {
public:
    explicit CDataExchange(bool saveAndValidate) : m_bSaveAndValidate(saveAndValidate) {}

    const bool m_bSaveAndValidate;

    bool Failed() const { return m_failed; }
    // Marks the exchange failed and gives the focus to the control last exchanged.
    void Fail();
    void PrepareEditCtrl(QLineEdit* edit);

private:
    bool m_failed = false;
    QPointer<QLineEdit> m_lastEdit;
};

// Exchanges an unsigned number with an edit control: saving reads the text (at most 63
// characters) with "%u"; loading shows the number in unsigned decimal.
void DDX_Text(CDataExchange& dx, QLineEdit* edit, std::uint32_t& value);

// In the saving direction, refuses a value outside [minValue, maxValue] with the range message.
void DDV_MinMaxUInt(CDataExchange& dx, std::uint32_t value, std::uint32_t minValue,
                    std::uint32_t maxValue);

// Attaches a member control at the first exchange: its own set-up runs once.
template <class Control> void DDX_Control(CDataExchange& dx, Control& control) {
    if (dx.Failed() || control.property("tarvelAttached").toBool())
        return;
    control.setProperty("tarvelAttached", true);
    if constexpr (requires { control.PreSubclassWindow(); })
        control.PreSubclassWindow();
}
