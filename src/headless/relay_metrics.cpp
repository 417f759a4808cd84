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

void Metric(std::string& text, const char* name, const char* type, const char* help,
            const std::string& value, const std::string& labels = {}) {
    text += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n" +
            name + labels + " " + value + "\n";
}

} // namespace

std::string MetricsText(const RelayMetrics& metrics) {
    const RelayCounts& totals = metrics.totals;
    const RelayPlan& plan = metrics.plan;
    std::string text;
    Metric(text, "tarvel_forwarded_bytes_total", "counter",
           "Bytes sent on to the destination, the zero after each text unit included.",
           std::to_string(totals.bytesForwarded));
    Metric(text, "tarvel_forwarded_datagrams_total", "counter",
           "Datagrams sent on to the destination.", std::to_string(totals.datagramsForwarded));
    Metric(text, "tarvel_truncated_datagrams_total", "counter",
           "Datagrams longer than one text unit, forwarded cut to its first 4095 bytes.",
           std::to_string(totals.datagramsCut));
    Metric(text, "tarvel_refused_total", "counter",
           "Connections closed or datagrams dropped because their source is not allowed.",
           std::to_string(totals.refused));
    Metric(text, "tarvel_streams_total", "counter",
           "TCP streams that were connected on both sides.", std::to_string(metrics.streams));
    Metric(text, "tarvel_connected", "gauge", "1 while a TCP stream is connected on both sides.",
           metrics.connected ? "1" : "0");
    Metric(text, "tarvel_relay_starts_total", "counter",
           "Relays started with a plan: at the program's start and after each change of plan.",
           std::to_string(metrics.starts));
    Metric(text, "tarvel_start_time_seconds", "gauge",
           "When the relay with the current plan started, in seconds since 1970.",
           std::to_string(metrics.startTime));
    const std::string labels =
        std::string("{protocol=\"") + (plan.protocol == RelayProtocol::Udp ? "udp" : "tcp") +
        "\",direction=\"" +
        (plan.mode == RelayMode::ClientToServer ? "client_to_server" : "server_to_client") +
        "\",forwarding=\"" + (plan.forward == ForwardMode::Bytes ? "bytes" : "text") +
        "\",listen=\"" + LabelValue(EndpointText(metrics.listening)) + "\",connect=\"" +
        LabelValue(EndpointText(plan.otherEndpoint)) + "\"}";
    Metric(text, "tarvel_relay_info", "gauge", "The running relay's plan; always 1.", "1", labels);
    return text;
}
