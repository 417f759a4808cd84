#pragma once

// Maps the face names the program asks for onto installed fonts: "宋体" onto the Song CJK face
// and "MS Shell Dlg" onto the dialog font. Called once after the application object exists.
void InstallFontSubstitutions();
