#include "config/profile.h"
#include "platform/whole_file.h"

#include "fifo_watchdog.h"
#include "file_contents.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <random>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// A fresh directory per test, removed afterwards.
class ScratchDir {
public:
    ScratchDir() {
        std::string pattern = (fs::path(testing::TempDir()) / "profile-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            ADD_FAILURE() << "mkdtemp failed";
        }
        m_path = pattern;
    }
    ~ScratchDir() {
        std::error_code ignored;
        fs::permissions(m_path, fs::perms::owner_all, fs::perm_options::add, ignored);
        fs::remove_all(m_path, ignored);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const fs::path& path() const { return m_path; }

private:
    fs::path m_path;
};

std::size_t EntryCount(const fs::path& directory) {
    return static_cast<std::size_t>(
        std::distance(fs::directory_iterator(directory), fs::directory_iterator()));
}

const std::string kLong300 = std::string(300, '7');

struct ReadCase {
    const char* name;
    std::string contents;
    const char* section;
    const char* key;
    std::string expected;
};

class ReadProfileValueTest : public testing::TestWithParam<ReadCase> {};

TEST_P(ReadProfileValueTest, FindsTheValueTheWayTheProgramExpects) {
    const ReadCase& c = GetParam();
    EXPECT_EQ(ReadProfileValue(c.contents, c.section, c.key), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Files, ReadProfileValueTest,
    testing::Values(
        ReadCase{"PlainLf", "[IP]\nNumber=1\n[Client1]\nIP=10.0.0.2\n", "Client1", "IP",
                 "10.0.0.2"},
        ReadCase{"OtherLetterCase", "[udportcp]\nNUMBER=1\n", "UDpOrTCp", "Number", "1"},
        ReadCase{"CrlfCommentsAndBlanks",
                 "; written by hand\r\n\r\n[ Server1 ]\r\n; the output side\r\n  IP  =  "
                 "10.0.0.2  \r\n\r\n[ServerPost1]\r\nPost\t=\t6000\r\n",
                 "ServerPost1", "Post", "6000"},
        ReadCase{"CrlfValueHasNoCarriageReturn", "[Server1]\r\nIP=10.0.0.2\r\n", "Server1", "IP",
                 "10.0.0.2"},
        ReadCase{"MissingSection", "[IP]\nNumber=1\n", "Client1", "IP", ""},
        ReadCase{"MissingKey", "[Client1]\nAddress=1.2.3.4\n", "Client1", "IP", ""},
        ReadCase{"KeyOnlyInAnotherSection", "[Server1]\nIP=1.2.3.4\n[Client1]\n", "Client1", "IP",
                 ""},
        ReadCase{"KeyBeforeAnySectionIgnored", "IP=1.2.3.4\n[Client1]\n", "Client1", "IP", ""},
        ReadCase{"CommentedKeyIgnored", "[IP]\n;Number=5\nNumber=1\n", "IP", "Number", "1"},
        ReadCase{"FirstSectionAndFirstKeyWin", "[IP]\nNumber=1\nNumber=2\n[IP]\nNumber=3\n", "IP",
                 "Number", "1"},
        ReadCase{"EmptyValue", "[IP]\nNumber=\n", "IP", "Number", ""},
        ReadCase{"ValueKeepsLaterEqualsSigns", "[A]\nk = b=c \n", "A", "k", "b=c"},
        ReadCase{"ValueKeepsInnerBlanks", "[A]\nk= two  words \n", "A", "k", "two  words"},
        ReadCase{"LastLineWithoutNewline", "[IP]\nNumber=1", "IP", "Number", "1"},
        ReadCase{"FileEndsInsideTheKey", "[IP]\nNumb", "IP", "Number", ""},
        ReadCase{"FileEndsInsideTheHeader", "[IP", "IP", "Number", ""},
        ReadCase{"LongValueCutTo254", "[Client1]\nIP=" + kLong300 + "\n", "Client1", "IP",
                 std::string(254, '7')},
        ReadCase{"BlanksTrimmedBeforeTheCut", "[Client1]\nIP=    " + kLong300 + "   \n", "Client1",
                 "IP", std::string(254, '7')},
        ReadCase{"ByteOrderMarkBeforeFirstSection", "\xEF\xBB\xBF[IP]\r\nNumber=1\r\n", "IP",
                 "Number", "1"},
        ReadCase{"EmptyFile", "", "IP", "Number", ""},
        ReadCase{"DoubleQuotesDropped", "[IP]\nNumber=\"10.0.0.1\"\n", "IP", "Number", "10.0.0.1"},
        ReadCase{"SingleQuotesDropped", "[IP]\nNumber='10.0.0.1'\n", "IP", "Number", "10.0.0.1"},
        ReadCase{"QuotesAfterTheTrimKeepInnerBlanks", "[A]\nk =  \" a b \"  \r\n", "A", "k",
                 " a b "},
        ReadCase{"EmptyQuotes", "[A]\nk=\"\"\n", "A", "k", ""},
        ReadCase{"LoneQuoteStays", "[A]\nk=\"\n", "A", "k", "\""},
        ReadCase{"OpeningQuoteAloneStays", "[A]\nk=\"10.0.0.1\n", "A", "k", "\"10.0.0.1"},
        ReadCase{"UnmatchedQuotesStay", "[A]\nk=\"10.0.0.1'\n", "A", "k", "\"10.0.0.1'"},
        ReadCase{"InnerQuotesStay", "[A]\nk=a\"b\"\n", "A", "k", "a\"b\""},
        ReadCase{"QuotedValueCutAfterTheQuotesGo", "[A]\nk=\"" + kLong300 + "\"\n", "A", "k",
                 std::string(254, '7')}),
    [](const testing::TestParamInfo<ReadCase>& tested) { return std::string(tested.param.name); });

// The keys this program added are read whole, however long, written by the functions here or by
// hand; only the original keys' values are cut to the buffer's 254 characters.
TEST(ReadProfileValue, WholeValuesAreNeverCut) {
    const std::string list = std::string(3000, '7') + ",10.0.0.1/32";
    EXPECT_EQ(ReadProfileValue("[Allow]\nSources= " + list + " \n", "allow", "sources",
                               ValueLength::Whole),
              list);
    EXPECT_EQ(ReadProfileValue("[A]\nk=\"" + list + "\"\r\n", "A", "k", ValueLength::Whole), list);
    const std::string written = WriteProfileValue("[IP]\nNumber=1\n", "Allow", "Sources", list);
    EXPECT_EQ(ReadProfileValue(written, "Allow", "Sources", ValueLength::Whole), list);
    EXPECT_EQ(ReadProfileValue(written, "Allow", "Sources"), list.substr(0, 254));
}

struct WriteCase {
    const char* name;
    std::string before;
    const char* section;
    const char* key;
    const char* value;
    std::string after;
};

class WriteProfileValueTest : public testing::TestWithParam<WriteCase> {};

TEST_P(WriteProfileValueTest, ChangesOnlyTheOneValue) {
    const WriteCase& c = GetParam();
    const std::string written = WriteProfileValue(c.before, c.section, c.key, c.value);
    EXPECT_EQ(written, c.after);
    EXPECT_EQ(ReadProfileValue(written, c.section, c.key), c.value);
}

INSTANTIATE_TEST_SUITE_P(
    Files, WriteProfileValueTest,
    testing::Values(
        WriteCase{"EmptyFile", "", "IP", "Number", "1", "[IP]\nNumber=1\n"},
        WriteCase{"ReplacedInPlace", "[A]\nx=1\n[IP]\nNumber=0\ny=2\n", "IP", "Number", "1",
                  "[A]\nx=1\n[IP]\nNumber=1\ny=2\n"},
        WriteCase{"ReplacedKeepingBlanksCommentsAndCrlf",
                  "; kept\r\n[IP]\r\n  Number = 0  \r\n\r\n[B]\r\n", "IP", "Number", "1",
                  "; kept\r\n[IP]\r\n  Number = 1\r\n\r\n[B]\r\n"},
        WriteCase{"ReplacedWhereNamesDifferInCase", "[ip]\nnumber=0\n", "IP", "Number", "1",
                  "[ip]\nnumber=1\n"},
        WriteCase{"ReplacedEmptyValue", "[IP]\nNumber=\n", "IP", "Number", "1", "[IP]\nNumber=1\n"},
        WriteCase{"ReplacedOnLastLineWithoutNewline", "[IP]\nNumber=0", "IP", "Number", "1",
                  "[IP]\nNumber=1"},
        WriteCase{"KeyAddedAtEndOfItsSection", "[A]\nx=1\n[B]\ny=2\n", "A", "z", "3",
                  "[A]\nx=1\nz=3\n[B]\ny=2\n"},
        WriteCase{"KeyAddedBeforeBlankLinesAndCommentsOfTheNextSection",
                  "[A]\nx=1\n\n; about B\n[B]\n", "A", "z", "3",
                  "[A]\nx=1\nz=3\n\n; about B\n[B]\n"},
        WriteCase{"KeyAddedUnderEmptySection", "[A]\n[B]\n", "A", "z", "3", "[A]\nz=3\n[B]\n"},
        WriteCase{"KeyAddedAfterLastLineWithoutNewline", "[A]\nx=1", "A", "z", "3",
                  "[A]\nx=1\nz=3\n"},
        WriteCase{"SectionAddedAtEnd", "[A]\nx=1\n", "B", "y", "2", "[A]\nx=1\n[B]\ny=2\n"},
        WriteCase{"SectionAddedAfterLastLineWithoutNewline", "[A]\nx=1", "B", "y", "2",
                  "[A]\nx=1\n[B]\ny=2\n"},
        WriteCase{"SectionAddedInCrlfStyle", "[A]\r\nx=1\r\n", "B", "y", "2",
                  "[A]\r\nx=1\r\n[B]\r\ny=2\r\n"},
        WriteCase{"KeyAddedInCrlfStyle", "[A]\r\nx=1\r\n\r\n", "A", "y", "2",
                  "[A]\r\nx=1\r\ny=2\r\n\r\n"},
        WriteCase{"ByteOrderMarkKept", "\xEF\xBB\xBF[A]\nx=1\n", "A", "x", "2",
                  "\xEF\xBB\xBF[A]\nx=2\n"},
        WriteCase{"SectionAddedAfterLoneByteOrderMark", "\xEF\xBB\xBF", "A", "x", "1",
                  "\xEF\xBB\xBF[A]\nx=1\n"},
        WriteCase{"OnlyTheFirstOfTwoSectionsChanges", "[A]\nx=1\n[A]\nx=2\n", "A", "x", "9",
                  "[A]\nx=9\n[A]\nx=2\n"}),
    [](const testing::TestParamInfo<WriteCase>& tested) { return std::string(tested.param.name); });

TEST(PrivateProfileFile, WritesAndReadsThroughTheFileKeepingItsPermissions) {
    ScratchDir dir;
    const fs::path file = dir.path() / "settings.inf";

    EXPECT_EQ(GetPrivateProfileString("IP", "Number", file), "");
    ASSERT_TRUE(WritePrivateProfileString("IP", "Number", "1", file));
    EXPECT_EQ(ReadFile(file), "[IP]\nNumber=1\n");

    WriteFile(file, "; hand made\r\n[IP]\r\nNumber = 0\r\n");
    fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    ASSERT_TRUE(WritePrivateProfileString("ip", "number", "1", file));
    ASSERT_TRUE(WritePrivateProfileString("Server1", "IP", "10.0.0.2", file));
    EXPECT_EQ(ReadFile(file), "; hand made\r\n[IP]\r\nNumber = 1\r\n[Server1]\r\nIP=10.0.0.2\r\n");
    EXPECT_EQ(GetPrivateProfileString("SERVER1", "ip", file), "10.0.0.2");
    EXPECT_EQ(fs::status(file).permissions(),
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    EXPECT_EQ(EntryCount(dir.path()), 1u) << "no temporary file left behind";
}

TEST(PrivateProfileFile, ReadOnlyFileIsLeftUntouchedAndTheFailureReturned) {
    ScratchDir dir;
    const fs::path file = dir.path() / "settings.inf";
    const std::string original = "[IP]\r\nNumber=0\r\n";
    WriteFile(file, original);
    fs::permissions(file, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);

    EXPECT_EQ(GetPrivateProfileString("IP", "Number", file), "0");
    EXPECT_FALSE(WritePrivateProfileString("IP", "Number", "1", file));
    EXPECT_FALSE(WritePrivateProfileString("Client1", "IP", "1.2.3.4", file));
    EXPECT_EQ(ReadFile(file), original);
    EXPECT_EQ(EntryCount(dir.path()), 1u);
}

TEST(PrivateProfileFile, WriteThroughSymbolicLinkChangesTheTarget) {
    ScratchDir dir;
    const fs::path target = dir.path() / "real.inf";
    const fs::path link = dir.path() / "link.inf";
    WriteFile(target, "[IP]\nNumber=0\n");
    fs::create_symlink(target, link);

    ASSERT_TRUE(WritePrivateProfileString("IP", "Number", "1", link));
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(ReadFile(target), "[IP]\nNumber=1\n");
}

TEST(PrivateProfileFile, ReplaceThatStopsBeforeTheRenameLeavesTheOldFile) {
    ScratchDir dir;
    const fs::path file = dir.path() / "settings.inf";
    const std::string original = "[IP]\nNumber=1\n";
    WriteFile(file, original);

    // Refused at the last moment: nothing replaced, nothing left over.
    EXPECT_TRUE(ReplaceFileContents(file, "new text", [] { return false; }));
    EXPECT_EQ(ReadFile(file), original);
    EXPECT_EQ(EntryCount(dir.path()), 1u);

    // The process dies between writing the new file and the rename.
    EXPECT_EXIT(ReplaceFileContents(file, "new text", []() -> bool { ::_exit(7); }),
                testing::ExitedWithCode(7), "");
    EXPECT_EQ(ReadFile(file), original);

    EXPECT_FALSE(ReplaceFileContents(file, "new text"));
    EXPECT_EQ(ReadFile(file), "new text");
}

// The bytes of `text` in UTF-16LE, with the byte order mark in front.
std::string Utf16Le(std::u16string_view text) {
    std::string bytes = "\xFF\xFE";
    for (const char16_t unit : text) {
        bytes += static_cast<char>(unit & 0xFF);
        bytes += static_cast<char>(unit >> 8);
    }
    return bytes;
}

TEST(PrivateProfileFile, Utf16FileIsReadAndWrittenAsUtf16) {
    ScratchDir dir;
    const fs::path file = dir.path() / "settings.inf";
    WriteFile(file, Utf16Le(u"[Client1]\r\nIP=10.0.0.2\r\n名称=输入网卡\r\n") + "\x0A");

    EXPECT_EQ(GetPrivateProfileString("Client1", "IP", file), "10.0.0.2");
    EXPECT_EQ(GetPrivateProfileString("client1", "名称", file), "输入网卡");

    ASSERT_TRUE(WritePrivateProfileString("Client1", "IP", "192.168.1.10", file));
    ASSERT_TRUE(WritePrivateProfileString("Server1", "名称", "输出网卡", file));
    // One encoding throughout, CRLF kept, and the odd last byte still where it was.
    EXPECT_EQ(
        ReadFile(file),
        Utf16Le(
            u"[Client1]\r\nIP=192.168.1.10\r\n名称=输入网卡\r\n[Server1]\r\n名称=输出网卡\r\n") +
            "\x0A");
    EXPECT_EQ(GetPrivateProfileString("Client1", "IP", file), "192.168.1.10");
    EXPECT_EQ(GetPrivateProfileString("Server1", "名称", file), "输出网卡");

    // A lone surrogate elsewhere in the file survives a write untouched.
    const std::u16string odd{u'[', u'A', u']', u'\n', u'x', u'=', char16_t(0xD800), u'\n'};
    WriteFile(file, Utf16Le(odd));
    ASSERT_TRUE(WritePrivateProfileString("B", "y", "1", file));
    EXPECT_EQ(ReadFile(file), Utf16Le(odd + u"[B]\ny=1\n"));
}

TEST(PrivateProfileFile, Utf8ByteOrderMarkIsSkippedOnReadingAndKeptOnWriting) {
    ScratchDir dir;
    const fs::path file = dir.path() / "settings.inf";
    WriteFile(file, "\xEF\xBB\xBF[IP]\r\nNumber=1\r\n");
    EXPECT_EQ(GetPrivateProfileString("IP", "Number", file), "1");
    ASSERT_TRUE(WritePrivateProfileString("IP", "Number", "2", file));
    ASSERT_TRUE(WritePrivateProfileString("Client1", "IP", "网卡", file));
    EXPECT_EQ(ReadFile(file), "\xEF\xBB\xBF[IP]\r\nNumber=2\r\n[Client1]\r\nIP=网卡\r\n");
}

TEST(PrivateProfileFile, RandomBytesReadAsTheRulesSayAndTakeANewSectionAtTheirEnd) {
    ScratchDir dir;
    const fs::path file = dir.path() / "settings.inf";
    std::mt19937 random(12);
    std::string bytes(100 * 1024, '\0');
    for (char& byte : bytes)
        byte = static_cast<char>(random());
    bytes[0] = 'x'; // no byte order mark: taken byte for byte
    WriteFile(file, bytes);

    EXPECT_EQ(GetPrivateProfileString("IP", "Number", file), "");
    ASSERT_TRUE(WritePrivateProfileString("IP", "Number", "1", file));
    EXPECT_EQ(GetPrivateProfileString("IP", "Number", file), "1");
    const std::string after = ReadFile(file);
    ASSERT_GT(after.size(), bytes.size());
    EXPECT_EQ(after.substr(0, bytes.size()), bytes) << "the file's own bytes stay as they were";
}

// What a reader finds instead of a regular file.
struct NotAFile {
    const char* name;
    void (*make)(const fs::path&);
};

void MakeDirectory(const fs::path& path) {
    fs::create_directory(path);
}
void MakePipe(const fs::path& path) {
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
}
void MakeSocket(const fs::path& path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_LT(path.string().size(), sizeof address.sun_path);
    path.string().copy(address.sun_path, sizeof address.sun_path - 1);
    EXPECT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    ::close(fd);
}
void MakeLinkToDevice(const fs::path& path) {
    fs::create_symlink("/dev/zero", path);
}

class NotARegularFile : public testing::TestWithParam<NotAFile> {};

TEST_P(NotARegularFile, ReadsAsMissingWithoutWaitingAndIsNotWritten) {
    ScratchDir dir;
    const fs::path file = dir.path() / "settings.inf";
    GetParam().make(file);
    const fs::file_type type = fs::status(file).type();
    {
        const FifoWatchdog watchdog(file, std::chrono::seconds(5));
        EXPECT_EQ(GetPrivateProfileString("IP", "Number", file), "");
        EXPECT_FALSE(WritePrivateProfileString("IP", "Number", "1", file));
        EXPECT_FALSE(watchdog.Fired()) << "a read waited on the pipe";
    }
    EXPECT_EQ(fs::status(file).type(), type);
    EXPECT_EQ(EntryCount(dir.path()), 1u);
}

INSTANTIATE_TEST_SUITE_P(Kinds, NotARegularFile,
                         testing::Values(NotAFile{"Directory", MakeDirectory},
                                         NotAFile{"Pipe", MakePipe}, NotAFile{"Socket", MakeSocket},
                                         NotAFile{"LinkToDevice", MakeLinkToDevice}),
                         [](const testing::TestParamInfo<NotAFile>& tested) {
                             return std::string(tested.param.name);
                         });

// The id of a process that has ended and been reaped.
pid_t EndedProcessId() {
    const pid_t child = ::fork();
    if (child == 0)
        ::_exit(0);
    ::waitpid(child, nullptr, 0);
    return child;
}

TEST(PrivateProfileFile, NewFilesLeftByEndedSavesGoAtTheNextSave) {
    ScratchDir dir;
    const fs::path file = dir.path() / "settings.inf";
    WriteFile(file, "[IP]\nNumber=0\n");
    const std::string ended = std::to_string(EndedProcessId());
    const std::string live = std::to_string(::getppid());
    const std::vector<std::string> stale{".settings.inf.new-" + ended + "-0",
                                         ".settings.inf.new-" + ended + "-17"};
    const std::vector<std::string> kept{
        ".settings.inf.new-" + live + "-0",    // its process still runs
        ".other.inf.new-" + ended + "-0",      // another file's
        ".settings.inf.new-" + ended + "-x",   // not a name a save makes
        "settings.inf.new-" + ended + "-0",    // not hidden
        ".settings.inf.new-" + ended + "-1-2", // not a name a save makes
    };
    for (const std::string& name : kept)
        WriteFile(dir.path() / name, "someone else's");

    // Also a save that leaves the text as it was tidies up.
    for (const char* value : {"1", "1"}) {
        for (const std::string& name : stale)
            WriteFile(dir.path() / name, "half a save");
        ASSERT_TRUE(WritePrivateProfileString("IP", "Number", value, file));
        for (const std::string& name : stale)
            EXPECT_FALSE(fs::exists(dir.path() / name)) << name;
        for (const std::string& name : kept)
            EXPECT_TRUE(fs::exists(dir.path() / name)) << name;
        EXPECT_EQ(EntryCount(dir.path()), 1 + kept.size());
    }
    EXPECT_EQ(ReadFile(file), "[IP]\nNumber=1\n");
}

TEST(PrivateProfileFile, ASaveThatFailsAtTheRenameRemovesItsNewFile) {
    ScratchDir dir;
    // A directory with something in it cannot be replaced by a file.
    const fs::path occupied = dir.path() / "settings.inf";
    fs::create_directory(occupied);
    WriteFile(occupied / "inside", "x");
    EXPECT_TRUE(ReplaceFileContents(occupied, "[IP]\nNumber=1\n"));
    EXPECT_EQ(EntryCount(dir.path()), 1u);
}

} // namespace
