#pragma once

#include "config/parameter_dialog.h"

#include <filesystem>

// Where the installation puts the parameter file, relative to the current directory.
inline constexpr char kParameterFilePath[] = "InfoFile/ParameterSet.inf";

// Exit code the program ends with when the parameter file is missing.
inline constexpr int kMissingParameterFileExitCode = 18;

// Restores the saved mode, protocol, addresses and ports into the dialog and into
// g_relaySettings. A file without saved settings gets the dialog's current ones instead.
void LoadParameters(ParameterDialog& dialog, const std::filesystem::path& file);

// Writes the dialog's mode, protocol, addresses and ports into the file and into g_relaySettings.
void SaveParameters(ParameterDialog& dialog, const std::filesystem::path& file);
