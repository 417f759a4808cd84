#pragma once

#include "config/forwarding_settings.h"
#include "config/local_addresses.h"
#include "config/parameter_file.h"
#include "controls/button_xp.h"
#include "controls/combo_box_xp.h"
#include "controls/edit_ex.h"
#include "controls/traffic_button.h"
#include "desktop/dialog_builder.h"
#include "platform/colorref.h"

#include <QComboBox>
#include <QDialog>
#include <QIcon>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>

#include <array>
#include <cstdint>
#include <memory>

class CDataExchange;
class Relay;

// The program's only window: mode, protocol, both endpoints, Run and Stop, the status lamps and
// the traffic graph.
class CTarvelDlg : public QDialog {
public:
    // `enumerateAddresses` lists the machine's addresses for both address lists.
    explicit CTarvelDlg(LocalAddressEnumerator enumerateAddresses = EnumerateLocalAddresses);
    ~CTarvelDlg() override;

    // Builds the controls from the template and runs the dialog's initialisation. The modal loop
    // (exec) calls this itself when it was not called before.
    void Create();

    QWidget* GetDlgItem(int id) const { return m_items.GetDlgItem(id); }
    bool UpdateData(bool saveAndValidate = true);

    // Handlers, public so that tests drive them as the message table does.
    void OnRun();
    void OnStop();
    void OnSettings();
    void OnHelp();
    void OnDisplayTick();
    // The operator chose a mode or a protocol (by click, mnemonic or arrow key).
    void OnModeOrProtocolChosen();
    void OnClientAddressChanged();
    void OnServerAddressChanged();
    void OnPortChanged();
    void OnSysCommand(int command);
    void OnOK();
    void OnCancel();

    // A later start asked for the window: it comes back from the task bar to the front and takes
    // the input; a box it opened stays above it and keeps the input.
    void BringToFront();

    const TrafficButton& TrafficGraph() const { return m_trafficGraph; }
    int ParamsChanged() const { return m_paramsChanged; }
    std::uint32_t ClientPort() const { return m_clientPort; }
    std::uint32_t ServerPort() const { return m_serverPort; }

    int exec() override;
    void done(int result) override;

protected:
    void DoDataExchange(CDataExchange& dx);
    bool OnInitDialog();
    void OnDestroy();
    void keyPressEvent(QKeyEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void InitDisplayControls();
    void FillLocalAddresses();
    void LoadParameters();
    void SaveParameters();
    // The settings the controls show: radios, address texts and port members.
    Parameters ParametersFromControls() const;
    void ShowParameters(const Parameters& parameters);
    void ShutdownRelay();
    // Stop's and closing's second before the relay is ended.
    void PauseBeforeEnding();
    // The look Run leaves: Run disabled, Stop enabled, display timer on, lamps green, and the
    // controls of what runs (mode, protocol, addresses, ports) disabled, as they cannot change it.
    void EnterRunningLook();
    // The look Stop leaves: Run enabled, Stop disabled, display timer off, lamps red, the
    // controls of what runs enabled again.
    void EnterIdleLook();
    void SetRelayControlsEnabled(bool enabled);
    // Says on the lamps' tooltip (and the 显示 group's description) where the relay is, who is
    // connected and what it forwarded, and which way it relays.
    void ShowRelayStatus();
    // Says on each mode and protocol radio which side the relay would listen on or bind, which it
    // would connect or send to, and which way the data would go, with the other group's choice.
    void ShowDirectionTooltips();
    // On a display tick: returns to the idle look when the worker has ended by itself.
    void NoticeEndedRelay();
    void SetLampTextColor(COLORREF color);
    // The eight lamps in the order Run and Stop handle them: 1011, 1012, 1013, 1028, then 1014,
    // 1016, 1017, 1029.
    std::array<CEditEx*, 8> Lamps();
    void ConnectHandlers();
    void SetAccessibleNames();

    // Members in the order of the dialog's member table.
    int m_paramsChanged = 0;
    QIcon m_hIcon;
    std::array<CEditEx, 4> m_inputLamps;
    std::array<CEditEx, 4> m_outputLamps;
    CComboBoxXP m_clientAddressCombo;
    CComboBoxXP m_serverAddressCombo;
    CButtonXP m_runButton;
    CButtonXP m_stopButton;
    CButtonXP m_settingsButton;
    CButtonXP m_helpButton;
    QRadioButton m_clientToServerRadio;
    QRadioButton m_serverToClientRadio;
    QRadioButton m_udpRadio;
    QRadioButton m_tcpRadio;
    TrafficButton m_trafficGraph;
    std::uint32_t m_clientPort = 0;
    std::uint32_t m_serverPort = 0;

    // The settings last loaded or saved. A relay takes its endpoints from them: what the operator
    // types counts once Run has saved it.
    Parameters m_saved;
    // How the next relay forwards and whom it allows, and the port range the dialog takes, as the
    // settings dialog last saved them.
    ForwardingSettings m_forwarding;
    // The relay Run started last, kept after it ended for the lamps and the next Run.
    std::unique_ptr<Relay> m_relay;

    LocalAddressEnumerator m_enumerateAddresses;
    DialogItems m_items;
    QTimer m_displayTimer; // the lamps follow the relay buffer while a relay runs
    bool m_created = false;
    bool m_destroyed = false;
    bool m_stopping = false; // in Stop's or closing's pause
};
