#pragma once

// The program's message boxes, with a seam that tests replace.

#include "platform/message_icon.h"

#include <QString>

#include <functional>

// Shows a modal message box with an OK button and no owner window, as every message of the
// program is shown. Tests replace the presenter to record the calls instead of blocking.
void ShowMessage(const QString& text, const QString& caption, MessageIcon icon);

using MessagePresenter =
    std::function<void(const QString& text, const QString& caption, MessageIcon icon)>;

// Installs `presenter` for the life of this object and puts the previous one back afterwards.
class ScopedMessagePresenter {
public:
    explicit ScopedMessagePresenter(MessagePresenter presenter);
    ~ScopedMessagePresenter();
    ScopedMessagePresenter(const ScopedMessagePresenter&) = delete;
    ScopedMessagePresenter& operator=(const ScopedMessagePresenter&) = delete;

private:
    MessagePresenter m_previous;
};
