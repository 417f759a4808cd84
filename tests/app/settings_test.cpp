// 设置: the settings dialog as the operator meets it from the main dialog, and what it keeps in
// the parameter file.
#include "dialog_fixture.h"

#include "app/settings_dlg.h"
#include "resource.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QTest>
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
    static QCheckBox* WidePorts(const CSettingsDlg& settings) {
        return qobject_cast<QCheckBox*>(settings.GetDlgItem(IDC_WIDE_PORTS));
    }
};

// A file without the settings' keys means text, anyone and the narrow port range, and 确定 adds
// exactly the three keys.
TEST_F(Settings, DefaultsShownAndOkWritesExactlyTheThreeKeys) {
    WriteParameterFile(kSavedFile);
    OpenDialog();
    WithSettingsDialog([&](CSettingsDlg& settings) {
        EXPECT_EQ(settings.windowTitle(), QStringLiteral("设置"));
        EXPECT_TRUE(Radio(settings, IDC_FORWARD_TEXT)->isChecked());
        EXPECT_FALSE(Radio(settings, IDC_FORWARD_BYTES)->isChecked());
        EXPECT_EQ(Sources(settings)->text(), QString());
        EXPECT_TRUE(Sources(settings)->isEnabled());
        EXPECT_FALSE(WidePorts(settings)->isChecked());
        EXPECT_TRUE(WidePorts(settings)->isEnabled());
        EXPECT_EQ(qobject_cast<QPushButton*>(settings.GetDlgItem(IDOK))->text(),
                  QStringLiteral("确定"));
        EXPECT_EQ(qobject_cast<QPushButton*>(settings.GetDlgItem(IDCANCEL))->text(),
                  QStringLiteral("取消"));
        Radio(settings, IDC_FORWARD_BYTES)->click();
        Sources(settings)->setText(QStringLiteral(" 10.1.2.0/24 , 127.0.0.9"));
        settings.OnOK();
    });
    EXPECT_TRUE(messages.empty());
    const std::string saved = kSavedFile +
                              "[Forward]\nMode=Bytes\n[Allow]\nSources=10.1.2.0/24,127.0.0.9\n"
                              "[Dialog]\nWidePorts=0\n";
    EXPECT_EQ(ReadParameterFile(), saved);

    // Shown again as saved; 取消 changes nothing.
    WithSettingsDialog([&](CSettingsDlg& settings) {
        EXPECT_TRUE(Radio(settings, IDC_FORWARD_BYTES)->isChecked());
        EXPECT_EQ(Sources(settings)->text(), QStringLiteral("10.1.2.0/24,127.0.0.9"));
        Radio(settings, IDC_FORWARD_TEXT)->click();
        WidePorts(settings)->click();
        settings.reject();
    });
    EXPECT_EQ(ReadParameterFile(), saved);

    // The wide range, by its mnemonic, is saved and shown again.
    WithSettingsDialog([&](CSettingsDlg& settings) {
        QApplication::setActiveWindow(&settings);
        QTest::keyClick(&settings, Qt::Key_P, Qt::AltModifier);
        EXPECT_TRUE(ProcessEventsUntil([&] { return WidePorts(settings)->isChecked(); }));
        settings.OnOK();
    });
    EXPECT_EQ(ReadParameterFile(), kSavedFile +
                                       "[Forward]\nMode=Bytes\n[Allow]\nSources=10.1.2.0/24,"
                                       "127.0.0.9\n[Dialog]\nWidePorts=1\n");
    WithSettingsDialog([&](CSettingsDlg& settings) {
        EXPECT_TRUE(WidePorts(settings)->isChecked());
        settings.reject();
    });
}

// The two forwarding choices are one group, however the operator changes them (a click, the
// mnemonic, an arrow key): one is checked at a time, and 确定 saves the one shown.
TEST_F(Settings, TheForwardingChoiceIsOneGroupOnEveryPathAndOkSavesWhatIsShown) {
    enum class Step { ClickText, ClickBytes, AltT, AltB, Down, Up };
    struct Case {
        const char* name;
        std::vector<Step> steps;
        bool bytes; // what is shown and saved at the end
    };
    const Case cases[] = {
        {"mnemonic B, then a click on text", {Step::AltB, Step::ClickText}, false},
        {"click bytes, then click text", {Step::ClickBytes, Step::ClickText}, false},
        {"click text, then mnemonic B", {Step::ClickText, Step::AltB}, true},
        {"mnemonic B, then mnemonic T", {Step::AltB, Step::AltT}, false},
        {"arrow down from text", {Step::ClickText, Step::Down}, true},
        {"arrow down and up again", {Step::ClickText, Step::Down, Step::Up}, false},
        {"mnemonic B, then arrow up", {Step::AltB, Step::Up}, false},
    };
    WriteParameterFile(kSavedFile);
    OpenDialog();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WithSettingsDialog([&](CSettingsDlg& settings) {
            QApplication::setActiveWindow(&settings);
            QRadioButton* text = Radio(settings, IDC_FORWARD_TEXT);
            QRadioButton* bytes = Radio(settings, IDC_FORWARD_BYTES);
            for (const Step step : c.steps) {
                QRadioButton* expected = nullptr;
                switch (step) {
                case Step::ClickText:
                case Step::ClickBytes:
                    // On the round mark: only the mark and the caption take a click.
                    expected = step == Step::ClickText ? text : bytes;
                    QTest::mouseClick(expected, Qt::LeftButton, {},
                                      QPoint(5, expected->height() / 2));
                    break;
                case Step::AltT:
                case Step::AltB:
                    // The mnemonic clicks its button after a short animation.
                    QTest::keyClick(&settings, step == Step::AltT ? Qt::Key_T : Qt::Key_B,
                                    Qt::AltModifier);
                    expected = step == Step::AltT ? text : bytes;
                    break;
                case Step::Down:
                case Step::Up:
                    // Two buttons: either key moves to the other one.
                    expected = text->isChecked() ? bytes : text;
                    QTest::keyClick(QApplication::focusWidget(),
                                    step == Step::Down ? Qt::Key_Down : Qt::Key_Up);
                    break;
                }
                EXPECT_TRUE(ProcessEventsUntil([&] { return expected->isChecked(); }))
                    << "step " << static_cast<int>(step);
                EXPECT_NE(text->isChecked(), bytes->isChecked()) << "one of the two is checked";
            }
            EXPECT_EQ(bytes->isChecked(), c.bytes);
            QTest::mouseClick(settings.GetDlgItem(IDOK), Qt::LeftButton);
        });
        EXPECT_TRUE(messages.empty());
        EXPECT_NE(ReadParameterFile().find(c.bytes ? "Mode=Bytes\n" : "Mode=Text\n"),
                  std::string::npos)
            << ReadParameterFile();
    }
}

// Each choice's mnemonic is drawn underlined, as the main dialog's buttons draw theirs: the
// choice looks different from the same caption without the mnemonic.
TEST_F(Settings, EveryMnemonicIsUnderlined) {
    WriteParameterFile(kSavedFile);
    OpenDialog();
    WithSettingsDialog([&](CSettingsDlg& settings) {
        for (int id : {IDC_FORWARD_TEXT, IDC_FORWARD_BYTES, IDC_WIDE_PORTS}) {
            auto* choice = qobject_cast<QAbstractButton*>(settings.GetDlgItem(id));
            const QString caption = choice->text();
            SCOPED_TRACE(caption.toStdString());
            ASSERT_TRUE(caption.contains(u'&'));
            const QImage underlined = choice->grab().toImage();
            choice->setText(QString(caption).remove(u'&'));
            EXPECT_NE(choice->grab().toImage(), underlined);
            choice->setText(caption);
        }
        settings.reject();
    });
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

// A list far longer than the original keys' 254 characters is taken, saved and shown again whole;
// a list of separators alone is refused like a bad entry, never saved to mean anyone.
TEST_F(Settings, ALongListIsSavedWholeAndSeparatorsAloneAreRefused) {
    std::string list;
    while (list.size() < 2000) {
        list += "10.0.0.1,";
    }
    list += "127.0.0.2/32";
    WriteParameterFile(kSavedFile);
    OpenDialog();
    WithSettingsDialog([&](CSettingsDlg& settings) {
        Sources(settings)->setText(QString::fromStdString(list));
        settings.OnOK();
    });
    EXPECT_TRUE(messages.empty());
    EXPECT_EQ(ReadParameterFile(), kSavedFile + "[Forward]\nMode=Text\n[Allow]\nSources=" + list +
                                       "\n[Dialog]\nWidePorts=0\n");
    WithSettingsDialog([&](CSettingsDlg& settings) {
        EXPECT_EQ(Sources(settings)->text().toStdString(), list);
        settings.reject();
    });

    for (const char* separators : {",", " , ; "}) {
        SCOPED_TRACE(separators);
        messages.clear();
        WithSettingsDialog([&](CSettingsDlg& settings) {
            Sources(settings)->setText(QString::fromLatin1(separators));
            settings.OnOK();
            EXPECT_TRUE(settings.isVisible()) << "the dialog closed";
            settings.reject();
        });
        ASSERT_EQ(messages.size(), 1u);
        EXPECT_TRUE(messages[0].text.startsWith(QStringLiteral("允许的来源中")))
            << messages[0].text.toStdString();
        EXPECT_TRUE(ReadParameterFile().ends_with(list + "\n[Dialog]\nWidePorts=0\n"));
    }
}

// While a relay runs the settings are shown, not changed: the relay keeps what Run gave it.
TEST_F(Settings, ReadOnlyWhileARelayRuns) {
    WriteParameterFile(kSavedFile + "[Forward]\nMode=Bytes\n[Dialog]\nWidePorts=1\n");
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
        EXPECT_TRUE(WidePorts(settings)->isChecked());
        EXPECT_FALSE(WidePorts(settings)->isEnabled());
        EXPECT_FALSE(
            qobject_cast<QLabel*>(settings.GetDlgItem(IDC_SETTINGS_NOTE))->text().isEmpty());
        settings.OnOK();
    });
    EXPECT_EQ(ReadParameterFile(), before);
    dialog->OnStop();
}

} // namespace
