#include "app/settings_dlg.h"

#include "desktop/message_box.h"
#include "dialog_templates.h"
#include "pictures.h"
#include "resource.h"

#include <QLabel>

CSettingsDlg::CSettingsDlg(const ForwardingSettings& settings, bool readOnly)
    : m_settings(settings), m_readOnly(readOnly) {
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    m_items = BuildDialogFromTemplate(*this, LoadDialogTemplate(IDD_SETTINGS),
                                      {{IDC_FORWARD_TEXT, &m_textRadio},
                                       {IDC_FORWARD_BYTES, &m_bytesRadio},
                                       {IDC_ALLOWED_SOURCES, &m_sourcesEdit},
                                       {IDC_WIDE_PORTS, &m_widePortsCheck},
                                       {IDOK, &m_okButton},
                                       {IDCANCEL, &m_cancelButton}},
                                      LoadPicture);
    m_okButton.PreSubclassWindow();
    m_cancelButton.PreSubclassWindow();
    m_sourcesEdit.setAccessibleName(QStringLiteral("允许的来源"));

    (settings.forward == ForwardMode::Bytes ? m_bytesRadio : m_textRadio).setChecked(true);
    m_sourcesEdit.setText(QString::fromStdString(settings.allowedSources));
    m_widePortsCheck.setChecked(settings.widePorts);
    if (readOnly) {
        for (QWidget* control :
             {static_cast<QWidget*>(&m_textRadio), static_cast<QWidget*>(&m_bytesRadio),
              static_cast<QWidget*>(&m_sourcesEdit), static_cast<QWidget*>(&m_widePortsCheck)})
            control->setEnabled(false);
        qobject_cast<QLabel*>(GetDlgItem(IDC_SETTINGS_NOTE))
            ->setText(QStringLiteral("正在转发, 只能查看;\n停止后可以修改。"));
    }

    connect(&m_okButton, &QPushButton::clicked, this, &CSettingsDlg::OnOK);
    connect(&m_cancelButton, &QPushButton::clicked, this, &QDialog::reject);
    m_okButton.setFocus(Qt::OtherFocusReason);
}

void CSettingsDlg::OnOK() {
    if (m_readOnly) {
        reject();
        return;
    }
    const std::string sources = m_sourcesEdit.text().toStdString();
    std::string problem;
    if (!ParseAllowedSources(sources, problem)) {
        ShowMessage(QString::fromStdString(problem), QStringLiteral("错误"), MessageIcon::Error);
        m_sourcesEdit.setFocus(Qt::OtherFocusReason);
        return;
    }
    m_settings.forward = m_bytesRadio.isChecked() ? ForwardMode::Bytes : ForwardMode::Text;
    m_settings.allowedSources = NormalizedSources(sources);
    m_settings.widePorts = m_widePortsCheck.isChecked();
    accept();
}
