#include "relay/relay.h"

#include <gtest/gtest.h>

#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/error_reason.h"
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
    const WorkerCase& Worker() const { return GetParam(); }
};

// Stop while a TCP relay waits for its connection, the way the dialog stops it (the relay told to
// stop waiting, the pause, then ended) and the way a signal does (ended at once): the relay stops
// listening and never connects to the other side.
TEST_P(StopTest, WhileWaitingNeverConnectsToTheOtherSide) {
    const Endpoints endpoints = Endpoints::Pick(true);
    const PeerEndpoint waitSide = endpoints.WaitSide(Worker());
    const PeerEndpoint other = endpoints.OtherSide(Worker());
    const UniqueFd otherListener = ListenOn(other.address, other.port);
    for (int cycle = 0; cycle < 40; ++cycle) {
        const bool likeTheDialog = cycle % 2 == 0;
        SCOPED_TRACE(likeTheDialog ? "stop waiting, pause, stop" : "stop at once");
        Relay relay(endpoints.Plan(Worker()));
        // Some cycles stop before the relay even listens.
        if (cycle % 4 < 2) {
            ASSERT_TRUE(WaitUntil([&] { return IsListening(waitSide.address, waitSide.port); }));
        }
        if (likeTheDialog) {
            relay.StopWaiting();
            std::this_thread::sleep_for(2ms); // the pause before the end, shortened
        }
        relay.Stop();

        ASSERT_TRUE(relay.WaitUntilEnded(kTimeout));
        EXPECT_EQ(relay.Outcome().end, RelayEnd::Stopped);
        EXPECT_FALSE(IsListening(waitSide.address, waitSide.port));
        ASSERT_FALSE(Readable(otherListener.Get(), 0ms)) << "the relay connected after Stop";
    }
    EXPECT_FALSE(Readable(otherListener.Get(), kQuiet)) << "the relay connected after Stop";
}

// A connect that gets no answer (the peer's accept queue is full, so its SYNs are dropped) is
// released by Stop wherever Stop lands, without waiting for the system's connect timeout.
TEST_P(StopTest, ReleasesAConnectThatGetsNoAnswer) {
    const Endpoints endpoints = Endpoints::Pick(true);
    const PeerEndpoint waitSide = endpoints.WaitSide(Worker());
    const PeerEndpoint other = endpoints.OtherSide(Worker());
    const UniqueFd silent = ListenOn(other.address, other.port, 0);
    ASSERT_TRUE(silent.Valid());
    const UniqueFd queued = ConnectWithin(other.address, other.port);
    ASSERT_TRUE(queued.Valid());

    for (const auto pause : {0us, 100us, 1000us, 50000us}) {
        SCOPED_TRACE(pause.count());
        Relay relay(endpoints.Plan(Worker()));
        UniqueFd incoming = ConnectWithin(waitSide.address, waitSide.port);
        ASSERT_TRUE(incoming.Valid());
        ASSERT_TRUE(WaitUntil([&] { return !IsListening(waitSide.address, waitSide.port); }));
        std::this_thread::sleep_for(pause);
        // Gone before Stop, so the relay's orderly close of it has nothing to wait for.
        incoming.Reset();

        const auto start = std::chrono::steady_clock::now();
        relay.Stop();
        EXPECT_TRUE(relay.WaitUntilEnded(1s));
        EXPECT_EQ(relay.Outcome().end, RelayEnd::Stopped);
        EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    }
}

// A program started while a relay runs (as Help starts a viewer) holds none of the relay's
// sockets: after Stop the endpoint can be bound at once and the destination sees its orderly
// close, while the program still runs.
TEST_P(StopTest, ProgramsStartedMeanwhileHoldNoRelaySocket) {
    const Endpoints endpoints = Endpoints::Pick(true);
    const PeerEndpoint waitSide = endpoints.WaitSide(Worker());
    const PeerEndpoint other = endpoints.OtherSide(Worker());
    const UniqueFd otherListener = ListenOn(other.address, other.port);
    Relay relay(endpoints.Plan(Worker()));
    ASSERT_TRUE(WaitUntil([&] { return IsListening(waitSide.address, waitSide.port); }));
    const ChildProgram whileWaiting;
    UniqueFd incoming = ConnectWithin(waitSide.address, waitSide.port);
    UniqueFd outgoing = AcceptWithin(otherListener.Get());
    ASSERT_TRUE(incoming.Valid() && outgoing.Valid());
    const ChildProgram whileRelaying;

    relay.Stop();
    EXPECT_TRUE(relay.WaitUntilEnded(kTimeout));

    EXPECT_TRUE(WaitUntil([&] { return ListenOn(waitSide.address, waitSide.port).Valid(); },
                          kChildExecBound))
        << "the endpoint is still held";
    const StreamRead read = ReadUntilClosed((Worker().waitsOnServer ? incoming : outgoing).Get());
    EXPECT_TRUE(read.closed);
    EXPECT_FALSE(read.reset);
    EXPECT_TRUE(whileWaiting.Running() && whileRelaying.Running());
}

INSTANTIATE_TEST_SUITE_P(TcpWorkers, StopTest, ::testing::ValuesIn(kTcpWorkers),
                         [](const auto& tested) { return CaseName(tested.param); });

class StopInReceiveTest : public StopTest {};

// A relay blocked in its receive ends promptly on Stop, forwards nothing afterwards, and a new
// relay on the same endpoints relays again.
TEST_P(StopInReceiveTest, EndsPromptlyAndTheEndpointsCanBeUsedAgain) {
    const Endpoints endpoints = Endpoints::Pick(Worker().tcp);
    {
        Link link = StartLinked(Worker(), endpoints);
        ASSERT_TRUE(link.Ready());
        link.Send(Worker(), "one");
        ASSERT_EQ(ReadForwarded(Worker(), link, 4), "one\0"s);

        link.relay->Stop();
        link.Send(Worker(), "late");
        // A TCP destination sees the relay's orderly close and closes too, as a peer does.
        EXPECT_TRUE(NothingForwarded(Worker(), link));
        link.destination.Reset();
        EXPECT_TRUE(link.relay->WaitUntilEnded(1s));
        EXPECT_EQ(link.relay->Outcome().end, RelayEnd::Stopped);
        // Releasing the receive wrote nothing: the lamps keep showing the last real data.
        EXPECT_EQ(link.relay->Head(), (BufferHead{'o', 'n', 'e', 0}));
    }

    // Run again.
    const Link again = StartLinked(Worker(), endpoints);
    ASSERT_TRUE(again.Ready());
    again.Send(Worker(), "two");
    EXPECT_EQ(ReadForwarded(Worker(), again, 4), "two\0"s);
}

// The first step of Stop ends only a TCP relay still waiting for its connection: one that has its
// connection, and a UDP relay, relay on through the pause until they are ended.
TEST_P(StopInReceiveTest, StopWaitingLeavesARelayThatHasWhatItWaitsForRunning) {
    const Endpoints endpoints = Endpoints::Pick(Worker().tcp);
    const Link link = StartLinked(Worker(), endpoints);
    ASSERT_TRUE(link.Ready());

    link.relay->StopWaiting();
    link.Send(Worker(), "pause");
    EXPECT_EQ(ReadForwarded(Worker(), link, 6), "pause\0"s);

    link.relay->Stop();
    EXPECT_TRUE(link.relay->WaitUntilEnded(kTimeout));
    EXPECT_EQ(link.relay->Outcome().end, RelayEnd::Stopped);
}

INSTANTIATE_TEST_SUITE_P(AllWorkers, StopInReceiveTest, ::testing::ValuesIn(kAllWorkers),
                         [](const auto& tested) { return CaseName(tested.param); });

// The UDP counterpart: the bound endpoint is free right after Stop.
TEST(RelayStopTest, ProgramsStartedMeanwhileHoldNoDatagramSocket) {
    const Endpoints endpoints = Endpoints::Pick(false);
    const Link link = StartLinked(kUdpServerToClient, endpoints);
    ASSERT_TRUE(link.Ready());
    const ChildProgram program;

    link.relay->Stop();
    EXPECT_TRUE(link.relay->WaitUntilEnded(kTimeout));

    EXPECT_TRUE(WaitUntil(
        [&] { return BindUdp(link.relayEndpoint.address, link.relayEndpoint.port).Valid(); },
        kChildExecBound));
    EXPECT_TRUE(program.Running());
}

// Relays started and let go in quick succession hit every stage of every kind; nothing may be
// left over.
TEST(RelayStopTest, RepeatedStartAndStopLeaksNoSocketOrThread) {
    const Endpoints endpoints = Endpoints::Pick(true);
    // Sanitizer runtimes start a helper thread of their own along with the first thread.
    std::thread([] {}).join();
    const std::size_t fds = SettledCount("/proc/self/fd");
    const std::size_t threads = SettledCount("/proc/self/task");

    for (int i = 0; i < 100; ++i) {
        Relay relay(endpoints.Plan(kAllWorkers[i % 4]));
        if (i % 3 == 0) {
            // Let some of them reach their blocking call first.
            std::this_thread::sleep_for(1ms);
        }
        if (i % 2 == 0) {
            relay.Stop();
        }
    }

    EXPECT_EQ(SettledCount("/proc/self/fd"), fds);
    EXPECT_EQ(SettledCount("/proc/self/task"), threads);
    EXPECT_FALSE(IsListening(endpoints.client.address, endpoints.client.port));
    EXPECT_FALSE(IsListening(endpoints.server.address, endpoints.server.port));
}

// A relay whose wake-up descriptor cannot be made (the descriptor limit reached) fails its set-up
// with the reason, instead of running where no Stop could reach it.
TEST(RelayStopTest, AWakeUpDescriptorThatCannotBeMadeFailsTheSetUp) {
#ifdef TARVEL_SANITIZED
    // The sanitizers test memory through a pipe of their own: with no descriptor left they take
    // a new thread's state for unreadable and report a fault that is not there.
    GTEST_SKIP() << "needs descriptors the sanitizers' runtime takes";
#endif
    const Endpoints endpoints = Endpoints::Pick(true);
    const RelayPlan plan = endpoints.Plan(kTcpClientToServer);
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    // The lowest free descriptor as the limit: nothing new can be opened.
    const int lowest = ::dup(0);
    ASSERT_GE(lowest, 0);
    ::close(lowest);
    rlimit tight = saved;
    tight.rlim_cur = static_cast<rlim_t>(lowest);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
    std::unique_ptr<Relay> relay = StartRelay(plan);
    const bool ended = relay->WaitUntilEnded(kTimeout);
    ::setrlimit(RLIMIT_NOFILE, &saved);
    ASSERT_TRUE(ended) << "the relay runs without a way to stop it";
    const RelayOutcome outcome = relay->Outcome();
    EXPECT_EQ(outcome.end, RelayEnd::SetupFailed);
    EXPECT_EQ(outcome.step, SetupStep::Wake);
    EXPECT_EQ(DescribeSetupFailure(outcome), SideEndpointText(plan.waitSide, plan.waitEndpoint) +
                                                 " 无法创建唤醒描述符: " + ErrorReasonText(EMFILE));
    EXPECT_FALSE(IsListening(endpoints.server.address, endpoints.server.port));
}

} // namespace
