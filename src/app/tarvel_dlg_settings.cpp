// The dialog's settings: the address lists, and the parameter file mapped to and from the
// controls.
#include "app/tarvel_dlg.h"

#include "app/settings_dlg.h"
#include "config/stored_settings.h"

#include "desktop/message_box.h"
#include "desktop/shell.h"

namespace {

// Without the parameter file the installation is broken: the program says so and ends with the
// exit code for it. True when the file is there.
bool ParameterFileThere() {
    if (ParameterFileExists(kParameterFilePath))
        return true;
    ShowError(kMissingParameterFileMessage);
    PostQuitMessage(kMissingParameterFileExitCode);
    return false;
}

// A save that did not reach the file is said; the old file is intact and the settings still hold
// for this session.
void SayIfNotSaved(std::error_code error) {
    if (error)
        ShowError(SaveFailureMessage(kParameterFilePath, error));
}

} // namespace

void CTarvelDlg::FillLocalAddresses() {
    const std::optional<std::vector<std::string>> addresses = m_enumerateAddresses();
    if (!addresses) {
        ShowError(kAddressListFailedMessage);
        return;
    }
    // Inserting at a position keeps the system's order although both lists sort.
    int index = 0;
    for (const std::string& address : *addresses) {
        m_clientAddressCombo.insertItem(index, QString::fromStdString(address));
        m_serverAddressCombo.insertItem(index, QString::fromStdString(address));
        ++index;
    }
    if (!addresses->empty()) {
        m_clientAddressCombo.setCurrentIndex(0);
        m_serverAddressCombo.setCurrentIndex(0);
    }
}

Parameters CTarvelDlg::ParametersFromControls() const {
    Parameters parameters;
    parameters.clientToServer = m_clientToServerRadio.isChecked();
    parameters.udp = m_udpRadio.isChecked();
    parameters.clientAddress = m_clientAddressCombo.currentText().toStdString();
    // The port members are unsigned; the file and the endpoints keep them signed.
    parameters.clientPort = static_cast<std::int32_t>(m_clientPort);
    parameters.serverAddress = m_serverAddressCombo.currentText().toStdString();
    parameters.serverPort = static_cast<std::int32_t>(m_serverPort);
    return parameters;
}

void CTarvelDlg::ShowParameters(const Parameters& parameters) {
    // Each pair is one exclusive group: checking one button clears the other, and raises no click.
    (parameters.clientToServer ? m_clientToServerRadio : m_serverToClientRadio).setChecked(true);
    (parameters.udp ? m_udpRadio : m_tcpRadio).setChecked(true);
    // A saved address need not be one of the list's entries; setting the text raises no change.
    m_clientAddressCombo.setEditText(QString::fromStdString(parameters.clientAddress));
    m_clientPort = static_cast<std::uint32_t>(parameters.clientPort);
    m_serverAddressCombo.setEditText(QString::fromStdString(parameters.serverAddress));
    m_serverPort = static_cast<std::uint32_t>(parameters.serverPort);
}

void CTarvelDlg::LoadParameters() {
    if (!ParameterFileThere())
        return;
    // A file that cannot be read holds nothing saved, as an empty one.
    std::error_code unreadable;
    const StoredSettings stored =
        ReadStoredSettings(kParameterFilePath, unreadable).value_or(StoredSettings{});
    m_forwarding = stored.forwarding;
    // A refused port has shown its message already; loading goes on regardless.
    UpdateData(true);
    // A file without a saved pair gets the current settings.
    const std::optional<Parameters>& saved = stored.parameters;
    if (!saved) {
        SaveParameters();
        return;
    }
    ShowParameters(*saved);
    m_saved = *saved;
    // The edits show the ports as loaded; their range is tested only at the next exchange.
    UpdateData(false);
}

void CTarvelDlg::SaveParameters() {
    // The callers have exchanged the ports: the members hold what the edits show.
    m_saved = ParametersFromControls();
    if (ParameterFileThere())
        SayIfNotSaved(WriteParameters(kParameterFilePath, m_saved));
    UpdateData(false);
}

void CTarvelDlg::OnSettings() {
    // While a relay runs the settings are only shown: the relay keeps what Run gave it.
    const bool running = m_stopButton.isEnabled();
    CSettingsDlg settings(m_forwarding, running);
    if (settings.exec() != QDialog::Accepted || running)
        return;
    m_forwarding = settings.Settings();
    if (ParameterFileThere())
        SayIfNotSaved(WriteForwardingSettings(kParameterFilePath, m_forwarding));
}
