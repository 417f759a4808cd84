#pragma once

#include "config/parameter_dialog.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

// Where the installation puts the parameter file, relative to the current directory.
inline constexpr char kParameterFilePath[] = "InfoFile/ParameterSet.inf";

// Exit code the program ends with when the parameter file is missing.
inline constexpr int kMissingParameterFileExitCode = 18;

// The settings a file holds once the dialog has saved them.
struct SavedParameters {
    bool clientToServer = false; // otherwise server to client
    bool udp = false;            // otherwise TCP
    std::string clientAddress;
    std::int32_t clientPort = 0;
    std::string serverAddress;
    std::int32_t serverPort = 0;
};

// Whether the parameter file is there.
bool ParameterFileExists(const std::filesystem::path& file);

// The file's saved settings, read by the file's rules; none when it holds no saved pair.
std::optional<SavedParameters> ReadSavedParameters(const std::filesystem::path& file);

// The missing-file message the program ends with.
inline constexpr char kMissingParameterFileMessage[] = "没有找到相关信息文件,请重新安装本软件!";

// Restores the saved mode, protocol, addresses and ports into the dialog and into
// g_relaySettings. A file without saved settings gets the dialog's current ones instead.
void LoadParameters(ParameterDialog& dialog, const std::filesystem::path& file);

// Writes the dialog's mode, protocol, addresses and ports into the file and into g_relaySettings.
void SaveParameters(ParameterDialog& dialog, const std::filesystem::path& file);
