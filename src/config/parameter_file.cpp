#include "config/parameter_file.h"

#include "config/settings_keys.h"

#include "config/profile.h"
#include "platform/error_reason.h"

bool ParameterFileExists(const std::filesystem::path& file) {
    // A directory, pipe, socket or device of that name holds no settings, and reading a pipe or
    // device could wait for ever.
    std::error_code error;
    return std::filesystem::is_regular_file(file, error);
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
