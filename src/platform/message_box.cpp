#include "platform/message_box.h"

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

MessagePresenter& CurrentPresenter() {
    static MessagePresenter presenter = ShowOnScreen;
    return presenter;
}

} // namespace

void ShowMessage(const QString& text, const QString& caption, MessageIcon icon) {
    CurrentPresenter()(text, caption, icon);
}

ScopedMessagePresenter::ScopedMessagePresenter(MessagePresenter presenter)
    : m_previous(std::exchange(CurrentPresenter(), std::move(presenter))) {}

ScopedMessagePresenter::~ScopedMessagePresenter() {
    CurrentPresenter() = std::move(m_previous);
}
