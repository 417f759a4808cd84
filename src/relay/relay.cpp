#include "relay/relay.h"

#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

#include "relay/relay_workers.h"

namespace {

// A send or splice into a connection its peer has closed raises SIGPIPE, which would end the
// whole program; blocked on the worker's thread, the call reports EPIPE instead.
void BlockBrokenPipeSignal() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

} // namespace

Relay::Relay(const RelayPlan& plan, RelayEventSink events, BufferHead head, KeptAcrossStreams* kept)
    : m_plan(plan), m_worker(std::move(events), head),
      m_ended(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)), m_thread([this, kept] {
          BlockBrokenPipeSignal();
          RunRelayWorker(m_worker, m_plan, kept);
          const std::uint64_t one = 1;
          [[maybe_unused]] const ssize_t written = ::write(m_ended.Get(), &one, sizeof one);
      }) {}

Relay::~Relay() {
    m_worker.Release();
    m_thread.join();
}

void RunRelayWorker(RelayWorker& worker, const RelayPlan& plan, KeptAcrossStreams* kept) {
    // Without its wake-up descriptor no Stop could reach a worker waiting for a peer.
    if (worker.WakeError() != 0) {
        worker.SetupFailed(SetupStep::Wake, plan.waitSide, plan.waitEndpoint, worker.WakeError());
        worker.Finish(false, RelayEnd::SetupFailed);
        return;
    }
    if (plan.protocol == RelayProtocol::Tcp && plan.streams > 1) {
        RunStreamSet(worker, plan, kept);
    } else if (plan.protocol == RelayProtocol::Tcp) {
        RunTcpWorker(worker, plan, kept);
    } else {
        RunUdpWorker(worker, plan, kept);
    }
}
