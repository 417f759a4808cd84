#pragma once

// The program's message boxes, with a seam that tests replace.

#include "desktop/message_icon.h"
#include "platform/scoped_replacement.h"

#include <QString>

#include <functional>
#include <string>

// Shows a modal message box with an OK button and no owner window, as every message of the
// program is shown. Tests replace the presenter to record the calls instead of blocking.
void ShowMessage(const QString& text, const QString& caption, MessageIcon icon);

using MessagePresenter =
    std::function<void(const QString& text, const QString& caption, MessageIcon icon)>;

// The presenter ShowMessage uses.
MessagePresenter& CurrentMessagePresenter();

// Installs a presenter for the life of this object and puts the previous one back afterwards.
using ScopedMessagePresenter = ScopedReplacement<MessagePresenter, CurrentMessagePresenter>;

// An error as the program shows it: caption "错误", the error icon.
void ShowError(const std::string& text);
