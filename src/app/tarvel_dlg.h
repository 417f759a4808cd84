#pragma once

#include "config/local_addresses.h"
#include "config/parameter_dialog.h"
#include "controls/button_xp.h"
#include "controls/combo_box_xp.h"
#include "controls/edit_ex.h"
#include "platform/colorref.h"
#include "platform/dialog_builder.h"
#include "traffic/traffic_button.h"

#include <QComboBox>
#include <QDialog>
#include <QIcon>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>

#include <array>
#include <cstdint>

class CDataExchange;

// The program's only window: mode, protocol, both endpoints, Run and Stop, the status lamps and
// the traffic graph.
class CTarvelDlg : public QDialog, public ParameterDialog, public AddressListTarget {
public:
    // `enumerateAddresses` lists the machine's IPv4 addresses for both address lists.
    explicit CTarvelDlg(LocalAddressEnumerator enumerateAddresses = EnumerateLocalIPv4Addresses);
    ~CTarvelDlg() override;

    // Builds the controls from the template and runs the dialog's initialisation. The modal loop
    // (exec) calls this itself when it was not called before.
    void Create();

    QWidget* GetDlgItem(int id) const { return m_items.GetDlgItem(id); }
    bool UpdateData(bool saveAndValidate = true) override;

    // What the parameter file and the address list reach the dialog through.
    int GetCheck(int controlId) const override;
    void SetCheck(int controlId, int state) override;
    std::string GetComboText(int controlId) const override;
    void SetComboText(int controlId, const std::string& text) override;
    std::uint32_t GetPortMember(int editId) const override;
    void SetPortMember(int editId, std::uint32_t value) override;
    void MessageBox(const std::string& text, const std::string& caption, MessageIcon icon) override;
    void PostQuitMessage(int exitCode) override;
    void InsertString(int comboId, int index, const std::string& text) override;
    void SetCurSel(int comboId, int index) override;

    // Handlers, public so that tests drive them as the message table does.
    void OnRun();
    void OnStop();
    void OnSettings();
    void OnHelp();
    void OnDisplayTick();
    void OnClientToServer();
    void OnServerToClient();
    void OnUdp();
    void OnTcp();
    void OnClientAddressChanged();
    void OnServerAddressChanged();
    void OnPortChanged();
    void OnSysCommand(int command);
    void OnOK();
    void OnCancel();

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
    void ShutdownRelay();
    // The look Stop leaves: Run enabled, Stop disabled, display timer off, lamps red.
    void EnterIdleLook();
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

    LocalAddressEnumerator m_enumerateAddresses;
    DialogItems m_items;
    QTimer m_displayTimer; // the lamps follow the relay buffer while a relay runs
    bool m_created = false;
    bool m_destroyed = false;
};
