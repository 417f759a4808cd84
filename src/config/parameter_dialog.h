#pragma once

#include "platform/message_icon.h"

#include <cstdint>
#include <string>

// What the parameter routines need from the main dialog. Controls are addressed by their dialog
// IDs, as the dialog itself addresses them.
class ParameterDialog {
public:
    virtual ~ParameterDialog() = default;

    // true: control texts into the members, with validation (false when a port is refused);
    // false: members into the controls.
    virtual bool UpdateData(bool saveAndValidate) = 0;
    // Check state of a radio button: 1 selected, 0 not.
    virtual int GetCheck(int controlId) const = 0;
    // Sets the check state without raising the dialog's click handling.
    virtual void SetCheck(int controlId, int state) = 0;
    // Text of a combo box's field.
    virtual std::string GetComboText(int controlId) const = 0;
    // Sets a combo box's field text without raising the dialog's change handling; the text need
    // not be one of the list's entries.
    virtual void SetComboText(int controlId, const std::string& text) = 0;
    // The port member exchanged with the port edit `editId`.
    virtual std::uint32_t GetPortMember(int editId) const = 0;
    virtual void SetPortMember(int editId, std::uint32_t value) = 0;
    // A modal message box without owner window.
    virtual void MessageBox(const std::string& text, const std::string& caption,
                            MessageIcon icon) = 0;
    // Asks the dialog's message loop to end the program with `exitCode` once the caller is done.
    virtual void PostQuitMessage(int exitCode) = 0;
};

// The dialog IDs the parameter routines and the address list use.
namespace parameter_controls {
inline constexpr int kClientToServerRadio = 1000;
inline constexpr int kServerToClientRadio = 1001;
inline constexpr int kClientAddressCombo = 1004;
inline constexpr int kServerAddressCombo = 1005;
inline constexpr int kUdpRadio = 1015;
inline constexpr int kTcpRadio = 1018;
inline constexpr int kClientPortEdit = 1022; // exchanged with m_clientPort
inline constexpr int kServerPortEdit = 1024; // exchanged with m_serverPort
} // namespace parameter_controls
