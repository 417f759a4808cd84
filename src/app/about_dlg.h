#pragma once

#include <QDialog>

// The about box: icon, name and version, and an OK button that closes it.
class CAboutDlg : public QDialog {
public:
    CAboutDlg();
};
