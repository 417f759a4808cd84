#include "headless/relay_metrics.h"

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

struct Sample {
    const char* name;
    const char* type;
    const char* help;
    std::string value;
    std::string labels = {};
};

} // namespace

std::string MetricsText(const RelayMetrics& metrics) {
    const RelayCounts& totals = metrics.totals;
    const RelayPlan& plan = metrics.plan;
    const std::string info =
        std::string("{protocol=\"") + (plan.protocol == RelayProtocol::Udp ? "udp" : "tcp") +
        "\",direction=\"" +
        (plan.mode == RelayMode::ClientToServer ? "client_to_server" : "server_to_client") +
        "\",forwarding=\"" + (plan.forward == ForwardMode::Bytes ? "bytes" : "text") +
        "\",listen=\"" + LabelValue(EndpointText(metrics.listening)) + "\",connect=\"" +
        LabelValue(EndpointText(plan.otherEndpoint)) + "\"}";
    const Sample samples[] = {
        {"tarvel_forwarded_bytes_total", "counter",
         "Bytes sent on to the destination, the zero after each text unit included.",
         std::to_string(totals.bytesForwarded)},
        {"tarvel_forwarded_datagrams_total", "counter", "Datagrams sent on to the destination.",
         std::to_string(totals.datagramsForwarded)},
        {"tarvel_truncated_datagrams_total", "counter",
         "Datagrams longer than one text unit, forwarded cut to its first 4095 bytes.",
         std::to_string(totals.datagramsCut)},
        {"tarvel_discarded_bytes_total", "counter",
         "Bytes after a text unit's first zero byte, which the text rule does not forward.",
         std::to_string(totals.bytesDropped)},
        {"tarvel_refused_total", "counter",
         "Connections closed or datagrams dropped because their source is not allowed.",
         std::to_string(totals.refused)},
        {"tarvel_streams_total", "counter", "TCP streams that were connected on both sides.",
         std::to_string(metrics.streams)},
        {"tarvel_connected", "gauge", "1 while a TCP stream is connected on both sides.",
         metrics.connected ? "1" : "0"},
        {"tarvel_relay_starts_total", "counter",
         "Relays started with a plan: at the program's start and after each change of plan.",
         std::to_string(metrics.starts)},
        {"tarvel_start_time_seconds", "gauge",
         "When the relay with the current plan started, in seconds since 1970.",
         std::to_string(metrics.startTime)},
        {"tarvel_relay_info", "gauge", "The running relay's plan; always 1.", "1", info},
    };
    std::string text;
    for (const Sample& sample : samples) {
        text += std::string("# HELP ") + sample.name + " " + sample.help + "\n# TYPE " +
                sample.name + " " + sample.type + "\n" + sample.name + sample.labels + " " +
                sample.value + "\n";
    }
    return text;
}
