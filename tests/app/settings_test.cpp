// 设置: the settings dialog as the operator meets it from the main dialog, and what it keeps in
// the parameter file.
#include "dialog_fixture.h"

#include "app/settings_dlg.h"
#include "resource.h"

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QTimer>

#include <functional>

namespace {

const std::string kSavedFile = "; kept as it is\n[ClientOrServer]\nNumber=0\n[UDpOrTCp]\nNumber=1\n"
                               "[IP]\nNumber=1\n[Client1]\nIP=127.0.0.2\n[ClientPost1]\nPost=5000\n"
                               "[Server1]\nIP=127.0.0.3\n[ServerPost1]\nPost=6000\n";

class Settings : public DialogTest {
protected:
    // Clicks 设置 and hands the settings dialog, once it is up, to `act`; `act` closes it.
    void WithSettingsDialog(const std::function<void(CSettingsDlg&)>& act) {
        bool acted = false;
        QTimer::singleShot(0, dialog.get(), [&] {
            auto* settings = qobject_cast<CSettingsDlg*>(QApplication::activeModalWidget());
            if (settings == nullptr) {
                settings = dialog->findChild<CSettingsDlg*>();
            }
            ASSERT_NE(settings, nullptr) << "no settings dialog came up";
            acted = true;
            act(*settings);
        });
        dialog->OnSettings();
        EXPECT_TRUE(acted);
    }

    static QRadioButton* Radio(const CSettingsDlg& settings, int id) {
        return qobject_cast<QRadioButton*>(settings.GetDlgItem(id));
    }
    static QLineEdit* Sources(const CSettingsDlg& settings) {
        return qobject_cast<QLineEdit*>(settings.GetDlgItem(IDC_ALLOWED_SOURCES));
    }
};

// A file without the settings' keys means text and anyone, and 确定 adds exactly the two keys.
TEST_F(Settings, DefaultsShownAndOkWritesExactlyTheTwoKeys) {
    WriteParameterFile(kSavedFile);
    OpenDialog();
    WithSettingsDialog([&](CSettingsDlg& settings) {
        EXPECT_EQ(settings.windowTitle(), QStringLiteral("设置"));
        EXPECT_TRUE(Radio(settings, IDC_FORWARD_TEXT)->isChecked());
        EXPECT_FALSE(Radio(settings, IDC_FORWARD_BYTES)->isChecked());
        EXPECT_EQ(Sources(settings)->text(), QString());
        EXPECT_TRUE(Sources(settings)->isEnabled());
        EXPECT_EQ(qobject_cast<QPushButton*>(settings.GetDlgItem(IDOK))->text(),
                  QStringLiteral("确定"));
        EXPECT_EQ(qobject_cast<QPushButton*>(settings.GetDlgItem(IDCANCEL))->text(),
                  QStringLiteral("取消"));
        Radio(settings, IDC_FORWARD_BYTES)->click();
        Sources(settings)->setText(QStringLiteral(" 10.1.2.0/24 , 127.0.0.9"));
        settings.OnOK();
    });
    EXPECT_TRUE(messages.empty());
    EXPECT_EQ(ReadParameterFile(),
              kSavedFile + "[Forward]\nMode=Bytes\n[Allow]\nSources=10.1.2.0/24,127.0.0.9\n");

    // Shown again as saved; 取消 changes nothing.
    WithSettingsDialog([&](CSettingsDlg& settings) {
        EXPECT_TRUE(Radio(settings, IDC_FORWARD_BYTES)->isChecked());
        EXPECT_EQ(Sources(settings)->text(), QStringLiteral("10.1.2.0/24,127.0.0.9"));
        Radio(settings, IDC_FORWARD_TEXT)->click();
        settings.reject();
    });
    EXPECT_EQ(ReadParameterFile(),
              kSavedFile + "[Forward]\nMode=Bytes\n[Allow]\nSources=10.1.2.0/24,127.0.0.9\n");
}

// A bad entry is named in a message, the dialog stays open and nothing is saved.
TEST_F(Settings, BadSourceEntryIsNamedAndNothingIsSaved) {
    WriteParameterFile(kSavedFile);
    OpenDialog();
    for (const char* bad : {"10.1.2.0/33", "10.1.2", "127.0.0.1,host.example", "10.1.2.0/2x"}) {
        SCOPED_TRACE(bad);
        messages.clear();
        WithSettingsDialog([&](CSettingsDlg& settings) {
            Sources(settings)->setText(QString::fromLatin1(bad));
            settings.OnOK();
            EXPECT_TRUE(settings.isVisible()) << "the dialog closed on a bad entry";
            settings.reject();
        });
        ASSERT_EQ(messages.size(), 1u);
        EXPECT_TRUE(messages[0].text.startsWith(QStringLiteral("允许的来源中有无效的地址或前缀: ")))
            << messages[0].text.toStdString();
        const QString entry = QString::fromLatin1(bad).split(QLatin1Char(',')).last();
        EXPECT_TRUE(messages[0].text.endsWith(entry)) << messages[0].text.toStdString();
        EXPECT_EQ(messages[0].caption, QStringLiteral("错误"));
        EXPECT_EQ(ReadParameterFile(), kSavedFile);
    }
}

// While a relay runs the settings are shown, not changed: the relay keeps what Run gave it.
TEST_F(Settings, ReadOnlyWhileARelayRuns) {
    WriteParameterFile(kSavedFile + "[Forward]\nMode=Bytes\n");
    OpenDialog();
    qobject_cast<QComboBox*>(dialog->GetDlgItem(IDC_CLIENT_ADDRESS))
        ->setEditText(QStringLiteral("127.0.0.2"));
    dialog->OnRun();
    ASSERT_FALSE(dialog->GetDlgItem(IDC_RUN)->isEnabled());
    const std::string before = ReadParameterFile();
    WithSettingsDialog([&](CSettingsDlg& settings) {
        EXPECT_TRUE(Radio(settings, IDC_FORWARD_BYTES)->isChecked());
        EXPECT_FALSE(Radio(settings, IDC_FORWARD_TEXT)->isEnabled());
        EXPECT_FALSE(Radio(settings, IDC_FORWARD_BYTES)->isEnabled());
        EXPECT_FALSE(Sources(settings)->isEnabled());
        EXPECT_FALSE(
            qobject_cast<QLabel*>(settings.GetDlgItem(IDC_SETTINGS_NOTE))->text().isEmpty());
        settings.OnOK();
    });
    EXPECT_EQ(ReadParameterFile(), before);
    dialog->OnStop();
}

} // namespace
