#include "headless/handover.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "headless/handed_sockets.h"
#include "headless/service_manager.h"
#include "platform/error_reason.h"
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

// The largest record this program writes is far below this: the bytes a stream had not given
// (a pipe and a batch at most) and a few lines.
constexpr off_t kMostRecordBytes = 16 << 20;

// The record, or why it is not one this program wrote.
std::optional<HandoverState> ReadRecord(const UniqueFd& file, std::string& problem) {
    struct stat status {};
    if (::fstat(file.Get(), &status) != 0 || !S_ISREG(status.st_mode)) {
        problem = "不是文件";
        return std::nullopt;
    }
    if (status.st_size > kMostRecordBytes) {
        problem = "有 " + std::to_string(status.st_size) + " 字节, 过大";
        return std::nullopt;
    }
    std::string text(static_cast<std::size_t>(status.st_size), '\0');
    std::size_t got = 0;
    for (ssize_t done = 0;
         got < text.size() && (done = ::pread(file.Get(), text.data() + got, text.size() - got,
                                              static_cast<off_t>(got))) > 0;) {
        got += static_cast<std::size_t>(done);
    }
    text.resize(got);
    std::optional<HandoverState> state = ParseHandoverState(text);
    if (!state) {
        problem = "无法识别";
    }
    return state;
}

// Closes a handed connection in order, its peer seeing a FIN after what it was sent.
void CloseInOrder(KeptAcrossStreams& kept, UniqueFd& connection) {
    if (connection.Valid()) {
        kept.closes.Add(std::move(connection));
    }
}

} // namespace

bool HandOverToServiceManager(LoggedRelay& relay, RelayLog& log) {
    if (!NotifyServiceManager("STATUS=交给下一个进程")) {
        if (errno != ENOENT) {
            log.Error("无法通知 systemd: " + ErrorReasonText(errno));
        }
        return false;
    }
    const HandoverState state = relay.HandOver();
    KeptAcrossStreams& kept = relay.Kept();
    // The first failure's reason, for the log.
    int error = 0;
    const auto store = [&error](const char* name, int descriptor) {
        if (!StoreDescriptor(name, descriptor) && error == 0) {
            error = errno;
        }
    };
    const UniqueFd record = RecordFile(state);
    if (!record.Valid()) {
        error = errno;
    }
    // The sockets first: a record in the store names only what is there.
    store(kEndpointName, kept.endpointSocket.Get());
    if (kept.stream) {
        store(kAcceptedName, kept.stream->accepted.Get());
        store(kConnectedName, kept.stream->connected.Get());
    }
    if (record.Valid()) {
        store(kStateName, record.Get());
    }
    // The process must not end before systemd holds them: it reads the store's messages in turn.
    if (error == 0 && !WaitForServiceManager(kStoreBound)) {
        error = errno;
    }
    if (error != 0) {
        log.Error("无法把连接交给 systemd 保管: " + ErrorReasonText(error) + ", 连接随本进程结束");
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

HandedOver TakeHandedOver(PassedDescriptors passed, RelayLog& log) {
    HandedOver handed;
    if (!passed.refusal.empty()) {
        log.Warning("systemd 交来的描述符不可用: " + passed.refusal + ", 一个也不接收");
    }
    for (PassedDescriptor& descriptor : passed.descriptors) {
        if (descriptor.name == kEndpointName) {
            handed.endpoint = std::move(descriptor.descriptor);
        } else if (descriptor.name == kAcceptedName) {
            handed.accepted = std::move(descriptor.descriptor);
        } else if (descriptor.name == kConnectedName) {
            handed.connected = std::move(descriptor.descriptor);
        } else if (descriptor.name == kStateName) {
            handed.state = ReadRecord(descriptor.descriptor, handed.stateProblem);
        }
    }
    // Taken out of the store at once, whatever came: a copy there would keep a connection open
    // after this process closed it, and come back on every start.
    if (!passed.descriptors.empty() || !passed.refusal.empty()) {
        bool removed = true;
        for (const char* name : {kEndpointName, kAcceptedName, kConnectedName, kStateName}) {
            removed = RemoveStoredDescriptors(name) && removed;
        }
        // Gone from the store before anything is bound anew: systemd's copy would hold the port.
        if ((!removed || !WaitForServiceManager(kStoreBound)) && errno != ENOENT) {
            log.Warning("无法从 systemd 取回保管的连接: " + ErrorReasonText(errno));
        }
    }
    return handed;
}

void GoOnWith(HandedOver handed, const RelayPlan& plan, LoggedRelay& relay, RelayLog& log) {
    if (!handed.Any()) {
        return;
    }
    KeptAcrossStreams& kept = relay.Kept();
    // Not the file's relay, or not what it says: named with its reason, each connection sees an
    // orderly close, and the relay starts afresh; on the same endpoint with the socket handed on
    // where that is the plan's, since it still holds the port and what it queued.
    const auto startAfresh = [&](const std::string& why) {
        log.Warning(why + ", 按参数文件重新开始");
        if (!handed.endpoint.Valid() ||
            !EndpointSocketProblem(handed.endpoint.Get(), plan).empty()) {
            handed.endpoint.Reset();
        }
        kept.endpointSocket = std::move(handed.endpoint);
        CloseInOrder(kept, handed.accepted);
        CloseInOrder(kept, handed.connected);
    };
    if (!handed.state) {
        startAfresh(handed.stateProblem.empty()
                        ? std::string("上一个进程交来的连接没有记录, 已关闭")
                        : "上一个进程交来的记录" + handed.stateProblem + ", 交来的连接已关闭");
        return;
    }
    HandoverState& state = *handed.state;
    if (!CarriesOn(state.plan, plan, state.peer)) {
        startAfresh("上一个进程交来的连接与参数文件的设置不符, 已关闭");
        return;
    }
    if (!handed.endpoint.Valid()) {
        startAfresh("上一个进程没有交来 " + SideEndpointText(plan.waitSide, plan.waitEndpoint) +
                    " 的套接字, 交来的连接已关闭");
        return;
    }
    if (const std::string problem = EndpointSocketProblem(handed.endpoint.Get(), plan);
        !problem.empty()) {
        startAfresh("上一个进程交来的 " + SideEndpointText(plan.waitSide, plan.waitEndpoint) +
                    " 的套接字" + problem + ", 已关闭");
        return;
    }
    const Endpoint bound = BoundEndpoint(handed.endpoint.Get(), plan.waitEndpoint);
    const bool streamHanded = !state.peer.Empty();
    if (!streamHanded && (handed.accepted.Valid() || handed.connected.Valid())) {
        startAfresh("上一个进程交来的连接不在记录中, 已关闭");
        return;
    }
    if (streamHanded) {
        const std::string from = "来自 " + EndpointText(state.peer) + " 的连接";
        const std::string to = "到 " + EndpointText(plan.otherEndpoint) + " 的连接";
        std::string problem;
        // systemd drops a stored connection by itself when it sees it hang up or fail.
        if (!handed.accepted.Valid() && !handed.connected.Valid()) {
            problem = from + "和" + to + "都在重启期间断开";
        } else if (!handed.accepted.Valid()) {
            problem = from + "在重启期间断开, 已关闭" + to;
        } else if (!handed.connected.Valid()) {
            problem = to + "在重启期间断开, 已关闭" + from;
        } else if (std::string wrong =
                       ConnectionProblem(handed.accepted.Get(), state.peer, bound.Port());
                   !wrong.empty()) {
            problem = "上一个进程交来的" + from + wrong + ", 两个连接都已关闭";
        } else if (wrong = ConnectionProblem(handed.connected.Get(), plan.otherEndpoint);
                   !wrong.empty()) {
            problem = "上一个进程交来的" + to + wrong + ", 两个连接都已关闭";
        }
        if (!problem.empty()) {
            // The endpoint is the plan's: the relay goes on there with the next stream.
            relay.TakeOver(state);
            startAfresh(problem);
            return;
        }
    }
    relay.TakeOver(state);
    kept.endpointSocket = std::move(handed.endpoint);
    if (streamHanded) {
        kept.stream = LiveStream{std::move(handed.accepted), std::move(handed.connected),
                                 state.peer, std::move(state.unsent)};
    } else {
        log.Info("已接续: 上一个进程的 " + SideEndpointText(plan.waitSide, plan.waitEndpoint) +
                 (plan.protocol == RelayProtocol::Udp ? " 及其未读的数据报" : ""));
    }
}
