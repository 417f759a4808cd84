#include "dialog_fixture.h"

#include "desktop/dialog_units.h"
#include "dialog_templates.h"
#include "fixed_system_colors.h"
#include "resource.h"

#include <QAccessible>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTimer>

namespace {

using DialogLayout = DialogTest;
using DialogLamps = DialogTest;
using DialogPorts = DialogTest;
using DialogHandlers = DialogTest;
using DialogKeys = DialogTest;

TEST_F(DialogLayout, EveryTemplateControlSitsWhereTheTemplatePutsIt) {
    CTarvelDlg& dlg = OpenDialog();
    const DialogTemplate& tpl = LoadDialogTemplate(IDD_TARVEL_DIALOG);
    const DialogBaseUnits units = BaseUnitsForFont(dlg.font());
    ASSERT_GT(units.cx, 0);

    const auto children = dlg.findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
    EXPECT_EQ(children.size(), 33);
    int identified = 0;
    for (const ControlTemplate& item : tpl.controls) {
        if (item.id == IDC_STATIC)
            continue;
        ++identified;
        QWidget* control = dlg.GetDlgItem(item.id);
        ASSERT_NE(control, nullptr) << item.id;
        EXPECT_EQ(control->objectName(), QString::number(item.id));
        EXPECT_FALSE(control->accessibleName().isEmpty()) << item.id;
        const QRect expected = MapDialogRect(units, item.x, item.y, item.cx, item.cy);
        EXPECT_EQ(control->pos(), expected.topLeft()) << item.id;
        EXPECT_EQ(control->width(), expected.width()) << item.id;
        if (item.kind != ControlKind::ComboBox) {
            EXPECT_EQ(control->height(), expected.height()) << item.id;
        }
    }
    EXPECT_EQ(identified, 22);
    EXPECT_EQ(dlg.windowTitle(), QStringLiteral("Tarvel"));
    EXPECT_EQ(dlg.size(),
              QSize(DialogUnitsToPixelsX(units, 319), DialogUnitsToPixelsY(units, 226)));
    EXPECT_EQ(dlg.minimumSize(), dlg.maximumSize());
    EXPECT_TRUE(dlg.windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(dlg.windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_TRUE(dlg.windowFlags() & Qt::WindowStaysOnTopHint);
    EXPECT_EQ(dlg.GetDlgItem(IDC_CLIENT_PORT)->accessibleName(), QStringLiteral("输入网卡 端口号"));
    EXPECT_EQ(dlg.GetDlgItem(IDC_RUN)->accessibleName(), QStringLiteral("运行(R)"));
}

TEST_F(DialogLayout, TabOrderFollowsTheTemplateAndFocusStartsOnTheClientAddress) {
    CTarvelDlg& dlg = OpenDialog();
    QApplication::setActiveWindow(&dlg);
    EXPECT_EQ(QApplication::focusWidget(), dlg.GetDlgItem(IDC_CLIENT_ADDRESS)->focusProxy()
                                               ? dlg.GetDlgItem(IDC_CLIENT_ADDRESS)->focusProxy()
                                               : dlg.GetDlgItem(IDC_CLIENT_ADDRESS));
    const std::vector<int> tabStops{IDC_CLIENT_ADDRESS,
                                    IDC_SERVER_ADDRESS,
                                    IDC_RUN,
                                    IDC_STOP,
                                    IDC_SETTINGS,
                                    IDC_INPUT_LAMP1,
                                    IDC_INPUT_LAMP2,
                                    IDC_INPUT_LAMP3,
                                    IDC_OUTPUT_LAMP1,
                                    IDC_OUTPUT_LAMP2,
                                    IDC_OUTPUT_LAMP3,
                                    IDC_UDP,
                                    IDC_TRAFFIC_GRAPH,
                                    IDC_CLIENT_PORT,
                                    IDC_SERVER_PORT,
                                    IDC_HELP_BUTTON,
                                    IDC_INPUT_LAMP4,
                                    IDC_OUTPUT_LAMP4,
                                    IDC_CLIENT_TO_SERVER};
    std::vector<int> chain;
    QWidget* w = dlg.GetDlgItem(IDC_CLIENT_TO_SERVER);
    for (int guard = 0; guard < 200 && chain.size() < tabStops.size(); ++guard) {
        w = w->nextInFocusChain();
        bool ok = false;
        const int id = w->objectName().toInt(&ok);
        if (ok && w->parentWidget() == &dlg && (w->focusPolicy() & Qt::TabFocus))
            chain.push_back(id);
    }
    EXPECT_EQ(chain, tabStops)
        << "one stop per radio group, on its first button while none is checked";
    // Each pair of radio buttons is a group of its own, one button of it checked at a time.
    auto group = [&](int id) { return qobject_cast<QRadioButton*>(dlg.GetDlgItem(id))->group(); };
    ASSERT_NE(group(IDC_CLIENT_TO_SERVER), nullptr);
    ASSERT_NE(group(IDC_UDP), nullptr);
    EXPECT_EQ(group(IDC_CLIENT_TO_SERVER), group(IDC_SERVER_TO_CLIENT));
    EXPECT_EQ(group(IDC_UDP), group(IDC_TCP));
    EXPECT_NE(group(IDC_CLIENT_TO_SERVER), group(IDC_UDP));
}

TEST_F(DialogKeys, RadioGroupsAreReachedWithTabAndWalkedWithTheArrowKeys) {
    CTarvelDlg& dlg = OpenDialog();
    QApplication::setActiveWindow(&dlg);
    auto focus = [] { return QApplication::focusWidget(); };
    auto press = [&](Qt::Key key) { QTest::keyClick(focus(), key); };
    auto radio = [&](int id) { return qobject_cast<QRadioButton*>(dlg.GetDlgItem(id)); };
    auto* clientBox = qobject_cast<QComboBox*>(dlg.GetDlgItem(IDC_CLIENT_ADDRESS));
    auto onClientBox = [&] { return focus() == clientBox || focus() == clientBox->lineEdit(); };
    ASSERT_TRUE(onClientBox());

    // The mode group lies before the first address box; none of it is checked yet.
    press(Qt::Key_Backtab);
    EXPECT_EQ(focus(), radio(IDC_CLIENT_TO_SERVER));
    EXPECT_EQ(dlg.ParamsChanged(), 0);
    // An arrow key moves within the group, round its end, and selects as a click does.
    press(Qt::Key_Down);
    EXPECT_EQ(focus(), radio(IDC_SERVER_TO_CLIENT));
    EXPECT_TRUE(radio(IDC_SERVER_TO_CLIENT)->isChecked());
    EXPECT_EQ(dlg.ParamsChanged(), 1);
    press(Qt::Key_Down);
    EXPECT_EQ(focus(), radio(IDC_CLIENT_TO_SERVER));
    EXPECT_TRUE(radio(IDC_CLIENT_TO_SERVER)->isChecked());
    EXPECT_FALSE(radio(IDC_SERVER_TO_CLIENT)->isChecked());
    // Tab leaves the group; coming back lands on the checked button.
    press(Qt::Key_Tab);
    EXPECT_TRUE(onClientBox());
    press(Qt::Key_Backtab);
    EXPECT_EQ(focus(), radio(IDC_CLIENT_TO_SERVER));
    press(Qt::Key_Up);
    press(Qt::Key_Tab);
    press(Qt::Key_Backtab);
    EXPECT_EQ(focus(), radio(IDC_SERVER_TO_CLIENT));
    EXPECT_TRUE(radio(IDC_SERVER_TO_CLIENT)->isChecked());

    // The protocol group follows the third lamp of the second row.
    dlg.GetDlgItem(IDC_OUTPUT_LAMP3)->setFocus();
    press(Qt::Key_Tab);
    EXPECT_EQ(focus(), radio(IDC_UDP));
    press(Qt::Key_Space);
    EXPECT_TRUE(radio(IDC_UDP)->isChecked());
    press(Qt::Key_Right);
    EXPECT_EQ(focus(), radio(IDC_TCP));
    EXPECT_TRUE(radio(IDC_TCP)->isChecked());
    EXPECT_FALSE(radio(IDC_UDP)->isChecked());
    press(Qt::Key_Tab);
    EXPECT_EQ(focus(), dlg.GetDlgItem(IDC_TRAFFIC_GRAPH));
    press(Qt::Key_Backtab);
    EXPECT_EQ(focus(), radio(IDC_TCP));
    press(Qt::Key_Left);
    EXPECT_TRUE(radio(IDC_UDP)->isChecked());
    // The other group was left as it was.
    EXPECT_TRUE(radio(IDC_SERVER_TO_CLIENT)->isChecked());
}

TEST_F(DialogKeys, AssistiveTechnologyHearsTheLabelsAndTheRoles) {
    CTarvelDlg& dlg = OpenDialog({"127.0.0.2", "127.0.0.3"});
    for (const auto& [id, label] : {std::pair{IDC_CLIENT_ADDRESS, QStringLiteral("输入网卡")},
                                    std::pair{IDC_SERVER_ADDRESS, QStringLiteral("输出网卡")}}) {
        SCOPED_TRACE(id);
        auto* combo = qobject_cast<QComboBox*>(dlg.GetDlgItem(id));
        QAccessibleInterface* box = QAccessible::queryAccessibleInterface(combo);
        ASSERT_NE(box, nullptr);
        EXPECT_EQ(box->role(), QAccessible::ComboBox);
        EXPECT_EQ(box->text(QAccessible::Name), label);
        EXPECT_EQ(box->text(QAccessible::Value), QStringLiteral("127.0.0.2"));
        EXPECT_TRUE(box->state().editable);
        QAccessibleInterface* field = QAccessible::queryAccessibleInterface(combo->lineEdit());
        ASSERT_NE(field, nullptr);
        EXPECT_EQ(field->text(QAccessible::Name), label) << "the field has the focus";
    }
    for (const auto& [id, caption] :
         {std::pair{IDC_CLIENT_TO_SERVER, QStringLiteral("客户端到服务器端")},
          std::pair{IDC_SERVER_TO_CLIENT, QStringLiteral("服务器端到客户端")},
          std::pair{IDC_UDP, QStringLiteral("UDP")}, std::pair{IDC_TCP, QStringLiteral("TCP")}}) {
        SCOPED_TRACE(id);
        QWidget* button = dlg.GetDlgItem(id);
        QAccessibleInterface* radio = QAccessible::queryAccessibleInterface(button);
        ASSERT_NE(radio, nullptr);
        EXPECT_EQ(radio->role(), QAccessible::RadioButton);
        EXPECT_EQ(radio->text(QAccessible::Name), caption);
        EXPECT_FALSE(radio->state().checked);
        QTest::mouseClick(button, Qt::LeftButton);
        EXPECT_TRUE(radio->state().checked);
    }
}

// The lamps as the dialog sets them up: black, with red "00" in the lamp font; every colour query
// answers with the dialog's brush and text colour; green while a relay runs, red again after Stop.
TEST_F(DialogLamps, BlackWithRedDigitsAndGreenWhileRunning) {
    fixed::UseFixedSystemColors();
    WriteParameterFile("[IP]\nNumber=1\n[ClientOrServer]\nNumber=0\n[UDpOrTCp]\nNumber=1\n"
                       "[Client1]\nIP=127.0.0.2\n[ClientPost1]\nPost=0\n"
                       "[Server1]\nIP=127.0.0.3\n[ServerPost1]\nPost=9\n");
    CTarvelDlg& dlg = OpenDialog();
    auto* lamp = qobject_cast<CEditEx*>(dlg.GetDlgItem(IDC_OUTPUT_LAMP4));
    ASSERT_NE(lamp, nullptr);
    const auto background = [&](const QImage& image) {
        return PixelAt(image, image.width() - 6, image.height() / 2);
    };

    const QImage idle = lamp->grab().toImage();
    EXPECT_EQ(background(idle), RGB(0, 0, 0));
    EXPECT_GT(CountPixels(idle, RGB(255, 0, 0)), 20) << "digits in red";
    EXPECT_EQ(lamp->font().family(), QStringLiteral("宋体"));

    dlg.OnRun();
    ASSERT_TRUE(messages.empty());
    const QImage running = lamp->grab().toImage();
    EXPECT_EQ(background(running), RGB(0, 0, 0));
    EXPECT_EQ(CountPixels(running, RGB(255, 0, 0)), 0);
    EXPECT_EQ(CountPixels(running, RGB(0, 255, 0)), CountPixels(idle, RGB(255, 0, 0)))
        << "the same digits in green";

    dlg.OnStop();
    EXPECT_EQ(CountPixels(lamp->grab().toImage(), RGB(255, 0, 0)),
              CountPixels(idle, RGB(255, 0, 0)));
}

TEST_F(DialogPorts, ExchangeTable) {
    struct Case {
        const char* text;
        bool accepted;
        std::uint32_t member; // after the exchange; 1234 = unchanged
        const char* message;
    };
    const QString notANumber = QStringLiteral("请输入一个正整数。");
    const QString outOfRange = QStringLiteral("请输入一个在 0 和 10000 之间的整数。");
    const std::vector<Case> cases{
        {" 80", true, 80, nullptr},
        {"80abc", true, 80, nullptr},
        {"10000", true, 10000, nullptr},
        {"0", true, 0, nullptr},
        {"", false, 1234, "nan"},
        {"abc", false, 1234, "nan"},
        {"10001", false, 10001, "range"},
        {"-1", false, 4294967295u, "range"},
        {"4294967295", false, 4294967295u, "range"},
    };
    CTarvelDlg& dlg = OpenDialog();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        Edit(IDC_CLIENT_PORT)->setText(QStringLiteral("1234"));
        Edit(IDC_SERVER_PORT)->setText(QStringLiteral("7"));
        ASSERT_TRUE(dlg.UpdateData(true));
        messages.clear();
        Edit(IDC_CLIENT_PORT)->setText(QString::fromUtf8(c.text));
        EXPECT_EQ(dlg.UpdateData(true), c.accepted);
        EXPECT_EQ(dlg.ClientPort(), c.member);
        if (c.message) {
            ASSERT_EQ(messages.size(), 1u);
            EXPECT_EQ(messages[0].text, QString(c.message) == "nan" ? notANumber : outOfRange);
            EXPECT_EQ(messages[0].caption, QCoreApplication::applicationName());
            EXPECT_EQ(messages[0].icon, MessageIcon::Exclamation);
        } else {
            EXPECT_TRUE(messages.empty());
        }
    }
}

TEST_F(DialogPorts, ExchangeStopsAtTheFirstFailingPortAndFocusesIt) {
    CTarvelDlg& dlg = OpenDialog();
    QApplication::setActiveWindow(&dlg);
    Edit(IDC_SERVER_PORT)->setText(QStringLiteral("20"));
    ASSERT_TRUE(dlg.UpdateData(true));
    messages.clear();
    Edit(IDC_CLIENT_PORT)->setText(QStringLiteral("x"));
    Edit(IDC_SERVER_PORT)->setText(QStringLiteral("30"));
    EXPECT_FALSE(dlg.UpdateData(true));
    EXPECT_EQ(messages.size(), 1u);
    EXPECT_EQ(dlg.ServerPort(), 20u) << "the server port is not read after the client port failed";
    EXPECT_EQ(QApplication::focusWidget(), Edit(IDC_CLIENT_PORT));

    // Loading shows the members as unsigned numbers.
    Edit(IDC_CLIENT_PORT)->setText(QStringLiteral("-1"));
    dlg.UpdateData(true);
    dlg.UpdateData(false);
    EXPECT_EQ(Edit(IDC_CLIENT_PORT)->text(), QStringLiteral("4294967295"));
}

TEST_F(DialogHandlers, RadioButtonsKeepEachPairExclusiveAndMarkAChange) {
    CTarvelDlg& dlg = OpenDialog();
    EXPECT_EQ(dlg.ParamsChanged(), 0) << "start-up exchange and loading change nothing";
    auto radio = [&](int id) { return qobject_cast<QRadioButton*>(dlg.GetDlgItem(id)); };
    struct Click {
        int id;
        int other;
    };
    for (const Click& click : {Click{IDC_CLIENT_TO_SERVER, IDC_SERVER_TO_CLIENT},
                               Click{IDC_SERVER_TO_CLIENT, IDC_CLIENT_TO_SERVER},
                               Click{IDC_UDP, IDC_TCP}, Click{IDC_TCP, IDC_UDP}}) {
        for (int repeat = 0; repeat < 2; ++repeat) { // the second click hits a selected button
            SCOPED_TRACE(click.id);
            QTest::mouseClick(radio(click.id), Qt::LeftButton);
            EXPECT_TRUE(radio(click.id)->isChecked());
            EXPECT_FALSE(radio(click.other)->isChecked());
            EXPECT_EQ(dlg.ParamsChanged(), 1);
        }
    }
}

// The program sets a check state as loading does: the pair stays exclusive, and no change is
// marked, so nothing is saved for it.
TEST_F(DialogHandlers, ACheckStateSetByTheProgramKeepsThePairExclusiveAndIsNoChange) {
    CTarvelDlg& dlg = OpenDialog();
    auto radio = [&](int id) { return qobject_cast<QRadioButton*>(dlg.GetDlgItem(id)); };
    for (const auto& [id, other] : {std::pair{IDC_UDP, IDC_TCP}, std::pair{IDC_TCP, IDC_UDP},
                                    std::pair{IDC_SERVER_TO_CLIENT, IDC_CLIENT_TO_SERVER},
                                    std::pair{IDC_CLIENT_TO_SERVER, IDC_SERVER_TO_CLIENT}}) {
        SCOPED_TRACE(id);
        radio(id)->setChecked(true);
        EXPECT_TRUE(radio(id)->isChecked());
        EXPECT_FALSE(radio(other)->isChecked());
    }
    EXPECT_EQ(dlg.ParamsChanged(), 0);
}

TEST_F(DialogHandlers, TypingAPortOrPickingAnAddressMarksAChangeButExchangeDoesNot) {
    CTarvelDlg& dlg = OpenDialog();
    Edit(IDC_CLIENT_PORT)->setText(QStringLiteral("55"));
    dlg.UpdateData(true);
    dlg.UpdateData(false);
    EXPECT_EQ(dlg.ParamsChanged(), 0);
    QTest::keyClicks(Edit(IDC_SERVER_PORT), QStringLiteral("9"));
    EXPECT_EQ(dlg.ParamsChanged(), 1);

    OpenDialog({"127.0.0.2", "127.0.0.3"});
    auto* combo = qobject_cast<QComboBox*>(dialog->GetDlgItem(IDC_SERVER_ADDRESS));
    EXPECT_EQ(combo->currentText(), QStringLiteral("127.0.0.2"));
    combo->setCurrentIndex(1);
    emit combo->activated(1); // what choosing an entry from the list raises
    EXPECT_EQ(dialog->ParamsChanged(), 1);
}

TEST_F(DialogHandlers, HelpStartsTheViewerAndSaysSoWhenNoneCanShowThePage) {
    CTarvelDlg& dlg = OpenDialog();
    const QString page = QDir::current().absoluteFilePath(QStringLiteral("Tarvel.html"));

    // Without the page nothing is started.
    QTest::mouseClick(dlg.GetDlgItem(IDC_HELP_BUTTON), Qt::LeftButton);
    EXPECT_TRUE(launches.empty());
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].text, QStringLiteral("找不到帮助页 %1。").arg(page));
    EXPECT_EQ(messages[0].caption, QStringLiteral("错误"));
    EXPECT_EQ(messages[0].icon, MessageIcon::Error);

    QFile file(page);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.close();
    messages.clear();
    for (const bool opened : {true, false}) {
        QTest::mouseClick(dlg.GetDlgItem(IDC_HELP_BUTTON), Qt::LeftButton);
        ASSERT_FALSE(launches.empty());
        EXPECT_EQ(launches.back(),
                  (QStringList{QStringLiteral("xdg-open"), QStringLiteral("./Tarvel.html")}));
        EXPECT_TRUE(messages.empty()) << "nothing is said while the viewer starts";
        launchOutcomes.back()(opened);
    }
    ASSERT_EQ(messages.size(), 1u) << "only the failed start is reported";
    EXPECT_EQ(messages[0].text,
              QStringLiteral("无法打开帮助页 %1，没有可以显示它的程序。").arg(page));
    EXPECT_EQ(messages[0].caption, QStringLiteral("错误"));
    EXPECT_EQ(messages[0].icon, MessageIcon::Error);
}

TEST_F(DialogHandlers, AboutCommandOpensTheAboutBoxWhoseButtonClosesIt) {
    CTarvelDlg& dlg = OpenDialog();
    QString caption;
    QString text;
    QTimer::singleShot(0, [&] {
        auto* about = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        ASSERT_NE(about, nullptr);
        caption = about->windowTitle();
        for (auto* label : about->findChildren<QLabel*>())
            text += label->text();
        auto* ok = about->findChild<QPushButton*>(QString::number(IDOK));
        ASSERT_NE(ok, nullptr);
        EXPECT_EQ(ok->text(), QStringLiteral("确定"));
        QTest::mouseClick(ok, Qt::LeftButton);
    });
    dlg.OnSysCommand(IDM_ABOUTBOX);
    EXPECT_EQ(caption, QStringLiteral("关于Tarvel"));
    EXPECT_TRUE(text.contains(QStringLiteral("Tarvel，1.1.1.679 版")));
}

TEST_F(DialogKeys, EnterInAPortEditClosesOnlyWhenBothPortsAreValid) {
    CTarvelDlg& dlg = OpenDialog();
    Edit(IDC_CLIENT_PORT)->setText(QStringLiteral("20000"));
    QTest::keyClick(Edit(IDC_CLIENT_PORT), Qt::Key_Return);
    EXPECT_TRUE(dlg.isVisible());
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].text, QStringLiteral("请输入一个在 0 和 10000 之间的整数。"));

    Edit(IDC_CLIENT_PORT)->setText(QStringLiteral("2000"));
    QTest::keyClick(Edit(IDC_CLIENT_PORT), Qt::Key_Return);
    EXPECT_FALSE(dlg.isVisible());
    EXPECT_EQ(dlg.result(), QDialog::Accepted);
}

TEST_F(DialogKeys, EnterInAnAddressFieldIsTheOkCommandToo) {
    CTarvelDlg& dlg = OpenDialog();
    auto* field = qobject_cast<QComboBox*>(dlg.GetDlgItem(IDC_CLIENT_ADDRESS))->lineEdit();
    ASSERT_NE(field, nullptr);
    QTest::keyClick(field, Qt::Key_Return);
    EXPECT_FALSE(dlg.isVisible());
    EXPECT_EQ(dlg.result(), QDialog::Accepted);
}

TEST_F(DialogKeys, EscapeClosesAtOnceWhateverThePorts) {
    CTarvelDlg& dlg = OpenDialog();
    Edit(IDC_CLIENT_PORT)->setText(QStringLiteral("bad"));
    QTest::keyClick(Edit(IDC_CLIENT_PORT), Qt::Key_Escape);
    EXPECT_FALSE(dlg.isVisible());
    EXPECT_EQ(dlg.result(), QDialog::Rejected);
    EXPECT_TRUE(messages.empty());
}

} // namespace

namespace {

using DialogParameters = DialogTest;

TEST_F(DialogParameters, AddressListsKeepTheMachinesOrderAndShowTheFirst) {
    CTarvelDlg& dlg = OpenDialog({"192.168.1.10", "10.0.0.2"});
    for (int id : {IDC_CLIENT_ADDRESS, IDC_SERVER_ADDRESS}) {
        auto* combo = qobject_cast<QComboBox*>(dlg.GetDlgItem(id));
        ASSERT_EQ(combo->count(), 2) << id;
        EXPECT_EQ(combo->itemText(0), QStringLiteral("192.168.1.10"));
        EXPECT_EQ(combo->itemText(1), QStringLiteral("10.0.0.2"));
        EXPECT_EQ(combo->currentText(), QStringLiteral("192.168.1.10"));
    }
    // The first start wrote the shown addresses and zero ports.
    EXPECT_EQ(ReadParameterFile(),
              "[ClientOrServer]\nNumber=0\n[UDpOrTCp]\nNumber=0\n[IP]\nNumber=1\n"
              "[Client1]\nIP=192.168.1.10\n[ClientPost1]\nPost=0\n"
              "[Server1]\nIP=192.168.1.10\n[ServerPost1]\nPost=0\n");
}

TEST_F(DialogParameters, SavedSettingsComeBackAndASavedAddressOutsideTheListStillShows) {
    WriteParameterFile("[ClientOrServer]\nNumber=1\n[UDpOrTCp]\nNumber=1\n[IP]\nNumber=1\n"
                       "[Client1]\nIP=172.16.9.9\n[ClientPost1]\nPost=5000\n"
                       "[Server1]\nIP=10.0.0.2\n[ServerPost1]\nPost=-1\n");
    CTarvelDlg& dlg = OpenDialog({"192.168.1.10", "10.0.0.2"});
    auto* client = qobject_cast<QComboBox*>(dlg.GetDlgItem(IDC_CLIENT_ADDRESS));
    EXPECT_EQ(client->currentText(), QStringLiteral("172.16.9.9"));
    ASSERT_EQ(client->count(), 2);
    EXPECT_EQ(client->itemText(0), QStringLiteral("192.168.1.10"));
    EXPECT_TRUE(qobject_cast<QRadioButton*>(dlg.GetDlgItem(IDC_CLIENT_TO_SERVER))->isChecked());
    EXPECT_TRUE(qobject_cast<QRadioButton*>(dlg.GetDlgItem(IDC_UDP))->isChecked());
    EXPECT_EQ(Edit(IDC_CLIENT_PORT)->text(), QStringLiteral("5000"));
    EXPECT_EQ(Edit(IDC_SERVER_PORT)->text(), QStringLiteral("4294967295"));
    EXPECT_EQ(dlg.ParamsChanged(), 0) << "loading is no change";
}

TEST_F(DialogParameters, FailingAddressListShowsOneMessageAndLeavesBothListsEmpty) {
    dialog = std::make_unique<CTarvelDlg>([] { return std::optional<std::vector<std::string>>(); });
    dialog->Create();
    EXPECT_EQ(MessageTexts(), std::vector<QString>{QStringLiteral("获得IP名错误！")});
    EXPECT_EQ(qobject_cast<QComboBox*>(dialog->GetDlgItem(IDC_CLIENT_ADDRESS))->count(), 0);
    EXPECT_EQ(qobject_cast<QComboBox*>(dialog->GetDlgItem(IDC_SERVER_ADDRESS))->count(), 0);
}

} // namespace

namespace {

TEST_F(DialogLayout, TheGraphShowsTheFirstInterfaceSampledEverySecond) {
    CTarvelDlg& dlg = OpenDialog();
    const TrafficButton& graph = dlg.TrafficGraph();
    EXPECT_EQ(dlg.GetDlgItem(IDC_TRAFFIC_GRAPH), &graph);
    EXPECT_EQ(graph.InterfaceNumber(), 0);
    EXPECT_EQ(graph.findChild<QTimer*>(QStringLiteral("samplingTimer"))->interval(), 1000);
    EXPECT_EQ(graph.findChild<QTimer*>(QStringLiteral("redrawTimer"))->interval(), 100);
    EXPECT_FALSE(graph.mask().isEmpty());
}

} // namespace
