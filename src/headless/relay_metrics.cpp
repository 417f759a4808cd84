#include "headless/relay_metrics.h"

#include <cerrno>
#include <charconv>

namespace {

// A label value with backslash, double quote and line feed escaped, as the format wants them.
std::string LabelValue(const std::string& text) {
    std::string escaped;
    for (const char c : text) {
        if (c == '\\' || c == '"') {
            escaped += '\\';
            escaped += c;
        } else if (c == '\n') {
            escaped += "\\n";
        } else {
            escaped += c;
        }
    }
    return escaped;
}

// The shortest decimal that reads back as `value`, never in exponent form.
std::string Decimal(double value) {
    char text[64];
    const auto [end, error] =
        std::to_chars(text, text + sizeof text, value, std::chars_format::fixed);
    return error == std::errc() ? std::string(text, end) : std::string("NaN");
}

// The text, one family after another: its HELP and TYPE lines, then its samples.
class Exposition {
public:
    void Family(const char* name, const char* type, const char* help) {
        m_text +=
            std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
    }
    void Sample(const std::string& name, const std::string& value, const std::string& labels = {}) {
        m_text += name + (labels.empty() ? "" : "{" + labels + "}") + " " + value + "\n";
    }
    // A family of one sample.
    void Single(const char* name, const char* type, const char* help, const std::string& value,
                const std::string& labels = {}) {
        Family(name, type, help);
        Sample(name, value, labels);
    }
    std::string Take() { return std::move(m_text); }

private:
    std::string m_text;
};

constexpr const char* kStreamEndNames[kStreamEndReasons] = {
    "source_closed", "destination_gone", "vanished", "idle", "stopped", "handed_on"};
constexpr const char* kConnectFailureNames[kConnectFailures] = {"refused", "timeout", "unreachable",
                                                                "other"};

} // namespace

StreamEndReason StreamEndReasonOf(const RelayOutcome& outcome) {
    switch (outcome.end) {
    case RelayEnd::SourceClosed:
    case RelayEnd::DestinationGone:
        // Unacknowledged data or keepalive probes timed out: the peer is gone without a word.
        if (outcome.error == ETIMEDOUT) {
            return StreamEndReason::Vanished;
        }
        return outcome.end == RelayEnd::SourceClosed ? StreamEndReason::SourceClosed
                                                     : StreamEndReason::DestinationGone;
    case RelayEnd::Idle:
        return StreamEndReason::Idle;
    case RelayEnd::HandedOver:
        return StreamEndReason::HandedOn;
    case RelayEnd::Running:
    case RelayEnd::SetupFailed:
    case RelayEnd::Stopped:
        break;
    }
    return StreamEndReason::Stopped;
}

ConnectFailure ConnectFailureOf(int error) {
    switch (error) {
    case ECONNREFUSED:
        return ConnectFailure::Refused;
    case ETIMEDOUT:
        return ConnectFailure::TimedOut;
    case ENETUNREACH:
    case EHOSTUNREACH:
    case EHOSTDOWN:
    case ENETDOWN:
        return ConnectFailure::Unreachable;
    default:
        return ConnectFailure::Other;
    }
}

void DurationHistogram::Observe(double seconds) {
    ++count;
    sum += seconds;
    for (std::size_t i = 0; i < kBounds.size(); ++i) {
        if (seconds <= kBounds[i]) {
            ++within[i];
            return;
        }
    }
}

std::string MetricsText(const RelayMetrics& metrics) {
    const RelayCounts& totals = metrics.totals;
    const RelayPlan& plan = metrics.plan;
    const auto number = [](std::uint64_t value) { return std::to_string(value); };
    Exposition out;
    out.Single("tarvel_forwarded_bytes_total", "counter",
               "Bytes sent on to the destination, the zero after each text unit included.",
               number(totals.bytesForwarded));
    out.Single("tarvel_forwarded_datagrams_total", "counter",
               "Datagrams sent on to the destination.", number(totals.datagramsForwarded));
    out.Single("tarvel_truncated_datagrams_total", "counter",
               "Datagrams longer than one text unit, forwarded cut to its first 4095 bytes.",
               number(totals.datagramsCut));
    out.Single("tarvel_discarded_bytes_total", "counter",
               "Bytes after a text unit's first zero byte, which the text rule does not forward.",
               number(totals.bytesDropped));
    out.Single("tarvel_refused_total", "counter",
               "Connections closed or datagrams dropped because their source is not allowed.",
               number(totals.refused));
    out.Single("tarvel_receive_queue_dropped_datagrams_total", "counter",
               "Datagrams the system dropped because the relay's receive queue was full; counted "
               "by this process.",
               number(totals.datagramsQueueDropped));
    out.Single("tarvel_unsent_datagrams_total", "counter",
               "Datagrams received that could not be sent on, or arrived as the relay stopped; "
               "counted by this process.",
               number(totals.datagramsUnsent));
    out.Single(
        "tarvel_unsent_bytes_total", "counter",
        "Bytes received that never reached the destination: it was gone, it took nothing "
        "as the relay stopped, or their datagram could not be sent; counted by this process.",
        number(totals.bytesUnsent));
    out.Family("tarvel_connect_failures_total", "counter",
               "TCP connects to the other side that failed, by reason; counted by this process.");
    for (std::size_t i = 0; i < kConnectFailures; ++i) {
        out.Sample("tarvel_connect_failures_total", number(metrics.connectFailures[i]),
                   std::string("reason=\"") + kConnectFailureNames[i] + "\"");
    }
    out.Single("tarvel_streams_total", "counter", "TCP streams that were connected on both sides.",
               number(metrics.streams));
    out.Family("tarvel_stream_ends_total", "counter",
               "TCP streams that ended, by reason; counted by this process.");
    for (std::size_t i = 0; i < kStreamEndReasons; ++i) {
        out.Sample("tarvel_stream_ends_total", number(metrics.streamEnds[i]),
                   std::string("reason=\"") + kStreamEndNames[i] + "\"");
    }
    out.Family("tarvel_stream_duration_seconds", "histogram",
               "How long TCP streams lasted, from their connection to their end (a stream handed "
               "to this process: from then on); counted by this process.");
    const DurationHistogram& durations = metrics.durations;
    std::uint64_t cumulative = 0;
    for (std::size_t i = 0; i < DurationHistogram::kBounds.size(); ++i) {
        cumulative += durations.within[i];
        out.Sample("tarvel_stream_duration_seconds_bucket", number(cumulative),
                   "le=\"" + Decimal(DurationHistogram::kBounds[i]) + "\"");
    }
    out.Sample("tarvel_stream_duration_seconds_bucket", number(durations.count), "le=\"+Inf\"");
    out.Sample("tarvel_stream_duration_seconds_sum", Decimal(durations.sum));
    out.Sample("tarvel_stream_duration_seconds_count", number(durations.count));
    out.Single("tarvel_connected", "gauge", "TCP streams connected on both sides now.",
               number(metrics.connected));
    out.Single("tarvel_streams_waiting", "gauge",
               "Connections waiting in the listener's queue because every stream at once is taken.",
               number(metrics.waiting));
    out.Single("tarvel_relay_starts_total", "counter",
               "Relays started with a plan: at the program's start and after each change of plan.",
               number(metrics.starts));
    out.Single("tarvel_start_time_seconds", "gauge",
               "When the relay with the current plan started, in seconds since 1970.",
               std::to_string(metrics.startTime));
    out.Single(
        "tarvel_relay_info", "gauge", "The running relay's name and plan; always 1.", "1",
        "name=\"" + LabelValue(metrics.name) + "\",protocol=\"" +
            (plan.protocol == RelayProtocol::Udp ? "udp" : "tcp") + "\",direction=\"" +
            (plan.mode == RelayMode::ClientToServer ? "client_to_server" : "server_to_client") +
            "\",forwarding=\"" + (plan.forward == ForwardMode::Bytes ? "bytes" : "text") +
            "\",listen=\"" + LabelValue(EndpointText(metrics.listening)) + "\",connect=\"" +
            LabelValue(EndpointText(plan.otherEndpoint)) + "\"");
    out.Single("tarvel_build_info", "gauge", "The relay program's version; always 1.", "1",
               "version=\"" TARVEL_VERSION "\"");

    const ProcessFigures& process = metrics.process;
    out.Single("process_open_fds", "gauge", "Number of open file descriptors.",
               number(process.openDescriptors));
    out.Single("process_max_fds", "gauge", "Maximum number of open file descriptors.",
               number(process.descriptorLimit));
    out.Single("process_resident_memory_bytes", "gauge", "Resident memory size in bytes.",
               number(process.residentBytes));
    out.Single("process_cpu_seconds_total", "counter",
               "Total user and system CPU time spent in "
               "seconds.",
               Decimal(process.cpuSeconds));
    out.Single("process_start_time_seconds", "gauge",
               "Start time of the process since unix epoch in seconds.",
               Decimal(process.startTime));
    return out.Take();
}
