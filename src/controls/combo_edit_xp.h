#pragma once

#include <QLineEdit>
#include <QObject>
#include <QPointer>

// Watches the combo box's edit part and reports the pointer over it to the combo's tracker, so
// the two count as one area for the hover look.
class CComboEditXP : public QObject {
    Q_OBJECT
public:
    CComboEditXP() = default;
    ~CComboEditXP() override;

    void SubclassWindow(QLineEdit* edit);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QPointer<QLineEdit> m_edit;
};
