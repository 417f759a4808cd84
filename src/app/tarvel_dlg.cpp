#include "app/tarvel_dlg.h"

#include "app/about_dlg.h"
#include "config/parameter_checks.h"
#include "desktop/data_exchange.h"
#include "desktop/fonts.h"
#include "desktop/message_box.h"
#include "desktop/shell.h"
#include "desktop/system_colors.h"
#include "dialog_templates.h"
#include "pictures.h"
#include "relay/relay.h"
#include "relay/relay_description.h"
#include "resource.h"

#include <QApplication>
#include <QButtonGroup>
#include <QContextMenuEvent>
#include <QDir>
#include <QFileInfo>
#include <QKeyEvent>
#include <QMenu>
#include <QShortcut>

namespace {

constexpr COLORREF kLampBackground = RGB(0, 0, 0);
constexpr COLORREF kLampStopped = RGB(255, 0, 0);

} // namespace

CTarvelDlg::CTarvelDlg(LocalAddressEnumerator enumerateAddresses)
    : m_hIcon(LoadAppIcon()), m_enumerateAddresses(std::move(enumerateAddresses)) {
    // Found by name in tests, which check its period.
    m_displayTimer.setObjectName(QStringLiteral("displayTimer"));
    m_displayTimer.setParent(this);
    connect(&m_displayTimer, &QTimer::timeout, this, &CTarvelDlg::OnDisplayTick);
}

CTarvelDlg::~CTarvelDlg() = default;

void CTarvelDlg::Create() {
    if (m_created)
        return;
    m_created = true;
    const std::map<int, QWidget*> members{
        {IDC_INPUT_LAMP1, &m_inputLamps[0]},
        {IDC_INPUT_LAMP2, &m_inputLamps[1]},
        {IDC_INPUT_LAMP3, &m_inputLamps[2]},
        {IDC_INPUT_LAMP4, &m_inputLamps[3]},
        {IDC_OUTPUT_LAMP1, &m_outputLamps[0]},
        {IDC_OUTPUT_LAMP2, &m_outputLamps[1]},
        {IDC_OUTPUT_LAMP3, &m_outputLamps[2]},
        {IDC_OUTPUT_LAMP4, &m_outputLamps[3]},
        {IDC_CLIENT_ADDRESS, &m_clientAddressCombo},
        {IDC_SERVER_ADDRESS, &m_serverAddressCombo},
        {IDC_RUN, &m_runButton},
        {IDC_STOP, &m_stopButton},
        {IDC_SETTINGS, &m_settingsButton},
        {IDC_HELP_BUTTON, &m_helpButton},
        {IDC_CLIENT_TO_SERVER, &m_clientToServerRadio},
        {IDC_SERVER_TO_CLIENT, &m_serverToClientRadio},
        {IDC_UDP, &m_udpRadio},
        {IDC_TCP, &m_tcpRadio},
        {IDC_TRAFFIC_GRAPH, &m_trafficGraph},
    };
    m_items =
        BuildDialogFromTemplate(*this, LoadDialogTemplate(IDD_TARVEL_DIALOG), members, LoadPicture);
    // Caption, system menu and minimise box; no maximise box and no sizing border.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    SetAccessibleNames();
    ConnectHandlers();
    OnInitDialog();
}

void CTarvelDlg::SetAccessibleNames() {
    // Controls without a caption of their own are named after their row and column labels.
    for (std::size_t k = 0; k < 4; ++k) {
        m_inputLamps[k].setAccessibleName(QStringLiteral("输入显示 %1").arg(k + 1));
        m_outputLamps[k].setAccessibleName(QStringLiteral("输出显示 %1").arg(k + 1));
    }
    // The address boxes are named by their row labels, their field too, as that has the focus.
    for (auto [combo, label] : {std::pair{&m_clientAddressCombo, QStringLiteral("输入网卡")},
                                std::pair{&m_serverAddressCombo, QStringLiteral("输出网卡")}}) {
        combo->setAccessibleName(label);
        combo->lineEdit()->setAccessibleName(label);
    }
    GetDlgItem(IDC_CLIENT_PORT)->setAccessibleName(QStringLiteral("输入网卡 端口号"));
    GetDlgItem(IDC_SERVER_PORT)->setAccessibleName(QStringLiteral("输出网卡 端口号"));
}

void CTarvelDlg::ConnectHandlers() {
    connect(&m_runButton, &QPushButton::clicked, this, &CTarvelDlg::OnRun);
    connect(&m_stopButton, &QPushButton::clicked, this, &CTarvelDlg::OnStop);
    connect(&m_settingsButton, &QPushButton::clicked, this, &CTarvelDlg::OnSettings);
    // The template makes each pair of radios one exclusive group, which keeps one of them checked.
    // A click of the operator's marks a change; a check state the program sets does not.
    for (QButtonGroup* group : {m_clientToServerRadio.group(), m_udpRadio.group()}) {
        Q_ASSERT(group != nullptr && group->exclusive() && group->buttons().size() == 2);
        connect(group, &QButtonGroup::buttonClicked, this, &CTarvelDlg::OnModeOrProtocolChosen);
    }
    // Loading checks the radios too: the tooltips follow every change of them.
    for (QRadioButton* radio :
         {&m_clientToServerRadio, &m_serverToClientRadio, &m_udpRadio, &m_tcpRadio})
        connect(radio, &QRadioButton::toggled, this, &CTarvelDlg::ShowDirectionTooltips);
    // Only the operator's choices count as changes: programmatic updates raise none of these
    // signals. Typing into an address field counts like picking from the list, so that Run
    // saves and relays on the address the operator sees.
    connect(&m_clientAddressCombo, &QComboBox::activated, this,
            &CTarvelDlg::OnClientAddressChanged);
    connect(&m_serverAddressCombo, &QComboBox::activated, this,
            &CTarvelDlg::OnServerAddressChanged);
    connect(m_clientAddressCombo.lineEdit(), &QLineEdit::textEdited, this,
            &CTarvelDlg::OnClientAddressChanged);
    connect(m_serverAddressCombo.lineEdit(), &QLineEdit::textEdited, this,
            &CTarvelDlg::OnServerAddressChanged);
    for (int id : {IDC_CLIENT_PORT, IDC_SERVER_PORT})
        connect(qobject_cast<QLineEdit*>(GetDlgItem(id)), &QLineEdit::textEdited, this,
                &CTarvelDlg::OnPortChanged);
    connect(&m_helpButton, &QPushButton::clicked, this, &CTarvelDlg::OnHelp);
    // The address fields' own editor would keep Enter to itself; the dialog takes it instead.
    for (QComboBox* combo : {static_cast<QComboBox*>(&m_clientAddressCombo),
                             static_cast<QComboBox*>(&m_serverAddressCombo)}) {
        if (combo->lineEdit())
            combo->lineEdit()->installEventFilter(this);
    }
    // The keyboard's way to the dialog menu besides the Menu key.
    auto* menuShortcut = new QShortcut(QKeySequence(Qt::SHIFT | Qt::Key_F10), this);
    connect(menuShortcut, &QShortcut::activated, this, [this] {
        QContextMenuEvent event(QContextMenuEvent::Keyboard, rect().center(),
                                mapToGlobal(rect().center()));
        contextMenuEvent(&event);
    });
}

int CTarvelDlg::exec() {
    Create();
    return QDialog::exec();
}

void CTarvelDlg::done(int result) {
    QDialog::done(result);
    OnDestroy();
}

bool CTarvelDlg::UpdateData(bool saveAndValidate) {
    CDataExchange dx(saveAndValidate);
    DoDataExchange(dx);
    return !dx.Failed();
}

void CTarvelDlg::DoDataExchange(CDataExchange& dx) {
    // Controls first, in the order of the member table; Help and the fourth lamps come last.
    for (std::size_t k = 0; k < 3; ++k)
        DDX_Control(dx, m_inputLamps[k]);
    for (std::size_t k = 0; k < 3; ++k)
        DDX_Control(dx, m_outputLamps[k]);
    DDX_Control(dx, m_clientAddressCombo);
    DDX_Control(dx, m_serverAddressCombo);
    DDX_Control(dx, m_runButton);
    DDX_Control(dx, m_stopButton);
    DDX_Control(dx, m_settingsButton);
    DDX_Control(dx, m_clientToServerRadio);
    DDX_Control(dx, m_serverToClientRadio);
    DDX_Control(dx, m_udpRadio);
    DDX_Control(dx, m_tcpRadio);
    DDX_Control(dx, m_trafficGraph);
    // Both ports, each checked against 0..kLargestPort, or every port when 设置 widened the range.
    const std::uint32_t largestPort = m_forwarding.widePorts ? kLargestSocketPort : kLargestPort;
    DDX_Text(dx, qobject_cast<QLineEdit*>(GetDlgItem(IDC_CLIENT_PORT)), m_clientPort);
    DDV_MinMaxUInt(dx, m_clientPort, 0, largestPort);
    DDX_Text(dx, qobject_cast<QLineEdit*>(GetDlgItem(IDC_SERVER_PORT)), m_serverPort);
    DDV_MinMaxUInt(dx, m_serverPort, 0, largestPort);
    DDX_Control(dx, m_helpButton);
    DDX_Control(dx, m_inputLamps[3]);
    DDX_Control(dx, m_outputLamps[3]);
}

bool CTarvelDlg::OnInitDialog() {
    UpdateData(false);
    setWindowFlag(Qt::WindowStaysOnTopHint, true);
    setWindowIcon(m_hIcon);
    InitDisplayControls();
    FillLocalAddresses();
    LoadParameters();
    ShowDirectionTooltips();
    m_clientAddressCombo.setFocus(Qt::OtherFocusReason);
    return true;
}

std::array<CEditEx*, 8> CTarvelDlg::Lamps() {
    return {&m_inputLamps[0],  &m_inputLamps[1],  &m_inputLamps[2],  &m_inputLamps[3],
            &m_outputLamps[0], &m_outputLamps[1], &m_outputLamps[2], &m_outputLamps[3]};
}

void CTarvelDlg::InitDisplayControls() {
    // Black lamps with red "00" in the large font.
    for (CEditEx* lamp : Lamps()) {
        lamp->SetBackgroundColor(ToQColor(kLampBackground));
        lamp->SetTextColor(ToQColor(kLampStopped));
        lamp->setFont(LampFont());
        lamp->setText(QStringLiteral("00"));
    }
    // The graph shows the first interface's bytes sent and received, sampled every second.
    m_trafficGraph.SelectInterface(0);
    m_trafficGraph.SetTimerIntervals(1000, 100);
    m_stopButton.setEnabled(false);
}

void CTarvelDlg::SetLampTextColor(COLORREF color) {
    for (CEditEx* lamp : Lamps())
        lamp->SetTextColor(ToQColor(color));
}

void CTarvelDlg::OnDisplayTick() {
    const BufferHead head = m_relay ? m_relay->Head() : BufferHead{};
    for (std::size_t k = 0; k < head.size(); ++k) {
        const int value = static_cast<std::int8_t>(head[k]);
        const QString text = QString::asprintf("%02d", value);
        m_inputLamps[k].setText(text);
        m_outputLamps[k].setText(text);
    }
    ShowRelayStatus();
    NoticeEndedRelay();
}

// Also when the clicked button was checked already.
void CTarvelDlg::OnModeOrProtocolChosen() {
    m_paramsChanged = 1;
}

void CTarvelDlg::ShowDirectionTooltips() {
    const auto direction = [](RelayMode mode, RelayProtocol protocol) {
        return QString::fromStdString(DescribeDirection(MakeRelayPlan(mode, protocol, {}, {})));
    };
    // With nothing chosen in the other group, every choice of it is said.
    std::vector<RelayMode> modes{RelayMode::ClientToServer, RelayMode::ServerToClient};
    if (m_clientToServerRadio.isChecked() != m_serverToClientRadio.isChecked())
        modes = {m_clientToServerRadio.isChecked() ? RelayMode::ClientToServer
                                                   : RelayMode::ServerToClient};
    std::vector<RelayProtocol> protocols{RelayProtocol::Udp, RelayProtocol::Tcp};
    if (m_udpRadio.isChecked() != m_tcpRadio.isChecked())
        protocols = {m_udpRadio.isChecked() ? RelayProtocol::Udp : RelayProtocol::Tcp};

    for (auto [radio, mode] : {std::pair{&m_clientToServerRadio, RelayMode::ClientToServer},
                               std::pair{&m_serverToClientRadio, RelayMode::ServerToClient}}) {
        QStringList lines;
        for (RelayProtocol protocol : protocols)
            lines << direction(mode, protocol);
        radio->setToolTip(lines.join(u'\n'));
    }
    for (auto [radio, protocol] :
         {std::pair{&m_udpRadio, RelayProtocol::Udp}, std::pair{&m_tcpRadio, RelayProtocol::Tcp}}) {
        QStringList lines;
        for (RelayMode mode : modes) {
            // The protocol leads each line already; the mode is named when both are said.
            const QString prefix =
                modes.size() > 1 ? QString::fromStdString(ModeName(mode)) + QStringLiteral(", ")
                                 : QString();
            lines << prefix + direction(mode, protocol);
        }
        radio->setToolTip(lines.join(u'\n'));
    }
}

// A changed address reaches nothing until Run saves it.
void CTarvelDlg::OnClientAddressChanged() {
    m_paramsChanged = 1;
}

void CTarvelDlg::OnServerAddressChanged() {
    m_paramsChanged = 1;
}

void CTarvelDlg::OnPortChanged() {
    m_paramsChanged = 1;
}

void CTarvelDlg::OnHelp() {
    // The help page lies in the current directory, which the installation prepares. The desktop's
    // opener reports a failure when no program can show the page; the operator is told so.
    const QString page = QDir::current().absoluteFilePath(QStringLiteral("Tarvel.html"));
    const QString caption = QStringLiteral("错误");
    if (!QFileInfo(page).isFile()) {
        ShowMessage(QStringLiteral("找不到帮助页 %1。").arg(page), caption, MessageIcon::Error);
        return;
    }
    StartProgram(QStringLiteral("xdg-open"), {QStringLiteral("./Tarvel.html")}, this,
                 [page, caption](bool opened) {
                     if (!opened)
                         ShowMessage(
                             QStringLiteral("无法打开帮助页 %1，没有可以显示它的程序。").arg(page),
                             caption, MessageIcon::Error);
                 });
}

void CTarvelDlg::BringToFront() {
    setWindowState(windowState() & ~Qt::WindowMinimized);
    raise();
    activateWindow();
    QWidget* modal = QApplication::activeModalWidget();
    if (modal != nullptr && modal != this) {
        modal->raise();
        modal->activateWindow();
    }
}

void CTarvelDlg::OnSysCommand(int command) {
    if ((command & 0xFFF0) == IDM_ABOUTBOX) {
        CAboutDlg about;
        about.exec();
    }
}

void CTarvelDlg::contextMenuEvent(QContextMenuEvent* event) {
    // The about item lives in the dialog's own menu, as the window manager offers none to add to.
    const QString aboutText = QString::fromUtf8(LoadStringResource(IDS_ABOUTBOX));
    if (aboutText.isEmpty())
        return;
    QMenu menu(this);
    menu.addSeparator();
    QAction* about = menu.addAction(aboutText);
    if (menu.exec(mapToGlobal(event->pos())) == about)
        OnSysCommand(IDM_ABOUTBOX);
}

void CTarvelDlg::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        // A focused push button takes Enter itself; anywhere else Enter is the OK command.
        if (auto* button = qobject_cast<QPushButton*>(focusWidget())) {
            button->click();
        } else {
            OnOK();
        }
        return;
    case Qt::Key_Escape:
        OnCancel();
        return;
    default:
        QDialog::keyPressEvent(event);
    }
}

bool CTarvelDlg::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            OnOK();
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

void CTarvelDlg::OnOK() {
    if (UpdateData(true))
        accept();
}

void CTarvelDlg::OnCancel() {
    reject();
}
