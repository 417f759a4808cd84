#include "headless/handover.h"

#include <sys/mman.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "headless/service_manager.h"
#include "relay/relay_description.h"

namespace {

// The names the sockets and the record are stored under.
constexpr char kEndpointName[] = "endpoint";
constexpr char kAcceptedName[] = "accepted";
constexpr char kConnectedName[] = "connected";
constexpr char kStateName[] = "state";

// How long systemd may take to read what was stored.
constexpr std::chrono::milliseconds kStoreBound(5000);

// The record in a memory file, which the store keeps like any descriptor.
UniqueFd RecordFile(const HandoverState& state) {
    UniqueFd file(::memfd_create("tarvel-relay-handover", MFD_CLOEXEC));
    const std::string text = SerializeHandoverState(state);
    for (std::size_t written = 0; file.Valid() && written < text.size();) {
        const ssize_t done = ::pwrite(file.Get(), text.data() + written, text.size() - written,
                                      static_cast<off_t>(written));
        if (done <= 0) {
            return UniqueFd();
        }
        written += static_cast<std::size_t>(done);
    }
    return file;
}

std::optional<HandoverState> ReadRecord(const UniqueFd& file) {
    std::string text;
    char chunk[65536];
    for (ssize_t got = 0;
         (got = ::pread(file.Get(), chunk, sizeof chunk, static_cast<off_t>(text.size()))) > 0;) {
        text.append(chunk, static_cast<std::size_t>(got));
    }
    return ParseHandoverState(text);
}

} // namespace

bool HandOverToServiceManager(LoggedRelay& relay, RelayLog& log) {
    if (!NotifyServiceManager("STATUS=交给下一个进程")) {
        return false;
    }
    const HandoverState state = relay.HandOver();
    KeptAcrossStreams& kept = relay.Kept();
    const UniqueFd record = RecordFile(state);
    // The sockets first: a record in the store names only what is there.
    bool stored = StoreDescriptor(kEndpointName, kept.endpointSocket.Get());
    if (kept.stream) {
        stored = StoreDescriptor(kAcceptedName, kept.stream->accepted.Get()) && stored;
        stored = StoreDescriptor(kConnectedName, kept.stream->connected.Get()) && stored;
    }
    stored = record.Valid() && StoreDescriptor(kStateName, record.Get()) && stored;
    // The process must not end before systemd holds them: it reads the store's messages in turn.
    if (!stored || !WaitForServiceManager(kStoreBound)) {
        log.Error("无法把连接交给 systemd 保管, 连接随本进程结束");
        return true;
    }
    log.Info(kept.stream ? "已把监听端点和来自 " + EndpointText(kept.stream->peer) +
                               " 的连接交给 systemd 保管, 由下一个进程接续"
                         : "已把端点交给 systemd 保管, 由下一个进程接续");
    // Handed on, the stream is the next process's: nothing of it may close here.
    kept.stream.reset();
    kept.endpointSocket.Reset();
    return true;
}

HandedOver TakeHandedOver() {
    HandedOver handed;
    std::vector<PassedDescriptor> passed = TakePassedDescriptors();
    for (PassedDescriptor& descriptor : passed) {
        if (descriptor.name == kEndpointName) {
            handed.endpoint = std::move(descriptor.descriptor);
        } else if (descriptor.name == kAcceptedName) {
            handed.accepted = std::move(descriptor.descriptor);
        } else if (descriptor.name == kConnectedName) {
            handed.connected = std::move(descriptor.descriptor);
        } else if (descriptor.name == kStateName) {
            handed.state = ReadRecord(descriptor.descriptor);
        }
    }
    // Taken out of the store at once: a copy there would keep a connection open after this process
    // closed it.
    if (!passed.empty()) {
        for (const char* name : {kEndpointName, kAcceptedName, kConnectedName, kStateName}) {
            RemoveStoredDescriptors(name);
        }
        // Gone from the store before anything is bound anew: systemd's copy would hold the port.
        WaitForServiceManager(kStoreBound);
    }
    return handed;
}

void GoOnWith(HandedOver handed, const RelayPlan& plan, LoggedRelay& relay, RelayLog& log) {
    if (!handed.Any()) {
        return;
    }
    const bool stream = handed.accepted.Valid() && handed.connected.Valid();
    KeptAcrossStreams& kept = relay.Kept();
    const std::optional<HandoverState>& state = handed.state;
    if (state && handed.endpoint.Valid() && stream == !state->peer.Empty() &&
        CarriesOn(state->plan, plan, state->peer)) {
        relay.TakeOver(*state);
        kept.endpointSocket = std::move(handed.endpoint);
        if (stream) {
            kept.stream = LiveStream{std::move(handed.accepted), std::move(handed.connected),
                                     state->peer, std::move(handed.state->unsent)};
        } else {
            log.Info("已接续: 上一个进程的 " + SideEndpointText(plan.waitSide, plan.waitEndpoint) +
                     (plan.protocol == RelayProtocol::Udp ? " 及其未读的数据报" : ""));
        }
        return;
    }
    // Not the file's relay: each connection sees an orderly close, and the relay starts afresh;
    // on the same endpoint with the socket handed on, which still holds it and what it queued.
    log.Warning("上一个进程交来的连接与参数文件的设置不符, 已关闭, 按参数文件重新开始");
    if (state && handed.endpoint.Valid() && state->plan.protocol == plan.protocol &&
        state->plan.waitEndpoint == plan.waitEndpoint) {
        kept.endpointSocket = std::move(handed.endpoint);
    }
    for (UniqueFd* connection : {&handed.accepted, &handed.connected}) {
        if (connection->Valid()) {
            kept.closes.Add(std::move(*connection));
        }
    }
}
