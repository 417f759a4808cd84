// The relay program's strict reading of its parameter file: what it takes, and the line and reason
// of what it refuses.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <optional>
#include <string>

#include "config/strict_form.h"

namespace {

using namespace std::string_literals;

// Every section and key the file is documented to hold, once, as the dialog writes them.
const std::string kWholeFile = "[ClientOrServer]\nNumber=1\n[UDpOrTCp]\nNumber=0\n[IP]\nNumber=1\n"
                               "[Client1]\nIP=127.0.0.2\n[ClientPost1]\nPost=5000\n"
                               "[Server1]\nIP=127.0.0.3\n[ServerPost1]\nPost=6000\n"
                               "[Forward]\nMode=Bytes\n[Allow]\nSources=10.0.0.0/8\n"
                               "[Status]\nListen=127.0.0.1:9101\n[Relay]\nIdleSeconds=0\n"
                               "[Dialog]\nWidePorts=1\n";

TEST(StrictForm, TakesWhatTheFileIsDocumentedToHold) {
    const struct {
        const char* name;
        std::string text;
    } cases[] = {
        {"Empty", ""},
        {"EveryKey", kWholeFile},
        {"CommentsBlanksAndWindowsLineEnds",
         "\xEF\xBB\xBF; 说明\r\n\r\n  [ClientOrServer]  \r\n\tNumber = 1\r\n; [Alow]\r\n"},
        {"NamesInAnyLetterCase", "[clientorserver]\nNUMBER=1\n[forward]\nmode=bytes\n"},
        {"QuotedValueAndTab", "[Forward]\nMode=\"Text\"\n[Allow]\nSources=10.0.0.1,\t10.0.0.2\n"},
        {"TextForwarding", "[Forward]\nMode=TEXT\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::optional<FormFault> fault = FindFormFault(c.text);
        EXPECT_FALSE(fault) << fault->Describe();
    }
}

// The shipped file explains every key in comments; with them all taken in, it still reads.
TEST(StrictForm, TakesTheShippedFileWithEveryKeyUncommented) {
    std::ifstream shipped(TARVEL_SOURCE_DIR "/packaging/tarvel.inf");
    ASSERT_TRUE(shipped.is_open());
    std::string text;
    for (std::string line; std::getline(shipped, line);) {
        // ";[Section]" and ";Key=value" are the commented-out settings; the rest is prose.
        if (line.starts_with(";[") ||
            (line.starts_with(";") && line.find('=') != std::string::npos &&
             line.find(' ') == std::string::npos)) {
            line.erase(0, 1);
        }
        text += line + "\n";
    }
    EXPECT_NE(text.find("\nSources="), std::string::npos) << text;
    const std::optional<FormFault> fault = FindFormFault(text);
    EXPECT_FALSE(fault) << fault->Describe();
}

TEST(StrictForm, RefusesWhatItDoesNotUnderstandNamingTheLine) {
    const struct {
        const char* name;
        std::string text;
        std::size_t line;
        std::string what;
    } cases[] = {
        {"UnknownSection", "[IP]\nNumber=1\n[Alow]\nSources=10.0.0.1\n", 3, "未知的节 [Alow]"},
        {"UnknownKey", "[Allow]\nSource=10.0.0.1\n", 2, "节 [Allow] 中没有键 Source"},
        {"KeyOfAnotherSection", "[Forward]\nSources=10.0.0.1\n", 2,
         "节 [Forward] 中没有键 Sources"},
        {"SectionTwice", "[Allow]\nSources=0.0.0.0/0\n[IP]\nNumber=1\n[allow]\nSources=10.0.0.1\n",
         5, "节 [allow] 出现了两次"},
        {"KeyTwice", "[Allow]\nSources=0.0.0.0/0\nSOURCES=10.0.0.1\n", 3,
         "键 [Allow] SOURCES 出现了两次"},
        {"NulInsideAnEntry", "[Allow]\nSources=127.0.0.5\0/8\n"s, 2, "含有控制字符 (编码 0)"},
        {"OtherControlCharacter", "[Allow]\nSources=10.0.0.1\x1b\n", 2, "含有控制字符 (编码 27)"},
        {"CarriageReturnInside", "[Allow]\nSources=10.0.0.1\r10.0.0.2\n", 2,
         "含有控制字符 (编码 13)"},
        {"HeaderWithoutBracket", "[IP]\nNumber=1\n[Server1\nIP=127.0.0.3\n", 3, "节的标题缺少 ]"},
        {"KeyOnTheHeaderLine", "[Allow] Sources=10.0.0.1\n", 1,
         "节的标题 ] 之后还有内容 (每个键单独一行)"},
        {"KeyBeforeAnySection", "Number=1\n[IP]\n", 1, "键 Number 不在任何节中"},
        {"NeitherKeyNorComment", "[IP]\n# a note\n", 2, "不是节、键或注释 (注释以 ; 开头)"},
        {"ForwardingNotAMode", "[Forward]\nMode=Byte\n", 2,
         "[Forward] Mode=Byte: 只能是 Text 或 Bytes"},
        {"ForwardingEmpty", "[Forward]\nMode=\n", 2, "[Forward] Mode=: 只能是 Text 或 Bytes"},
        {"PortChoiceNotOneOrZero", "[Dialog]\nWidePorts=yes\n", 2,
         "[Dialog] WidePorts=yes: 只能是 1 或 0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::optional<FormFault> fault = FindFormFault(c.text);
        ASSERT_TRUE(fault);
        EXPECT_EQ(fault->line, c.line);
        EXPECT_EQ(fault->what, c.what);
        EXPECT_EQ(fault->Describe(), "第 " + std::to_string(c.line) + " 行: " + c.what);
    }
}

} // namespace
