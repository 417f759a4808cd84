// A relay handing its stream to the next process, as systemd's descriptor store carries it across a
// restart: the real program, with a service manager of the test's own on $NOTIFY_SOCKET.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "headless/handover_state.h"
#include "metrics_fetch.h"
#include "relay_program.h"
#include "relay_test_peers.h"

namespace {

using namespace relaytest;
using namespace relayprogram;
using namespace std::string_literals;

// systemd's side of the notification protocol as far as a hand-over needs it: the descriptors
// stored under their names, what FDSTOREREMOVE takes out, and barriers answered. Read on a thread
// of its own, since the relay waits for its barrier before it exits.
class ServiceManager {
public:
    explicit ServiceManager(const Folder& folder) : m_path(folder.Path() / "notify") {
        m_socket = UniqueFd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, m_path.c_str(), sizeof address.sun_path - 1);
        ::bind(m_socket.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
        m_reader = std::jthread([this](std::stop_token stop) { Read(stop); });
    }

    std::string Variable() const { return "NOTIFY_SOCKET=" + m_path.string(); }

    // The names stored now, in the order they came.
    std::vector<std::string> Names() {
        std::lock_guard lock(m_mutex);
        std::vector<std::string> names;
        for (const auto& [name, descriptor] : m_store) {
            names.push_back(name);
        }
        return names;
    }

    // A descriptor put into the store as a process would.
    void Put(const std::string& name, UniqueFd descriptor) {
        std::lock_guard lock(m_mutex);
        m_store.emplace_back(name, std::move(descriptor));
    }

    // What systemd does by itself to a stored connection that hangs up or fails.
    void Drop(const std::string& name) {
        std::lock_guard lock(m_mutex);
        std::erase_if(m_store, [&](const auto& entry) { return entry.first == name; });
    }

    // How a start hands on the store: its descriptors, and the variables naming them.
    Start Passing(Start start) {
        std::lock_guard lock(m_mutex);
        std::string names;
        for (const auto& [name, descriptor] : m_store) {
            names += (names.empty() ? "" : ":") + name;
            start.passed.push_back(descriptor.Get());
        }
        start.environment.push_back("LISTEN_FDNAMES=" + names);
        return start;
    }

private:
    void Read(const std::stop_token& stop) {
        while (!stop.stop_requested()) {
            if (!Readable(m_socket.Get(), 50ms)) {
                continue;
            }
            char text[4096];
            iovec part{text, sizeof text};
            alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 8)];
            msghdr message{};
            message.msg_iov = &part;
            message.msg_iovlen = 1;
            message.msg_control = control;
            message.msg_controllen = sizeof control;
            const ssize_t got = ::recvmsg(m_socket.Get(), &message, MSG_CMSG_CLOEXEC);
            if (got < 0) {
                continue;
            }
            std::vector<UniqueFd> descriptors;
            for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
                if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS) {
                    const std::size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
                    for (std::size_t i = 0; i < count; ++i) {
                        int fd = -1;
                        std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof fd);
                        descriptors.emplace_back(fd);
                    }
                }
            }
            Take(std::string(text, static_cast<std::size_t>(got)), std::move(descriptors));
        }
    }

    // A barrier is answered by closing what came with it, as systemd does.
    void Take(const std::string& message, std::vector<UniqueFd> descriptors) {
        const auto value = [&](const std::string& key) -> std::string {
            const std::size_t at = message.find(key + "=");
            if (at == std::string::npos || (at != 0 && message[at - 1] != '\n')) {
                return {};
            }
            const std::size_t start = at + key.size() + 1;
            return message.substr(start, message.find('\n', start) - start);
        };
        std::lock_guard lock(m_mutex);
        if (value("FDSTORE") == "1") {
            for (UniqueFd& descriptor : descriptors) {
                m_store.emplace_back(value("FDNAME"), std::move(descriptor));
            }
        } else if (value("FDSTOREREMOVE") == "1") {
            std::erase_if(m_store,
                          [&](const auto& entry) { return entry.first == value("FDNAME"); });
        }
    }

    fs::path m_path;
    UniqueFd m_socket;
    std::mutex m_mutex;
    std::vector<std::pair<std::string, UniqueFd>> m_store; // under m_mutex
    std::jthread m_reader;                                 // last: stops first
};

constexpr char kBytes[] = "[Forward]\nMode=Bytes\n";

// Letters only: the text rule then leaves every byte in, and a torn or doubled unit shows.
std::string Letters(std::size_t size, unsigned seed = 7) {
    std::mt19937 random(seed);
    std::string data(size, 'a');
    for (char& c : data) {
        c = static_cast<char>('a' + random() % 26);
    }
    return data;
}

// The relay waits on the client side (127.0.0.2) and connects to a listener of the test's on the
// server side; the source sends into its accepted connection.
struct TcpHandOver : TcpSetting {
    explicit TcpHandOver(const std::string& forward)
        : TcpSetting(0, "[Forward]\nMode=" + forward + "\n") {}

    std::unique_ptr<Program> Run(const Start& start) const {
        return std::make_unique<Program>(folder, Arguments(), start);
    }
    Start Managed() const { return {.environment = {manager.Variable()}}; }

    // The first process with a stream, handed over; false where a step failed.
    // `endedBefore`: streams that run and end in the first process before the one handed over.
    bool FirstProcessHandsOver(const std::function<void()>& whileStreaming = {},
                               int endedBefore = 0) {
        const std::unique_ptr<Program> first = Run(Managed());
        for (int i = 0; i < endedBefore; ++i) {
            Stream ended = Connect();
            ended.source.Reset();
            if (!ReadUntilClosed(ended.destination.Get()).closed) {
                return false;
            }
        }
        Stream stream = Connect();
        source = std::move(stream.source);
        destination = std::move(stream.destination);
        if (!source.Valid() || !destination.Valid()) {
            return false;
        }
        if (whileStreaming) {
            whileStreaming();
        }
        first->Signal(SIGUSR2);
        const int exitCode = first->Wait();
        const std::string log = first->Err();
        EXPECT_EQ(exitCode, 0) << log;
        EXPECT_TRUE(Contains(log, "收到 SIGUSR2, 交给下一个进程接续")) << log;
        EXPECT_TRUE(Contains(log, "的连接交给 systemd 保管, 由下一个进程接续")) << log;
        EXPECT_EQ(Count(log, "已结束: 数据源已关闭连接"), static_cast<std::size_t>(endedBefore))
            << log;
        return exitCode == 0;
    }

    ServiceManager manager{folder};
    UniqueFd source;
    UniqueFd destination;
};

// The stream goes on byte for byte in the next process, over the same two connections, with what
// the first process had read and not given: in bytes mode through the pipe, in text mode in whole
// units. Nothing of the stream stays in the store once the next process has it.
TEST(HandOverTest, ATcpStreamGoesOnInTheNextProcessOverTheSameConnections) {
    for (const std::string forward : {"Bytes", "Text"}) {
        SCOPED_TRACE(forward);
        TcpHandOver relay(forward);
        const std::string data = Letters(6 << 20);
        std::jthread sender;
        std::string received;
        // The destination reads a part and then nothing, so that the relay holds bytes it has
        // not given when it hands over.
        ASSERT_TRUE(relay.FirstProcessHandsOver([&] {
            sender = std::jthread([&] {
                SendAll(relay.source.Get(), data);
                ::shutdown(relay.source.Get(), SHUT_WR);
            });
            received = ReadStream(relay.destination.Get(), 256 << 10).data;
        }));
        const std::vector<std::string> stored = relay.manager.Names();
        EXPECT_EQ(stored, (std::vector<std::string>{"endpoint", "accepted", "connected", "state"}));

        const std::unique_ptr<Program> next = relay.Run(relay.manager.Passing(relay.Managed()));
        EXPECT_TRUE(LogShows(*next, "已接续: 来自 127.0.0.1:")) << next->Err();
        const StreamRead rest = ReadUntilClosed(relay.destination.Get(), 20s);
        sender.join();
        received += rest.data;
        EXPECT_TRUE(rest.closed && !rest.reset);
        if (forward == "Text") {
            // Every unit whole: a zero after each, and nothing but the letters between them.
            EXPECT_EQ(received.back(), '\0');
            std::erase(received, '\0');
        }
        EXPECT_EQ(received.size(), data.size());
        EXPECT_TRUE(received == data) << "the stream differs from what was sent";
        EXPECT_FALSE(Readable(relay.otherListener.Get(), kQuiet))
            << "the next process made a connection of its own";
        EXPECT_TRUE(WaitUntil([&] { return relay.manager.Names().empty(); }))
            << "left in the store after the next process took it";
        EXPECT_TRUE(LogShows(*next, "已结束: 数据源已关闭连接")) << next->Err();
        // The next stream is taken on the listener handed on.
        const TcpSetting::Stream another = relay.Connect();
        EXPECT_TRUE(another.destination.Valid());
        next->Signal(SIGTERM);
        EXPECT_EQ(next->Wait(), 0);
    }
}

// A file whose plan changed meanwhile: the handed stream ends in order at both ends, and the relay
// starts afresh on the file's plan. Outside systemd, SIGUSR2 stops as SIGTERM does.
TEST(HandOverTest, AChangedPlanClosesTheHandedStreamInOrderAndStartsAfresh) {
    TcpHandOver relay("Bytes");
    ASSERT_TRUE(relay.FirstProcessHandsOver([&] {
        // Through before the hand-over: the stream itself is what the next process closes.
        ASSERT_TRUE(SendAll(relay.source.Get(), "before"));
        EXPECT_EQ(ReadStream(relay.destination.Get(), 6).data, "before");
    }));
    const int otherServerPort = LowFreePort(kServerAddress, SOCK_STREAM);
    relay.folder.WriteParameters(
        Parameters(0, 0, kClientAddress, relay.clientPort, kServerAddress, otherServerPort) +
        kBytes);

    const std::unique_ptr<Program> next = relay.Run(relay.manager.Passing({}));
    EXPECT_TRUE(
        LogShows(*next, "上一个进程交来的连接与参数文件的设置不符, 已关闭, 按参数文件重新开始"))
        << next->Err();
    for (const UniqueFd* end : {&relay.source, &relay.destination}) {
        const StreamRead read = ReadUntilClosed(end->Get());
        EXPECT_TRUE(read.closed && !read.reset) << "a handed connection did not end in order";
    }
    EXPECT_TRUE(LogShows(*next, "等待连接: 输入网卡 127.0.0.2:" + std::to_string(relay.clientPort)))
        << next->Err();

    // Nobody to hand over to: the stream ends as with SIGTERM.
    const UniqueFd otherListener = ListenOn(kServerAddress, otherServerPort);
    UniqueFd source = ConnectWithin(kClientAddress, relay.clientPort);
    ASSERT_TRUE(LogShows(*next, "已连接"));
    next->Signal(SIGUSR2);
    EXPECT_EQ(next->Wait(), 0);
    EXPECT_TRUE(Contains(next->Err(), "不在 systemd 下, 无法交接, 停止转发")) << next->Err();
    EXPECT_TRUE(ReadUntilClosed(source.Get()).closed);
}

// A UDP relay reads on from the same bound socket, whose queue kept what came meanwhile: every
// datagram sent across the hand-over arrives once.
TEST(HandOverTest, AUdpRelayLosesNoDatagramAcrossTheHandOver) {
    const Folder folder;
    ServiceManager manager(folder);
    const int clientPort = LowFreePort(kClientAddress, SOCK_DGRAM);
    const int serverPort = LowFreePort(kServerAddress, SOCK_DGRAM);
    const UniqueFd sink = BindUdp(kServerAddress, serverPort);
    const int size = 8 << 20;
    ::setsockopt(sink.Get(), SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    folder.WriteParameters(
        Parameters(0, 1, kClientAddress, clientPort, kServerAddress, serverPort) + kBytes);
    const std::vector<std::string> arguments{"--workdir", folder.Path().string()};
    const Start managed{.environment = {manager.Variable()}};

    Program first(folder, arguments, managed);
    ASSERT_TRUE(LogShows(first, "等待数据报"));
    // 4 000 numbered datagrams, 20 a millisecond, with the hand-over in the middle.
    constexpr int kCount = 4000;
    std::jthread sender([&] {
        const UniqueFd socket(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        for (int n = 0; n < kCount; ++n) {
            SendDatagram(socket.Get(), std::to_string(n), kClientAddress, clientPort);
            if (n % 20 == 19) {
                std::this_thread::sleep_for(1ms);
            }
        }
    });
    std::this_thread::sleep_for(50ms);
    first.Signal(SIGUSR2);
    ASSERT_EQ(first.Wait(), 0) << first.Err();
    EXPECT_EQ(manager.Names(), (std::vector<std::string>{"endpoint", "state"}));
    Program next(folder, arguments, manager.Passing(managed));
    EXPECT_TRUE(LogShows(next, "已接续: 上一个进程的 输入网卡 127.0.0.2:" +
                                   std::to_string(clientPort) + " 及其未读的数据报"))
        << next.Err();
    sender.join();

    std::vector<int> seen(kCount, 0);
    while (const std::optional<Datagram> datagram = ReceiveDatagram(sink.Get(), 1s)) {
        const int n = std::stoi(datagram->data);
        ASSERT_TRUE(n >= 0 && n < kCount);
        ++seen[static_cast<std::size_t>(n)];
    }
    EXPECT_EQ(std::count(seen.begin(), seen.end(), 1), kCount) << "lost or doubled datagrams";
    next.Signal(SIGTERM);
    EXPECT_EQ(next.Wait(), 0);
}

// A reload that leaves the stream's endpoints and forwarding as they are applies without cutting
// it: wider allowed sources and an idle limit, said in one line, and no start. One that no longer
// allows the peer ends it, and starts the relay anew on the same listener.
TEST(HandOverTest, AReloadThatKeepsTheEndpointsKeepsTheStream) {
    const TcpSetting relay(0, kBytes + "[Allow]\nSources=127.0.0.1\n"s);
    Program program(relay.folder, relay.Arguments());
    const auto [source, destination] = relay.Connect();
    ASSERT_TRUE(destination.Valid());
    ASSERT_TRUE(SendAll(source.Get(), "one"));
    EXPECT_EQ(ReadStream(destination.Get(), 3).data, "one");

    relay.Write(kBytes + "[Allow]\nSources=127.0.0.1,10.0.0.0/8\n[Relay]\nIdleSeconds=600\n"s);
    program.Signal(SIGHUP);
    EXPECT_TRUE(LogShows(program, "收到 SIGHUP, 已按新设置继续转发, 连接不断开: 允许的来源: "
                                  "127.0.0.1, 10.0.0.0/8, 空闲 600 秒后断开"))
        << program.Err();
    ASSERT_TRUE(SendAll(source.Get(), "two"));
    EXPECT_EQ(ReadStream(destination.Get(), 3).data, "two");
    EXPECT_FALSE(Contains(program.Err(), "已结束")) << program.Err();
    EXPECT_EQ(Count(program.Err(), "已启动"), 1u) << program.Err();
    EXPECT_EQ(Count(program.Err(), "等待连接"), 1u) << program.Err();

    relay.Write(kBytes + "[Allow]\nSources=10.0.0.0/8\n"s);
    program.Signal(SIGHUP);
    EXPECT_TRUE(LogShows(program, "收到 SIGHUP, 设置已改变, 按新设置重新启动转发"));
    EXPECT_TRUE(ReadUntilClosed(destination.Get()).closed);
    EXPECT_TRUE(LogShows(program, "允许的来源: 10.0.0.0/8")) << program.Err();
    EXPECT_EQ(Count(program.Err(), "已启动"), 2u) << program.Err();
    program.Signal(SIGTERM);
    EXPECT_EQ(program.Wait(), 0);
}

// A peer that left during the restart: systemd drops its stored connection by itself on the
// hang-up. The next process names the peer that left and closes the other connection in order,
// then serves the next stream on the listener handed on.
TEST(HandOverTest, HalfAStreamNamesThePeerThatLeft) {
    for (const bool sourceLeft : {true, false}) {
        SCOPED_TRACE(sourceLeft ? "the source left" : "the destination left");
        TcpHandOver relay("Bytes");
        ASSERT_TRUE(relay.FirstProcessHandsOver([&] {
            ASSERT_TRUE(SendAll(relay.source.Get(), "before"));
            EXPECT_EQ(ReadStream(relay.destination.Get(), 6).data, "before");
        }));
        const Endpoint sourcePeer = LocalEndpoint(relay.source.Get());
        UniqueFd& leaving = sourceLeft ? relay.source : relay.destination;
        UniqueFd& staying = sourceLeft ? relay.destination : relay.source;
        ResetConnection(leaving);
        relay.manager.Drop(sourceLeft ? "accepted" : "connected");

        const std::unique_ptr<Program> next = relay.Run(relay.manager.Passing(relay.Managed()));
        const std::string from = "来自 " + EndpointText(sourcePeer) + " 的连接";
        const std::string to =
            "到 " + EndpointText(EndpointAt(kServerAddress, relay.serverPort)) + " 的连接";
        EXPECT_TRUE(LogShows(*next, sourceLeft ? from + "在重启期间断开, 已关闭" + to
                                               : to + "在重启期间断开, 已关闭" + from))
            << next->Err();
        const StreamRead end = ReadUntilClosed(staying.Get());
        EXPECT_TRUE(end.closed && !end.reset) << "the other connection did not end in order";
        EXPECT_TRUE(end.data.empty());
        const TcpSetting::Stream another = relay.Connect();
        ASSERT_TRUE(another.destination.Valid()) << next->Err();
        ASSERT_TRUE(SendAll(another.source.Get(), "after"));
        EXPECT_EQ(ReadStream(another.destination.Get(), 5).data, "after");
        EXPECT_TRUE(relay.manager.Names().empty());
        next->Signal(SIGTERM);
        EXPECT_EQ(next->Wait(), 0);
    }
}

// Four streams at once, in either forwarding, handed to the next process: each goes on over its own
// two connections and arrives whole and in order (the bytes the first process held included), none
// is refused or reset, the store keeps each stream's connections under names of their own, and the
// metrics' totals go on from the first process's to the exact sum.
TEST(HandOverTest, EveryStreamOfSeveralGoesOnInTheNextProcess) {
    constexpr int kStreams = 4;
    constexpr std::size_t kSize = 1 << 20;
    for (const int clientToServer : {0, 1}) {
        SCOPED_TRACE(clientToServer == 1 ? "client to server" : "server to client");
        const int statusPort = LowFreePort(metricsfetch::kStatusAddress, SOCK_STREAM);
        const TcpSetting relay(clientToServer, "[Forward]\nMode=Bytes\n[Relay]\nStreams=4\n"
                                               "[Status]\nListen=127.0.0.1:" +
                                                   std::to_string(statusPort) + "\n");
        ServiceManager manager(relay.folder);
        const Start managed{.environment = {manager.Variable()}};
        Program first(relay.folder, relay.Arguments(), managed);
        ASSERT_TRUE(LogShows(first, "等待连接")) << first.Err();
        std::vector<TcpSetting::Stream> streams;
        std::vector<std::string> data;
        std::vector<std::string> received(kStreams);
        std::vector<std::jthread> senders;
        for (int k = 0; k < kStreams; ++k) {
            streams.push_back(relay.Connect());
            ASSERT_TRUE(streams.back().destination.Valid()) << first.Err();
            // A relay that never reads again fails the sender instead of holding it.
            const timeval bound{30, 0};
            ::setsockopt(streams.back().source.Get(), SOL_SOCKET, SO_SNDTIMEO, &bound,
                         sizeof bound);
            data.push_back(Letters(kSize, 11 + static_cast<unsigned>(k)));
        }
        // Each source sends half before the hand-over and the rest once the next process runs;
        // each destination reads a part first and then nothing, so that the first process holds
        // bytes it has not given.
        std::atomic<bool> handedOver{false};
        for (int k = 0; k < kStreams; ++k) {
            senders.emplace_back([&, k] {
                const std::string_view all = data[k];
                SendAll(streams[k].source.Get(), all.substr(0, kSize / 2));
                WaitUntil([&] { return handedOver.load(); }, 30s);
                SendAll(streams[k].source.Get(), all.substr(kSize / 2));
                ::shutdown(streams[k].source.Get(), SHUT_WR);
            });
            received[k] = ReadStream(streams[k].destination.Get(), 64 << 10).data;
        }
        // Whatever fails on the way, the senders go on and end.
        const auto release = std::unique_ptr<std::atomic<bool>, void (*)(std::atomic<bool>*)>(
            &handedOver, [](std::atomic<bool>* flag) { flag->store(true); });
        const long long forwardedBefore =
            metricsfetch::Sample(metricsfetch::Get(statusPort), "tarvel_forwarded_bytes_total");
        EXPECT_GE(forwardedBefore, kStreams * (64 << 10));
        first.Signal(SIGUSR2);
        ASSERT_EQ(first.Wait(), 0) << first.Err();
        EXPECT_TRUE(Contains(first.Err(), "已把监听端点和 4 个流的连接交给 systemd 保管"))
            << first.Err();
        EXPECT_EQ(manager.Names(),
                  (std::vector<std::string>{"endpoint", "accepted", "connected", "accepted-1",
                                            "connected-1", "accepted-2", "connected-2",
                                            "accepted-3", "connected-3", "state"}));

        Program next(relay.folder, relay.Arguments(), manager.Passing(managed));
        handedOver = true;
        for (int k = 0; k < kStreams; ++k) {
            SCOPED_TRACE(k);
            const StreamRead rest = ReadUntilClosed(streams[k].destination.Get(), 20s);
            EXPECT_TRUE(rest.closed && !rest.reset);
            received[k] += rest.data;
            EXPECT_EQ(received[k].size(), kSize);
            EXPECT_TRUE(received[k] == data[k]) << "the stream differs from what was sent";
        }
        senders.clear();
        EXPECT_EQ(Count(next.Err(), "已接续: 来自 "), static_cast<std::size_t>(kStreams))
            << next.Err();
        EXPECT_FALSE(Readable(relay.otherListener.Get(), kQuiet))
            << "the next process made a connection of its own";
        EXPECT_TRUE(manager.Names().empty());
        EXPECT_TRUE(WaitUntil([&] {
            return Count(next.Err(), "已结束: 来自 ") == static_cast<std::size_t>(kStreams);
        })) << next.Err();
        const std::string after = metricsfetch::Get(statusPort);
        EXPECT_EQ(metricsfetch::Sample(after, "tarvel_forwarded_bytes_total"), kStreams * kSize);
        EXPECT_EQ(metricsfetch::Value(after, "tarvel_stream_ends_total{reason=\"source_closed\"}"),
                  kStreams);
        EXPECT_EQ(metricsfetch::Sample(after, "tarvel_streams_total"), kStreams);
        next.Signal(SIGTERM);
        EXPECT_EQ(next.Wait(), 0);
    }
}

// A record in a memory file, as the store keeps one.
UniqueFd RecordFile(const std::string& text, off_t size = -1) {
    UniqueFd file(::memfd_create("record", MFD_CLOEXEC));
    if (::write(file.Get(), text.data(), text.size()) != static_cast<ssize_t>(text.size()) ||
        (size >= 0 && ::ftruncate(file.Get(), size) != 0)) {
        return UniqueFd();
    }
    return file;
}

// What a process before would have written for the plan of `relay`'s file, with a stream from
// `peer` that had not given `unsent`.
std::string RecordFor(const TcpHandOver& relay, const Endpoint& peer = {},
                      const std::string& unsent = {}) {
    HandoverState state;
    state.plan = MakeRelayPlan(RelayMode::ServerToClient, RelayProtocol::Tcp,
                               EndpointAt(kClientAddress, relay.clientPort),
                               EndpointAt(kServerAddress, relay.serverPort), ForwardMode::Bytes);
    if (!peer.Empty()) {
        state.handed = {{peer, unsent}};
    }
    return SerializeHandoverState(state);
}

// The same record as the version before wrote it: its one stream named by a "peer" line.
std::string AsTheVersionBefore(std::string record) {
    const auto line = [&record](const std::string& key) {
        const std::size_t at = record.find("\n" + key + "=") + 1;
        const std::size_t end = record.find('\n', at) + 1;
        const std::string value = record.substr(at + key.size() + 1, end - at - key.size() - 2);
        record.erase(at, end - at);
        return value;
    };
    record.replace(record.find("handover 3"), 10, "handover 2");
    line("handed");
    const std::string stream = line("stream-0");
    record.insert(record.find("\nunsent=") + 1,
                  "peer=" + stream.substr(0, stream.find(',')) + "\n");
    return record;
}

// Descriptors and the names they are stored under.
using Held = std::vector<std::pair<std::string, UniqueFd>>;

// The store's contents as a hostile or broken environment could fill it. The relay refuses each,
// says why, starts afresh on the file's endpoint, relays nothing where the file does not say, and
// still ends with 0 on SIGTERM.
TEST(HandOverTest, WhatDoesNotMatchThePlanIsRefusedWithItsReason) {
    struct Case {
        const char* name;
        // The descriptors stored under their names, made for the relay `relay`, and how they are
        // passed; `elsewhere` is a listener on another port of the test's, where nothing may
        // arrive.
        std::function<Start(TcpHandOver& relay, Held& held, int elsewhere)> make;
        std::string said;
    };
    const auto passing = [](Held& held, const std::string& names) {
        Start start;
        for (const auto& [name, descriptor] : held) {
            start.passed.push_back(descriptor.Get());
        }
        start.environment.push_back("LISTEN_FDNAMES=" + names);
        return start;
    };
    const auto listener = [](TcpHandOver& relay) {
        return ListenOn(kClientAddress, relay.clientPort);
    };
    const Case cases[] = {
        {"MoreNamedThanPassed",
         [](TcpHandOver&, Held&, int) {
             return Start{.environment = {"LISTEN_FDNAMES=endpoint"}, .claimed = 1};
         },
         "systemd 交来的描述符不可用: LISTEN_FDS=1 中的描述符 3 并未打开, 一个也不接收"},
        {"NamesDoNotMatchTheCount",
         [&](TcpHandOver& relay, Held& held, int elsewhere) {
             held.emplace_back("endpoint", UniqueFd(::fcntl(elsewhere, F_DUPFD_CLOEXEC, 0)));
             held.emplace_back("state", RecordFile(RecordFor(relay)));
             return passing(held, "endpoint");
         },
         "systemd 交来的描述符不可用: LISTEN_FDNAMES 有 1 个名字, 与 LISTEN_FDS=2 不符"},
        {"UdpWhereTcpIsPlanned",
         [&](TcpHandOver& relay, Held& held, int) {
             held.emplace_back("endpoint", BindUdp(kClientAddress, relay.clientPort));
             held.emplace_back("state", RecordFile(RecordFor(relay)));
             return passing(held, "endpoint:state");
         },
         "的套接字不是 TCP 套接字, 已关闭, 按参数文件重新开始"},
        {"ListenerOnAnotherPort",
         [&](TcpHandOver& relay, Held& held, int elsewhere) {
             held.emplace_back("endpoint", UniqueFd(::fcntl(elsewhere, F_DUPFD_CLOEXEC, 0)));
             held.emplace_back("state", RecordFile(RecordFor(relay)));
             return passing(held, "endpoint:state");
         },
         "的套接字绑定在 127.0.0.2:"},
        {"ConnectedToAnotherPort",
         [&](TcpHandOver& relay, Held& held, int elsewhere) {
             held.emplace_back("endpoint", listener(relay));
             UniqueFd source = ConnectWithin(kClientAddress, relay.clientPort);
             const Endpoint peer = LocalEndpoint(source.Get());
             held.emplace_back("accepted", AcceptWithin(held[0].second.Get()));
             held.emplace_back("connected",
                               ConnectWithin(kClientAddress, LocalEndpoint(elsewhere).Port()));
             held.emplace_back("state", RecordFile(RecordFor(relay, peer)));
             relay.source = std::move(source);
             return passing(held, "endpoint:accepted:connected:state");
         },
         "的连接连到 127.0.0.2:"},
        {"GarbageRecord",
         [&](TcpHandOver& relay, Held& held, int) {
             held.emplace_back("endpoint", listener(relay));
             held.emplace_back("state", RecordFile("tarvel-relay handover 1\nmode=sideways\n"));
             return passing(held, "endpoint:state");
         },
         "上一个进程交来的记录无法识别, 交来的连接已关闭, 按参数文件重新开始"},
        {"OversizedRecord",
         [&](TcpHandOver& relay, Held& held, int) {
             held.emplace_back("endpoint", listener(relay));
             held.emplace_back("state", RecordFile(RecordFor(relay), off_t{4} << 30));
             return passing(held, "endpoint:state");
         },
         "上一个进程交来的记录有 4294967296 字节, 过大"},
        {"RecordWithoutItsSockets",
         [&](TcpHandOver& relay, Held& held, int) {
             held.emplace_back("state",
                               RecordFile(RecordFor(relay, EndpointAt("127.0.0.1", 40000))));
             return passing(held, "state");
         },
         "上一个进程没有交来 输入网卡 127.0.0.2:"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TcpHandOver relay("Bytes");
        const UniqueFd elsewhere = ListenOn(kClientAddress, 0);
        Held held;
        Start start = c.make(relay, held, elsewhere.Get());
        start.environment.push_back(relay.manager.Variable());
        // Kept in the store as systemd keeps them, until the relay takes them out.
        for (auto& [name, descriptor] : held) {
            relay.manager.Put(name, std::move(descriptor));
        }
        const std::unique_ptr<Program> next = relay.Run(start);
        EXPECT_TRUE(LogShows(*next, c.said)) << next->Err();
        EXPECT_TRUE(
            LogShows(*next, "等待连接: 输入网卡 127.0.0.2:" + std::to_string(relay.clientPort)))
            << next->Err();
        // Whatever was handed is not relayed: a connection on the other port stays unserved, and
        // a handed connection ends without a byte reaching the wrong port.
        const UniqueFd knock = ConnectWithin(kClientAddress, LocalEndpoint(elsewhere.Get()).Port());
        EXPECT_FALSE(Readable(relay.otherListener.Get(), kQuiet))
            << "a connection on a port the plan does not name was relayed";
        if (relay.source.Valid()) {
            SendAll(relay.source.Get(), "astray");
            EXPECT_TRUE(ReadUntilClosed(relay.source.Get()).closed);
        }
        // The file's own endpoint relays.
        const TcpSetting::Stream stream = relay.Connect();
        ASSERT_TRUE(stream.destination.Valid()) << next->Err();
        ASSERT_TRUE(SendAll(stream.source.Get(), "plan"));
        EXPECT_EQ(ReadStream(stream.destination.Get(), 4).data, "plan");
        next->Signal(SIGTERM);
        EXPECT_EQ(next->Wait(), 0) << next->Err();
        EXPECT_TRUE(relay.manager.Names().empty());
    }
}

// An upgrade from the version before: its record's one stream, with the bytes it had not given,
// goes on in a relay of one stream at a time and in one of several.
TEST(HandOverTest, ARecordOfTheVersionBeforeCarriesItsStreamOn) {
    for (const char* streams : {"1", "4"}) {
        SCOPED_TRACE(streams);
        TcpHandOver relay("Bytes");
        relay.Write(kBytes + "[Relay]\nStreams="s + streams + "\n");
        UniqueFd listener = ListenOn(kClientAddress, relay.clientPort);
        relay.source = ConnectWithin(kClientAddress, relay.clientPort);
        UniqueFd accepted = AcceptWithin(listener.Get());
        UniqueFd connected = ConnectWithin(kServerAddress, relay.serverPort);
        relay.destination = AcceptWithin(relay.otherListener.Get());
        ASSERT_TRUE(accepted.Valid() && connected.Valid() && relay.destination.Valid());
        // As the relay's own sockets are.
        for (const UniqueFd* socket : {&listener, &accepted, &connected}) {
            ::fcntl(socket->Get(), F_SETFL, ::fcntl(socket->Get(), F_GETFL) | O_NONBLOCK);
        }
        relay.manager.Put("endpoint", std::move(listener));
        relay.manager.Put("accepted", std::move(accepted));
        relay.manager.Put("connected", std::move(connected));
        relay.manager.Put("state", RecordFile(AsTheVersionBefore(RecordFor(
                                       relay, LocalEndpoint(relay.source.Get()), "held "))));

        const std::unique_ptr<Program> next = relay.Run(relay.manager.Passing(relay.Managed()));
        EXPECT_TRUE(LogShows(*next, "已接续: 来自 127.0.0.1:")) << next->Err();
        ASSERT_TRUE(SendAll(relay.source.Get(), "after"));
        ::shutdown(relay.source.Get(), SHUT_WR);
        const StreamRead read = ReadUntilClosed(relay.destination.Get());
        EXPECT_EQ(read.data, "held after");
        EXPECT_TRUE(read.closed && !read.reset) << next->Err();
        EXPECT_TRUE(relay.manager.Names().empty());
        next->Signal(SIGTERM);
        EXPECT_EQ(next->Wait(), 0);
    }
}

// The metrics a restart that carries the stream on leaves: every counter equal or higher, the
// start time and the starts count unchanged.
TEST(HandOverTest, ARestartThatCarriesTheStreamKeepsTheMetricsGoing) {
    const int statusPort = LowFreePort("127.0.0.1", SOCK_STREAM);
    TcpHandOver relay("Bytes");
    relay.Write("[Forward]\nMode=Bytes\n[Status]\nListen=127.0.0.1:" + std::to_string(statusPort) +
                "\n");
    const auto scrape = [&] {
        const UniqueFd connection = ConnectWithin("127.0.0.1", statusPort);
        SendAll(connection.Get(), "GET /metrics HTTP/1.1\r\nHost: localhost\r\n\r\n");
        const std::string answer = ReadUntilClosed(connection.Get()).data;
        // Every sample, by its name and labels.
        std::map<std::string, double> samples;
        std::istringstream lines(answer.substr(std::min(answer.size(), answer.find("\r\n\r\n"))));
        for (std::string line; std::getline(lines, line);) {
            const std::size_t space = line.rfind(' ');
            if (!line.empty() && line[0] != '#' && space != std::string::npos &&
                line.find("tarvel_") == 0) {
                samples[line.substr(0, space)] = std::stod(line.substr(space + 1));
            }
        }
        return samples;
    };
    std::map<std::string, double> before;
    // A stream that ended first, so that the counts of ends and durations have something to keep.
    ASSERT_TRUE(relay.FirstProcessHandsOver(
        [&] {
            ASSERT_TRUE(SendAll(relay.source.Get(), "before"));
            EXPECT_EQ(ReadStream(relay.destination.Get(), 6).data, "before");
            before = scrape();
        },
        1));
    ASSERT_FALSE(before.empty());
    EXPECT_EQ(before["tarvel_stream_ends_total{reason=\"source_closed\"}"], 1) << "no ended stream";
    EXPECT_EQ(before["tarvel_stream_duration_seconds_count"], 1);
    const std::unique_ptr<Program> next = relay.Run(relay.manager.Passing(relay.Managed()));
    ASSERT_TRUE(LogShows(*next, "已接续: 来自 127.0.0.1:")) << next->Err();
    ASSERT_TRUE(SendAll(relay.source.Get(), "after"));
    EXPECT_EQ(ReadStream(relay.destination.Get(), 5).data, "after");
    // The relay counts bytes once it has given them, so the destination can have them first:
    // scraped again until the count shows them.
    std::map<std::string, double> after;
    EXPECT_TRUE(WaitUntil([&] {
        after = scrape();
        return after["tarvel_forwarded_bytes_total"] > before.at("tarvel_forwarded_bytes_total");
    })) << "the bytes after the restart were never counted";
    for (const auto& [name, value] : before) {
        SCOPED_TRACE(name);
        // Counters, and the histogram's counts, never fall back.
        if (name.find("_total") != std::string::npos || name.find("_count") != std::string::npos ||
            name.find("_bucket") != std::string::npos) {
            ASSERT_TRUE(after.contains(name));
            EXPECT_GE(after.at(name), value);
        }
    }
    for (const char* kept : {"tarvel_relay_starts_total", "tarvel_start_time_seconds"}) {
        SCOPED_TRACE(kept);
        ASSERT_TRUE(before.contains(kept));
        ASSERT_TRUE(after.contains(kept));
        EXPECT_EQ(after.at(kept), before.at(kept));
    }
    next->Signal(SIGTERM);
    EXPECT_EQ(next->Wait(), 0);
}

} // namespace
