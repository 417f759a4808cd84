// Peers that vanish without a word. The relay runs in a network namespace this test makes, its
// accepted peer in a second one behind a veth pair; the peer's link then goes down, so neither a
// close nor a reset ever comes. The relay must find that out by itself, end that stream and serve
// the next peer, which waited in the listening socket's queue meanwhile. The system's keepalive
// decides when for an idle stream, the relay's look at what the peer acknowledged when data waits
// for it: about a minute either way.
#include "relay/relay.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "relay/relay_description.h"
#include "relay_test_links.h"
#include "test_namespaces.h"

namespace {

using namespace relaytest;
using namespace std::string_literals;

// The calling thread in a network namespace until the object goes; sockets it makes meanwhile
// stay in that namespace, and threads it starts meanwhile start there.
class InNamespace {
public:
    explicit InNamespace(const std::string& name)
        : m_previous(::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC)) {
        const UniqueFd target(::open(("/run/netns/" + name).c_str(), O_RDONLY | O_CLOEXEC));
        m_entered = target.Valid() && ::setns(target.Get(), CLONE_NEWNET) == 0;
    }
    ~InNamespace() {
        if (m_entered) {
            ::setns(m_previous.Get(), CLONE_NEWNET);
        }
    }
    InNamespace(const InNamespace&) = delete;
    InNamespace& operator=(const InNamespace&) = delete;

    bool Entered() const { return m_entered; }

private:
    UniqueFd m_previous; // any descriptor
    bool m_entered = false;
};

constexpr const char* kCardAddress = "198.51.100.1";
constexpr const char* kHostAddress = "198.51.100.2";
// About a minute for the relay to find the vanished peer; the next peer must be served by then.
constexpr auto kServedWithin = 75s;

struct VanishCase {
    const char* name;
    WorkerCase worker;
    bool sending; // data is on its way when the link goes down
};

// One relay after another on a kept listening socket, as the relay service runs them, until
// `Finish`. Each stream's outcome is kept.
class RelaySeries {
public:
    explicit RelaySeries(const RelayPlan& plan)
        : m_thread([this, plan] {
              while (!m_finishing.load()) {
                  Relay relay(plan, {}, {}, &m_kept);
                  while (!relay.WaitUntilEnded(50ms)) {
                      if (m_finishing.load()) {
                          relay.Stop();
                      }
                  }
                  m_outcomes.push_back(relay.Outcome());
              }
          }) {}
    ~RelaySeries() { Finish(); }
    RelaySeries(const RelaySeries&) = delete;
    RelaySeries& operator=(const RelaySeries&) = delete;

    // Stops the series and returns how its streams ended.
    const std::vector<RelayOutcome>& Finish() {
        m_finishing.store(true);
        if (m_thread.joinable()) {
            m_thread.join();
        }
        return m_outcomes;
    }

private:
    std::atomic<bool> m_finishing{false};
    KeptAcrossStreams m_kept;
    std::vector<RelayOutcome> m_outcomes; // the series' thread's until it is joined
    std::thread m_thread;
};

// One case's relay and peers. The relay waits on the card's address; the other side is on the
// card namespace's loopback; the first peer connects from the host namespace.
struct Scene {
    explicit Scene(const VanishCase& vanishCase) : c(vanishCase) {}
    ~Scene() {
        // Whatever happened, the peers' threads are released before they are joined.
        ::shutdown(vanishing.Get(), SHUT_RDWR);
        ::shutdown(other.Get(), SHUT_RDWR);
        for (std::thread* thread : {&sender, &drainer}) {
            if (thread->joinable()) {
                thread->join();
            }
        }
    }
    Scene(const Scene&) = delete;
    Scene& operator=(const Scene&) = delete;

    const VanishCase& c;
    int waitPort = FreePort(kCardAddress, SOCK_STREAM);
    const char* otherAddress = c.worker.waitsOnServer ? kClientAddress : kServerAddress;
    int otherPort = FreePort(otherAddress, SOCK_STREAM);
    UniqueFd otherListener = ListenOn(otherAddress, otherPort);
    std::unique_ptr<RelaySeries> series;
    UniqueFd vanishing; // in the host namespace, the relay's accepted peer
    UniqueFd other;     // the relay's connection to the other side, accepted here
    std::thread sender;
    std::thread drainer;
    std::atomic<std::size_t> drained{0};

    RelayPlan Plan() const {
        const Endpoint wait = EndpointAt(kCardAddress, waitPort);
        const Endpoint far = EndpointAt(otherAddress, otherPort);
        return MakeRelayPlan(c.worker.mode, RelayProtocol::Tcp, c.worker.waitsOnServer ? far : wait,
                             c.worker.waitsOnServer ? wait : far);
    }
    // TCP data goes from the client side to the server side.
    UniqueFd& Source() { return c.worker.waitsOnServer ? other : vanishing; }
    UniqueFd& Destination() { return c.worker.waitsOnServer ? vanishing : other; }
};

void Connect(UniqueFd& socket, const char* address, int port) {
    ASSERT_TRUE(socket.Valid());
    ASSERT_TRUE(TryConnect(socket, address, port)) << std::strerror(errno);
}

// (a) the source idle and (b) data on its way, in both relay directions: the vanished peer is
// once the destination (client to server), once the source (server to client). All four run at
// once; each relay ends its stream saying who did not answer and serves the next peer.
TEST(VanishedPeerTest, TheNextPeerIsServedWithinAboutAMinute) {
    TestNamespaces ns;
    std::string reason;
    if (!ns.Create(reason)) {
        GTEST_SKIP() << "cannot create network namespaces here: " << reason;
    }
    ASSERT_EQ(ns.Connect({std::string(kCardAddress) + "/24"}, {std::string(kHostAddress) + "/24"}),
              "");
    const InNamespace card(ns.CardNamespace());
    ASSERT_TRUE(card.Entered());

    const VanishCase cases[] = {
        {"ClientToServerIdle", kTcpClientToServer, false},
        {"ClientToServerSending", kTcpClientToServer, true},
        {"ServerToClientIdle", kTcpServerToClient, false},
        {"ServerToClientSending", kTcpServerToClient, true},
    };
    std::vector<std::unique_ptr<Scene>> scenes;
    for (const VanishCase& c : cases) {
        SCOPED_TRACE(c.name);
        auto scene = std::make_unique<Scene>(c);
        ASSERT_TRUE(scene->otherListener.Valid());
        scene->series = std::make_unique<RelaySeries>(scene->Plan());
        ASSERT_TRUE(WaitUntil([&] { return IsListening(kCardAddress, scene->waitPort); }));
        {
            const InNamespace host(ns.HostNamespace());
            ASSERT_TRUE(host.Entered());
            scene->vanishing = UniqueFd(::socket(AF_INET, SOCK_STREAM, 0));
        }
        ASSERT_NO_FATAL_FAILURE(Connect(scene->vanishing, kCardAddress, scene->waitPort));
        scene->other = AcceptWithin(scene->otherListener.Get());
        ASSERT_TRUE(scene->other.Valid());
        ASSERT_TRUE(SendAll(scene->Source().Get(), "first"));
        ASSERT_EQ(ReadStream(scene->Destination().Get(), 6).data, "first\0"s);
        if (c.sending) {
            // Until the link is gone the source's data flows; the destination takes all that
            // comes, so only the vanished peer can hold the stream.
            Scene& sending = *scene;
            sending.sender = std::thread([&sending] {
                // Until its connection is shut down, a gigabyte at most.
                const std::string chunk = StreamWithoutZeros(1U << 20);
                for (int i = 0; i < 1024 && SendAll(sending.Source().Get(), chunk); ++i) {
                }
            });
            sending.drainer = std::thread([&sending] {
                char chunk[65536];
                while (Readable(sending.Destination().Get(), 120s)) {
                    const ssize_t got = ::recv(sending.Destination().Get(), chunk, sizeof chunk, 0);
                    if (got <= 0) {
                        break;
                    }
                    sending.drained += static_cast<std::size_t>(got);
                }
            });
            ASSERT_TRUE(WaitUntil([&] { return sending.drained.load() >= (1U << 20); }));
        }
        scenes.push_back(std::move(scene));
    }

    // The host's link goes down: nothing it sends or is sent ever arrives again.
    const CommandResult down = RunCommand("ip -n " + ns.HostNamespace() + " link set tvh" +
                                          std::to_string(getpid()) + " down");
    ASSERT_EQ(down.status, 0) << down.output;
    const auto wentDown = std::chrono::steady_clock::now();

    // The next peer of each relay, on the card itself, waits in the listening socket's queue; it
    // is served once the relay has let the vanished one go.
    std::vector<std::thread> waits;
    std::vector<double> servedAfter(scenes.size(), -1.0);
    for (std::size_t i = 0; i < scenes.size(); ++i) {
        waits.emplace_back([&, i] {
            Scene& scene = *scenes[i];
            SCOPED_TRACE(scene.c.name);
            UniqueFd next(::socket(AF_INET, SOCK_STREAM, 0));
            ASSERT_NO_FATAL_FAILURE(Connect(next, kCardAddress, scene.waitPort));
            UniqueFd nextOther = AcceptWithin(scene.otherListener.Get(), kServedWithin + 15s);
            ASSERT_TRUE(nextOther.Valid()) << "the next peer was never served";
            UniqueFd& source = scene.c.worker.waitsOnServer ? nextOther : next;
            UniqueFd& destination = scene.c.worker.waitsOnServer ? next : nextOther;
            ASSERT_TRUE(SendAll(source.Get(), "next"));
            EXPECT_EQ(ReadStream(destination.Get(), 5).data, "next\0"s);
            servedAfter[i] =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - wentDown).count();
        });
    }
    for (std::thread& wait : waits) {
        wait.join();
    }

    for (std::size_t i = 0; i < scenes.size(); ++i) {
        Scene& scene = *scenes[i];
        SCOPED_TRACE(scene.c.name);
        std::printf("%s: next peer served %.1f s after the link went down\n", scene.c.name,
                    servedAfter[i]);
        EXPECT_GE(servedAfter[i], 0.0);
        EXPECT_LE(servedAfter[i], std::chrono::duration<double>(kServedWithin).count());
        const bool destinationVanishedWithData = scene.c.sending && scene.c.worker.waitsOnServer;
        // The sender is released: its connection is gone on the relay's side.
        ::shutdown(scene.vanishing.Get(), SHUT_RDWR);
        ::shutdown(scene.other.Get(), SHUT_RDWR);
        for (std::thread* thread : {&scene.sender, &scene.drainer}) {
            if (thread->joinable()) {
                thread->join();
            }
        }
        const std::vector<RelayOutcome>& outcomes = scene.series->Finish();
        ASSERT_GE(outcomes.size(), 1U);
        const RelayOutcome& first = outcomes.front();
        EXPECT_EQ(first.end, scene.c.worker.waitsOnServer ? RelayEnd::DestinationGone
                                                          : RelayEnd::SourceClosed);
        // The kernel reports its timeout, or the unreachable host its neighbour discovery found
        // meanwhile; either way the peer is the one that did not answer.
        EXPECT_TRUE(first.error == ETIMEDOUT || first.error == EHOSTUNREACH)
            << std::strerror(first.error);
        const std::string said = "对端无响应: " + EndpointText(first.peer);
        if (destinationVanishedWithData) {
            // The end line says how much of what was counted as forwarded ever arrived.
            EXPECT_GT(first.unacknowledged, 0U);
            EXPECT_LT(first.unacknowledged, first.bytesForwarded);
            EXPECT_EQ(DescribeRelayEnd(first),
                      said + ", 已转发的 " + std::to_string(first.bytesForwarded) +
                          " 字节中目的端确认收到 " +
                          std::to_string(first.bytesForwarded - first.unacknowledged) + " 字节");
        } else {
            EXPECT_EQ(DescribeRelayEnd(first), said);
        }
        EXPECT_EQ(AddressText(first.peer), kHostAddress);
    }
}

// A connect to the other side that gets no answer (its accept queue is full, so its SYNs are
// dropped) fails after the connect's bound instead of the system's two minutes, saying so.
TEST(VanishedPeerTest, AConnectWithoutAnswerFailsAfterItsBound) {
    const Endpoints endpoints = Endpoints::Pick(true);
    const PeerEndpoint waitSide = endpoints.WaitSide(kTcpClientToServer);
    const PeerEndpoint other = endpoints.OtherSide(kTcpClientToServer);
    const UniqueFd silent = ListenOn(other.address, other.port, 0);
    ASSERT_TRUE(silent.Valid());
    const UniqueFd queued = ConnectWithin(other.address, other.port);
    ASSERT_TRUE(queued.Valid());

    Relay relay(endpoints.Plan(kTcpClientToServer));
    const UniqueFd incoming = ConnectWithin(waitSide.address, waitSide.port);
    ASSERT_TRUE(incoming.Valid());
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(relay.WaitUntilEnded(kConnectBound + 20s));
    const auto waited = std::chrono::steady_clock::now() - start;
    std::printf("the connect failed after %.1f s\n", std::chrono::duration<double>(waited).count());
    EXPECT_GE(waited, kConnectBound - 1s);
    const RelayOutcome outcome = relay.Outcome();
    EXPECT_EQ(outcome.end, RelayEnd::SetupFailed);
    EXPECT_EQ(outcome.step, SetupStep::Connect);
    EXPECT_EQ(DescribeSetupFailure(outcome),
              "输入网卡 " + EndpointText(EndpointAt(other.address, other.port)) +
                  " 无法连接: 连接超时");
    EXPECT_TRUE(ReadUntilClosed(incoming.Get()).closed);
}

} // namespace
