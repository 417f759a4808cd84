#pragma once

#include "app/tarvel_dlg.h"
#include "desktop/message_box.h"
#include "desktop/shell.h"
#include "platform/colorref.h"
#include "process_events_until.h"

#include <QString>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

class QLineEdit;

struct RecordedMessage {
    QString text;
    QString caption;
    MessageIcon icon;
};

// A fresh main dialog in a working folder of its own, with message boxes and program starts
// recorded instead of shown.
class DialogTest : public testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Writes the parameter file (empty by default) before the dialog loads it.
    void WriteParameterFile(const std::string& content);
    std::string ReadParameterFile() const;

    CTarvelDlg& OpenDialog(std::vector<std::string> addresses = {"127.0.0.2", "127.0.0.3"});
    QLineEdit* Edit(int id) const;
    QString LampText(int id) const;
    COLORREF LampTextColour(int id) const;
    // The display timer, which moves the lamps while a relay runs: its period, -1 when stopped.
    int DisplayTimerPeriod() const;
    std::vector<QString> MessageTexts() const;

    std::unique_ptr<CTarvelDlg> dialog;
    std::vector<RecordedMessage> messages;
    std::vector<QStringList> launches;
    std::vector<ProgramOutcome> launchOutcomes; // what each started program reports, when called

private:
    QTemporaryDir m_folder;
    QString m_previousFolder;
    std::unique_ptr<ScopedMessagePresenter> m_presenter;
    std::unique_ptr<ScopedProgramLauncher> m_launcher;
};
