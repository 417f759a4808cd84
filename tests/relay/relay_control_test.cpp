#include "relay/relay_control.h"

#include <gtest/gtest.h>

#include <spawn.h>
#include <sys/wait.h>

#include <array>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "relay/relay_sockets.h"
#include "relay/relay_state.h"
#include "relay_test_links.h"

namespace {

using namespace relaytest;
using namespace std::string_literals;

// A new program holds even the close-on-exec descriptors until its exec has finished, which can
// be a moment after the start returned; one that inherited a socket holds it for its whole life.
constexpr auto kChildExecBound = 500ms;

// A program running beside the test that inherits whatever descriptors are not close-on-exec.
class ChildProgram {
public:
    ChildProgram() {
        char program[] = "sleep";
        char seconds[] = "30";
        char* argv[] = {program, seconds, nullptr};
        if (::posix_spawnp(&m_pid, program, nullptr, nullptr, argv, environ) != 0) {
            m_pid = -1;
        }
    }
    ~ChildProgram() {
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
    }
    ChildProgram(const ChildProgram&) = delete;
    ChildProgram& operator=(const ChildProgram&) = delete;

    bool Running() const { return m_pid > 0 && ::waitpid(m_pid, nullptr, WNOHANG) == 0; }

private:
    pid_t m_pid = -1;
};

class StopTest : public ::testing::TestWithParam<WorkerCase> {
protected:
    void TearDown() override {
        RequestRelayStop();
        EXPECT_TRUE(WaitForRelayWorkers(kTimeout));
    }

    const WorkerCase& Worker() const { return GetParam(); }
};

// Stop's sequence while a TCP worker waits in accept: one wake-up connection, the pause, the
// flag. The worker takes the wake-up as its connection, stops listening, and ends without
// forwarding anything.
TEST_P(StopTest, WhileWaitingInAcceptWakeUpThenStop) {
    FillRelayBuffer("STALE");
    const Endpoints endpoints = Endpoints::Pick(true);
    const Endpoint waitSide = endpoints.WaitSide(Worker());
    const Endpoint other = endpoints.OtherSide(Worker());
    SocketHandle otherListener = ListenOn(other.address, other.port);
    RunWorker(Worker().proc);
    ASSERT_TRUE(WaitUntil([&] { return IsListening(waitSide.address, waitSide.port); }));
    EXPECT_EQ(Worker().waiting->load(), 1);

    WakeAcceptingWorker(waitSide.address, waitSide.port);
    EXPECT_TRUE(WaitUntil([&] { return Worker().waiting->load() == 0; }));
    EXPECT_FALSE(IsListening(waitSide.address, waitSide.port));
    // The worker went on to connect to the other side.
    SocketHandle outgoing = AcceptWithin(otherListener.Get());
    ASSERT_TRUE(outgoing.Valid());
    std::this_thread::sleep_for(50ms); // the pause before the flag, shortened
    RequestRelayStop();

    EXPECT_TRUE(WaitForRelayWorkers(kTimeout));
    const StreamRead read = ReadUntilClosed(outgoing.Get());
    EXPECT_TRUE(read.closed);
    EXPECT_EQ(read.data, "");
    EXPECT_FALSE(Readable(otherListener.Get(), kQuiet)) << "a second connection was made";
}

// Stop alone releases a worker from accept.
TEST_P(StopTest, WhileWaitingInAcceptWithoutWakeUp) {
    const Endpoints endpoints = Endpoints::Pick(true);
    const Endpoint waitSide = endpoints.WaitSide(Worker());
    const Endpoint other = endpoints.OtherSide(Worker());
    SocketHandle otherListener = ListenOn(other.address, other.port);
    RunWorker(Worker().proc);
    ASSERT_TRUE(WaitUntil([&] { return IsListening(waitSide.address, waitSide.port); }));

    RequestRelayStop();

    EXPECT_TRUE(WaitForRelayWorkers(kTimeout));
    EXPECT_EQ(Worker().waiting->load(), 0);
    EXPECT_FALSE(IsListening(waitSide.address, waitSide.port));
    EXPECT_FALSE(Readable(otherListener.Get(), kQuiet)) << "the worker connected after Stop";
}

// A connect that gets no answer (the peer's accept queue is full, so its SYNs are dropped) is
// released by Stop wherever Stop lands, and neither Stop nor the next start waits for the
// system's connect timeout.
TEST_P(StopTest, ReleasesAConnectThatGetsNoAnswer) {
    const Endpoints endpoints = Endpoints::Pick(true);
    const Endpoint waitSide = endpoints.WaitSide(Worker());
    const Endpoint other = endpoints.OtherSide(Worker());
    const SocketHandle silent = ListenOn(other.address, other.port, 0);
    ASSERT_TRUE(silent.Valid());
    const SocketHandle queued = ConnectWithin(other.address, other.port);
    ASSERT_TRUE(queued.Valid());

    for (const auto pause : {0us, 100us, 1000us, 50000us}) {
        SCOPED_TRACE(pause.count());
        RunWorker(Worker().proc);
        const SocketHandle incoming = ConnectWithin(waitSide.address, waitSide.port);
        ASSERT_TRUE(incoming.Valid());
        ASSERT_TRUE(WaitUntil([&] { return Worker().waiting->load() == 0; }));
        std::this_thread::sleep_for(pause);

        RequestRelayStop();
        EXPECT_TRUE(WaitForRelayWorkers(1s));
        EXPECT_EQ(LastRelayOutcome()->end, RelayEnd::Stopped);
    }

    // A new start ends a worker blocked in such a connect just as quickly.
    RunWorker(Worker().proc);
    const SocketHandle incoming = ConnectWithin(waitSide.address, waitSide.port);
    ASSERT_TRUE(WaitUntil([&] { return Worker().waiting->load() == 0; }));
    std::this_thread::sleep_for(50ms);
    const auto start = std::chrono::steady_clock::now();
    RunWorker(UdpServerToClientThread);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
}

// A program started while a relay runs (as Help starts a viewer) holds none of the relay's
// sockets: after Stop the endpoint can be bound at once and the destination sees its orderly
// close, while the program still runs.
TEST_P(StopTest, ProgramsStartedMeanwhileHoldNoRelaySocket) {
    const Endpoints endpoints = Endpoints::Pick(true);
    const Endpoint waitSide = endpoints.WaitSide(Worker());
    const Endpoint other = endpoints.OtherSide(Worker());
    const SocketHandle otherListener = ListenOn(other.address, other.port);
    RunWorker(Worker().proc);
    ASSERT_TRUE(WaitUntil([&] { return IsListening(waitSide.address, waitSide.port); }));
    const ChildProgram whileWaiting;
    SocketHandle incoming = ConnectWithin(waitSide.address, waitSide.port);
    SocketHandle outgoing = AcceptWithin(otherListener.Get());
    ASSERT_TRUE(incoming.Valid() && outgoing.Valid());
    const ChildProgram whileRelaying;

    RequestRelayStop();
    EXPECT_TRUE(WaitForRelayWorkers(kTimeout));

    EXPECT_TRUE(WaitUntil([&] { return ListenOn(waitSide.address, waitSide.port).Valid(); },
                          kChildExecBound))
        << "the endpoint is still held";
    const StreamRead read = ReadUntilClosed((Worker().waitsOnServer ? incoming : outgoing).Get());
    EXPECT_TRUE(read.closed);
    EXPECT_FALSE(read.reset);
    EXPECT_TRUE(whileWaiting.Running() && whileRelaying.Running());
}

INSTANTIATE_TEST_SUITE_P(TcpWorkers, StopTest, ::testing::ValuesIn(kTcpWorkers),
                         [](const auto& info) { return CaseName(info.param); });

class StopInReceiveTest : public StopTest {};

// A worker blocked in its receive ends promptly on Stop, forwards nothing afterwards, and a new
// run on the same endpoints relays again.
TEST_P(StopInReceiveTest, EndsPromptlyAndTheEndpointsCanBeUsedAgain) {
    const Endpoints endpoints = Endpoints::Pick(Worker().tcp);
    {
        const Link link = StartLinked(Worker(), endpoints);
        ASSERT_TRUE(link.Ready());
        link.Send(Worker(), "one");
        ASSERT_EQ(ReadForwarded(Worker(), link, 4), "one\0"s);

        RequestRelayStop();
        EXPECT_TRUE(WaitForRelayWorkers(1s));
        EXPECT_EQ(g_stopRelay.load(), 0) << "the worker puts the flag back on its way out";
        EXPECT_EQ(LastRelayOutcome()->end, RelayEnd::Stopped);
        // Releasing the receive wrote nothing: the lamps keep showing the last real data.
        EXPECT_EQ(std::string(g_relayBuffer.data(), 4), "one\0"s);
        EXPECT_EQ(RelayBufferHead(), (std::array<std::uint8_t, 4>{'o', 'n', 'e', 0}));

        link.Send(Worker(), "late");
        EXPECT_TRUE(NothingForwarded(Worker(), link));
    }

    // Run again.
    const Link again = StartLinked(Worker(), endpoints);
    ASSERT_TRUE(again.Ready());
    again.Send(Worker(), "two");
    EXPECT_EQ(ReadForwarded(Worker(), again, 4), "two\0"s);
}

// The flag alone (nothing released) is checked after each receive: data that arrives after it was
// raised is not forwarded.
TEST_P(StopInReceiveTest, DataAfterTheFlagIsNotForwarded) {
    const Endpoints endpoints = Endpoints::Pick(Worker().tcp);
    const Link link = StartLinked(Worker(), endpoints);
    ASSERT_TRUE(link.Ready());
    link.Send(Worker(), "one");
    ASSERT_EQ(ReadForwarded(Worker(), link, 4), "one\0"s);

    g_stopRelay = 1;
    link.Send(Worker(), "late");

    EXPECT_TRUE(WaitForRelayWorkers(kTimeout));
    EXPECT_TRUE(NothingForwarded(Worker(), link));
    EXPECT_EQ(g_stopRelay.load(), 0);
}

INSTANTIATE_TEST_SUITE_P(AllWorkers, StopInReceiveTest, ::testing::ValuesIn(kAllWorkers),
                         [](const auto& info) { return CaseName(info.param); });

// The UDP counterpart: the bound endpoint is free right after Stop.
TEST(RelayControlTest, ProgramsStartedMeanwhileHoldNoDatagramSocket) {
    const Endpoints endpoints = Endpoints::Pick(false);
    const Link link = StartLinked(kUdpServerToClient, endpoints);
    ASSERT_TRUE(link.Ready());
    const ChildProgram program;

    RequestRelayStop();
    EXPECT_TRUE(WaitForRelayWorkers(kTimeout));

    EXPECT_TRUE(WaitUntil(
        [&] { return BindUdp(link.workerEndpoint.address, link.workerEndpoint.port).Valid(); },
        kChildExecBound));
    EXPECT_TRUE(program.Running());
}

// A new start ends a worker still alive from before, so only one ever uses the relay buffer.
TEST(RelayControlTest, StartEndsAnEarlierWorker) {
    const Endpoints endpoints = Endpoints::Pick(false);
    const Link first = StartLinked(kUdpServerToClient, endpoints);
    ASSERT_TRUE(first.Ready());
    ASSERT_EQ(LiveRelayWorkerCount(), 1U);

    RunWorker(UdpServerToClientThread);
    // The earlier worker is gone by now, and its endpoint was free for the new one.
    EXPECT_EQ(LiveRelayWorkerCount(), 1U);
    ASSERT_TRUE(WaitUntil(
        [&] { return IsUdpBound(first.workerEndpoint.address, first.workerEndpoint.port); }));
    first.Send(kUdpServerToClient, "new");
    EXPECT_EQ(ReadForwarded(kUdpServerToClient, first, 4), "new\0"s);

    RequestRelayStop();
    EXPECT_TRUE(WaitForRelayWorkers(kTimeout));
}

// Start and stop in quick succession hit every stage of every worker; nothing may be left over.
TEST(RelayControlTest, RepeatedStartAndStopLeaksNoSocketOrThread) {
    const Endpoints endpoints = Endpoints::Pick(true);
    // The first start builds what lives for the whole process.
    RunWorker(UdpServerToClientThread);
    RequestRelayStop();
    ASSERT_TRUE(WaitForRelayWorkers(kTimeout));
    const std::size_t fds = SettledCount("/proc/self/fd");
    const std::size_t threads = SettledCount("/proc/self/task");

    for (int i = 0; i < 100; ++i) {
        RunWorker(kAllWorkers[i % 4].proc);
        if (i % 3 == 0) {
            // Let some of them reach their blocking call first.
            std::this_thread::sleep_for(1ms);
        }
        RequestRelayStop();
    }

    ASSERT_TRUE(WaitForRelayWorkers(kTimeout));
    EXPECT_EQ(LiveRelayWorkerCount(), 0U);
    EXPECT_EQ(SettledCount("/proc/self/fd"), fds);
    EXPECT_EQ(SettledCount("/proc/self/task"), threads);
    EXPECT_EQ(g_c2sTcpWaiting.load(), 0);
    EXPECT_EQ(g_s2cTcpWaiting.load(), 0);
    EXPECT_FALSE(IsListening(endpoints.client.address, endpoints.client.port));
    EXPECT_FALSE(IsListening(endpoints.server.address, endpoints.server.port));
}

// Leaving the process with a worker blocked must end it cleanly, not in std::terminate.
TEST(RelayControlDeathTest, ExitWithALiveWorkerEndsCleanly) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            const Endpoints endpoints = Endpoints::Pick(true);
            RunWorker(TcpClientToServerThread);
            WaitUntil([&] { return IsListening(endpoints.server.address, endpoints.server.port); });
            std::exit(LiveRelayWorkerCount() == 1 ? 7 : 1);
        },
        ::testing::ExitedWithCode(7), "");
}

} // namespace
