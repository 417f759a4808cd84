#pragma once

#include "config/forwarding_settings.h"
#include "controls/button_xp.h"
#include "desktop/dialog_builder.h"

#include <QCheckBox>
#include <QDialog>
#include <QLineEdit>
#include <QRadioButton>

// 设置: how the relay forwards (text or bytes), which sources it allows, and whether the dialog
// takes ports up to 65535. 确定 accepts only settings that can be used; a bad source entry is
// named in a message and the dialog stays open. While a relay runs the settings are shown
// read-only.
class CSettingsDlg : public QDialog {
    Q_OBJECT
public:
    CSettingsDlg(const ForwardingSettings& settings, bool readOnly);

    // What 确定 accepted (the sources as they are stored).
    const ForwardingSettings& Settings() const { return m_settings; }

    QWidget* GetDlgItem(int id) const { return m_items.GetDlgItem(id); }
    void OnOK();

private:
    ForwardingSettings m_settings;
    const bool m_readOnly;
    QRadioButton m_textRadio;
    QRadioButton m_bytesRadio;
    QLineEdit m_sourcesEdit;
    QCheckBox m_widePortsCheck;
    CButtonXP m_okButton;
    CButtonXP m_cancelButton;
    DialogItems m_items;
};
