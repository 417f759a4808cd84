#include "desktop/message_box.h"

#include <QMessageBox>

namespace {

QMessageBox::Icon ToQtIcon(MessageIcon icon) {
    switch (icon) {
    case MessageIcon::Error:
        return QMessageBox::Critical;
    case MessageIcon::Warning:
    case MessageIcon::Exclamation:
        return QMessageBox::Warning;
    case MessageIcon::Information:
        break;
    }
    return QMessageBox::Information;
}

void ShowOnScreen(const QString& text, const QString& caption, MessageIcon icon) {
    QMessageBox box(ToQtIcon(icon), caption, text, QMessageBox::Ok);
    box.exec();
}

} // namespace

MessagePresenter& CurrentMessagePresenter() {
    static MessagePresenter presenter = ShowOnScreen;
    return presenter;
}

void ShowMessage(const QString& text, const QString& caption, MessageIcon icon) {
    CurrentMessagePresenter()(text, caption, icon);
}

void ShowError(const std::string& text) {
    ShowMessage(QString::fromStdString(text), QStringLiteral("错误"), MessageIcon::Error);
}
