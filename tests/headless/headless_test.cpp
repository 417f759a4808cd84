// The relay without a window, as an operator's service runs it: the real program, started with no
// display in its environment, in a working folder of the test's own.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "relay/relay_outcome.h"
#include "relay_program.h"
#include "relay_test_peers.h"

namespace {

using namespace relaytest;
using namespace relayprogram;
using namespace std::string_literals;
namespace fs = std::filesystem;

// The relay program, and the dialog's program with --headless, run the same relay.
TEST(HeadlessRelayTest, UdpRelayCarriesDatagramsUntilSigtermThenEndsWithZero) {
    for (const bool dialogProgram : DialogProgramOrNot()) {
        SCOPED_TRACE(dialogProgram ? "tarvel --headless" : "tarvel-relay");
        const Folder folder;
        const int clientPort = LowFreePort(kClientAddress, SOCK_DGRAM);
        const int sinkPort = LowFreePort(kServerAddress, SOCK_DGRAM);
        const UniqueFd sink = BindUdp(kServerAddress, sinkPort);
        folder.WriteParameters(
            Parameters(0, 1, kClientAddress, clientPort, kServerAddress, sinkPort));

        Program program(folder, {"--workdir", folder.Path().string()},
                        {.dialogProgram = dialogProgram});
        ASSERT_TRUE(program.Started());
        ASSERT_TRUE(WaitUntil([&] { return IsUdpBound(kClientAddress, clientPort); }));
        const UniqueFd source = BindUdp(kClientAddress, 0);
        for (const std::string text : {"one", "two", "three"}) {
            SendDatagram(source.Get(), text, kClientAddress, clientPort);
            const auto forwarded = ReceiveDatagram(sink.Get());
            ASSERT_TRUE(forwarded.has_value());
            EXPECT_EQ(forwarded->data, text + '\0');
        }

        const auto start = std::chrono::steady_clock::now();
        program.Signal(SIGTERM);
        EXPECT_EQ(program.Wait(), 0);
        EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
        const std::string err = program.Err();
        EXPECT_TRUE(Contains(
            err, "已启动: 服务器端到客户端, UDP, 输入网卡 127.0.0.2:" + std::to_string(clientPort) +
                     ", 输出网卡 127.0.0.3:" + std::to_string(sinkPort)))
            << err;
        EXPECT_TRUE(Contains(err, "等待数据报: 输入网卡 127.0.0.2:" + std::to_string(clientPort)));
        EXPECT_TRUE(Contains(err, "收到 SIGTERM"));
        EXPECT_TRUE(Contains(err, "已结束: 已停止"));
        EXPECT_TRUE(Contains(err, "共转发 14 字节, 3 个数据报")) << err;
    }
}

// A TCP relay takes one stream after another in the same process and never stops listening: a
// connection made right after a stream ended, whichever side ended it, is not refused. Each
// stream's end and totals are logged; only a stop signal ends the process.
TEST(HeadlessRelayTest, TcpRelayTakesStreamAfterStreamWithoutRefusingAConnection) {
    const struct {
        const char* name;
        int clientToServer; // 1: waits on the server side, where the destination connects
        bool destinationResets;
        std::string ended;
    } cases[] = {
        {"SourceClosesServerToClient", 0, false, "已结束: 数据源已关闭连接"},
        {"SourceClosesClientToServer", 1, false, "已结束: 数据源已关闭连接"},
        {"DestinationResetsClientToServer", 1, true, "已结束: 发送数据失败"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Folder folder;
        const int serverPort = LowFreePort(kServerAddress, SOCK_STREAM);
        const int clientPort = LowFreePort(kClientAddress, SOCK_STREAM);
        const bool waitsOnServer = c.clientToServer == 1;
        const char* const waitAddress = waitsOnServer ? kServerAddress : kClientAddress;
        const int waitPort = waitsOnServer ? serverPort : clientPort;
        // The other side listens for the relay's own connection.
        const UniqueFd otherListener = waitsOnServer ? ListenOn(kClientAddress, clientPort)
                                                     : ListenOn(kServerAddress, serverPort);
        folder.WriteParameters(Parameters(c.clientToServer, 0, kClientAddress, clientPort,
                                          kServerAddress, serverPort));
        Program program(folder, {"--workdir", folder.Path().string()});
        ASSERT_TRUE(program.Started());

        UniqueFd waiting = ConnectWithin(waitAddress, waitPort);
        for (int stream = 1; stream <= 3; ++stream) {
            SCOPED_TRACE(stream);
            ASSERT_TRUE(waiting.Valid());
            UniqueFd other = AcceptWithin(otherListener.Get());
            ASSERT_TRUE(other.Valid());
            UniqueFd& source = waitsOnServer ? other : waiting;
            UniqueFd& destination = waitsOnServer ? waiting : other;
            const std::string text = "stream-" + std::to_string(stream);
            ASSERT_TRUE(SendAll(source.Get(), text));
            EXPECT_EQ(ReadStream(destination.Get(), text.size() + 1).data, text + '\0');

            // The end as the remaining peer sees it: the relay closed its connection.
            if (c.destinationResets) {
                ResetConnection(destination);
                EXPECT_TRUE(ReadUntilClosed(source.Get()).closed);
            } else {
                source.Reset();
                EXPECT_TRUE(ReadUntilClosed(destination.Get()).closed);
            }
            other.Reset();
            // Right away, without waiting for the log or retrying.
            waiting = UniqueFd(::socket(AF_INET, SOCK_STREAM, 0));
            ASSERT_TRUE(TryConnect(waiting, waitAddress, waitPort))
                << "refused right after stream " << stream << ": " << std::strerror(errno);
        }

        EXPECT_EQ(program.Wait(200ms), -1) << "the process ended with a stream";
        program.Signal(SIGTERM);
        EXPECT_EQ(program.Wait(), 0);
        const std::string err = program.Err();
        EXPECT_EQ(Count(err, "已启动"), 1u) << err;
        EXPECT_EQ(Count(err, c.ended), 3u) << err;
        EXPECT_EQ(Count(err, "共转发 9 字节"), 3u) << err;
        EXPECT_GE(Count(err, "等待连接: " + SideEndpointText(waitsOnServer ? RelaySide::Server
                                                                           : RelaySide::Client,
                                                             EndpointAt(waitAddress, waitPort))),
                  4u)
            << err;
    }
}

// A connection whose other side cannot be reached is dropped, and the relay waits for the next one
// instead of ending. A destination that stays down costs a line per reason, then a count, not
// lines per client: 300 failed connects are said in two lines, with their exact number.
TEST(HeadlessRelayTest, AnUnreachableOtherSideDropsThatConnectionAndTheNextOneIsTaken) {
    const Folder folder;
    const int clientPort = LowFreePort(kClientAddress, SOCK_STREAM);
    const int serverPort = LowFreePort(kServerAddress, SOCK_STREAM);
    folder.WriteParameters(
        Parameters(0, 0, kClientAddress, clientPort, kServerAddress, serverPort));
    Program program(folder, {"--workdir", folder.Path().string()});

    constexpr int kFailedConnects = 300;
    for (int i = 0; i < kFailedConnects; ++i) {
        UniqueFd client = ConnectWithin(kClientAddress, clientPort);
        ASSERT_TRUE(client.Valid());
        ASSERT_TRUE(ReadUntilClosed(client.Get()).closed)
            << "the unreachable side's connection stays";
    }
    const std::string server = "输出网卡 127.0.0.3:" + std::to_string(serverPort);
    EXPECT_TRUE(LogShows(program, "的连接无法转发: " + server + " 无法连接: 对方拒绝连接"))
        << program.Err();

    const UniqueFd destinationListener = ListenOn(kServerAddress, serverPort);
    UniqueFd source(::socket(AF_INET, SOCK_STREAM, 0));
    ASSERT_TRUE(TryConnect(source, kClientAddress, clientPort));
    UniqueFd destination = AcceptWithin(destinationListener.Get());
    ASSERT_TRUE(destination.Valid());
    ASSERT_TRUE(SendAll(source.Get(), "after"));
    EXPECT_EQ(ReadStream(destination.Get(), 6).data, "after\0"s);

    source.Reset();
    destination.Reset();
    program.Signal(SIGTERM);
    EXPECT_EQ(program.Wait(), 0);
    const std::string err = program.Err();
    EXPECT_EQ(Count(err, "无法连接"), 2u) << err;
    EXPECT_EQ(Count(err, "又有 " + std::to_string(kFailedConnects - 1) + " 个连接因无法连接 " +
                             server + " 而未能转发"),
              1u)
        << err;
    // One accepted line: the stream that went through.
    EXPECT_EQ(Count(err, "已接受连接"), 1u) << err;
    EXPECT_LT(Count(err, "\n"), 16u) << err;
}

// A stop signal while the TCP relay waits for its connection ends it at once, and the relay never
// connects to the other side.
TEST(HeadlessRelayTest, StopSignalWhileWaitingEndsWithZeroAndNeverConnects) {
    for (const int signal : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(signal);
        const Folder folder;
        const int serverPort = LowFreePort(kServerAddress, SOCK_STREAM);
        const int clientPort = LowFreePort(kClientAddress, SOCK_STREAM);
        const UniqueFd destination = ListenOn(kClientAddress, clientPort);
        folder.WriteParameters(
            Parameters(1, 0, kClientAddress, clientPort, kServerAddress, serverPort));
        Program program(folder, {"--workdir", folder.Path().string()});
        ASSERT_TRUE(WaitUntil([&] { return IsListening(kServerAddress, serverPort); }));

        const auto start = std::chrono::steady_clock::now();
        program.Signal(signal);
        EXPECT_EQ(program.Wait(), 0);
        EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
        EXPECT_FALSE(IsListening(kServerAddress, serverPort));
        EXPECT_FALSE(Readable(destination.Get(), kQuiet)) << "the relay connected after the signal";
        EXPECT_TRUE(Contains(program.Err(), signal == SIGTERM ? "收到 SIGTERM" : "收到 SIGINT"));
    }
}

TEST(HeadlessRelayTest, EndpointInUseEndsWithOneAndTheReason) {
    const Folder folder;
    const int port = LowFreePort(kClientAddress, SOCK_DGRAM);
    const UniqueFd occupant = BindUdp(kClientAddress, port);
    folder.WriteParameters(Parameters(0, 1, kClientAddress, port, kServerAddress, 5000));

    Program program(folder, {"--workdir", folder.Path().string()});
    EXPECT_EQ(program.Wait(), 1);
    EXPECT_TRUE(Contains(program.Err(), "无法启动: 输入网卡 127.0.0.2:" + std::to_string(port) +
                                            " 无法绑定: 地址已被占用"))
        << program.Err();
    // A relay that never bound never started: no start, no end, no totals.
    EXPECT_FALSE(Contains(program.Err(), "已启动")) << program.Err();
    EXPECT_FALSE(Contains(program.Err(), "共转发")) << program.Err();
}

// Settings that cannot be used end the program before anything starts, and --check says the same
// of them without binding anything: the file and the key at fault, in a service log's words.
TEST(HeadlessRelayTest, UnusableSettingsAndAMissingFileEndBeforeAnythingStarts) {
    const std::string endpoints =
        "[ClientOrServer]\nNumber=0\n[UDpOrTCp]\nNumber=1\n[IP]\nNumber=1\n";
    const struct {
        const char* name;
        std::optional<std::string> parameters; // none: no file at all
        int exitCode;
        std::string said; // after "参数文件 <path>"
    } cases[] = {
        {"MissingFile", std::nullopt, 18, " 不存在"},
        {"NothingSaved", "", 2, ": [IP] Number=: 没有保存的设置"},
        {"PortAboveRange",
         endpoints + "[Client1]\nIP=127.0.0.2\n[ClientPost1]\nPost=65536\n"
                     "[Server1]\nIP=127.0.0.3\n[ServerPost1]\nPost=5000\n",
         2, ": [ClientPost1] Post=65536: 请输入一个在 0 和 65535 之间的整数。"},
        // Server to client over UDP sends to the server side: port 0 there names no peer.
        {"PortZeroWhereItSends",
         endpoints + "[Client1]\nIP=127.0.0.2\n[ClientPost1]\nPost=5000\n"
                     "[Server1]\nIP=127.0.0.3\n[ServerPost1]\nPost=0\n",
         2, ": [ServerPost1] Post=0: 输出网卡 的端口不能为 0: 转发要发送到这个端口"},
        {"PortNotANumber",
         endpoints + "[Client1]\nIP=127.0.0.2\n[ClientPost1]\nPost=7401xyz\n"
                     "[Server1]\nIP=127.0.0.3\n[ServerPost1]\nPost=5000\n",
         2, ": [ClientPost1] Post=7401xyz: 不是整数"},
        {"NegativePort",
         endpoints + "[Client1]\nIP=127.0.0.2\n[ClientPost1]\nPost=5000\n"
                     "[Server1]\nIP=127.0.0.3\n[ServerPost1]\nPost=-1\n",
         2, ": [ServerPost1] Post=-1: 请输入一个在 0 和 65535 之间的整数。"},
        {"AddressRunRefuses",
         endpoints + "[Client1]\nIP=1.2.3\n[ClientPost1]\nPost=5000\n"
                     "[Server1]\nIP=127.0.0.3\n[ServerPost1]\nPost=5000\n",
         2, ": [Client1] IP=1.2.3: IP地址输入有误!"},
        // The written form, but octal 9 is no digit: never relayed to 255.255.255.255.
        {"AddressNoConversionReads",
         endpoints + "[Client1]\nIP=127.0.0.2\n[ClientPost1]\nPost=5000\n"
                     "[Server1]\nIP=127.0.0.09\n[ServerPost1]\nPost=5000\n",
         2, ": [Server1] IP=127.0.0.09: IP地址输入有误!"},
        // IPv4 written as IPv6: refused with the address message, not bound and failed later
        // with the system's "Invalid argument".
        {"AddressIPv4Mapped",
         endpoints + "[Client1]\nIP=::ffff:127.0.0.2\n[ClientPost1]\nPost=5000\n"
                     "[Server1]\nIP=127.0.0.3\n[ServerPost1]\nPost=5000\n",
         2, ": [Client1] IP=::ffff:127.0.0.2: IP地址输入有误!"},
        // Allowed sources that would mean anyone, or nobody while seeming to name someone.
        {"SourcesWithoutAnEntry",
         endpoints + "[Client1]\nIP=127.0.0.2\n[ClientPost1]\nPost=5000\n"
                     "[Server1]\nIP=127.0.0.3\n[ServerPost1]\nPost=5000\n[Allow]\nSources=,\n",
         2, ": [Allow] Sources=,: 允许的来源中没有地址或前缀: ,"},
        {"SourcesSemicolons",
         endpoints + "[Client1]\nIP=127.0.0.2\n[ClientPost1]\nPost=5000\n"
                     "[Server1]\nIP=127.0.0.3\n[ServerPost1]\nPost=5000\n[Allow]\nSources= ; \n",
         2, ": [Allow] Sources=;: 允许的来源中有无效的地址或前缀: ;"},
        {"SourcesMapped",
         endpoints + "[Client1]\nIP=127.0.0.2\n[ClientPost1]\nPost=5000\n[Server1]\nIP=127.0.0.3\n"
                     "[ServerPost1]\nPost=5000\n[Allow]\nSources=::ffff:127.0.0.2\n",
         2,
         ": [Allow] Sources=::ffff:127.0.0.2: 允许的来源中有 IPv4 映射地址: ::ffff:127.0.0.2; "
         "请直接写 IPv4 地址 127.0.0.2"},
        {"IdleLimitNoNumber",
         endpoints +
             "[Client1]\nIP=127.0.0.2\n[ClientPost1]\nPost=5000\n"
             "[Server1]\nIP=127.0.0.3\n[ServerPost1]\nPost=5000\n[Relay]\nIdleSeconds=5min\n",
         2, ": [Relay] IdleSeconds=5min: 不是秒数 (0 到 4294967295, 0 表示不限)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Folder folder;
        if (c.parameters) {
            folder.WriteParameters(*c.parameters);
        }
        const std::string said =
            "参数文件 " + (folder.Path() / "InfoFile/ParameterSet.inf").string() + c.said;
        Program program(folder, {"--workdir", folder.Path().string()});
        EXPECT_EQ(program.Wait(), c.exitCode);
        EXPECT_TRUE(Contains(program.Err(), said)) << program.Err();
        EXPECT_FALSE(Contains(program.Err(), "已启动"));

        Program check(folder, {"--check", "--workdir", folder.Path().string()});
        EXPECT_EQ(check.Wait(), c.exitCode);
        EXPECT_TRUE(check.Out().starts_with(said + "\n")) << check.Out();
    }

    // A directory of the file's name is no parameter file either.
    const Folder folder;
    fs::create_directories(folder.Path() / "InfoFile/ParameterSet.inf");
    Program program(folder, {"--workdir", folder.Path().string()});
    EXPECT_EQ(program.Wait(), 18);
    EXPECT_TRUE(Contains(program.Err(), "无法读取参数文件 " +
                                            (folder.Path() / "InfoFile/ParameterSet.inf").string() +
                                            ": 是一个目录"))
        << program.Err();
}

// Every port a socket has, on either side: --check takes 0 (where the relay waits), 20000 and
// 65535, and a TCP relay between two ports the system hands out (far above 10000) carries a stream.
TEST(HeadlessRelayTest, EveryPortUpTo65535IsTaken) {
    for (const auto& [waitPort, otherPort] : {std::pair{0, 20000}, std::pair{65535, 20000}}) {
        SCOPED_TRACE(waitPort);
        const Folder folder;
        folder.WriteParameters(
            Parameters(1, 0, kClientAddress, otherPort, kServerAddress, waitPort));
        Program check(folder, {"--check", "--workdir", folder.Path().string()});
        EXPECT_EQ(check.Wait(), 0) << check.Out();
        EXPECT_TRUE(check.Out().starts_with(
            "设置可用: 客户端到服务器端, TCP, 输入网卡 127.0.0.2:" + std::to_string(otherPort) +
            ", 输出网卡 127.0.0.3:" + std::to_string(waitPort) + ","))
            << check.Out();
    }

    const Folder folder;
    const int waitPort = FreePort(kServerAddress, SOCK_STREAM);
    const int otherPort = FreePort(kClientAddress, SOCK_STREAM);
    ASSERT_GT(std::min(waitPort, otherPort), 10000) << "the system's ports start lower";
    const UniqueFd otherListener = ListenOn(kClientAddress, otherPort);
    folder.WriteParameters(Parameters(1, 0, kClientAddress, otherPort, kServerAddress, waitPort));
    Program program(folder, {"--workdir", folder.Path().string()});
    ASSERT_TRUE(program.Started());
    const UniqueFd destination = ConnectWithin(kServerAddress, waitPort);
    const UniqueFd source = AcceptWithin(otherListener.Get());
    ASSERT_TRUE(source.Valid()) << program.Err();
    ASSERT_TRUE(SendAll(source.Get(), "high"));
    EXPECT_EQ(ReadStream(destination.Get(), 5).data, "high"s + '\0');
    program.Signal(SIGTERM);
    EXPECT_EQ(program.Wait(), 0);
}

// --check reads a good file as a start would and names values read as their fallback, binding
// nothing: the endpoint may even be taken. Its line says where the relay waits, where it sends and
// where the metrics are served.
TEST(HeadlessRelayTest, CheckPrintsThePlanAndWarningsWithoutBinding) {
    const Folder folder;
    const int port = LowFreePort(kClientAddress, SOCK_DGRAM);
    const UniqueFd occupant = BindUdp(kClientAddress, port);
    std::string file = Parameters(0, 1, kClientAddress, port, kServerAddress, 5000) +
                       "[Status]\nListen=127.0.0.1:9\n";
    file.replace(file.find("[UDpOrTCp]\nNumber=1"), 19, "[UDpOrTCp]\nNumber=1x");
    folder.WriteParameters(file);
    Program check(folder,
                  {"--config", (folder.Path() / "InfoFile/ParameterSet.inf").string(), "--check"});
    EXPECT_EQ(check.Wait(), 0);
    EXPECT_EQ(check.Out(),
              "设置可用: 服务器端到客户端, UDP, 输入网卡 127.0.0.2:" + std::to_string(port) +
                  ", 输出网卡 127.0.0.3:5000, 按文本转发, 允许的来源: 任何来源; "
                  "绑定 输入网卡 127.0.0.2:" +
                  std::to_string(port) +
                  ", 发往 输出网卡 127.0.0.3:5000; 指标: http://127.0.0.1:9/metrics\n"
                  "警告: [UDpOrTCp] Number=1x: 不是可选的值, 按 UDP 处理\n");
    EXPECT_EQ(check.Err(), "");

    // A start says the same warnings in its log.
    Program start(folder, {"--workdir", folder.Path().string()});
    EXPECT_EQ(start.Wait(), 1);
    EXPECT_TRUE(Contains(start.Err(), "[UDpOrTCp] Number=1x: 不是可选的值, 按 UDP 处理"))
        << start.Err();
}

// One relay per parameter file, however the second start names it; all of them share the user's
// lock folder.
TEST(HeadlessRelayTest, ASecondRelayOnTheSameSettingsEndsWithThreeAndSaysSo) {
    const Folder locks;
    const Folder folder;
    const Folder elsewhere;
    const int serverPort = LowFreePort(kServerAddress, SOCK_STREAM);
    folder.WriteParameters(Parameters(1, 0, kClientAddress, 1, kServerAddress, serverPort));
    fs::create_directory_symlink(folder.Path(), elsewhere.Path() / "link");
    Program first(folder, {"--workdir", folder.Path().string()}, {.lockFolder = locks.Path()});
    ASSERT_TRUE(WaitUntil([&] { return IsListening(kServerAddress, serverPort); }));

    const struct {
        const char* name;
        std::vector<std::string> arguments;
        bool dialogProgram = false;
    } cases[] = {
        {"TheSameFolder", {"--workdir", folder.Path().string()}},
        {"TheDialogsProgram", {"--workdir", folder.Path().string()}, kDialogProgram != nullptr},
        {"TheFolderThroughALink", {"--workdir", (elsewhere.Path() / "link").string()}},
        {"TheFileByName",
         {"--workdir", elsewhere.Path().string(), "--config",
          (folder.Path() / "InfoFile/ParameterSet.inf").string()}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Program second(elsewhere, c.arguments,
                       {.lockFolder = locks.Path(), .dialogProgram = c.dialogProgram});
        EXPECT_EQ(second.Wait(), 3);
        EXPECT_TRUE(
            Contains(second.Err(), "已有一个转发进程在按 " +
                                       (folder.Path() / "InfoFile/ParameterSet.inf").string() +
                                       " 转发, 本实例不再启动"))
            << second.Err();
        EXPECT_FALSE(Contains(second.Err(), "已启动"));
    }
    EXPECT_TRUE(IsListening(kServerAddress, serverPort)) << "the first one goes on";
    EXPECT_EQ(first.Wait(0ms), -1);
}

// Relays with settings of their own run side by side under one user, one from its working folder
// and one from a file named on the command line, and each carries its own stream as its own file
// says (the second forwards bytes as they are).
TEST(HeadlessRelayTest, RelaysWithSettingsOfTheirOwnRunSideBySide) {
    const Folder locks;
    const Folder first;
    const Folder second;
    const UniqueFd source = BindUdp(kClientAddress, 0);
    std::vector<std::unique_ptr<Program>> programs;
    std::vector<std::pair<int, int>> ports; // the relay's own port, its sink's port
    std::vector<UniqueFd> sinks;
    for (const Folder* folder : {&first, &second}) {
        const int port = LowFreePort(kClientAddress, SOCK_DGRAM);
        const int sinkPort = LowFreePort(kServerAddress, SOCK_DGRAM);
        sinks.push_back(BindUdp(kServerAddress, sinkPort));
        ports.emplace_back(port, sinkPort);
        folder->WriteParameters(Parameters(0, 1, kClientAddress, port, kServerAddress, sinkPort) +
                                (folder == &second ? "[Forward]\nMode=Bytes\n" : ""));
    }
    fs::rename(second.Path() / "InfoFile/ParameterSet.inf", second.Path() / "relay.inf");
    programs.push_back(std::make_unique<Program>(
        first, std::vector<std::string>{"--workdir", first.Path().string()},
        Start{.lockFolder = locks.Path()}));
    programs.push_back(std::make_unique<Program>(
        second, std::vector<std::string>{"--config", (second.Path() / "relay.inf").string()},
        Start{.lockFolder = locks.Path()}));
    for (std::size_t i = 0; i < programs.size(); ++i) {
        SCOPED_TRACE(i);
        ASSERT_TRUE(WaitUntil([&] { return IsUdpBound(kClientAddress, ports[i].first); }))
            << programs[i]->Err();
        const std::string text = "to relay " + std::to_string(i);
        SendDatagram(source.Get(), text, kClientAddress, ports[i].first);
        const auto forwarded = ReceiveDatagram(sinks[i].Get());
        ASSERT_TRUE(forwarded.has_value());
        EXPECT_EQ(forwarded->data, i == 0 ? text + '\0' : text);
    }
    for (std::size_t i = 0; i < programs.size(); ++i) {
        Program& program = *programs[i];
        EXPECT_EQ(program.Wait(0ms), -1) << program.Err();
        program.Signal(SIGTERM);
        EXPECT_EQ(program.Wait(), 0);
        EXPECT_EQ(Count(program.Err(),
                        i == 0 ? "共转发 11 字节, 1 个数据报" : "共转发 10 字节, 1 个数据报"),
                  1u)
            << program.Err();
    }
}

// In the journal each line starts with its priority and carries no time of ours; elsewhere it
// starts with the local time. A JOURNAL_STREAM that names another stream is not the journal.
TEST(HeadlessRelayTest, LinesCarryTheJournalsPriorityOnlyWhenStandardErrorIsTheJournal) {
    const Folder folder;
    const int port = LowFreePort(kClientAddress, SOCK_DGRAM);
    const UniqueFd occupant = BindUdp(kClientAddress, port);
    std::string file = Parameters(0, 1, kClientAddress, port, kServerAddress, 5000);
    file.replace(file.find("[UDpOrTCp]\nNumber=1"), 19, "[UDpOrTCp]\nNumber=1x");
    folder.WriteParameters(file);
    const struct {
        const char* name;
        Start start;
        std::string warned;
        std::string failed;
    } cases[] = {
        {"Journal",
         {.journal = true},
         "<4>[UDpOrTCp] Number=1x",
         "<3>无法启动: 输入网卡 127.0.0.2:"},
        {"AnotherStream", {.environment = {"JOURNAL_STREAM=1:1"}}, " [UDpOrTCp]", " 无法启动: "},
        {"Terminal", {}, " [UDpOrTCp]", " 无法启动: "},
    };
    const std::regex timed(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \S)");
    const std::regex timedStart(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \S)");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Program program(folder, {"--workdir", folder.Path().string()}, c.start);
        EXPECT_EQ(program.Wait(), 1);
        const std::string err = program.Err();
        EXPECT_TRUE(Contains(err, c.warned)) << err;
        EXPECT_TRUE(Contains(err, c.failed)) << err;
        std::istringstream lines(err);
        for (std::string line; std::getline(lines, line);) {
            if (c.start.journal) {
                EXPECT_TRUE(line.starts_with("<4>") || line.starts_with("<3>")) << line;
                EXPECT_FALSE(std::regex_search(line, timed)) << line;
            } else {
                EXPECT_TRUE(std::regex_search(line, timedStart)) << line;
            }
        }
    }
}

// systemd hears that the relay is ready once it listens (TCP) or is bound (UDP), and never from a
// relay that could not set up.
TEST(HeadlessRelayTest, TellsSystemdItIsReadyOnceItListensOrIsBound) {
    const Folder folder;
    const fs::path socketPath = folder.Path() / "notify";
    const UniqueFd notify(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(notify.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    const Start start{.environment = {"NOTIFY_SOCKET=" + socketPath.string()}};
    const auto message = [&](std::chrono::milliseconds timeout) {
        char text[256] = {};
        if (!Readable(notify.Get(), timeout)) {
            return std::string();
        }
        const ssize_t got = ::recv(notify.Get(), text, sizeof text - 1, 0);
        return got > 0 ? std::string(text, static_cast<std::size_t>(got)) : std::string();
    };

    for (const int udp : {0, 1}) {
        SCOPED_TRACE(udp == 1 ? "UDP" : "TCP");
        const int type = udp == 1 ? SOCK_DGRAM : SOCK_STREAM;
        const int port = LowFreePort(kClientAddress, type);
        folder.WriteParameters(Parameters(0, udp, kClientAddress, port, kServerAddress, 5000));
        Program program(folder, {"--workdir", folder.Path().string()}, start);
        EXPECT_EQ(message(kTimeout), "READY=1");
        EXPECT_TRUE(udp == 1 ? IsUdpBound(kClientAddress, port)
                             : IsListening(kClientAddress, port));
        // systemd counts the service as reloading until it is ready again, and as stopping once
        // it is told so.
        program.Signal(SIGHUP);
        EXPECT_EQ(message(kTimeout), "RELOADING=1");
        EXPECT_EQ(message(kTimeout), "READY=1");
        program.Signal(SIGTERM);
        EXPECT_EQ(message(kTimeout), "STOPPING=1");
        EXPECT_EQ(program.Wait(), 0);
        EXPECT_EQ(message(0ms), "") << "a message too many";
    }

    const int port = LowFreePort(kClientAddress, SOCK_DGRAM);
    const UniqueFd occupant = BindUdp(kClientAddress, port);
    folder.WriteParameters(Parameters(0, 1, kClientAddress, port, kServerAddress, 5000));
    Program failing(folder, {"--workdir", folder.Path().string()}, start);
    EXPECT_EQ(failing.Wait(), 1);
    EXPECT_EQ(message(0ms), "") << "ready although it could not bind";
}

// Both programs answer --help and --version, and refuse what they do not know with exit 2.
TEST(HeadlessRelayTest, HelpVersionAndUsageErrors) {
    const Folder folder;
    for (const bool dialogProgram : DialogProgramOrNot()) {
        SCOPED_TRACE(dialogProgram ? "tarvel" : "tarvel-relay");
        // The dialog's program takes --headless itself; these need none.
        Program help(folder, {"--help"}, {.dialogProgram = dialogProgram});
        EXPECT_EQ(help.Wait(), 0);
        EXPECT_TRUE(help.Out().starts_with(dialogProgram ? "用法: tarvel\n"
                                                         : "用法: tarvel-relay [--config 文件]"))
            << help.Out();
        EXPECT_TRUE(Contains(help.Out(), "--workdir 目录"));
        EXPECT_TRUE(Contains(help.Out(), "--check"));
        EXPECT_EQ(Contains(help.Out(), "打开对话框"), dialogProgram);

        Program version(folder, {"--version"}, {.dialogProgram = dialogProgram});
        EXPECT_EQ(version.Wait(), 0);
        EXPECT_EQ(version.Out(),
                  std::string(dialogProgram ? "tarvel " : "tarvel-relay ") + TARVEL_VERSION + "\n");

        Program unknown(folder, {"--listen"}, {.dialogProgram = dialogProgram});
        EXPECT_EQ(unknown.Wait(), 2);
        EXPECT_TRUE(unknown.Err().starts_with("未知选项 '--listen'。\n用法: ")) << unknown.Err();

        Program missing(folder, {"--config"}, {.dialogProgram = dialogProgram});
        EXPECT_EQ(missing.Wait(), 2);
        EXPECT_TRUE(missing.Err().starts_with("'--config' 后面缺少值。\n")) << missing.Err();

        Program extra(folder, {"--check", "more"}, {.dialogProgram = dialogProgram});
        EXPECT_EQ(extra.Wait(), 2);
        EXPECT_TRUE(extra.Err().starts_with("多余的参数: more\n")) << extra.Err();
    }
}

// Until a status line holds `text`. The worker counts a datagram just after sending it, so the
// sink can have it before the count does: the status is asked again until it shows.
bool StatusShows(Program& program, const std::string& text) {
    return WaitUntil([&] {
        program.Signal(SIGUSR1);
        return LogShows(program, text, 100ms);
    });
}

// A UDP relay from the client endpoint to a sink on the server endpoint, started headless.
struct UdpService {
    Folder folder;
    int clientPort = LowFreePort(kClientAddress, SOCK_DGRAM);
    int sinkPort = LowFreePort(kServerAddress, SOCK_DGRAM);
    UniqueFd sink = BindUdp(kServerAddress, sinkPort);
    UniqueFd source = BindUdp(kClientAddress, 0);

    std::unique_ptr<Program> Start() {
        folder.WriteParameters(
            Parameters(0, 1, kClientAddress, clientPort, kServerAddress, sinkPort));
        auto program = std::make_unique<Program>(
            folder, std::vector<std::string>{"--workdir", folder.Path().string()});
        WaitUntil([&] { return IsUdpBound(kClientAddress, clientPort); });
        return program;
    }
    // Sends `text` to the relay's port and returns what reached the sink.
    std::string Through(int port, const std::string& text) {
        SendDatagram(source.Get(), text, kClientAddress, port);
        const auto forwarded = ReceiveDatagram(sink.Get());
        return forwarded ? forwarded->data : std::string();
    }
};

// Port 0 lets the system choose: the log and the status line name the port it chose, where the
// relay is, while the start line says what the file asked for.
TEST(HeadlessRelayTest, APortZeroRelayLogsThePortBound) {
    const struct {
        const char* name;
        int clientToServer;
        int udp;
        const char* address; // where it waits
        std::string waiting; // the log's words for it, before the port
        std::string started;
    } cases[] = {
        {"TCP client to server", 1, 0, kServerAddress, "等待连接: 输出网卡 127.0.0.3:",
         "已启动: 客户端到服务器端, TCP, 输入网卡 127.0.0.2:5000, 输出网卡 127.0.0.3:0"},
        {"UDP server to client", 0, 1, kClientAddress, "等待数据报: 输入网卡 127.0.0.2:",
         "已启动: 服务器端到客户端, UDP, 输入网卡 127.0.0.2:0, 输出网卡 127.0.0.3:5000"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Folder folder;
        folder.WriteParameters(Parameters(c.clientToServer, c.udp, kClientAddress,
                                          c.clientToServer ? 5000 : 0, kServerAddress,
                                          c.clientToServer ? 0 : 5000));
        Program program(folder, {"--headless", "--workdir", folder.Path().string()});
        ASSERT_TRUE(program.Started());
        const std::regex waitingLine(c.waiting + "(\\d+)");
        std::smatch found;
        std::string log;
        ASSERT_TRUE(WaitUntil([&] {
            log = program.Err();
            return std::regex_search(log, found, waitingLine);
        })) << log;
        const int port = std::stoi(found[1]);
        EXPECT_NE(port, 0) << log;
        EXPECT_TRUE(c.udp ? IsUdpBound(c.address, port) : IsListening(c.address, port));
        EXPECT_TRUE(Contains(log, c.started)) << log;
        const std::string status =
            (c.udp ? "正在接收数据报: 输入网卡 127.0.0.2:" : "等待连接: 输出网卡 127.0.0.3:") +
            std::to_string(port) + ",";
        EXPECT_TRUE(StatusShows(program, "收到 SIGUSR1, " + status)) << program.Err();
        program.Signal(SIGTERM);
        EXPECT_EQ(program.Wait(), 0);
    }
}

// SIGHUP reads the parameter file again: the same plan goes on untouched, a changed one takes
// the running relay's place, a file that gives no plan leaves it running. SIGUSR1 logs where the
// relay is; SIGPIPE is ignored. Each says so in the log, and the relay goes on.
TEST(HeadlessSignalsTest, ReloadStatusAndIgnoredSignals) {
    UdpService service;
    const std::unique_ptr<Program> program = service.Start();
    ASSERT_EQ(service.Through(service.clientPort, "one"), "one\0"s);

    program->Signal(SIGHUP);
    EXPECT_TRUE(LogShows(*program, "收到 SIGHUP, 设置未改变, 继续转发"));
    EXPECT_TRUE(StatusShows(*program, ", 已转发 4 字节, 1 个数据报")) << program->Err();
    EXPECT_TRUE(Contains(program->Err(), "收到 SIGUSR1, 正在接收数据报: 输入网卡 127.0.0.2:" +
                                             std::to_string(service.clientPort) +
                                             ", 最近来自 127.0.0.2:"))
        << program->Err();
    program->Signal(SIGPIPE);
    EXPECT_TRUE(LogShows(*program, "收到 SIGPIPE, 已忽略"));
    service.folder.WriteParameters("[IP]\nNumber=1\n[Client1]\nIP=127.0.0.09\n");
    program->Signal(SIGHUP);
    EXPECT_TRUE(
        LogShows(*program, "收到 SIGHUP, 重新加载失败, 继续按原设置转发: 参数文件 " +
                               (service.folder.Path() / "InfoFile/ParameterSet.inf").string() +
                               ": [Client1] IP=127.0.0.09: IP地址输入有误!"))
        << program->Err();
    EXPECT_EQ(service.Through(service.clientPort, "two"), "two\0"s);
    EXPECT_EQ(Count(program->Err(), "已启动"), 1u) << "the relay was restarted";

    // A changed port: the old endpoint is let go, the new one relays.
    const int newPort = LowFreePort(kClientAddress, SOCK_DGRAM);
    service.folder.WriteParameters(
        Parameters(0, 1, kClientAddress, newPort, kServerAddress, service.sinkPort));
    program->Signal(SIGHUP);
    EXPECT_TRUE(LogShows(*program, "收到 SIGHUP, 设置已改变, 按新设置重新启动转发"));
    ASSERT_TRUE(WaitUntil([&] { return IsUdpBound(kClientAddress, newPort); }));
    // The new endpoint is bound before the old relay stops: the old one goes a moment later.
    EXPECT_TRUE(WaitUntil([&] { return !IsUdpBound(kClientAddress, service.clientPort); }));
    EXPECT_EQ(service.Through(newPort, "three"), "three\0"s);
    const std::string log = program->Err();
    EXPECT_TRUE(Contains(log, "已结束: 已停止")) << log;
    EXPECT_TRUE(Contains(log, "共转发 8 字节, 2 个数据报")) << log;
    EXPECT_TRUE(Contains(log, "已启动: 服务器端到客户端, UDP, 输入网卡 127.0.0.2:" +
                                  std::to_string(newPort)))
        << log;

    program->Signal(SIGTERM);
    EXPECT_EQ(program->Wait(), 0);
}

// A datagram longer than one unit is cut to its first 4095 bytes and a zero, and the totals say
// how many were.
TEST(HeadlessSignalsTest, OversizedDatagramsAreCutAndCounted) {
    UdpService service;
    const std::unique_ptr<Program> program = service.Start();
    for (const std::size_t size : {65507u, 4096u}) {
        EXPECT_EQ(service.Through(service.clientPort, std::string(size, 'x')),
                  std::string(4095, 'x') + '\0')
            << size;
    }
    EXPECT_EQ(service.Through(service.clientPort, std::string(4095, 'y')),
              std::string(4095, 'y') + '\0');
    EXPECT_TRUE(StatusShows(*program, "3 个数据报, 其中 2 个数据报超过 4095 字节, 已截断"))
        << program->Err();
    program->Signal(SIGTERM);
    EXPECT_EQ(program->Wait(), 0);
    EXPECT_TRUE(Contains(program->Err(),
                         "共转发 12288 字节, 3 个数据报, 其中 2 个数据报超过 4095 字节, 已截断"))
        << program->Err();
}

// A stop signal, and a reload with a changed file, in the middle of a TCP stream: every unit that
// arrived is whole and the destination sees an orderly close.
TEST(HeadlessSignalsTest, SignalsMidStreamLeaveNoUnitTorn) {
    for (const int signal : {SIGTERM, SIGHUP}) {
        SCOPED_TRACE(signal == SIGTERM ? "SIGTERM" : "SIGHUP with a changed file");
        const TcpSetting relay(1);
        Program program(relay.folder, relay.Arguments());
        auto [source, destination] = relay.Connect();
        ASSERT_TRUE(destination.Valid() && source.Valid());

        const std::string data = StreamWithoutZeros(64U << 20);
        std::thread sender([&] { SendAll(source.Get(), data); });
        StreamRead read = ReadStream(destination.Get(), 1U << 20);
        // A port found free, not merely the next one: tests running alongside take ports too.
        const int newServerPort = LowFreePort(kServerAddress, SOCK_STREAM);
        if (signal == SIGHUP) {
            relay.folder.WriteParameters(
                Parameters(1, 0, kClientAddress, relay.clientPort, kServerAddress, newServerPort));
        }
        program.Signal(signal);
        const StreamRead rest = ReadUntilClosed(destination.Get(), 10s);
        read.data += rest.data;
        ::shutdown(source.Get(), SHUT_RDWR);
        sender.join();

        EXPECT_TRUE(rest.closed);
        EXPECT_FALSE(rest.reset);
        bool wellFormed = false;
        const std::string joined = JoinUnits(read.data, &wellFormed);
        EXPECT_TRUE(wellFormed) << "a unit arrived torn";
        EXPECT_TRUE(data.compare(0, joined.size(), joined) == 0);
        if (signal == SIGTERM) {
            EXPECT_EQ(program.Wait(), 0);
        } else {
            EXPECT_TRUE(
                LogShows(program, "等待连接: 输出网卡 127.0.0.3:" + std::to_string(newServerPort)))
                << program.Err();
        }
    }
}

// The settings dialog's keys reach the relay without a window too: the start line names them, and
// a source that is not allowed is refused, logged with its address and counted.
TEST(HeadlessRelayTest, ForwardingSettingsAndRefusedSourcesAreLogged) {
    const TcpSetting relay(1, "[Forward]\nMode=Bytes\n[Allow]\nSources=127.0.0.1/32\n");
    Program program(relay.folder, relay.Arguments());
    ASSERT_TRUE(WaitUntil([&] { return IsListening(kServerAddress, relay.serverPort); }));

    UniqueFd intruder(::socket(AF_INET, SOCK_STREAM, 0));
    const sockaddr_in from = MakeSocketAddress("127.0.0.99", 0);
    ASSERT_EQ(::bind(intruder.Get(), AsSockaddr(from), sizeof from), 0);
    ASSERT_TRUE(TryConnect(intruder, kServerAddress, relay.serverPort));
    EXPECT_TRUE(ReadUntilClosed(intruder.Get()).closed);
    EXPECT_FALSE(Readable(relay.otherListener.Get(), kQuiet)) << "the intruder reached the source";

    auto [source, destination] = relay.Connect();
    ASSERT_TRUE(destination.Valid() && source.Valid());
    ASSERT_TRUE(SendAll(source.Get(), "as\0is"s));
    EXPECT_EQ(ReadStream(destination.Get(), 5).data, "as\0is"s);
    source.Reset();
    EXPECT_TRUE(ReadUntilClosed(destination.Get()).closed);
    destination.Reset();
    EXPECT_TRUE(LogShows(program, "共转发 5 字节"));
    program.Signal(SIGTERM);
    EXPECT_EQ(program.Wait(), 0);

    const std::string log = program.Err();
    EXPECT_TRUE(Contains(log, "原样转发, 允许的来源: 127.0.0.1")) << log;
    EXPECT_TRUE(Contains(log, "拒绝来源 127.0.0.99:")) << log;
    EXPECT_TRUE(Contains(log, "共转发 5 字节, 拒绝不允许来源的连接 1 个")) << log;
}

// An allowed-sources list far longer than the original keys' 254 characters is read whole by both
// programs: its last entry, 127.0.0.2/32, admits that address alone; cut at 254 characters it
// would have read 127.0.0.2/3 and let the whole of 96.0.0.0/3 in.
TEST(HeadlessRelayTest, ALongAllowListIsReadWholeAndNoStrangerPasses) {
    std::string list;
    while (list.size() < 2000) {
        list += "10.0.0.1,";
    }
    list += "127.0.0.2/32";
    for (const bool dialogProgram : DialogProgramOrNot()) {
        for (const int udp : {0, 1}) {
            SCOPED_TRACE(std::string(dialogProgram ? "tarvel --headless" : "tarvel-relay") +
                         (udp == 1 ? ", UDP" : ", TCP"));
            const Folder folder;
            const int type = udp == 1 ? SOCK_DGRAM : SOCK_STREAM;
            const int clientPort = LowFreePort(kClientAddress, type);
            const int serverPort = LowFreePort(kServerAddress, type);
            const UniqueFd destination = udp == 1 ? BindUdp(kServerAddress, serverPort)
                                                  : ListenOn(kServerAddress, serverPort);
            folder.WriteParameters(
                Parameters(0, udp, kClientAddress, clientPort, kServerAddress, serverPort) +
                "[Allow]\nSources=" + list + "\n");
            Program program(folder, {"--workdir", folder.Path().string()},
                            {.dialogProgram = dialogProgram});
            ASSERT_TRUE(WaitUntil([&] {
                return udp == 1 ? IsUdpBound(kClientAddress, clientPort)
                                : IsListening(kClientAddress, clientPort);
            })) << program.Err();
            for (const char* from : {"127.0.0.3", "127.255.0.1", "127.0.0.2"}) {
                SCOPED_TRACE(from);
                const bool allowed = std::string(from) == "127.0.0.2";
                const sockaddr_in local = MakeSocketAddress(from, 0);
                if (udp == 1) {
                    const UniqueFd sender = BindUdp(from, 0);
                    SendDatagram(sender.Get(), from, kClientAddress, clientPort);
                    const auto forwarded =
                        ReceiveDatagram(destination.Get(), allowed ? kTimeout : kQuiet);
                    EXPECT_EQ(forwarded.has_value(), allowed);
                    continue;
                }
                UniqueFd peer(::socket(AF_INET, SOCK_STREAM, 0));
                ASSERT_EQ(::bind(peer.Get(), AsSockaddr(local), sizeof local), 0);
                ASSERT_TRUE(TryConnect(peer, kClientAddress, clientPort));
                if (!allowed) {
                    EXPECT_TRUE(ReadUntilClosed(peer.Get()).closed);
                    EXPECT_FALSE(Readable(destination.Get(), kQuiet)) << "a stranger got through";
                    continue;
                }
                UniqueFd outgoing = AcceptWithin(destination.Get());
                ASSERT_TRUE(outgoing.Valid());
                ASSERT_TRUE(SendAll(peer.Get(), "mine"));
                EXPECT_EQ(ReadStream(outgoing.Get(), 5).data, "mine\0"s);
            }
            program.Signal(SIGTERM);
            EXPECT_EQ(program.Wait(), 0);
            const std::string log = program.Err();
            EXPECT_TRUE(Contains(log, ", 10.0.0.1, 127.0.0.2\n")) << log.substr(0, 300);
            EXPECT_TRUE(
                Contains(log, "不允许来源的" + std::string(udp == 1 ? "数据报 2 个" : "连接 2 个")))
                << log;
        }
    }
}

// A relay aimed at itself never starts, in either program: a UDP one would send one datagram round
// and round for ever, a TCP one would connect to its own listener. Exit 2, both endpoints named,
// nothing bound.
TEST(HeadlessRelayTest, ARelayAimedAtItselfIsRefusedWithBothEndpointsNamed) {
    for (const bool dialogProgram : DialogProgramOrNot()) {
        for (const int udp : {0, 1}) {
            SCOPED_TRACE(std::string(dialogProgram ? "tarvel --headless" : "tarvel-relay") +
                         (udp == 1 ? ", UDP" : ", TCP"));
            const Folder folder;
            const int port = LowFreePort(kClientAddress, udp == 1 ? SOCK_DGRAM : SOCK_STREAM);
            // The wildcard it waits on takes in the address it would send to.
            folder.WriteParameters(Parameters(0, udp, "0.0.0.0", port, kClientAddress, port));
            Program program(folder, {"--workdir", folder.Path().string()},
                            {.dialogProgram = dialogProgram});
            EXPECT_EQ(program.Wait(), 2);
            const std::string text = std::to_string(port);
            EXPECT_TRUE(Contains(program.Err(),
                                 "[Server1] IP=127.0.0.2: IP地址输入有误! 输出网卡 127.0.0.2:" +
                                     text + " 就是本转发" + (udp == 1 ? "接收" : "监听") +
                                     "的 输入网卡 0.0.0.0:" + text + ", 数据会转发给自己"))
                << program.Err();
            EXPECT_FALSE(Contains(program.Err(), "已启动"));
            EXPECT_FALSE(udp == 1 ? IsUdpBound("0.0.0.0", port) : IsListening("0.0.0.0", port));
        }
    }
}

} // namespace

// A binary stream relayed as text, as a service file without [Forward] does: each stream's first
// cut is a warning of its own, said once however many units are cut, and each stream's end line
// counts exactly the bytes left out. Each piece is sent once the one before it has arrived, so one
// piece is one unit of the relay.
TEST(HeadlessRelayTest, TextCutsOfABinaryStreamAreWarnedOncePerStreamAndCounted) {
    const TcpSetting relay(0);
    Program program(relay.folder, {"--headless", "--workdir", relay.folder.Path().string()},
                    {.journal = true});
    const std::string warning =
        "<4>按文本转发: 第一个零字节之后的数据未转发; 二进制数据请选 原样转发\n";
    const std::size_t pieceSizes[][3] = {{1000, 4095, 17}, {2, 300, 4000}};
    for (const auto& sizes : pieceSizes) {
        auto [source, destination] = relay.Connect();
        ASSERT_TRUE(source.Valid() && destination.Valid());
        std::size_t dropped = 0;
        for (const std::size_t size : sizes) {
            // Binary: a zero after the first byte, the rest never zero.
            std::string piece(size, '\x7f');
            piece[1] = '\0';
            dropped += size - 2;
            ASSERT_TRUE(SendAll(source.Get(), piece));
            ASSERT_EQ(ReadStream(destination.Get(), 2).data, piece.substr(0, 2));
        }
        source.Reset();
        EXPECT_TRUE(ReadUntilClosed(destination.Get()).closed);
        EXPECT_TRUE(LogShows(program, "<6>共转发 6 字节, 零字节之后未转发 " +
                                          std::to_string(dropped) + " 字节\n"))
            << program.Err();
    }
    EXPECT_EQ(Count(program.Err(), warning), 2u) << program.Err();
    program.Signal(SIGTERM);
    EXPECT_EQ(program.Wait(), 0);
}

// [Relay] IdleSeconds: the start line names the limit, a stream on which nothing moved that long
// ends with its own line, and the next connection is served as after any stream.
TEST(HeadlessRelayTest, AnIdleStreamEndsAfterTheLimitAndTheNextIsServed) {
    const TcpSetting relay(0, "[Relay]\nIdleSeconds=1\n");
    Program program(relay.folder, {"--headless", "--workdir", relay.folder.Path().string()});

    auto [source, destination] = relay.Connect();
    ASSERT_TRUE(source.Valid() && destination.Valid());
    ASSERT_TRUE(SendAll(source.Get(), "quiet"));
    EXPECT_EQ(ReadStream(destination.Get(), 6).data, "quiet\0"s);
    const StreamRead rest = ReadUntilClosed(destination.Get(), 10s);
    EXPECT_TRUE(rest.closed);
    EXPECT_FALSE(rest.reset);
    EXPECT_TRUE(ReadUntilClosed(source.Get(), 10s).closed);
    destination.Reset();
    EXPECT_TRUE(LogShows(program, "已结束: 空闲超时, 已断开")) << program.Err();

    auto [next, nextDestination] = relay.Connect();
    ASSERT_TRUE(next.Valid() && nextDestination.Valid());
    ASSERT_TRUE(SendAll(next.Get(), "next"));
    EXPECT_EQ(ReadStream(nextDestination.Get(), 5).data, "next\0"s);
    program.Signal(SIGTERM);
    EXPECT_EQ(program.Wait(), 0);
    EXPECT_TRUE(Contains(program.Err(), "允许的来源: 任何来源, 空闲 1 秒后断开")) << program.Err();
}

// A destination that keeps its connection open after the relay's close does not hold up the next
// stream: the next one is served while the relay still waits for that destination's own close,
// as the kernel's socket table shows (the relay still holds the first connection).
TEST(HeadlessRelayTest, TheNextStreamIsServedWhileTheLastDestinationsCloseIsAwaited) {
    const TcpSetting relay(1);
    Program program(relay.folder, {"--headless", "--workdir", relay.folder.Path().string()});

    auto [firstSource, firstDestination] = relay.Connect();
    ASSERT_TRUE(firstDestination.Valid() && firstSource.Valid());
    ASSERT_TRUE(SendAll(firstSource.Get(), "one"));
    EXPECT_EQ(ReadStream(firstDestination.Get(), 4).data, "one\0"s);
    firstSource.Reset();
    // The relay's close came; this destination never closes on its own.
    EXPECT_TRUE(ReadUntilClosed(firstDestination.Get()).closed);

    auto [source, destination] = relay.Connect();
    ASSERT_TRUE(destination.Valid() && source.Valid());
    ASSERT_TRUE(SendAll(source.Get(), "two"));
    EXPECT_EQ(ReadStream(destination.Get(), 4).data, "two\0"s);
    EXPECT_GT(TcpSocketInode(EndpointAt(kServerAddress, relay.serverPort),
                             LocalEndpoint(firstDestination.Get())),
              0)
        << "the relay let the first destination go before it served the next stream";

    firstDestination.Reset();
    source.Reset();
    EXPECT_TRUE(ReadUntilClosed(destination.Get()).closed);
    program.Signal(SIGTERM);
    EXPECT_EQ(program.Wait(), 0);
}

// SIGTERM while connections keep arriving: the listener stops taking them before the relay ends
// its stream and waits for its destination's close (which here never comes, so the process lives
// on for that bound). Every connection tried after the signal is refused; none is taken only to
// be reset when the process ends. The stream in progress still ends orderly on both sides.
TEST(HeadlessRelayTest, SigtermClosesTheListenerBeforeTheEndingWaits) {
    const TcpSetting relay(0);
    Program program(relay.folder, {"--headless", "--workdir", relay.folder.Path().string()});
    auto [source, destination] = relay.Connect();
    ASSERT_TRUE(source.Valid() && destination.Valid());
    ASSERT_TRUE(SendAll(source.Get(), "in progress"));
    EXPECT_EQ(ReadStream(destination.Get(), 12).data, "in progress\0"s);

    program.Signal(SIGTERM);
    ASSERT_TRUE(LogShows(program, "收到 SIGTERM, 停止转发")) << program.Err();
    int triedWhileRunning = 0;
    int taken = 0;
    for (int attempt = 0; attempt < 2000 && program.Wait(0ms) == -1; ++attempt) {
        UniqueFd late(::socket(AF_INET, SOCK_STREAM, 0));
        if (TryConnect(late, kClientAddress, relay.clientPort)) {
            ++taken;
            SendAll(late.Get(), "late");
        }
        triedWhileRunning += program.Wait(0ms) == -1 ? 1 : 0;
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_EQ(program.Wait(), 0);
    ASSERT_GT(triedWhileRunning, 0) << "the process ended before anything was tried";
    EXPECT_EQ(taken, 0) << "connections were taken after SIGTERM";
    for (UniqueFd* peer : {&destination, &source}) {
        const StreamRead end = ReadUntilClosed(peer->Get());
        EXPECT_TRUE(end.closed);
        EXPECT_FALSE(end.reset);
    }
    EXPECT_FALSE(Readable(relay.otherListener.Get(), 0ms)) << "a late connection reached it";
}

// 2 000 refused connections from one address, before and after a stream that was served: the log
// names the address once, while the status line and each stream's end line count every refusal.
TEST(HeadlessRelayTest, ThousandsOfRefusedConnectionsTakeAFewLinesAndAreCountedExactly) {
    const TcpSetting relay(1, "[Allow]\nSources=127.0.0.1\n");
    Program program(relay.folder, {"--headless", "--workdir", relay.folder.Path().string()});
    ASSERT_TRUE(WaitUntil([&] { return IsListening(kServerAddress, relay.serverPort); }));
    const sockaddr_in from = MakeSocketAddress("127.0.0.99", 0);
    const auto refuse = [&](int times) {
        for (int i = 0; i < times; ++i) {
            UniqueFd intruder(::socket(AF_INET, SOCK_STREAM, 0));
            ASSERT_EQ(::bind(intruder.Get(), AsSockaddr(from), sizeof from), 0);
            ASSERT_TRUE(TryConnect(intruder, kServerAddress, relay.serverPort)) << i;
            ASSERT_TRUE(ReadUntilClosed(intruder.Get()).closed) << i;
        }
    };

    ASSERT_NO_FATAL_FAILURE(refuse(1000));
    EXPECT_TRUE(StatusShows(program, "已转发 0 字节, 拒绝不允许来源的连接 1000 个"))
        << program.Err();
    auto [source, destination] = relay.Connect();
    ASSERT_TRUE(destination.Valid() && source.Valid());
    source.Reset();
    EXPECT_TRUE(ReadUntilClosed(destination.Get()).closed);
    destination.Reset();
    EXPECT_TRUE(LogShows(program, "共转发 0 字节, 拒绝不允许来源的连接 1000 个")) << program.Err();

    ASSERT_NO_FATAL_FAILURE(refuse(1000));
    program.Signal(SIGTERM);
    EXPECT_EQ(program.Wait(), 0);
    const std::string log = program.Err();
    EXPECT_EQ(Count(log, "共转发 0 字节, 拒绝不允许来源的连接 1000 个"), 2u) << log;
    EXPECT_EQ(Count(log, "拒绝来源 127.0.0.99:"), 1u) << log;
    EXPECT_LE(std::count(log.begin(), log.end(), '\n'), 20) << log;
}
