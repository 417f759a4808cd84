#include "desktop/data_exchange.h"

#include "desktop/message_box.h"
#include "platform/scan_unsigned.h"

#include <QCoreApplication>
#include <QLineEdit>

namespace {

// The framework's own messages carry the application's name as their caption.
void ShowExchangeMessage(const QString& text) {
    ShowMessage(text, QCoreApplication::applicationName(), MessageIcon::Exclamation);
}

} // namespace

void CDataExchange::PrepareEditCtrl(QLineEdit* edit) {
    m_lastEdit = edit;
}

void CDataExchange::Fail() {
    m_failed = true;
    if (m_lastEdit) {
        m_lastEdit->setFocus(Qt::OtherFocusReason);
        m_lastEdit->selectAll();
    }
}

void DDX_Text(CDataExchange& dx, QLineEdit* edit, std::uint32_t& value) {
    if (dx.Failed())
        return;
    dx.PrepareEditCtrl(edit);
    if (!dx.m_bSaveAndValidate) {
        edit->setText(QString::number(value));
        return;
    }
    const QByteArray text = edit->text().left(63).toUtf8();
    if (const auto number = ScanUnsigned(text.toStdString())) {
        value = *number;
        return;
    }
    ShowExchangeMessage(QStringLiteral("请输入一个正整数。"));
    dx.Fail();
}

void DDV_MinMaxUInt(CDataExchange& dx, std::uint32_t value, std::uint32_t minValue,
                    std::uint32_t maxValue) {
    if (dx.Failed() || !dx.m_bSaveAndValidate)
        return;
    if (value >= minValue && value <= maxValue)
        return;
    ShowExchangeMessage(QString::fromStdString(OutOfRangeMessage(minValue, maxValue)));
    dx.Fail();
}
