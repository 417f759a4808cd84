#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>

// Where the installation puts the parameter file, relative to the current directory.
inline constexpr char kParameterFilePath[] = "InfoFile/ParameterSet.inf";

// Exit code the program ends with when the parameter file is missing, and what it says then.
inline constexpr int kMissingParameterFileExitCode = 18;
inline constexpr char kMissingParameterFileMessage[] = "没有找到相关信息文件,请重新安装本软件!";

// What the parameter file holds of the endpoints: mode, protocol and both endpoints as the operator
// wrote them (read with the rest of the file by ReadStoredSettings).
struct Parameters {
    bool clientToServer = false; // otherwise server to client
    bool udp = false;            // otherwise TCP
    std::string clientAddress;
    std::int32_t clientPort = 0;
    std::string serverAddress;
    std::int32_t serverPort = 0;

    friend bool operator==(const Parameters&, const Parameters&) = default;
};

// Whether the parameter file is there: only a regular file (symbolic links followed) counts.
bool ParameterFileExists(const std::filesystem::path& file);

// Writes the seven keys in their order into the file in one replacement, every other byte of the
// file kept. Empty when they reached the file, else why not; the old file is intact then.
std::error_code WriteParameters(const std::filesystem::path& file, const Parameters& parameters);

// What the operator reads when a save failed: the file's full path and the reason, as in
// "无法保存参数文件 /home/a/InfoFile/ParameterSet.inf: 只读文件系统".
std::string SaveFailureMessage(const std::filesystem::path& file, std::error_code error);
