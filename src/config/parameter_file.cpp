#include "config/parameter_file.h"

#include "platform/error_reason.h"
#include "platform/profile.h"

#include <climits>
#include <cstdlib>

namespace {

// The names are the file's own, letter case included.
constexpr char kModeSection[] = "ClientOrServer";
constexpr char kProtocolSection[] = "UDpOrTCp";
constexpr char kCountSection[] = "IP";
constexpr char kClientAddressSection[] = "Client1";
constexpr char kClientPortSection[] = "ClientPost1";
constexpr char kServerAddressSection[] = "Server1";
constexpr char kServerPortSection[] = "ServerPost1";
constexpr char kNumberKey[] = "Number";
constexpr char kAddressKey[] = "IP";
constexpr char kPortKey[] = "Post";

// As atoi reads a number: blanks, a sign, digits up to the first other character. A value beyond
// the int range is clamped instead of being left undefined.
int ToNumber(const std::string& text) {
    const long value = std::strtol(text.c_str(), nullptr, 10);
    if (value > INT_MAX) {
        return INT_MAX;
    }
    if (value < INT_MIN) {
        return INT_MIN;
    }
    return static_cast<int>(value);
}

int ReadNumber(const char* section, const char* key, const std::filesystem::path& file) {
    return ToNumber(GetPrivateProfileString(section, key, file));
}

} // namespace

bool ParameterFileExists(const std::filesystem::path& file) {
    // A directory, pipe, socket or device of that name holds no settings, and reading a pipe or
    // device could wait for ever.
    std::error_code error;
    return std::filesystem::is_regular_file(file, error);
}

std::optional<Parameters> ReadParameters(const std::filesystem::path& file) {
    // Only a file that says it holds one saved pair is read.
    if (ReadNumber(kCountSection, kNumberKey, file) != 1) {
        return std::nullopt;
    }
    Parameters saved;
    saved.clientToServer = ReadNumber(kModeSection, kNumberKey, file) == 1;
    saved.udp = ReadNumber(kProtocolSection, kNumberKey, file) == 1;
    saved.clientAddress = GetPrivateProfileString(kClientAddressSection, kAddressKey, file);
    saved.clientPort = ReadNumber(kClientPortSection, kPortKey, file);
    saved.serverAddress = GetPrivateProfileString(kServerAddressSection, kAddressKey, file);
    saved.serverPort = ReadNumber(kServerPortSection, kPortKey, file);
    return saved;
}

std::error_code WriteParameters(const std::filesystem::path& file, const Parameters& parameters) {
    const ProfileEntry entries[] = {
        {kModeSection, kNumberKey, parameters.clientToServer ? "1" : "0"},
        {kProtocolSection, kNumberKey, parameters.udp ? "1" : "0"},
        {kCountSection, kNumberKey, "1"},
        {kClientAddressSection, kAddressKey, parameters.clientAddress},
        {kClientPortSection, kPortKey, std::to_string(parameters.clientPort)},
        {kServerAddressSection, kAddressKey, parameters.serverAddress},
        {kServerPortSection, kPortKey, std::to_string(parameters.serverPort)},
    };
    return WriteProfileEntries(entries, file);
}

std::string SaveFailureMessage(const std::filesystem::path& file, std::error_code error) {
    std::error_code ignored;
    const std::filesystem::path full = std::filesystem::absolute(file, ignored);
    return "无法保存参数文件 " + (full.empty() ? file : full).string() + ": " +
           ErrorReasonText(error.value());
}
