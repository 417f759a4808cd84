#include "report.h"

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

namespace relaybench {

namespace {

using Measure = Series Figures::*;

constexpr int kLabel = 28;
constexpr int kCell = 13; // the longest name, "ours-scraped", and a space

// The median of each contender's figures, or with `range` the smallest and the largest.
void Row(const char* label, const std::vector<Figures>& figures, Measure measure,
         const char* format, bool range = false) {
    std::printf("%-*s", kLabel, label);
    for (const Figures& f : figures) {
        const Series& series = f.*measure;
        char cell[32] = "-";
        if (range && !series.Empty()) {
            std::snprintf(cell, sizeof cell, format, series.Min(), series.Max());
        } else if (!series.Empty()) {
            std::snprintf(cell, sizeof cell, format, series.Median());
        }
        std::printf("%*s", kCell, cell);
    }
    std::printf("\n");
}

std::optional<std::size_t> Find(const std::vector<Relay>& relays, std::string_view name) {
    for (std::size_t i = 0; i < relays.size(); ++i) {
        if (relays[i].name == name) {
            return i;
        }
    }
    return std::nullopt;
}

// The peer with the highest (or lowest) median of the measure.
std::optional<std::size_t> BestPeer(const std::vector<Relay>& relays,
                                    const std::vector<Figures>& figures, Measure measure,
                                    bool highest) {
    std::optional<std::size_t> best;
    for (std::size_t i = 0; i < relays.size(); ++i) {
        if (relays[i].role != Role::Peer || (figures[i].*measure).Empty()) {
            continue;
        }
        const double value = (figures[i].*measure).Median();
        if (!best || (highest ? value > (figures[*best].*measure).Median()
                              : value < (figures[*best].*measure).Median())) {
            best = i;
        }
    }
    return best;
}

// One target: ours over the other's median, against a bound from below (at least) or above.
void Ratio(const char* what, const std::vector<Relay>& relays, const std::vector<Figures>& figures,
           std::optional<std::size_t> ours, std::optional<std::size_t> other, Measure measure,
           double bound, bool atLeast) {
    std::string label = std::string(what);
    if (!ours || !other || (figures[*ours].*measure).Empty() ||
        (figures[*other].*measure).Empty()) {
        std::printf("%-58s no figure\n", label.c_str());
        return;
    }
    const double a = (figures[*ours].*measure).Median();
    const double b = (figures[*other].*measure).Median();
    label += std::string(" (") + relays[*other].name + ")";
    const double ratio = b > 0 ? a / b : 0;
    const bool met = atLeast ? ratio >= bound : ratio <= bound;
    std::printf("%-58s %6.2f   target %s %.2f: %s\n", label.c_str(), ratio,
                atLeast ? ">=" : "<=", bound, met ? "met" : "not met");
}

// Ours against the other as unchanged: at least the other's lowest round over its median, or for a
// measure where less is better at most its highest round over its median.
void WithinSpread(const char* what, const std::vector<Relay>& relays,
                  const std::vector<Figures>& figures, std::optional<std::size_t> ours,
                  std::optional<std::size_t> other, Measure measure, bool atLeast) {
    double bound = 1;
    if (other && (figures[*other].*measure).Median() > 0) {
        const Series& theirs = figures[*other].*measure;
        bound = (atLeast ? theirs.Min() : theirs.Max()) / theirs.Median();
    }
    Ratio(what, relays, figures, ours, other, measure, bound, atLeast);
}

} // namespace

void PrintReport(const std::vector<Relay>& relays, const std::vector<Figures>& figures, int rounds,
                 int pacedRate, int gentleRate) {
    std::printf("\nmedians over %d rounds\n%-*s", rounds, kLabel, "");
    for (const Relay& relay : relays) {
        std::printf("%*s", kCell, relay.name);
    }
    std::printf("\n");
    Row("TCP MB/s", figures, &Figures::tcp, "%.1f");
    Row("TCP relay CPU s/GB", figures, &Figures::tcpCpu, "%.3f");
    Row("UDP 512 B delivered /s", figures, &Figures::udp512, "%.0f");
    Row("UDP 1400 B delivered /s", figures, &Figures::udp1400, "%.0f");
    const std::string paced = "loss % at " + std::to_string(pacedRate) + "/s";
    const std::string gentle = "loss % at " + std::to_string(gentleRate) + "/s";
    Row(paced.c_str(), figures, &Figures::paced, "%.3f");
    Row(gentle.c_str(), figures, &Figures::gentle, "%.3f");
    Row("TCP latency p50 us", figures, &Figures::tcpP50, "%.1f");
    Row("TCP latency p99 us", figures, &Figures::tcpP99, "%.1f");
    Row("TCP added latency p50 us", figures, &Figures::tcpAdded, "%.1f");
    Row("UDP latency p50 us", figures, &Figures::udpP50, "%.1f");
    Row("UDP latency p99 us", figures, &Figures::udpP99, "%.1f");
    Row("UDP added latency p50 us", figures, &Figures::udpAdded, "%.1f");
    Row("relay RSS MiB TCP, min-max", figures, &Figures::tcpRss, "%.1f-%.1f", true);
    Row("relay RSS MiB UDP, min-max", figures, &Figures::udpRss, "%.1f-%.1f", true);
    Row("start to TCP accepting ms", figures, &Figures::tcpStart, "%.2f");
    Row("start to UDP bound ms", figures, &Figures::udpStart, "%.2f");
    Row("start to waiting line ms, TCP", figures, &Figures::tcpLine, "%.2f");
    Row("start to waiting line ms, UDP", figures, &Figures::udpLine, "%.2f");

    const auto text = Find(relays, "ours");
    const auto bytes = Find(relays, "ours-bytes");
    const auto ipv6 = Find(relays, "ours-ipv6");
    const auto dialog = Find(relays, "ours-dialog");
    const auto scraped = Find(relays, "ours-scraped");
    const auto nginx = Find(relays, "nginx");
    const auto direct = Find(relays, "direct");
    const auto best = [&](Measure measure, bool highest) {
        return BestPeer(relays, figures, measure, highest);
    };
    std::printf("\nratios (ours in text mode but where said)\n");
    Ratio("TCP MB/s: ours / fastest peer", relays, figures, text, best(&Figures::tcp, true),
          &Figures::tcp, 1.1, true);
    Ratio("TCP CPU s/GB: ours / lowest peer", relays, figures, text, best(&Figures::tcpCpu, false),
          &Figures::tcpCpu, 1.0, false);
    Ratio("UDP 512 B /s: ours / direct", relays, figures, text, direct, &Figures::udp512, 0.9,
          true);
    Ratio("UDP 512 B /s: ours / best peer", relays, figures, text, best(&Figures::udp512, true),
          &Figures::udp512, 2.0, true);
    Ratio("UDP 1400 B /s: ours / direct", relays, figures, text, direct, &Figures::udp1400, 0.9,
          true);
    Ratio("UDP 1400 B /s: ours / best peer", relays, figures, text, best(&Figures::udp1400, true),
          &Figures::udp1400, 2.0, true);
    Ratio("UDP 512 B /s: ours / nginx", relays, figures, text, nginx, &Figures::udp512, 1.0, true);
    Ratio("UDP 1400 B /s: ours / nginx", relays, figures, text, nginx, &Figures::udp1400, 1.0,
          true);
    Ratio("TCP added latency p50: ours / best peer", relays, figures, text,
          best(&Figures::tcpAdded, false), &Figures::tcpAdded, 1.0, false);
    Ratio("UDP added latency p50: ours / best peer", relays, figures, text,
          best(&Figures::udpAdded, false), &Figures::udpAdded, 1.0, false);
    Ratio("TCP MB/s: ours bytes / ours text", relays, figures, bytes, text, &Figures::tcp, 1.0,
          true);
    Ratio("UDP 512 B /s: ours bytes / ours text", relays, figures, bytes, text, &Figures::udp512,
          1.0, true);
    Ratio("UDP 1400 B /s: ours bytes / ours text", relays, figures, bytes, text, &Figures::udp1400,
          1.0, true);
    Ratio("TCP MB/s: ours over ::1 / ours over IPv4", relays, figures, ipv6, text, &Figures::tcp,
          0.9, true);
    Ratio("UDP 512 B /s: ours over ::1 / ours over IPv4", relays, figures, ipv6, text,
          &Figures::udp512, 0.9, true);
    Ratio("UDP 1400 B /s: ours over ::1 / ours over IPv4", relays, figures, ipv6, text,
          &Figures::udp1400, 0.9, true);
    WithinSpread("TCP MB/s: scraped every 100 ms / not, in spread", relays, figures, scraped, text,
                 &Figures::tcp, true);
    WithinSpread("UDP 512 B /s: scraped every 100 ms / not, in spread", relays, figures, scraped,
                 text, &Figures::udp512, true);
    WithinSpread("TCP MB/s: ours / --headless, in spread", relays, figures, text, dialog,
                 &Figures::tcp, true);
    WithinSpread("UDP 512 B /s: ours / --headless, in spread", relays, figures, text, dialog,
                 &Figures::udp512, true);
    WithinSpread("UDP 1400 B /s: ours / --headless, in spread", relays, figures, text, dialog,
                 &Figures::udp1400, true);
    WithinSpread("TCP p50: ours / --headless, in spread", relays, figures, text, dialog,
                 &Figures::tcpP50, false);
    WithinSpread("UDP p50: ours / --headless, in spread", relays, figures, text, dialog,
                 &Figures::udpP50, false);
    Ratio("start to TCP accepting: ours / --headless", relays, figures, text, dialog,
          &Figures::tcpStart, 0.25, false);
    Ratio("start to UDP bound: ours / --headless", relays, figures, text, dialog,
          &Figures::udpStart, 0.25, false);
    Ratio("start to TCP waiting line: ours / --headless", relays, figures, text, dialog,
          &Figures::tcpLine, 0.25, false);
    Ratio("start to UDP waiting line: ours / --headless", relays, figures, text, dialog,
          &Figures::udpLine, 0.25, false);
    if (text && !figures[*text].paced.Empty()) {
        const double loss = figures[*text].paced.Median();
        std::printf("%-58s %6.3f%%  target <= 0.01%%: %s\n", paced.c_str(), loss,
                    loss <= 0.01 ? "met" : "not met");
    }
    if (text && !figures[*text].tcpRss.Empty()) {
        // A relay that holds what it carried would grow with the GiB of each transfer.
        const Series& rss = figures[*text].tcpRss;
        const double growth = (rss.Max() - rss.Min()) * 1024;
        std::printf("%-58s %6.0f KiB  target flat (<= 1024 KiB): %s\n",
                    "relay RSS over TCP, largest - smallest reading", growth,
                    growth <= 1024 ? "met" : "not met");
        const double largest = std::max(rss.Max(), figures[*text].udpRss.Max());
        std::printf("%-58s %6.1f MiB  target <= 4 MiB: %s\n",
                    "relay RSS, largest reading over TCP and UDP", largest,
                    largest <= 4 ? "met" : "not met");
    }
    for (std::size_t i = 0; i < relays.size(); ++i) {
        const Figures& f = figures[i];
        const int failed = f.tcp.failed + f.udp512.failed + f.udp1400.failed + f.paced.failed +
                           f.tcpP50.failed + f.udpP50.failed;
        if (failed > 0) {
            std::printf("%s: %d measurements failed (tcp %d, udp %d/%d/%d, latency %d/%d)\n",
                        relays[i].name, failed, f.tcp.failed, f.udp512.failed, f.udp1400.failed,
                        f.paced.failed, f.tcpP50.failed, f.udpP50.failed);
        }
    }
}

} // namespace relaybench
