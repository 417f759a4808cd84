#pragma once

#include <QFont>

// Maps the face names the program asks for onto installed fonts: "宋体" onto the Song CJK face and
// "MS Shell Dlg" onto the dialog font. Called once after the application object exists.
void InstallFontSubstitutions();

// The toolkit's classic style with the fonts above: the closest to the dialog's own look.
void InstallDialogLook();

// The dialog font of the templates: "MS Shell Dlg", 9 points.
QFont DialogFont();
