#pragma once

#include <QFont>

// The closest the toolkit comes to the dialog's own look: its classic style, with the face names
// the program asks for mapped onto installed fonts ("宋体" onto the Song CJK face, "MS Shell Dlg"
// onto the dialog font). Called once after the application object exists.
void InstallDialogLook();

// The dialog font of the templates: "MS Shell Dlg", 9 points.
QFont DialogFont();
