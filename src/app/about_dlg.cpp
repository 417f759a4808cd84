#include "app/about_dlg.h"

#include "desktop/dialog_builder.h"
#include "dialog_templates.h"
#include "pictures.h"
#include "resource.h"

#include <QPushButton>

CAboutDlg::CAboutDlg() {
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    const DialogItems items =
        BuildDialogFromTemplate(*this, LoadDialogTemplate(IDD_ABOUTBOX), {}, LoadPicture);
    auto* ok = qobject_cast<QPushButton*>(items.GetDlgItem(IDOK));
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    ok->setFocus(Qt::OtherFocusReason);
}
