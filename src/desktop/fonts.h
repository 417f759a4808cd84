#pragma once

#include <QFont>

// The dialog's look and the fonts the program draws its own controls with.

// The toolkit's classic style, with the face names the program asks for mapped onto installed
// fonts ("宋体" onto the Song CJK face, "MS Shell Dlg" onto the dialog font). Called once after
// the application object exists.
void InstallDialogLook();

// Every font here draws with hard edges, as the controls' pixel rules expect.
// The captions of the flat push buttons: "宋体", 12 pixels.
QFont ButtonFont();
// The status lamps' digits: "宋体", 12 points.
QFont LampFont();
// The traffic graph's status line: thin "Arial", 10 pixels.
QFont GraphFont();
