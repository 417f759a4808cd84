#include "headless/handover.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <set>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "headless/handed_sockets.h"
#include "headless/service_manager.h"
#include "platform/error_reason.h"
#include "relay/relay_description.h"
#include "relay/stream_batch.h"

namespace {

// The names the sockets and the record are stored under. A stream's two connections are named by
// its place K in the record's list: "accepted" and "connected" for the first (as the versions
// before named their one stream), "accepted-K" and "connected-K" for the others.
constexpr char kEndpointName[] = "endpoint";
constexpr std::string_view kAcceptedName = "accepted";
constexpr std::string_view kConnectedName = "connected";
constexpr char kStateName[] = "state";

std::string StreamName(std::string_view connection, std::size_t k) {
    return std::string(connection) + (k == 0 ? "" : "-" + std::to_string(k));
}

// The place of the stream `name` names as one of its `connection`s; none when it names none.
std::optional<std::size_t> StreamPlace(std::string_view name, std::string_view connection) {
    if (!name.starts_with(connection)) {
        return std::nullopt;
    }
    name.remove_prefix(connection.size());
    if (name.empty()) {
        return 0;
    }
    std::size_t k = 0;
    const char* const end = name.data() + name.size();
    if (!name.starts_with('-') || name.size() < 2 || name[1] == '0' ||
        std::from_chars(name.data() + 1, end, k).ptr != end || k >= kMostHandedStreams) {
        return std::nullopt;
    }
    return k;
}

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

// The largest record this program writes is below this: a few lines, and the bytes the streams had
// not given (the one stream of a relay of one stream at a time a pipe and a batch at most; each of
// several streams a batch at most).
constexpr off_t kMostRecordBytes =
    (off_t{16} << 20) + off_t{kMostHandedStreams} * (kUnitsPerReceive * RELAY_BUFFER_SIZE + 64);

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

void CloseInOrder(KeptAcrossStreams& kept, UniqueFd& accepted, UniqueFd& connected) {
    CloseInOrder(kept, accepted);
    CloseInOrder(kept, connected);
}

// Why the handed stream `stream` cannot go on over `connections`; empty when it can.
std::string StreamProblem(const HandedOver::Connections& connections, const HandedStream& stream,
                          const RelayPlan& plan, std::uint16_t boundPort) {
    const std::string from = "来自 " + EndpointText(stream.peer) + " 的连接";
    const std::string to = "到 " + EndpointText(plan.otherEndpoint) + " 的连接";
    // systemd drops a stored connection by itself when it sees it hang up or fail.
    if (!connections.accepted.Valid() && !connections.connected.Valid()) {
        return from + "和" + to + "都在重启期间断开";
    }
    if (!connections.accepted.Valid()) {
        return from + "在重启期间断开, 已关闭" + to;
    }
    if (!connections.connected.Valid()) {
        return to + "在重启期间断开, 已关闭" + from;
    }
    if (std::string wrong = ConnectionProblem(connections.accepted.Get(), stream.peer, boundPort);
        !wrong.empty()) {
        return "上一个进程交来的" + from + wrong + ", 两个连接都已关闭";
    }
    if (std::string wrong = ConnectionProblem(connections.connected.Get(), plan.otherEndpoint);
        !wrong.empty()) {
        return "上一个进程交来的" + to + wrong + ", 两个连接都已关闭";
    }
    return {};
}

} // namespace

bool HandOverToServiceManager(LoggedRelay& relay, RelayLog& log) {
    if (!NotifyServiceManager("STATUS=交给下一个进程")) {
        if (errno != ENOENT) {
            log.Error("无法通知 systemd: " + ErrorReasonText(errno));
        }
        return false;
    }
    HandoverState state = relay.HandOver();
    KeptAcrossStreams& kept = relay.Kept();
    std::vector<LiveStream>& streams = kept.streams;
    if (streams.size() > kMostHandedStreams) {
        log.Warning("systemd 最多保管 " + std::to_string(kMostHandedStreams) + " 个流, 其余 " +
                    std::to_string(streams.size() - kMostHandedStreams) + " 个流已关闭");
        for (std::size_t k = kMostHandedStreams; k < streams.size(); ++k) {
            CloseInOrder(kept, streams[k].accepted, streams[k].connected);
        }
        streams.resize(kMostHandedStreams);
        state.handed.resize(kMostHandedStreams);
    }
    // The first failure's reason, for the log.
    int error = 0;
    const auto store = [&error](const std::string& name, int descriptor) {
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
    for (std::size_t k = 0; k < streams.size(); ++k) {
        store(StreamName(kAcceptedName, k), streams[k].accepted.Get());
        store(StreamName(kConnectedName, k), streams[k].connected.Get());
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
    log.Info(streams.empty() ? std::string("已把端点交给 systemd 保管, 由下一个进程接续")
             : streams.size() == 1 ? "已把监听端点和来自 " + EndpointText(streams[0].peer) +
                                         " 的连接交给 systemd 保管, 由下一个进程接续"
                                   : "已把监听端点和 " + std::to_string(streams.size()) +
                                         " 个流的连接交给 systemd 保管, 由下一个进程接续");
    // Handed on, the streams are the next process's: nothing of them may close here.
    streams.clear();
    kept.endpointSocket.Reset();
    return true;
}

HandedOver TakeHandedOver(PassedDescriptors passed, RelayLog& log) {
    HandedOver handed;
    if (!passed.refusal.empty()) {
        log.Warning("systemd 交来的描述符不可用: " + passed.refusal + ", 一个也不接收");
    }
    std::set<std::string> names{kEndpointName, std::string(kAcceptedName),
                                std::string(kConnectedName), kStateName};
    // The connection `name` names, made room for in its stream; none when it names none.
    const auto connection = [&handed](std::string_view name) -> UniqueFd* {
        for (const auto& [side, member] :
             {std::pair{kAcceptedName, &HandedOver::Connections::accepted},
              std::pair{kConnectedName, &HandedOver::Connections::connected}}) {
            if (const std::optional<std::size_t> k = StreamPlace(name, side)) {
                handed.streams.resize(std::max(handed.streams.size(), *k + 1));
                return &(handed.streams[*k].*member);
            }
        }
        return nullptr;
    };
    for (PassedDescriptor& descriptor : passed.descriptors) {
        names.insert(descriptor.name);
        if (descriptor.name == kEndpointName) {
            handed.endpoint = std::move(descriptor.descriptor);
        } else if (descriptor.name == kStateName) {
            handed.state = ReadRecord(descriptor.descriptor, handed.stateProblem);
        } else if (UniqueFd* const taken = connection(descriptor.name)) {
            *taken = std::move(descriptor.descriptor);
        }
    }
    // Taken out of the store at once, whatever came: a copy there would keep a connection open
    // after this process closed it, and come back on every start.
    if (!passed.descriptors.empty() || !passed.refusal.empty()) {
        bool removed = true;
        for (const std::string& name : names) {
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
    const auto closeStreams = [&kept](std::span<HandedOver::Connections> streams) {
        for (HandedOver::Connections& stream : streams) {
            CloseInOrder(kept, stream.accepted, stream.connected);
        }
    };
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
        closeStreams(handed.streams);
    };
    if (!handed.state) {
        startAfresh(handed.stateProblem.empty()
                        ? std::string("上一个进程交来的连接没有记录, 已关闭")
                        : "上一个进程交来的记录" + handed.stateProblem + ", 交来的连接已关闭");
        return;
    }
    HandoverState& state = *handed.state;
    // The record does not say how many streams the relay before served at once: its streams go to
    // whichever relay the file plans. One at a time, its peer must still be allowed; of several,
    // the relay ends each whose peer no longer is.
    RelayPlan handedPlan = state.plan;
    handedPlan.streams = plan.streams;
    const Endpoint onlyPeer =
        plan.streams == 1 && !state.handed.empty() ? state.handed.front().peer : Endpoint();
    if (!CarriesOn(handedPlan, plan, onlyPeer)) {
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
    if (handed.streams.size() > state.handed.size()) {
        startAfresh("上一个进程交来的连接不在记录中, 已关闭");
        return;
    }
    const Endpoint bound = BoundEndpoint(handed.endpoint.Get(), plan.waitEndpoint);
    relay.TakeOver(state);
    kept.endpointSocket = std::move(handed.endpoint);
    if (state.handed.empty()) {
        log.Info("已接续: 上一个进程的 " + SideEndpointText(plan.waitSide, plan.waitEndpoint) +
                 (plan.protocol == RelayProtocol::Udp ? " 及其未读的数据报" : ""));
        return;
    }
    // Every stream whose connections both came back as the record says goes on; any other ends
    // alone, in order.
    handed.streams.resize(state.handed.size());
    for (std::size_t k = 0; k < state.handed.size(); ++k) {
        HandedOver::Connections& connections = handed.streams[k];
        if (const std::string problem =
                StreamProblem(connections, state.handed[k], plan, bound.Port());
            !problem.empty()) {
            log.Warning(problem);
            CloseInOrder(kept, connections.accepted, connections.connected);
            continue;
        }
        kept.streams.push_back(LiveStream{std::move(connections.accepted),
                                          std::move(connections.connected), state.handed[k].peer,
                                          std::move(state.handed[k].unsent)});
    }
    if (plan.streams > 1 || kept.streams.empty()) {
        return;
    }
    // One stream at a time: the first goes on.
    kept.stream = std::move(kept.streams.front());
    if (kept.streams.size() > 1) {
        log.Warning("参数文件只允许同时转发 1 个流, 上一个进程交来的其余 " +
                    std::to_string(kept.streams.size() - 1) + " 个流已关闭");
        for (std::size_t k = 1; k < kept.streams.size(); ++k) {
            CloseInOrder(kept, kept.streams[k].accepted, kept.streams[k].connected);
        }
    }
    kept.streams.clear();
}
