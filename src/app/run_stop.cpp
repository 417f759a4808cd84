// Run and Stop: starting the relay worker that the dialog's choices name, and ending it.
#include "app/input_checks.h"
#include "app/tarvel_dlg.h"
#include "platform/message_box.h"
#include "relay/relay_control.h"
#include "relay/relay_sockets.h"
#include "relay/relay_state.h"
#include "relay/relay_workers.h"
#include "resource.h"

#include <chrono>
#include <optional>
#include <string>
#include <thread>

namespace {

constexpr unsigned int kDisplayTimerPeriodMs = 500;
constexpr COLORREF kLampRunning = RGB(0, 255, 0);
constexpr COLORREF kLampStopped = RGB(255, 0, 0);
// Stop and closing leave a released worker this long to finish before the flag is raised.
constexpr auto kStopPause = std::chrono::milliseconds(1000);

void ShowError(const std::string& text) {
    ShowMessage(QString::fromStdString(text), QStringLiteral("错误"), MessageIcon::Error);
}

int IsButtonChecked(const QAbstractButton& button) {
    return button.isChecked() ? 1 : 0;
}

// Wakes a TCP worker still waiting for its connection, on the endpoint it listens on.
void WakeWaitingWorkers() {
    const RelaySettings settings = g_relaySettings.Get();
    if (g_c2sTcpWaiting == 1)
        WakeAcceptingWorker(settings.serverAddress, settings.serverPort);
    if (g_s2cTcpWaiting == 1)
        WakeAcceptingWorker(settings.clientAddress, settings.clientPort);
}

} // namespace

void CTarvelDlg::OnRun() {
    // 1-2. Both address texts, client first; a refused one takes the focus.
    if (!IsValidIpText(m_clientAddressCombo.currentText().toStdString())) {
        ShowError(kBadAddressMessage);
        m_clientAddressCombo.setFocus(Qt::OtherFocusReason);
        return;
    }
    if (!IsValidIpText(m_serverAddressCombo.currentText().toStdString())) {
        ShowError(kBadAddressMessage);
        m_serverAddressCombo.setFocus(Qt::OtherFocusReason);
        return;
    }
    // 3. The ports; the exchange shows its own messages and Run goes on whatever it says.
    UpdateData(true);
    // 4-5. A port member of 2^31 or more prints with a minus sign.
    for (std::uint32_t port : {m_clientPort, m_serverPort}) {
        if (!IsAllDigits(std::to_string(static_cast<std::int32_t>(port)))) {
            ShowError(kBadPortMessage);
            return;
        }
    }
    // 6. Save changed settings; this also hands the endpoints to the worker.
    if (m_paramsChanged == 1)
        SaveParameters();
    // 7.
    g_stopRelay = 0;
    // 8-9. One mode and one protocol.
    if (!IsButtonChecked(m_clientToServerRadio) && !IsButtonChecked(m_serverToClientRadio)) {
        ShowError(kNoModeMessage);
        return;
    }
    if (!IsButtonChecked(m_udpRadio) && !IsButtonChecked(m_tcpRadio)) {
        ShowError(kNoProtocolMessage);
        return;
    }
    // 10. The worker the two choices name.
    const int clientToServer = IsButtonChecked(m_clientToServerRadio);
    const int serverToClient = IsButtonChecked(m_serverToClientRadio);
    const int udp = IsButtonChecked(m_udpRadio);
    const int tcp = IsButtonChecked(m_tcpRadio);
    if (clientToServer == 1 && udp == 1)
        StartRelayWorker(UdpClientToServerThread);
    if (clientToServer == 1 && tcp == 1)
        StartRelayWorker(TcpClientToServerThread);
    if (serverToClient == 1 && tcp == 1)
        StartRelayWorker(TcpServerToClientThread);
    if (serverToClient == 1 && udp == 1)
        StartRelayWorker(UdpServerToClientThread);
    // 11-13. The running look.
    m_runButton.setEnabled(false);
    m_stopButton.setEnabled(true);
    m_displayTimer.start(kDisplayTimerPeriodMs);
    SetLampTextColor(kLampRunning);
}

void CTarvelDlg::OnStop() {
    WakeWaitingWorkers();
    std::this_thread::sleep_for(kStopPause);
    RequestRelayStop();
    EnterIdleLook();
}

void CTarvelDlg::EnterIdleLook() {
    m_runButton.setEnabled(true);
    m_stopButton.setEnabled(false);
    m_displayTimer.stop();
    SetLampTextColor(kLampStopped);
}

void CTarvelDlg::NoticeEndedRelay() {
    // A worker that ended by itself leaves the dialog as Stop would, without Stop's wake-up and
    // pause: nothing is left to release. Only a failed set-up is worth a message; a stream that
    // ended is what the operator's peers did.
    const std::optional<RelayOutcome> outcome = LastRelayOutcome();
    if (!outcome || outcome->end == RelayEnd::Running)
        return;
    EnterIdleLook();
    if (outcome->end == RelayEnd::SetupFailed)
        ShowError(DescribeSetupFailure(*outcome));
}

void CTarvelDlg::OnDestroy() {
    if (m_destroyed)
        return;
    m_destroyed = true;
    ShutdownRelay();
}

void CTarvelDlg::ShutdownRelay() {
    WakeWaitingWorkers();
    // Closing always takes about a second, whether or not a worker runs.
    std::this_thread::sleep_for(kStopPause);
    RequestRelayStop();
    m_displayTimer.stop();
}
