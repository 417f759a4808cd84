#include "config/parameter_file.h"

#include "fake_dialog.h"
#include "fifo_watchdog.h"
#include "file_contents.h"
#include "relay/relay_state.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <optional>
#include <random>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

const std::string kMissingFileMessage =
    "MessageBox(没有找到相关信息文件,请重新安装本软件!|错误|error)";

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

void ExpectRelaySettings(const RelaySettings& expected) {
    const RelaySettings actual = g_relaySettings.Get();
    EXPECT_EQ(actual.clientAddress, expected.clientAddress);
    EXPECT_EQ(actual.clientPort, expected.clientPort);
    EXPECT_EQ(actual.serverAddress, expected.serverAddress);
    EXPECT_EQ(actual.serverPort, expected.serverPort);
}

bool HasMessage(const FakeDialog& dialog) {
    for (const std::string& call : dialog.calls) {
        if (call.rfind("MessageBox", 0) == 0) {
            return true;
        }
    }
    return false;
}

// A scratch folder holding InfoFile/, with a clean endpoint record; the current directory is
// put back afterwards.
class ParameterFileTest : public testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::path(testing::TempDir()) / "params-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        m_root = pattern;
        fs::create_directory(m_root / "InfoFile");
        m_file = m_root / "InfoFile" / "ParameterSet.inf";
        m_previousDirectory = fs::current_path();
        g_relaySettings.Set(RelaySettings{});
    }
    void TearDown() override {
        fs::current_path(m_previousDirectory);
        std::error_code ignored;
        fs::permissions(m_file, fs::perms::owner_write, fs::perm_options::add, ignored);
        fs::remove_all(m_root, ignored);
    }

    // The dialog as the address list leaves it on a machine whose first address is 192.168.1.10.
    static FakeDialog DialogAfterAddressList() {
        FakeDialog dialog;
        dialog.texts = {{1004, "192.168.1.10"}, {1005, "192.168.1.10"}};
        return dialog;
    }

    fs::path m_root;
    fs::path m_file;
    fs::path m_previousDirectory;
};

struct LoadCase {
    const char* name;
    std::string file;
    std::array<int, 4> checks; // radios 1000, 1001, 1015, 1018 after loading
    std::string clientText;
    std::string serverText;
    std::uint32_t clientPortShown;
    std::uint32_t serverPortShown;
    RelaySettings relay;
    std::optional<std::string> fileAfter; // nullopt: unchanged
};

class LoadParametersTable : public ParameterFileTest,
                            public testing::WithParamInterface<LoadCase> {};

TEST_P(LoadParametersTable, FillsDialogAndEndpointRecord) {
    const LoadCase& c = GetParam();
    WriteFile(m_file, c.file);
    FakeDialog dialog = DialogAfterAddressList();

    LoadParameters(dialog, m_file);

    EXPECT_EQ((std::array<int, 4>{dialog.checks[1000], dialog.checks[1001], dialog.checks[1015],
                                  dialog.checks[1018]}),
              c.checks);
    EXPECT_EQ(dialog.texts[1004], c.clientText);
    EXPECT_EQ(dialog.texts[1005], c.serverText);
    EXPECT_EQ(dialog.portEdits[1022], c.clientPortShown);
    EXPECT_EQ(dialog.portEdits[1024], c.serverPortShown);
    EXPECT_EQ(dialog.portMembers, dialog.portEdits);
    ExpectRelaySettings(c.relay);
    EXPECT_EQ(ReadFile(m_file), c.fileAfter.value_or(c.file));
    EXPECT_FALSE(HasMessage(dialog));
    EXPECT_EQ(dialog.calls.back(), "UpdateData(0)");
}

const std::string kLong300 = std::string(300, '1');
const std::string kCut254 = std::string(254, '1');

INSTANTIATE_TEST_SUITE_P(
    Files, LoadParametersTable,
    testing::Values(
        LoadCase{"EmptyFileAtFirstStartSavesCurrentSettings",
                 "",
                 {0, 0, 0, 0},
                 "192.168.1.10",
                 "192.168.1.10",
                 0,
                 0,
                 {"192.168.1.10", "192.168.1.10", 0, 0},
                 FullFile("0", "0", "1", "192.168.1.10", "0", "192.168.1.10", "0")},
        LoadCase{"SavedCountOtherThanOneSavesCurrentSettings",
                 FullFile("1", "1", "2", "1.1.1.1", "5", "2.2.2.2", "6"),
                 {0, 0, 0, 0},
                 "192.168.1.10",
                 "192.168.1.10",
                 0,
                 0,
                 {"192.168.1.10", "192.168.1.10", 0, 0},
                 FullFile("0", "0", "1", "192.168.1.10", "0", "192.168.1.10", "0")},
        LoadCase{"OnlyTheCount",
                 "[IP]\nNumber=1\n",
                 {0, 1, 0, 1},
                 "",
                 "",
                 0,
                 0,
                 {"", "", 0, 0},
                 std::nullopt},
        LoadCase{"TheExample",
                 kExampleFile,
                 {1, 0, 0, 1},
                 "192.168.1.10",
                 "10.0.0.2",
                 5000,
                 6000,
                 {"192.168.1.10", "10.0.0.2", 5000, 6000},
                 std::nullopt},
        LoadCase{"ServerToClientOverUdp",
                 FullFile("0", "1", "1", "10.0.0.2", "7", "10.0.0.3", "8"),
                 {0, 1, 1, 0},
                 "10.0.0.2",
                 "10.0.0.3",
                 7,
                 8,
                 {"10.0.0.2", "10.0.0.3", 7, 8},
                 std::nullopt},
        LoadCase{"ModeTwoIsServerToClient",
                 FullFile("2", "2", "1", "a", "1", "b", "2"),
                 {0, 1, 0, 1},
                 "a",
                 "b",
                 1,
                 2,
                 {"a", "b", 1, 2},
                 std::nullopt},
        LoadCase{"OneBetweenBlanksIsClientToServer",
                 FullFile(" 1 ", " 1 ", " 1 ", "a", " 1 ", "b", "\t2"),
                 {1, 0, 1, 0},
                 "a",
                 "b",
                 1,
                 2,
                 {"a", "b", 1, 2},
                 std::nullopt},
        LoadCase{"OneFollowedByLettersIsClientToServer",
                 FullFile("1abc", "1x", "1;", "a", "12ab", "b", "+34 5"),
                 {1, 0, 1, 0},
                 "a",
                 "b",
                 12,
                 34,
                 {"a", "b", 12, 34},
                 std::nullopt},
        LoadCase{"NegativePortShownUnsigned",
                 FullFile("1", "0", "1", "a", "-1", "b", "-2"),
                 {1, 0, 0, 1},
                 "a",
                 "b",
                 4294967295u,
                 4294967294u,
                 {"a", "b", -1, -2},
                 std::nullopt},
        LoadCase{"PortsOutOfRangeOrNotNumbers",
                 FullFile("1", "0", "1", "a", "20000", "b", "port"),
                 {1, 0, 0, 1},
                 "a",
                 "b",
                 20000,
                 0,
                 {"a", "b", 20000, 0},
                 std::nullopt},
        LoadCase{"NumbersBeyondTheIntRangeClamped",
                 FullFile("99999999999", "0", "1", "a", "99999999999", "b", "-99999999999"),
                 {0, 1, 0, 1},
                 "a",
                 "b",
                 2147483647u,
                 2147483648u,
                 {"a", "b", 2147483647, -2147483647 - 1},
                 std::nullopt},
        LoadCase{"AddressOf300CharactersCutTo254",
                 FullFile("1", "0", "1", kLong300, "1", "  " + kLong300, "2"),
                 {1, 0, 0, 1},
                 kCut254,
                 kCut254,
                 1,
                 2,
                 {kCut254, kCut254, 1, 2},
                 std::nullopt},
        LoadCase{"NamesInOtherLetterCase",
                 "[clientorserver]\nnumber=1\n[udportcp]\nNUMBER=1\n[ip]\nnumber=1\n[CLIENT1]\n"
                 "ip=1.2.3.4\n[clientpost1]\npost=7\n[server1]\nIp=5.6.7.8\n[serverpost1]\n"
                 "POST=8\n",
                 {1, 0, 1, 0},
                 "1.2.3.4",
                 "5.6.7.8",
                 7,
                 8,
                 {"1.2.3.4", "5.6.7.8", 7, 8},
                 std::nullopt},
        LoadCase{
            "QuotedValues",
            FullFile("\"1\"", "'1'", "\"1\"", "\"10.0.0.1\"", "'5000'", "'10.0.0.2\"", "\"6000"),
            {1, 0, 1, 0},
            "10.0.0.1",
            "'10.0.0.2\"",
            5000,
            0,
            {"10.0.0.1", "'10.0.0.2\"", 5000, 0},
            std::nullopt},
        LoadCase{"CrlfWithCommentsAndBlanksAroundEquals",
                 kCrlfFile,
                 {1, 0, 1, 0},
                 "192.168.1.10",
                 "10.0.0.2",
                 5000,
                 6000,
                 {"192.168.1.10", "10.0.0.2", 5000, 6000},
                 std::nullopt}),
    [](const testing::TestParamInfo<LoadCase>& info) { return std::string(info.param.name); });

TEST_F(ParameterFileTest, LoadRunsItsStepsInOrder) {
    WriteFile(m_file, kExampleFile);
    FakeDialog dialog = DialogAfterAddressList();
    dialog.portEdits = {{1022, 11}, {1024, 12}};

    LoadParameters(dialog, m_file);

    const std::vector<std::string> expected = {
        "UpdateData(1)",       "SetCheck(1000,1)",   "SetCheck(1001,0)",    "SetCheck(1015,0)",
        "SetCheck(1018,1)",    "SetComboText(1004)", "SetPortMember(1022)", "SetComboText(1005)",
        "SetPortMember(1024)", "UpdateData(0)"};
    EXPECT_EQ(dialog.calls, expected);
}

TEST_F(ParameterFileTest, SaveWritesTheExampleIntoAnEmptyFileStepByStep) {
    WriteFile(m_file, "");
    FakeDialog dialog;
    dialog.checks = {{1000, 1}, {1001, 0}, {1015, 0}, {1018, 1}};
    dialog.texts = {{1004, "192.168.1.10"}, {1005, "10.0.0.2"}};
    dialog.portEdits = {{1022, 5000}, {1024, 6000}};

    SaveParameters(dialog, m_file);

    EXPECT_EQ(ReadFile(m_file), kExampleFile);
    ExpectRelaySettings({"192.168.1.10", "10.0.0.2", 5000, 6000});
    const std::vector<std::string> expected = {
        "GetComboText(1004)", "GetComboText(1005)",  "UpdateData(1)",       "GetCheck(1000)",
        "GetCheck(1015)",     "GetPortMember(1022)", "GetPortMember(1024)", "UpdateData(0)"};
    EXPECT_EQ(dialog.calls, expected);
}

TEST_F(ParameterFileTest, SaveKeepsTheFileStyleAndChangesValuesInPlace) {
    WriteFile(m_file, kCrlfFile + "[Other]\r\nKept=yes\r\n");
    FakeDialog dialog = DialogAfterAddressList();
    LoadParameters(dialog, m_file);

    dialog.checks = {{1000, 0}, {1001, 1}, {1015, 0}, {1018, 1}};
    dialog.texts[1005] = "10.0.0.9";
    dialog.portEdits[1024] = 6001;
    SaveParameters(dialog, m_file);

    EXPECT_EQ(ReadFile(m_file), "; Tarvel settings\r\n\r\n[ClientOrServer]\r\nNumber = 0\r\n\r\n"
                                "; protocol\r\n[UDpOrTCp]\r\nNumber = 0\r\n[IP]\r\n Number = 1\r\n"
                                "[Client1]\r\nIP = 192.168.1.10\r\n[ClientPost1]\r\nPost = 5000\r\n"
                                "[Server1]\r\nIP\t=\t10.0.0.9\r\n[ServerPost1]\r\nPost = 6001\r\n"
                                "[Other]\r\nKept=yes\r\n");
    ExpectRelaySettings({"192.168.1.10", "10.0.0.9", 5000, 6001});
}

TEST_F(ParameterFileTest, SaveAfterRefusedPortWritesWhatTheMembersHoldAsSignedNumbers) {
    WriteFile(m_file, kExampleFile);
    FakeDialog dialog = DialogAfterAddressList();
    dialog.checks[1000] = 1;
    dialog.checks[1015] = 1;
    dialog.portEdits = {{1022, 1}, {1024, 2}};
    dialog.portMembers = {{1022, 4294967295u}, {1024, 20000}};
    dialog.refusePorts = true;

    SaveParameters(dialog, m_file);

    EXPECT_EQ(ReadFile(m_file),
              FullFile("1", "1", "1", "192.168.1.10", "-1", "192.168.1.10", "20000"));
    ExpectRelaySettings({"192.168.1.10", "192.168.1.10", -1, 20000});
    EXPECT_FALSE(HasMessage(dialog));
}

TEST_F(ParameterFileTest, ReadOnlyFileLoadsButSavesChangeNothingAndReportNothing) {
    WriteFile(m_file, kExampleFile);
    fs::permissions(m_file, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    FakeDialog dialog = DialogAfterAddressList();

    LoadParameters(dialog, m_file);
    EXPECT_EQ(dialog.checks[1000], 1);
    EXPECT_EQ(dialog.portEdits[1024], 6000u);

    dialog.checks = {{1000, 0}, {1001, 1}, {1015, 1}, {1018, 0}};
    dialog.texts = {{1004, "1.1.1.1"}, {1005, "2.2.2.2"}};
    dialog.portEdits = {{1022, 1}, {1024, 2}};
    SaveParameters(dialog, m_file);

    EXPECT_EQ(ReadFile(m_file), kExampleFile);
    EXPECT_EQ(std::distance(fs::directory_iterator(m_file.parent_path()), fs::directory_iterator()),
              1);
    EXPECT_FALSE(HasMessage(dialog));
    // The record still follows the dialog: the workers use what Run validated.
    ExpectRelaySettings({"1.1.1.1", "2.2.2.2", 1, 2});
}

TEST_F(ParameterFileTest, MissingFileOnLoadReportsOnceAsksToQuitAndReadsNothing) {
    g_relaySettings.Set({"9.9.9.9", "8.8.8.8", 9, 8});
    FakeDialog dialog = DialogAfterAddressList();

    LoadParameters(dialog, m_file);

    EXPECT_EQ(dialog.calls, (std::vector<std::string>{kMissingFileMessage, "PostQuitMessage(18)"}));
    ExpectRelaySettings({"9.9.9.9", "8.8.8.8", 9, 8});
    EXPECT_FALSE(fs::exists(m_file));
}

TEST_F(ParameterFileTest, MissingFileOnSaveReportsWritesNothingButStillShowsTheMembers) {
    fs::remove(m_root / "InfoFile");
    FakeDialog dialog = DialogAfterAddressList();
    dialog.portEdits = {{1022, 5}, {1024, 6}};

    SaveParameters(dialog, m_file);

    const std::vector<std::string> expected = {"GetComboText(1004)",  "GetComboText(1005)",
                                               "UpdateData(1)",       kMissingFileMessage,
                                               "PostQuitMessage(18)", "UpdateData(0)"};
    EXPECT_EQ(dialog.calls, expected);
    EXPECT_FALSE(fs::exists(m_root / "InfoFile"));
    EXPECT_EQ(fs::directory_iterator(m_root), fs::directory_iterator());
}

TEST_F(ParameterFileTest, DefaultPathIsFoundUnderTheCurrentDirectory) {
    WriteFile(m_file, kExampleFile);
    fs::current_path(m_root);
    FakeDialog dialog = DialogAfterAddressList();

    LoadParameters(dialog, kParameterFilePath);

    EXPECT_FALSE(HasMessage(dialog));
    ExpectRelaySettings({"192.168.1.10", "10.0.0.2", 5000, 6000});
}

TEST_F(ParameterFileTest, SomethingElseThanARegularFileIsAMissingFile) {
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
        FakeDialog dialog = DialogAfterAddressList();
        LoadParameters(dialog, m_file);
        EXPECT_EQ(dialog.calls,
                  (std::vector<std::string>{kMissingFileMessage, "PostQuitMessage(18)"}));
        dialog.calls.clear();
        SaveParameters(dialog, m_file);
        EXPECT_EQ(dialog.calls[3], kMissingFileMessage);
        EXPECT_FALSE(watchdog.Fired()) << "loading waited on the pipe";
    }
}

TEST_F(ParameterFileTest, ASymbolicLinkToAFileIsTheFile) {
    WriteFile(m_root / "real.inf", kExampleFile);
    fs::create_symlink(m_root / "real.inf", m_file);
    FakeDialog dialog = DialogAfterAddressList();
    LoadParameters(dialog, m_file);
    EXPECT_FALSE(HasMessage(dialog));
    ExpectRelaySettings({"192.168.1.10", "10.0.0.2", 5000, 6000});
}

TEST_F(ParameterFileTest, RandomBytesLoadAsAFileWithoutSettingsWhichGetsThemAppended) {
    std::mt19937 random(7);
    std::string bytes(100 * 1024, '\0');
    for (char& byte : bytes)
        byte = static_cast<char>(random());
    bytes[0] = '\0'; // not the UTF-16 byte order mark
    WriteFile(m_file, bytes);
    FakeDialog dialog = DialogAfterAddressList();

    LoadParameters(dialog, m_file);

    EXPECT_FALSE(HasMessage(dialog));
    const std::string after = ReadFile(m_file);
    EXPECT_EQ(after.substr(0, bytes.size()), bytes);
    // The settings come back from the file at the next start.
    FakeDialog next = DialogAfterAddressList();
    LoadParameters(next, m_file);
    EXPECT_EQ(ReadFile(m_file), after) << "the second start found its settings";
    ExpectRelaySettings({"192.168.1.10", "192.168.1.10", 0, 0});
}

TEST_F(ParameterFileTest, Utf16FileLoadsAndIsSavedAsUtf16) {
    auto utf16 = [](const std::string& ascii) {
        std::string bytes = "\xFF\xFE";
        for (const char c : ascii) {
            bytes += c;
            bytes += '\0';
        }
        return bytes;
    };
    WriteFile(m_file, utf16(kCrlfFile));
    FakeDialog dialog = DialogAfterAddressList();
    LoadParameters(dialog, m_file);
    ExpectRelaySettings({"192.168.1.10", "10.0.0.2", 5000, 6000});
    EXPECT_EQ(dialog.checks[1015], 1);

    dialog.texts[1005] = "10.0.0.9";
    SaveParameters(dialog, m_file);
    std::string expected = kCrlfFile;
    expected.replace(expected.find("10.0.0.2"), 8, "10.0.0.9");
    expected.replace(expected.find(" Number = 1 "), 12,
                     " Number = 1"); // rewritten values lose trailing blanks
    EXPECT_EQ(ReadFile(m_file), utf16(expected));
}

} // namespace
