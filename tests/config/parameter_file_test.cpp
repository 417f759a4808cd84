#include "config/parameter_file.h"
#include "config/stored_settings.h"

#include "fifo_watchdog.h"
#include "file_contents.h"
#include "save_failures.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <iterator>
#include <optional>
#include <random>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace fs = std::filesystem;

void PrintTo(const Parameters& p, std::ostream* out) {
    *out << (p.clientToServer ? "c2s " : "s2c ") << (p.udp ? "udp " : "tcp ") << p.clientAddress
         << ":" << p.clientPort << " " << p.serverAddress << ":" << p.serverPort;
}

namespace {

// The endpoints a file holds, read as every program reads them.
std::optional<Parameters> SavedParameters(const fs::path& file) {
    std::error_code error;
    const std::optional<StoredSettings> stored = ReadStoredSettings(file, error);
    return stored ? stored->parameters : std::nullopt;
}

// The file as the program writes it: seven sections in this order, one key each.
std::string FullFile(const std::string& mode, const std::string& protocol, const std::string& count,
                     const std::string& clientAddress, const std::string& clientPort,
                     const std::string& serverAddress, const std::string& serverPort) {
    return "[ClientOrServer]\nNumber=" + mode + "\n[UDpOrTCp]\nNumber=" + protocol +
           "\n[IP]\nNumber=" + count + "\n[Client1]\nIP=" + clientAddress +
           "\n[ClientPost1]\nPost=" + clientPort + "\n[Server1]\nIP=" + serverAddress +
           "\n[ServerPost1]\nPost=" + serverPort + "\n";
}

const std::string kExampleFile =
    "[ClientOrServer]\nNumber=1\n[UDpOrTCp]\nNumber=0\n[IP]\nNumber=1\n[Client1]\n"
    "IP=192.168.1.10\n[ClientPost1]\nPost=5000\n[Server1]\nIP=10.0.0.2\n[ServerPost1]\n"
    "Post=6000\n";

const std::string kCrlfFile = "; Tarvel settings\r\n\r\n[ClientOrServer]\r\nNumber = 1\r\n\r\n"
                              "; protocol\r\n[UDpOrTCp]\r\nNumber = 1\r\n[IP]\r\n Number = 1 \r\n"
                              "[Client1]\r\nIP = 192.168.1.10\r\n[ClientPost1]\r\nPost = 5000\r\n"
                              "[Server1]\r\nIP\t=\t10.0.0.2\r\n[ServerPost1]\r\nPost = 6000\r\n";

// A scratch folder holding InfoFile/; the current directory is put back afterwards.
class ParameterFileTest : public testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::path(testing::TempDir()) / "params-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        m_root = pattern;
        fs::create_directory(m_root / "InfoFile");
        m_file = m_root / "InfoFile" / "ParameterSet.inf";
        m_previousDirectory = fs::current_path();
    }
    void TearDown() override {
        fs::current_path(m_previousDirectory);
        savefailure::Restore(m_root / "InfoFile");
        std::error_code ignored;
        fs::permissions(m_file, fs::perms::owner_write, fs::perm_options::add, ignored);
        fs::remove_all(m_root, ignored);
    }

    fs::path m_root;
    fs::path m_file;
    fs::path m_previousDirectory;
};

struct ReadCase {
    const char* name;
    std::string file;
    std::optional<Parameters> read; // none: no saved settings
};

void PrintTo(const ReadCase& c, std::ostream* out) {
    *out << c.name;
}

class ReadParametersTable : public ParameterFileTest,
                            public testing::WithParamInterface<ReadCase> {};

TEST_P(ReadParametersTable, ReadsByTheFilesRules) {
    const ReadCase& c = GetParam();
    WriteFile(m_file, c.file);
    EXPECT_EQ(SavedParameters(m_file), c.read);
    EXPECT_EQ(ReadFile(m_file), c.file) << "reading changed the file";
}

const std::string kLong300 = std::string(300, '1');
const std::string kCut254 = std::string(254, '1');

INSTANTIATE_TEST_SUITE_P(
    Files, ReadParametersTable,
    testing::Values(
        ReadCase{"EmptyFile", "", std::nullopt},
        ReadCase{"SavedCountOtherThanOne", FullFile("1", "1", "2", "1.1.1.1", "5", "2.2.2.2", "6"),
                 std::nullopt},
        ReadCase{"OnlyTheCount", "[IP]\nNumber=1\n", Parameters{}},
        ReadCase{"TheExample", kExampleFile,
                 Parameters{true, false, "192.168.1.10", 5000, "10.0.0.2", 6000}},
        ReadCase{"ServerToClientOverUdp", FullFile("0", "1", "1", "10.0.0.2", "7", "10.0.0.3", "8"),
                 Parameters{false, true, "10.0.0.2", 7, "10.0.0.3", 8}},
        ReadCase{"ModeTwoIsServerToClient", FullFile("2", "2", "1", "a", "1", "b", "2"),
                 Parameters{false, false, "a", 1, "b", 2}},
        ReadCase{"OneBetweenBlanksIsClientToServer",
                 FullFile(" 1 ", " 1 ", " 1 ", "a", " 1 ", "b", "\t2"),
                 Parameters{true, true, "a", 1, "b", 2}},
        ReadCase{"OneFollowedByLettersIsClientToServer",
                 FullFile("1abc", "1x", "1;", "a", "12ab", "b", "+34 5"),
                 Parameters{true, true, "a", 12, "b", 34}},
        ReadCase{"NegativePorts", FullFile("1", "0", "1", "a", "-1", "b", "-2"),
                 Parameters{true, false, "a", -1, "b", -2}},
        ReadCase{"PortsOutOfRangeOrNotNumbers", FullFile("1", "0", "1", "a", "20000", "b", "port"),
                 Parameters{true, false, "a", 20000, "b", 0}},
        ReadCase{"NumbersBeyondTheIntRangeClamped",
                 FullFile("99999999999", "0", "1", "a", "99999999999", "b", "-99999999999"),
                 Parameters{false, false, "a", 2147483647, "b", -2147483647 - 1}},
        ReadCase{"AddressOf300CharactersCutTo254",
                 FullFile("1", "0", "1", kLong300, "1", "  " + kLong300, "2"),
                 Parameters{true, false, kCut254, 1, kCut254, 2}},
        ReadCase{"NamesInOtherLetterCase",
                 "[clientorserver]\nnumber=1\n[udportcp]\nNUMBER=1\n[ip]\nnumber=1\n[CLIENT1]\n"
                 "ip=1.2.3.4\n[clientpost1]\npost=7\n[server1]\nIp=5.6.7.8\n[serverpost1]\n"
                 "POST=8\n",
                 Parameters{true, true, "1.2.3.4", 7, "5.6.7.8", 8}},
        ReadCase{
            "QuotedValues",
            FullFile("\"1\"", "'1'", "\"1\"", "\"10.0.0.1\"", "'5000'", "'10.0.0.2\"", "\"6000"),
            Parameters{true, true, "10.0.0.1", 5000, "'10.0.0.2\"", 0}},
        ReadCase{"CrlfWithCommentsAndBlanksAroundEquals", kCrlfFile,
                 Parameters{true, true, "192.168.1.10", 5000, "10.0.0.2", 6000}}),
    [](const testing::TestParamInfo<ReadCase>& tested) { return std::string(tested.param.name); });

TEST_F(ParameterFileTest, WriteIntoAnEmptyFileGivesTheExample) {
    WriteFile(m_file, "");
    EXPECT_FALSE(WriteParameters(m_file, {true, false, "192.168.1.10", 5000, "10.0.0.2", 6000}));
    EXPECT_EQ(ReadFile(m_file), kExampleFile);
}

TEST_F(ParameterFileTest, WriteKeepsTheFileStyleAndChangesValuesInPlace) {
    WriteFile(m_file, kCrlfFile + "[Other]\r\nKept=yes\r\n");

    EXPECT_FALSE(WriteParameters(m_file, {false, false, "192.168.1.10", 5000, "10.0.0.9", -1}));

    EXPECT_EQ(ReadFile(m_file), "; Tarvel settings\r\n\r\n[ClientOrServer]\r\nNumber = 0\r\n\r\n"
                                "; protocol\r\n[UDpOrTCp]\r\nNumber = 0\r\n[IP]\r\n Number = 1\r\n"
                                "[Client1]\r\nIP = 192.168.1.10\r\n[ClientPost1]\r\nPost = 5000\r\n"
                                "[Server1]\r\nIP\t=\t10.0.0.9\r\n[ServerPost1]\r\nPost = -1\r\n"
                                "[Other]\r\nKept=yes\r\n");
}

// A write that cannot reach the file says why and leaves the old file as it was, with no new file
// beside it.
TEST_F(ParameterFileTest, FailedWriteSaysWhyAndKeepsTheOldFile) {
    for (const savefailure::Case& c : savefailure::Cases()) {
        SCOPED_TRACE(c.name);
        const fs::path folder = m_root / "InfoFile";
        savefailure::Restore(folder);
        fs::remove_all(folder);
        fs::create_directory(folder);
        if (const std::string why = c.prepare(folder, "ParameterSet.inf", kExampleFile);
            !why.empty()) {
            std::cout << "[  SKIPPED ] " << c.name << ": " << why << "\n";
            continue;
        }
        const std::vector<fs::path> before{fs::directory_iterator(folder), {}};

        const std::error_code error =
            WriteParameters(m_file, {false, true, "1.1.1.1", 1, "2.2.2.2", 2});

        EXPECT_EQ(error.value(), c.error) << error.message();
        EXPECT_EQ(ReadFile(m_file), kExampleFile);
        EXPECT_EQ((std::vector<fs::path>{fs::directory_iterator(folder), {}}), before);
        fs::current_path(m_root);
        EXPECT_EQ(SaveFailureMessage(kParameterFilePath, error),
                  "无法保存参数文件 " + m_file.string() + ": " +
                      (c.error == EACCES  ? "没有权限"
                       : c.error == EROFS ? "只读文件系统"
                                          : "磁盘空间不足"));
        fs::current_path(m_previousDirectory);
    }
}

TEST_F(ParameterFileTest, SomethingElseThanARegularFileIsNoFile) {
    struct Case {
        const char* name;
        void (*make)(const fs::path&);
    };
    const Case cases[] = {
        {"directory", [](const fs::path& p) { fs::create_directory(p); }},
        {"pipe", [](const fs::path& p) { ::mkfifo(p.c_str(), 0600); }},
        {"link to a device", [](const fs::path& p) { fs::create_symlink("/dev/zero", p); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(m_file);
        c.make(m_file);
        const FifoWatchdog watchdog(m_file, std::chrono::seconds(5));
        EXPECT_FALSE(ParameterFileExists(m_file));
        EXPECT_EQ(SavedParameters(m_file), std::nullopt);
        EXPECT_TRUE(WriteParameters(m_file, {}));
        EXPECT_FALSE(watchdog.Fired()) << "reading waited on the pipe";
    }
    fs::remove_all(m_file);
    EXPECT_FALSE(ParameterFileExists(m_file));
}

TEST_F(ParameterFileTest, ASymbolicLinkToAFileIsTheFile) {
    WriteFile(m_root / "real.inf", kExampleFile);
    fs::create_symlink(m_root / "real.inf", m_file);
    EXPECT_TRUE(ParameterFileExists(m_file));
    EXPECT_EQ(SavedParameters(m_file),
              (Parameters{true, false, "192.168.1.10", 5000, "10.0.0.2", 6000}));
    EXPECT_FALSE(WriteParameters(m_file, {}));
    EXPECT_TRUE(fs::is_symlink(m_file));
    EXPECT_EQ(SavedParameters(m_root / "real.inf"), Parameters{});
}

TEST_F(ParameterFileTest, RandomBytesHoldNoSettingsAndGetThemAppended) {
    std::mt19937 random(7);
    std::string bytes(100 * 1024, '\0');
    for (char& byte : bytes)
        byte = static_cast<char>(random());
    bytes[0] = '\0'; // not the UTF-16 byte order mark
    WriteFile(m_file, bytes);
    EXPECT_EQ(SavedParameters(m_file), std::nullopt);

    const Parameters saved{false, false, "192.168.1.10", 0, "192.168.1.10", 0};
    EXPECT_FALSE(WriteParameters(m_file, saved));

    EXPECT_EQ(ReadFile(m_file).substr(0, bytes.size()), bytes);
    EXPECT_EQ(SavedParameters(m_file), saved);
}

TEST_F(ParameterFileTest, Utf16FileIsReadAndWrittenAsUtf16) {
    auto utf16 = [](const std::string& ascii) {
        std::string bytes = "\xFF\xFE";
        for (const char c : ascii) {
            bytes += c;
            bytes += '\0';
        }
        return bytes;
    };
    WriteFile(m_file, utf16(kCrlfFile));
    Parameters parameters = SavedParameters(m_file).value_or(Parameters{});
    EXPECT_EQ(parameters, (Parameters{true, true, "192.168.1.10", 5000, "10.0.0.2", 6000}));

    parameters.serverAddress = "10.0.0.9";
    EXPECT_FALSE(WriteParameters(m_file, parameters));
    std::string expected = kCrlfFile;
    expected.replace(expected.find("10.0.0.2"), 8, "10.0.0.9");
    expected.replace(expected.find(" Number = 1 "), 12,
                     " Number = 1"); // rewritten values lose trailing blanks
    EXPECT_EQ(ReadFile(m_file), utf16(expected));
}

} // namespace
