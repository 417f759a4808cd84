// The dialog as the parameter file and the address list see it: radio buttons, combo texts and
// port members by control id, its message box and its quit request.
#include "app/tarvel_dlg.h"

#include "config/parameter_file.h"
#include "platform/message_box.h"
#include "platform/shell.h"
#include "resource.h"

#include <QButtonGroup>

namespace {

QString FromLocal(const std::string& text) {
    return QString::fromUtf8(text);
}

} // namespace

void CTarvelDlg::FillLocalAddresses() {
    ::FillLocalAddresses(*this, m_enumerateAddresses);
}

void CTarvelDlg::LoadParameters() {
    ::LoadParameters(*this, kParameterFilePath);
}

void CTarvelDlg::SaveParameters() {
    ::SaveParameters(*this, kParameterFilePath);
}

int CTarvelDlg::GetCheck(int controlId) const {
    const auto* button = qobject_cast<const QAbstractButton*>(GetDlgItem(controlId));
    return button && button->isChecked() ? 1 : 0;
}

void CTarvelDlg::SetCheck(int controlId, int state) {
    auto* button = qobject_cast<QAbstractButton*>(GetDlgItem(controlId));
    if (!button)
        return;
    // The checked button of an exclusive group would refuse to be cleared on its own.
    QButtonGroup* group = button->group();
    const bool exclusive = group && group->exclusive();
    if (exclusive)
        group->setExclusive(false);
    button->setChecked(state == 1);
    if (exclusive)
        group->setExclusive(true);
}

std::string CTarvelDlg::GetComboText(int controlId) const {
    const auto* combo = qobject_cast<const QComboBox*>(GetDlgItem(controlId));
    return combo ? combo->currentText().toStdString() : std::string();
}

void CTarvelDlg::SetComboText(int controlId, const std::string& text) {
    if (auto* combo = qobject_cast<QComboBox*>(GetDlgItem(controlId)))
        combo->setEditText(FromLocal(text));
}

std::uint32_t CTarvelDlg::GetPortMember(int editId) const {
    return editId == IDC_CLIENT_PORT ? m_clientPort : m_serverPort;
}

void CTarvelDlg::SetPortMember(int editId, std::uint32_t value) {
    (editId == IDC_CLIENT_PORT ? m_clientPort : m_serverPort) = value;
}

void CTarvelDlg::MessageBox(const std::string& text, const std::string& caption, MessageIcon icon) {
    ShowMessage(FromLocal(text), FromLocal(caption), icon);
}

void CTarvelDlg::PostQuitMessage(int exitCode) {
    ::PostQuitMessage(exitCode);
}

void CTarvelDlg::InsertString(int comboId, int index, const std::string& text) {
    if (auto* combo = qobject_cast<QComboBox*>(GetDlgItem(comboId)))
        combo->insertItem(index, FromLocal(text));
}

void CTarvelDlg::SetCurSel(int comboId, int index) {
    if (auto* combo = qobject_cast<QComboBox*>(GetDlgItem(comboId)))
        combo->setCurrentIndex(index);
}
