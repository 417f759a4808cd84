// Run and Stop: starting the relay that the dialog's choices describe, and ending it.
#include "app/tarvel_dlg.h"
#include "config/parameter_checks.h"
#include "config/settings_keys.h"
#include "config/stored_settings.h"
#include "desktop/message_box.h"
#include "relay/relay.h"
#include "relay/relay_description.h"
#include "resource.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QScopedValueRollback>
#include <QTimer>

#include <chrono>
#include <optional>
#include <string>

namespace {

constexpr unsigned int kDisplayTimerPeriodMs = 500;
constexpr COLORREF kLampRunning = RGB(0, 255, 0);
constexpr COLORREF kLampStopped = RGB(255, 0, 0);
// Stop and closing leave a relay that has its connection this long before it is ended.
constexpr auto kStopPause = std::chrono::milliseconds(1000);

int IsButtonChecked(const QAbstractButton& button) {
    return button.isChecked() ? 1 : 0;
}

} // namespace

void CTarvelDlg::OnRun() {
    // Both address texts, client first; a refused one takes the focus.
    if (!EndpointFromText(m_clientAddressCombo.currentText().toStdString(), 0)) {
        ShowError(kBadAddressMessage);
        m_clientAddressCombo.setFocus(Qt::OtherFocusReason);
        return;
    }
    if (!EndpointFromText(m_serverAddressCombo.currentText().toStdString(), 0)) {
        ShowError(kBadAddressMessage);
        m_serverAddressCombo.setFocus(Qt::OtherFocusReason);
        return;
    }
    // The ports: a value the exchange refuses has had its one message and holds the focus; Run
    // goes no further, so nothing is saved or started on a port the operator never chose.
    if (!UpdateData(true))
        return;
    // Changed settings are saved, and from then on they are the ones a relay uses.
    if (m_paramsChanged == 1)
        SaveParameters();
    // One mode and one protocol.
    if (!IsButtonChecked(m_clientToServerRadio) && !IsButtonChecked(m_serverToClientRadio)) {
        ShowError(kNoModeMessage);
        return;
    }
    if (!IsButtonChecked(m_udpRadio) && !IsButtonChecked(m_tcpRadio)) {
        ShowError(kNoProtocolMessage);
        return;
    }
    // The relay those choices describe, as a plan of its own: nothing typed from now on reaches it.
    Parameters chosen = m_saved;
    chosen.clientToServer = IsButtonChecked(m_clientToServerRadio) == 1;
    chosen.udp = IsButtonChecked(m_udpRadio) == 1;
    // Sources the settings dialog took are always good; a hand-edited file's may not be.
    StoredSettings settings;
    settings.parameters = chosen;
    settings.forwarding = m_forwarding;
    const SettingsVerdict verdict = CheckSettings(settings);
    if (!verdict.plan) {
        ShowError(verdict.refusal.reason);
        // A port the relay cannot use (0 where it connects or sends) takes the focus, as a port the
        // exchange refuses does.
        if (verdict.refusal.key == kPortKey)
            GetDlgItem(verdict.refusal.section == kClientPortSection ? IDC_CLIENT_PORT
                                                                     : IDC_SERVER_PORT)
                ->setFocus(Qt::OtherFocusReason);
        return;
    }
    const RelayPlan& plan = *verdict.plan;
    // The lamps go on from what the previous relay left; that relay is over and is let go first,
    // so the new one can bind the same endpoint.
    const BufferHead head = m_relay ? m_relay->Head() : BufferHead{};
    m_relay.reset();
    m_relay = std::make_unique<Relay>(plan, RelayEventSink{}, head);
    EnterRunningLook();
}

void CTarvelDlg::OnStop() {
    ShutdownRelay();
    EnterIdleLook();
}

void CTarvelDlg::EnterRunningLook() {
    m_runButton.setEnabled(false);
    m_stopButton.setEnabled(true);
    m_displayTimer.start(kDisplayTimerPeriodMs);
    SetLampTextColor(kLampRunning);
    SetRelayControlsEnabled(false);
}

void CTarvelDlg::EnterIdleLook() {
    m_runButton.setEnabled(true);
    m_stopButton.setEnabled(false);
    m_displayTimer.stop();
    SetLampTextColor(kLampStopped);
    SetRelayControlsEnabled(true);
    ShowRelayStatus();
}

void CTarvelDlg::ShowRelayStatus() {
    // The display timer runs from Run until the idle look returns, Stop's pause included.
    QString status = QStringLiteral("未在转发");
    if (m_relay && m_displayTimer.isActive()) {
        status =
            QString::fromStdString(DescribeStatus(m_relay->Status(), m_relay->Plan().protocol) +
                                   "\n" + DescribeDirection(m_relay->Plan()));
    } else if (m_relay) {
        status +=
            QStringLiteral("; 上次") +
            QString::fromStdString(DescribeTotals(m_relay->Outcome(), m_relay->Plan().protocol));
    }
    for (CEditEx* lamp : Lamps())
        lamp->setToolTip(status);
    GetDlgItem(IDC_DISPLAY_GROUP)->setAccessibleDescription(status);
}

void CTarvelDlg::SetRelayControlsEnabled(bool enabled) {
    for (QWidget* control :
         {static_cast<QWidget*>(&m_clientToServerRadio),
          static_cast<QWidget*>(&m_serverToClientRadio), static_cast<QWidget*>(&m_udpRadio),
          static_cast<QWidget*>(&m_tcpRadio), static_cast<QWidget*>(&m_clientAddressCombo),
          static_cast<QWidget*>(&m_serverAddressCombo), GetDlgItem(IDC_CLIENT_PORT),
          GetDlgItem(IDC_SERVER_PORT)})
        control->setEnabled(enabled);
}

void CTarvelDlg::NoticeEndedRelay() {
    // A relay that ended by itself leaves the dialog as Stop would, without Stop's pause: nothing
    // is left to release. Only a failed set-up is worth a message; a stream that ended is what
    // the operator's peers did.
    // During Stop's pause, Stop ends it whatever it did.
    if (!m_relay || m_stopping)
        return;
    const RelayOutcome outcome = m_relay->Outcome();
    if (outcome.end == RelayEnd::Running)
        return;
    EnterIdleLook();
    if (outcome.end == RelayEnd::SetupFailed)
        ShowError(DescribeSetupFailure(outcome));
}

void CTarvelDlg::OnDestroy() {
    if (m_destroyed)
        return;
    m_destroyed = true;
    ShutdownRelay();
    m_displayTimer.stop();
}

void CTarvelDlg::ShutdownRelay() {
    // A relay still waiting for its connection stops waiting at once and never connects; one
    // that has its connection relays on through the pause, then ends. Closing always takes about
    // a second, whether or not a relay runs.
    if (m_relay)
        m_relay->StopWaiting();
    // Stop is taken; nothing is enabled again before the idle look returns.
    m_stopButton.setEnabled(false);
    PauseBeforeEnding();
    if (m_relay)
        m_relay->Stop();
}

void CTarvelDlg::PauseBeforeEnding() {
    // The dialog keeps painting and the lamps follow the relay, but the operator's input waits
    // until the pause is over, so that nothing starts, changes or closes halfway through it. (Not
    // an event loop of its own: after a quit request one would return at once.)
    const QScopedValueRollback stopping(m_stopping, true);
    const QDeadlineTimer end(kStopPause, Qt::PreciseTimer);
    QTimer wake; // ends the wait for events when the pause is over
    wake.setSingleShot(true);
    wake.setTimerType(Qt::PreciseTimer);
    while (!end.hasExpired()) {
        wake.start(static_cast<int>(end.remainingTime()));
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents |
                                        QEventLoop::WaitForMoreEvents);
    }
}
