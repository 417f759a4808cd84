#include "relay/relay.h"

#include "relay/relay_workers.h"

Relay::Relay(const RelayPlan& plan, RelayEventSink events, BufferHead head,
             SocketHandle* keptListener)
    : m_plan(plan), m_worker(std::move(events), head),
      m_thread([this, keptListener] { RunRelayWorker(m_worker, m_plan, keptListener); }) {}

Relay::~Relay() {
    m_worker.Release();
    m_thread.join();
}

unsigned int RunRelayWorker(RelayWorker& worker, const RelayPlan& plan,
                            SocketHandle* keptListener) {
    return plan.protocol == RelayProtocol::Tcp ? RunTcpWorker(worker, plan, keptListener)
                                               : RunUdpWorker(worker, plan);
}
