// A reload never costs the running stream: a file the relay program cannot read strictly, or a plan
// whose endpoints cannot be had, leaves the relay and its stream as they were, says why at err, and
// fails the reload for the caller that waits for it (systemctl reload runs --reload).
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/socket.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "relay_program.h"
#include "relay_test_peers.h"

namespace {

using namespace relaytest;
using namespace relayprogram;
using namespace std::string_literals;

const std::string kBytes = "[Forward]\nMode=Bytes\n";

// A TCP relay in the journal's words (each line with its priority), carrying one stream, and the
// reloads asked of it as systemctl reload asks them.
class CarriedStream {
public:
    CarriedStream()
        : m_program(m_relay.folder, m_relay.Arguments(), {.journal = true}),
          m_stream(m_relay.Connect()) {}

    const TcpSetting& Relay() const { return m_relay; }
    Program& Log() { return m_program; }

    // --reload for the running relay after `file` replaced its parameter file: its exit code.
    int Reload(const std::string& file) {
        m_relay.folder.WriteParameters(file);
        Program reload(m_relay.folder, {"--reload", std::to_string(m_program.Pid())});
        return reload.Wait();
    }

    // Some bytes through the stream, arrived as they were sent.
    bool StillCarries() {
        const std::string chunk = "chunk " + std::to_string(++m_chunks) + '\0' + "\x01\xff";
        return SendAll(m_stream.source.Get(), chunk) &&
               ReadStream(m_stream.destination.Get(), chunk.size()).data == chunk;
    }

private:
    const TcpSetting m_relay{1, kBytes};
    Program m_program;
    TcpSetting::Stream m_stream;
    int m_chunks = 0;
};

// Files a strict reader refuses, each with the line it names: refused by --check and by a start
// with exit 2, and as a reload, while the running stream goes on byte for byte.
TEST(ReloadTest, AFileReadStrictlyIsRefusedByCheckStartAndReload) {
    CarriedStream relay;
    ASSERT_TRUE(relay.StillCarries());
    const TcpSetting& setting = relay.Relay();
    const std::string endpoints =
        Parameters(1, 0, kClientAddress, setting.clientPort, kServerAddress, setting.serverPort);
    const struct {
        const char* name;
        std::string file;
        std::string said; // after the file's name
    } cases[] = {
        {"UnknownSection", endpoints + "[Alow]\nSources=127.0.0.5\n", " 第 15 行: 未知的节 [Alow]"},
        {"UnknownKey", endpoints + "[Allow]\nSource=127.0.0.5\n",
         " 第 16 行: 节 [Allow] 中没有键 Source"},
        {"SectionTwice", endpoints + "[Forward]\nMode=Bytes\n[IP]\nNumber=1\n",
         " 第 17 行: 节 [IP] 出现了两次"},
        {"KeyTwice", endpoints + "[Forward]\nMode=Bytes\nMode=Text\n",
         " 第 17 行: 键 [Forward] Mode 出现了两次"},
        // The wider list first: read leniently, the first would win and let anyone in.
        {"AllowTwiceWiderFirst",
         endpoints + "[Allow]\nSources=0.0.0.0/0\n[Allow]\nSources=127.0.0.5\n",
         " 第 17 行: 节 [Allow] 出现了两次"},
        {"NulInsideAnEntry", endpoints + "[Allow]\nSources=127.0.0.5\0/8\n"s,
         " 第 16 行: 含有控制字符 (编码 0)"},
        {"HeaderWithoutBracket", endpoints + "[Allow\nSources=127.0.0.5\n",
         " 第 15 行: 节的标题缺少 ]"},
        {"ForwardingNotAMode", endpoints + "[Forward]\nMode=Byte\n",
         " 第 16 行: [Forward] Mode=Byte: 只能是 Text 或 Bytes"},
        {"Oversized", endpoints + kBytes + std::string(300 * 1024, ';'), " 太大: 超过 256 KiB"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Folder folder;
        folder.WriteParameters(c.file);
        const std::string file = (folder.Path() / "InfoFile/ParameterSet.inf").string();
        Program check(folder, {"--check", "--workdir", folder.Path().string()});
        EXPECT_EQ(check.Wait(), 2);
        EXPECT_EQ(check.Out(), "参数文件 " + file + c.said + "\n");
        Program start(folder, {"--workdir", folder.Path().string()});
        EXPECT_EQ(start.Wait(), 2);
        EXPECT_TRUE(Contains(start.Err(), "参数文件 " + file + c.said)) << start.Err();
        EXPECT_FALSE(Contains(start.Err(), "已启动")) << start.Err();

        EXPECT_EQ(relay.Reload(c.file), 1);
        const std::string running = (setting.folder.Path() / "InfoFile/ParameterSet.inf").string();
        EXPECT_TRUE(
            LogShows(relay.Log(), "<3>收到 SIGHUP, 重新加载失败, 继续按原设置转发: 参数文件 " +
                                      running + c.said))
            << relay.Log().Err();
        EXPECT_TRUE(relay.StillCarries());
    }
    EXPECT_EQ(Count(relay.Log().Err(), "已启动"), 1u) << relay.Log().Err();
    EXPECT_FALSE(Contains(relay.Log().Err(), "已结束")) << relay.Log().Err();
}

// A plan whose endpoints cannot be had — its port held by another process, its address not this
// machine's, its status endpoint in use — is found out by binding before the running relay is
// touched: that relay goes on with its stream and its listener. A good reload then succeeds.
TEST(ReloadTest, APlanWhoseEndpointsCannotBeHadLeavesTheRelayRunning) {
    CarriedStream relay;
    ASSERT_TRUE(relay.StillCarries());
    const TcpSetting& setting = relay.Relay();
    const int heldPort = LowFreePort(kServerAddress, SOCK_STREAM);
    const UniqueFd held = ListenOn(kServerAddress, heldPort);
    const int heldStatusPort = LowFreePort("127.0.0.1", SOCK_STREAM);
    const UniqueFd heldStatus = ListenOn("127.0.0.1", heldStatusPort);
    const auto withServer = [&](const std::string& address, int port) {
        return Parameters(1, 0, kClientAddress, setting.clientPort, address, port) + kBytes;
    };
    const std::string same = withServer(kServerAddress, setting.serverPort);
    const struct {
        const char* name;
        std::string file;
        std::string said;
    } cases[] = {
        {"PortHeldByAnother", withServer(kServerAddress, heldPort),
         "输出网卡 127.0.0.3:" + std::to_string(heldPort) + " 无法绑定: 地址已被占用"},
        {"AddressNotThisMachines", withServer("192.0.2.9", setting.serverPort),
         "输出网卡 192.0.2.9:" + std::to_string(setting.serverPort) + " 无法绑定: 不是本机地址"},
        {"StatusEndpointInUse",
         same + "[Status]\nListen=127.0.0.1:" + std::to_string(heldStatusPort) + "\n",
         "状态接口 127.0.0.1:" + std::to_string(heldStatusPort) + " 无法绑定: 地址已被占用"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(relay.Reload(c.file), 1);
        EXPECT_TRUE(
            LogShows(relay.Log(), "<3>收到 SIGHUP, 重新加载失败, 继续按原设置转发: " + c.said))
            << relay.Log().Err();
        EXPECT_TRUE(relay.StillCarries());
    }
    EXPECT_TRUE(IsListening(kServerAddress, setting.serverPort));

    EXPECT_EQ(relay.Reload(same + "[Relay]\nIdleSeconds=600\n"), 0);
    EXPECT_TRUE(relay.StillCarries());
    const std::string log = relay.Log().Err();
    EXPECT_EQ(Count(log, "已启动"), 1u) << log;
    EXPECT_FALSE(Contains(log, "已结束")) << log;
    EXPECT_TRUE(Contains(log, "<6>收到 SIGHUP, 已按新设置继续转发, 连接不断开: 空闲 600 秒后断开"))
        << log;
}

// The socket listening on 127.0.0.3:`port`, by its inode in the kernel's table; 0 when none.
unsigned long ListenerInode(int port) {
    std::ifstream table("/proc/net/tcp");
    char local[32];
    std::snprintf(local, sizeof local, "0300007F:%04X", port);
    for (std::string line; std::getline(table, line);) {
        std::istringstream fields(line);
        std::string slot, address, remote, state, queues, timer, retransmits, uid, timeout;
        unsigned long inode = 0;
        fields >> slot >> address >> remote >> state >> queues >> timer >> retransmits >> uid >>
            timeout >> inode;
        if (address == local && state == "0A") {
            return inode;
        }
    }
    return 0;
}

// A changed plan that keeps the listening endpoint keeps its socket, so that a client connecting
// while the relay is replaced waits in its queue instead of being refused; the new plan serves.
TEST(ReloadTest, AChangedPlanOnTheSameEndpointKeepsItsListener) {
    const TcpSetting setting(1, kBytes);
    Program program(setting.folder, setting.Arguments());
    ASSERT_TRUE(WaitUntil([&] { return IsListening(kServerAddress, setting.serverPort); }));
    const unsigned long listener = ListenerInode(setting.serverPort);
    ASSERT_NE(listener, 0u);
    setting.Write("[Forward]\nMode=Text\n");
    program.Signal(SIGHUP);
    EXPECT_TRUE(LogShows(program, "收到 SIGHUP, 设置已改变, 按新设置重新启动转发"));
    EXPECT_TRUE(LogShows(program, "按文本转发")) << program.Err();
    EXPECT_EQ(ListenerInode(setting.serverPort), listener);

    const auto [source, destination] = setting.Connect();
    ASSERT_TRUE(SendAll(source.Get(), "text"));
    EXPECT_EQ(ReadStream(destination.Get(), 5).data, "text\0"s);
    program.Signal(SIGTERM);
    EXPECT_EQ(program.Wait(), 0);
}

} // namespace
