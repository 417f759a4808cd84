#include "config/forwarding_settings.h"
#include "config/stored_settings.h"

#include "file_contents.h"

#include <arpa/inet.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace {

struct SourcesCase {
    const char* text;
    // The prefixes as they read back, or null when the text is refused.
    const char* allowed;
};

// The allowed sources as the operator may write them: addresses and prefixes separated by
// commas, read strictly (no octal, no host names), prefix lengths within the family.
TEST(ParseAllowedSources, Table) {
    const SourcesCase cases[] = {
        {"", "任何来源"},
        {"  ", "任何来源"},
        {"10.1.2.3,", "10.1.2.3"},
        {"10.1.2.3", "10.1.2.3"},
        {"10.1.2.0/24", "10.1.2.0/24"},
        {" 10.1.2.0/24 ,127.0.0.9 ", "10.1.2.0/24, 127.0.0.9"},
        {"0.0.0.0/0", "0.0.0.0/0"},
        {"10.1.2.3/32", "10.1.2.3"},
        {"2001:db8::/32", "2001:db8::/32"},
        {"10.1.2/24", nullptr},
        {"10.1.2.0/33", nullptr},
        {"10.1.2.0/", nullptr},
        {"10.1.2.0/+8", nullptr},
        {"10.1.2.0/8x", nullptr},
        {"010.1.2.3", nullptr},
        {"gateway.example", nullptr},
        {"10.1.2.3 10.1.2.4", nullptr},
    };
    for (const SourcesCase& c : cases) {
        SCOPED_TRACE(c.text);
        std::string problem;
        const std::optional<AllowedSources> allowed = ParseAllowedSources(c.text, problem);
        ASSERT_EQ(allowed.has_value(), c.allowed != nullptr) << problem;
        if (allowed) {
            EXPECT_EQ(AllowedSourcesText(*allowed), c.allowed);
        } else {
            EXPECT_EQ(problem.rfind("允许的来源中有无效的地址或前缀: ", 0), 0U) << problem;
        }
    }
}

// A list fails closed: one that is not blank but names nobody, or that names IPv4 peers in a form
// no peer ever comes in, is refused with what is wrong, never read as anyone (or nobody).
TEST(ParseAllowedSources, ListsThatWouldMeanSomethingElseAreRefused) {
    const struct {
        const char* text;
        std::string problem;
    } cases[] = {
        {",", "允许的来源中没有地址或前缀: ,"},
        {" , , ", "允许的来源中没有地址或前缀:  , , "},
        {"; ;", "允许的来源中有无效的地址或前缀: ; ;"},
        {"::ffff:10.0.0.1",
         "允许的来源中有 IPv4 映射地址: ::ffff:10.0.0.1; 请直接写 IPv4 地址 10.0.0.1"},
        {"10.9.9.9, ::FFFF:10.1.2.0/120",
         "允许的来源中有 IPv4 映射地址: ::FFFF:10.1.2.0/120; 请直接写 IPv4 地址 10.1.2.0/24"},
        {"::ffff:0:0/80", "允许的来源中有 IPv4 映射地址: ::ffff:0:0/80; 请直接写 IPv4 地址"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        std::string problem;
        EXPECT_FALSE(ParseAllowedSources(c.text, problem).has_value());
        EXPECT_EQ(problem, c.problem);
    }
}

// However long a list is, it is taken whole: a 2 000-character list whose last entry is one
// address admits that address and no other of its network.
TEST(ParseAllowedSources, ALongListIsTakenWhole) {
    std::string text;
    while (text.size() < 2000) {
        text += "10.0.0.1, ";
    }
    text += "127.0.0.2/32";
    std::string problem;
    const std::optional<AllowedSources> allowed = ParseAllowedSources(text, problem);
    ASSERT_TRUE(allowed.has_value()) << problem;
    auto at = [](const char* address) {
        sockaddr_in v4{};
        v4.sin_family = AF_INET;
        ::inet_pton(AF_INET, address, &v4.sin_addr);
        return Endpoint(v4);
    };
    EXPECT_TRUE(allowed->Allows(at("127.0.0.2")));
    EXPECT_TRUE(allowed->Allows(at("10.0.0.1")));
    for (const char* stranger : {"127.0.0.3", "127.255.0.1", "127.0.0.20"}) {
        EXPECT_FALSE(allowed->Allows(at(stranger))) << stranger;
    }
    EXPECT_TRUE(NormalizedSources(text).ends_with(",127.0.0.2/32"));
}

TEST(AllowedSources, PrefixesMatchTheirLeadingBitsOnly) {
    std::string problem;
    const AllowedSources allowed = *ParseAllowedSources("10.1.2.0/23,127.0.0.9", problem);
    auto at = [](const char* address) {
        sockaddr_in v4{};
        v4.sin_family = AF_INET;
        ::inet_pton(AF_INET, address, &v4.sin_addr);
        return Endpoint(v4);
    };
    EXPECT_TRUE(allowed.Allows(at("10.1.2.0")));
    EXPECT_TRUE(allowed.Allows(at("10.1.3.255")));
    EXPECT_FALSE(allowed.Allows(at("10.1.4.0")));
    EXPECT_FALSE(allowed.Allows(at("10.1.1.255")));
    EXPECT_TRUE(allowed.Allows(at("127.0.0.9")));
    EXPECT_FALSE(allowed.Allows(at("127.0.0.8")));
    EXPECT_TRUE(AllowedSources().Allows(at("192.0.2.1")));
}

// A file without the keys means text, anyone and the dialog's narrow port range; the mode's letter
// case does not matter and a value that is no mode means text; only "1" widens the port range.
// Writing adds exactly the three keys and keeps every other byte.
TEST(ForwardingSettingsFile, ReadAndWrite) {
    const std::filesystem::path file =
        std::filesystem::path(testing::TempDir()) / "forwarding-settings.inf";
    const std::string original = "; comment\r\n[IP]\r\nNumber=1\r\n";
    WriteFile(file, original);
    EXPECT_EQ(SettingsFromText(ReadFile(file)).forwarding, ForwardingSettings{});

    EXPECT_FALSE(
        WriteForwardingSettings(file, {ForwardMode::Bytes, " 10.1.2.0/24 , 10.9.9.9", true}));
    EXPECT_EQ(ReadFile(file), original + "[Forward]\r\nMode=Bytes\r\n[Allow]\r\nSources=10.1.2.0/"
                                         "24,10.9.9.9\r\n[Dialog]\r\nWidePorts=1\r\n");
    EXPECT_EQ(SettingsFromText(ReadFile(file)).forwarding,
              (ForwardingSettings{ForwardMode::Bytes, "10.1.2.0/24,10.9.9.9", true}));
    EXPECT_FALSE(WriteForwardingSettings(file, {ForwardMode::Text, "", false}));
    EXPECT_EQ(ReadFile(file), original + "[Forward]\r\nMode=Text\r\n[Allow]\r\nSources=\r\n"
                                         "[Dialog]\r\nWidePorts=0\r\n");
    EXPECT_EQ(SettingsFromText(ReadFile(file)).forwarding, ForwardingSettings{});
    for (const char* notOne : {"2", "yes", "01", ""}) {
        WriteFile(file, "[Dialog]\nWidePorts=" + std::string(notOne) + "\n");
        EXPECT_FALSE(SettingsFromText(ReadFile(file)).forwarding.widePorts) << notOne;
    }

    for (const auto& [value, mode] :
         std::vector<std::pair<std::string, ForwardMode>>{{"bytes", ForwardMode::Bytes},
                                                          {"TEXT", ForwardMode::Text},
                                                          {"raw", ForwardMode::Text}}) {
        WriteFile(file, "[Forward]\nMode=" + value + "\n");
        EXPECT_EQ(SettingsFromText(ReadFile(file)).forwarding.forward, mode) << value;
    }
    std::filesystem::remove(file);
}

} // namespace
