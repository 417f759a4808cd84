#include "config/parameter_file.h"

#include "platform/profile.h"
#include "relay/relay_state.h"

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <system_error>

namespace {

using namespace parameter_controls;

// The names are the file's own, letter case included.
constexpr char kModeSection[] = "ClientOrServer";
constexpr char kProtocolSection[] = "UDpOrTCp";
constexpr char kCountSection[] = "IP";
constexpr char kClientAddressSection[] = "Client1";
constexpr char kClientPortSection[] = "ClientPost1";
constexpr char kServerAddressSection[] = "Server1";
constexpr char kServerPortSection[] = "ServerPost1";
constexpr char kNumberKey[] = "Number";
constexpr char kAddressKey[] = "IP";
constexpr char kPortKey[] = "Post";

void ReportMissingFile(ParameterDialog& dialog) {
    dialog.MessageBox(kMissingParameterFileMessage, "错误", MessageIcon::Error);
    dialog.PostQuitMessage(kMissingParameterFileExitCode);
}

// As atoi reads a number: blanks, a sign, digits up to the first other character. A value beyond
// the int range is clamped instead of being left undefined.
int ToNumber(const std::string& text) {
    const long value = std::strtol(text.c_str(), nullptr, 10);
    if (value > INT_MAX) {
        return INT_MAX;
    }
    if (value < INT_MIN) {
        return INT_MIN;
    }
    return static_cast<int>(value);
}

int ReadNumber(const char* section, const char* key, const std::filesystem::path& file) {
    return ToNumber(GetPrivateProfileString(section, key, file));
}

// Both radios of a pair are set: each starts its own group, so nothing links them.
void SelectOneOf(ParameterDialog& dialog, bool first, int firstId, int secondId) {
    dialog.SetCheck(firstId, first ? 1 : 0);
    dialog.SetCheck(secondId, first ? 0 : 1);
}

} // namespace

// Only a regular file (symbolic links followed) counts: a directory, pipe, socket or device of
// that name holds no settings, and reading a pipe or device could wait for ever.
bool ParameterFileExists(const std::filesystem::path& file) {
    std::error_code error;
    return std::filesystem::is_regular_file(file, error);
}

std::optional<SavedParameters> ReadSavedParameters(const std::filesystem::path& file) {
    // Only a file that says it holds one saved pair is read.
    if (ReadNumber(kCountSection, kNumberKey, file) != 1) {
        return std::nullopt;
    }
    SavedParameters saved;
    saved.clientToServer = ReadNumber(kModeSection, kNumberKey, file) == 1;
    saved.udp = ReadNumber(kProtocolSection, kNumberKey, file) == 1;
    saved.clientAddress = GetPrivateProfileString(kClientAddressSection, kAddressKey, file);
    saved.clientPort = ReadNumber(kClientPortSection, kPortKey, file);
    saved.serverAddress = GetPrivateProfileString(kServerAddressSection, kAddressKey, file);
    saved.serverPort = ReadNumber(kServerPortSection, kPortKey, file);
    return saved;
}

void LoadParameters(ParameterDialog& dialog, const std::filesystem::path& file) {
    if (!ParameterFileExists(file)) {
        ReportMissingFile(dialog);
        return;
    }
    // A refused port has shown its message already; loading goes on regardless.
    dialog.UpdateData(true);

    // A file without a saved pair gets the current settings.
    const std::optional<SavedParameters> saved = ReadSavedParameters(file);
    if (!saved) {
        SaveParameters(dialog, file);
        return;
    }

    // Mode and protocol
    SelectOneOf(dialog, saved->clientToServer, kClientToServerRadio, kServerToClientRadio);
    SelectOneOf(dialog, saved->udp, kUdpRadio, kTcpRadio);

    // Client endpoint
    g_relaySettings.SetClientAddress(saved->clientAddress);
    dialog.SetComboText(kClientAddressCombo, saved->clientAddress);
    dialog.SetPortMember(kClientPortEdit, static_cast<std::uint32_t>(saved->clientPort));
    g_relaySettings.SetClientPort(saved->clientPort);

    // Server endpoint
    g_relaySettings.SetServerAddress(saved->serverAddress);
    dialog.SetComboText(kServerAddressCombo, saved->serverAddress);
    dialog.SetPortMember(kServerPortEdit, static_cast<std::uint32_t>(saved->serverPort));
    g_relaySettings.SetServerPort(saved->serverPort);

    // The edits show the ports as loaded; their range is tested only at the next exchange.
    dialog.UpdateData(false);
}

void SaveParameters(ParameterDialog& dialog, const std::filesystem::path& file) {
    g_relaySettings.SetClientAddress(dialog.GetComboText(kClientAddressCombo));
    g_relaySettings.SetServerAddress(dialog.GetComboText(kServerAddressCombo));
    // After a refused port the members keep what the exchange left in them; they are saved so.
    dialog.UpdateData(true);

    if (!ParameterFileExists(file)) {
        ReportMissingFile(dialog);
    } else {
        const std::string mode = std::to_string(dialog.GetCheck(kClientToServerRadio));
        const std::string protocol = std::to_string(dialog.GetCheck(kUdpRadio));
        // Ports are kept unsigned in the dialog and signed in the endpoint record and the file.
        const auto clientPort = static_cast<std::int32_t>(dialog.GetPortMember(kClientPortEdit));
        const auto serverPort = static_cast<std::int32_t>(dialog.GetPortMember(kServerPortEdit));
        g_relaySettings.SetClientPort(clientPort);
        g_relaySettings.SetServerPort(serverPort);
        const RelaySettings endpoints = g_relaySettings.Get();
        // The seven keys in their order, written in one replacement of the file. A write that
        // fails (read-only file, full disk) is not reported.
        const ProfileEntry entries[] = {
            {kModeSection, kNumberKey, mode},
            {kProtocolSection, kNumberKey, protocol},
            {kCountSection, kNumberKey, "1"},
            {kClientAddressSection, kAddressKey, endpoints.clientAddress},
            {kClientPortSection, kPortKey, std::to_string(clientPort)},
            {kServerAddressSection, kAddressKey, endpoints.serverAddress},
            {kServerPortSection, kPortKey, std::to_string(serverPort)},
        };
        WritePrivateProfileStrings(entries, file);
    }

    dialog.UpdateData(false);
}
