// The relay program's metrics as a monitoring system sees them: over HTTP from the running
// program, checked by promtool and scraped by a real Prometheus server.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <ctime>
#include <map>
#include <memory>
#include <random>
#include <regex>
#include <string>
#include <thread>

#include "headless/http_request.h"
#include "metrics_fetch.h"
#include "relay_program.h"
#include "relay_test_peers.h"

namespace {

using namespace relaytest;
using namespace relayprogram;
using namespace metricsfetch;
using namespace std::string_literals;

// A relay program with its status endpoint on a free loopback port, from a file it is given: the
// working folder's, or `name`.inf given with --config.
struct Monitored {
    explicit Monitored(const std::string& parameters, const std::string& fileName = {})
        : statusPort(FreePort(kStatusAddress, SOCK_STREAM)), name(fileName) {
        Write(parameters);
        program = std::make_unique<Program>(
            folder, name.empty() ? std::vector<std::string>{"--workdir", folder.Path().string()}
                                 : std::vector<std::string>{"--config", File().string()});
    }
    // The file again, with the same status endpoint.
    void Write(const std::string& parameters) const {
        const std::string text = parameters + "[Status]\nListen=" + kStatusAddress + ":" +
                                 std::to_string(statusPort) + "\n";
        if (name.empty()) {
            folder.WriteParameters(text);
        } else {
            std::ofstream(File(), std::ios::binary) << text;
        }
    }
    fs::path File() const { return folder.Path() / (name + ".inf"); }

    Folder folder;
    int statusPort;
    std::string name;
    std::unique_ptr<Program> program;
};

// The output of a command fed `input`, and its exit status.
std::pair<int, std::string> RunWithInput(const std::string& command, const std::string& input) {
    const fs::path in =
        fs::temp_directory_path() / ("tarvel-metrics-" + std::to_string(::getpid()));
    std::ofstream(in, std::ios::binary) << input;
    std::string output;
    FILE* pipe = ::popen((command + " < " + in.string() + " 2>&1").c_str(), "r");
    if (pipe == nullptr) {
        return {-1, {}};
    }
    char chunk[1024];
    while (const std::size_t got = std::fread(chunk, 1, sizeof chunk, pipe)) {
        output.append(chunk, got);
    }
    const int status = ::pclose(pipe);
    fs::remove(in);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

// After a known UDP exchange with two refused senders the counters are exact, and promtool has
// nothing to say of the text.
TEST(MetricsTest, UdpCountersAreExactAndPromtoolAcceptsTheText) {
    const int port = LowFreePort(kClientAddress, SOCK_DGRAM);
    const int sinkPort = LowFreePort(kServerAddress, SOCK_DGRAM);
    const UniqueFd sink = BindUdp(kServerAddress, sinkPort);
    Monitored relay(Parameters(0, 1, kClientAddress, port, kServerAddress, sinkPort) +
                    "[Allow]\nSources=127.0.0.1\n");
    ASSERT_TRUE(WaitUntil([&] { return IsUdpBound(kClientAddress, port); }));

    const UniqueFd allowed = BindUdp("127.0.0.1", 0);
    for (const std::string text : {"one", "two", "three"}) {
        SendDatagram(allowed.Get(), text, kClientAddress, port);
        ASSERT_TRUE(ReceiveDatagram(sink.Get()).has_value());
    }
    for (const char* stranger : {"127.0.0.98", "127.0.0.99"}) {
        SendDatagram(BindUdp(stranger, 0).Get(), "no", kClientAddress, port);
    }
    std::string metrics;
    ASSERT_TRUE(WaitUntil([&] {
        metrics = Body(Get(relay.statusPort));
        return Sample(metrics, "tarvel_refused_total") == 2 &&
               Sample(metrics, "tarvel_forwarded_datagrams_total") == 3;
    })) << metrics;
    EXPECT_EQ(Sample(metrics, "tarvel_forwarded_bytes_total"), 4 + 4 + 6);
    EXPECT_EQ(Sample(metrics, "tarvel_truncated_datagrams_total"), 0);
    EXPECT_EQ(Sample(metrics, "tarvel_streams_total"), 0);
    EXPECT_EQ(Sample(metrics, "tarvel_connected"), 0);
    EXPECT_EQ(Sample(metrics, "tarvel_relay_starts_total"), 1);
    EXPECT_NEAR(static_cast<double>(Sample(metrics, "tarvel_start_time_seconds")),
                static_cast<double>(std::time(nullptr)), 30.0);
    EXPECT_NE(metrics.find("tarvel_relay_info{name=\"ParameterSet\",protocol=\"udp\","
                           "direction=\"server_to_client\","
                           "forwarding=\"text\",listen=\"127.0.0.2:" +
                           std::to_string(port) +
                           "\",connect=\"127.0.0.3:" + std::to_string(sinkPort) + "\"} 1\n"),
              std::string::npos)
        << metrics;

    const auto [status, said] = RunWithInput("promtool check metrics", metrics);
    EXPECT_EQ(status, 0) << said;
    EXPECT_EQ(said, "") << "promtool has remarks";
}

// TCP: two refused connections and two streams; the gauge says whether one is connected, and the
// totals go on from stream to stream, the bytes the text rule left out too.
TEST(MetricsTest, TcpCountersGoOnFromStreamToStream) {
    const int serverPort = LowFreePort(kServerAddress, SOCK_STREAM);
    const int clientPort = LowFreePort(kClientAddress, SOCK_STREAM);
    const UniqueFd sourceListener = ListenOn(kClientAddress, clientPort);
    Monitored relay(Parameters(1, 0, kClientAddress, clientPort, kServerAddress, serverPort) +
                    "[Allow]\nSources=127.0.0.1\n");
    ASSERT_TRUE(WaitUntil([&] { return IsListening(kServerAddress, serverPort); }));
    for (const char* stranger : {"127.0.0.98", "127.0.0.99"}) {
        UniqueFd intruder(::socket(AF_INET, SOCK_STREAM, 0));
        const sockaddr_in from = MakeSocketAddress(stranger, 0);
        ASSERT_EQ(::bind(intruder.Get(), AsSockaddr(from), sizeof from), 0);
        ASSERT_TRUE(TryConnect(intruder, kServerAddress, serverPort));
        EXPECT_TRUE(ReadUntilClosed(intruder.Get()).closed);
    }
    for (const std::string text : {"first", "second"}) {
        UniqueFd destination = ConnectWithin(kServerAddress, serverPort);
        UniqueFd source = AcceptWithin(sourceListener.Get());
        ASSERT_TRUE(destination.Valid() && source.Valid());
        ASSERT_TRUE(SendAll(source.Get(), text + '\0' + "dropped"));
        EXPECT_EQ(ReadStream(destination.Get(), text.size() + 1).data, text + '\0');
        EXPECT_EQ(Sample(Body(Get(relay.statusPort)), "tarvel_connected"), 1);
        source.Reset();
        EXPECT_TRUE(ReadUntilClosed(destination.Get()).closed);
    }
    std::string metrics;
    ASSERT_TRUE(WaitUntil([&] {
        metrics = Body(Get(relay.statusPort));
        return Sample(metrics, "tarvel_connected") == 0 &&
               Sample(metrics, "tarvel_forwarded_bytes_total") == 6 + 7;
    })) << metrics;
    EXPECT_EQ(Sample(metrics, "tarvel_streams_total"), 2);
    EXPECT_EQ(Sample(metrics, "tarvel_discarded_bytes_total"), 7 + 7);
    EXPECT_EQ(Sample(metrics, "tarvel_refused_total"), 2);
    EXPECT_EQ(Sample(metrics, "tarvel_forwarded_datagrams_total"), 0);
    EXPECT_EQ(Sample(metrics, "tarvel_relay_starts_total"), 1);
}

// The counters of stream ends and failed connects, by reason, and the streams timed.
const std::vector<std::string> kEndKeys = {
    "tarvel_connect_failures_total{reason=\"refused\"}",
    "tarvel_connect_failures_total{reason=\"timeout\"}",
    "tarvel_connect_failures_total{reason=\"unreachable\"}",
    "tarvel_connect_failures_total{reason=\"other\"}",
    "tarvel_stream_ends_total{reason=\"source_closed\"}",
    "tarvel_stream_ends_total{reason=\"destination_gone\"}",
    "tarvel_stream_ends_total{reason=\"vanished\"}",
    "tarvel_stream_ends_total{reason=\"idle\"}",
    "tarvel_stream_ends_total{reason=\"stopped\"}",
    "tarvel_stream_ends_total{reason=\"handed_on\"}",
    "tarvel_stream_duration_seconds_count",
    "tarvel_streams_total",
};

// A failed connect and each way a TCP stream ends here move their own counter by one and nothing
// else; the duration histogram counts each ended stream once.
TEST(MetricsTest, FailedConnectsAndStreamEndsAreCountedByReason) {
    const int serverPort = LowFreePort(kServerAddress, SOCK_STREAM);
    const int clientPort = LowFreePort(kClientAddress, SOCK_STREAM);
    const int otherClientPort = LowFreePort(kClientAddress, SOCK_STREAM);
    // The relay listens on the server side and connects to the client side, the source.
    Monitored relay(Parameters(1, 0, kClientAddress, clientPort, kServerAddress, serverPort) +
                    "[Relay]\nIdleSeconds=2\n");
    ASSERT_TRUE(WaitUntil([&] { return IsListening(kServerAddress, serverPort); }));
    std::map<std::string, long long> expected;
    for (const std::string& key : kEndKeys) {
        expected[key] = 0;
    }
    const auto countedSo = [&](const char* step) {
        SCOPED_TRACE(step);
        std::string metrics;
        const bool settled = WaitUntil([&] {
            metrics = Body(Get(relay.statusPort));
            return std::ranges::all_of(
                expected, [&](const auto& e) { return Value(metrics, e.first) == e.second; });
        });
        for (const auto& [key, count] : expected) {
            EXPECT_EQ(Value(metrics, key), count) << key;
        }
        EXPECT_TRUE(settled);
    };
    countedSo("nothing yet");

    {
        // Nobody listens where the relay connects: refused, and the accepted connection closed.
        const UniqueFd destination = ConnectWithin(kServerAddress, serverPort);
        EXPECT_TRUE(ReadUntilClosed(destination.Get()).closed);
        ++expected["tarvel_connect_failures_total{reason=\"refused\"}"];
        countedSo("connect refused");
    }

    const UniqueFd sourceListener = ListenOn(kClientAddress, clientPort);
    const auto connect = [&](const UniqueFd& listener, int port) {
        UniqueFd destination = ConnectWithin(kServerAddress, serverPort);
        UniqueFd source = AcceptWithin(listener.Get());
        EXPECT_TRUE(source.Valid() && destination.Valid()) << port;
        EXPECT_TRUE(SendAll(source.Get(), "data"));
        EXPECT_EQ(ReadStream(destination.Get(), 5).data, std::string("data\0", 5));
        ++expected["tarvel_streams_total"];
        return std::pair{std::move(source), std::move(destination)};
    };
    const auto ended = [&](const std::string& reason, const char* step) {
        ++expected["tarvel_stream_ends_total{reason=\"" + reason + "\"}"];
        ++expected["tarvel_stream_duration_seconds_count"];
        countedSo(step);
    };
    {
        auto [source, destination] = connect(sourceListener, clientPort);
        source.Reset();
        EXPECT_TRUE(ReadUntilClosed(destination.Get()).closed);
        ended("source_closed", "source closed");
    }
    {
        auto [source, destination] = connect(sourceListener, clientPort);
        ResetConnection(destination);
        EXPECT_TRUE(ReadUntilClosed(source.Get()).closed);
        ended("destination_gone", "destination reset");
    }
    {
        auto [source, destination] = connect(sourceListener, clientPort);
        EXPECT_TRUE(ReadUntilClosed(destination.Get(), 5s).closed);
        ended("idle", "idle for the limit");
    }
    {
        // Another side to connect to: the running stream is stopped for the new plan.
        const UniqueFd otherListener = ListenOn(kClientAddress, otherClientPort);
        auto [source, destination] = connect(sourceListener, clientPort);
        relay.Write(Parameters(1, 0, kClientAddress, otherClientPort, kServerAddress, serverPort) +
                    "[Relay]\nIdleSeconds=2\n");
        relay.program->Signal(SIGHUP);
        EXPECT_TRUE(ReadUntilClosed(destination.Get()).closed);
        ended("stopped", "stopped for a new plan");
    }
}

// The whole text of a TCP relay after a refused source, a failed connect and one stream, against
// the file in the repository: a renamed metric or an edited HELP or TYPE line shows here first.
// What differs from run to run (ports, times, the process's figures, the version) is masked.
TEST(MetricsTest, ExpositionTextIsAsRecorded) {
    const int serverPort = LowFreePort(kServerAddress, SOCK_STREAM);
    const int clientPort = LowFreePort(kClientAddress, SOCK_STREAM);
    Monitored relay(Parameters(1, 0, kClientAddress, clientPort, kServerAddress, serverPort) +
                        "[Allow]\nSources=127.0.0.1\n",
                    "video");
    ASSERT_TRUE(WaitUntil([&] { return IsListening(kServerAddress, serverPort); }));
    {
        UniqueFd intruder(::socket(AF_INET, SOCK_STREAM, 0));
        const sockaddr_in from = MakeSocketAddress("127.0.0.98", 0);
        ASSERT_EQ(::bind(intruder.Get(), AsSockaddr(from), sizeof from), 0);
        ASSERT_TRUE(TryConnect(intruder, kServerAddress, serverPort));
        EXPECT_TRUE(ReadUntilClosed(intruder.Get()).closed);
        const UniqueFd unanswered = ConnectWithin(kServerAddress, serverPort);
        EXPECT_TRUE(ReadUntilClosed(unanswered.Get()).closed);
    }
    const UniqueFd sourceListener = ListenOn(kClientAddress, clientPort);
    {
        const UniqueFd destination = ConnectWithin(kServerAddress, serverPort);
        UniqueFd source = AcceptWithin(sourceListener.Get());
        ASSERT_TRUE(SendAll(source.Get(), std::string("first\0dropped", 13)));
        EXPECT_EQ(ReadStream(destination.Get(), 6).data, std::string("first\0", 6));
        source.Reset();
        EXPECT_TRUE(ReadUntilClosed(destination.Get()).closed);
    }
    std::string metrics;
    ASSERT_TRUE(WaitUntil([&] {
        metrics = Body(Get(relay.statusPort));
        return Value(metrics, "tarvel_stream_duration_seconds_count") == 1;
    })) << metrics;
    const auto [status, said] = RunWithInput("promtool check metrics", metrics);
    EXPECT_EQ(status, 0) << said;
    EXPECT_EQ(said, "") << "promtool has remarks";

    std::string masked = metrics;
    for (const auto& [port, name] :
         {std::pair{serverPort, "SERVER_PORT"}, {clientPort, "CLIENT_PORT"}}) {
        masked = std::regex_replace(masked, std::regex(":" + std::to_string(port) + "\""),
                                    std::string(":") + name + "\"");
    }
    masked = std::regex_replace(
        masked,
        std::regex(
            "\n((process_[a-z_]+|tarvel_start_time_seconds|tarvel_stream_duration_seconds_sum)"
            ") [0-9.]+"),
        "\n$1 VALUE");
    masked = std::regex_replace(masked, std::regex("version=\"" TARVEL_VERSION "\""),
                                "version=\"VERSION\"");
    std::ifstream recordedFile(METRICS_EXPOSITION_FILE, std::ios::binary);
    const std::string recorded((std::istreambuf_iterator<char>(recordedFile)),
                               std::istreambuf_iterator<char>());
    EXPECT_EQ(masked, recorded) << "The text differs from " METRICS_EXPOSITION_FILE
                                   "; if the change is meant, record it there";
}

// The relay's receive queue overflows while the relay is stopped (SIGSTOP): every datagram sent is
// then either forwarded or counted as dropped there, and the destination got all those counted as
// forwarded.
TEST(MetricsTest, DatagramsDroppedInTheReceiveQueueAreCounted) {
    const int port = LowFreePort(kClientAddress, SOCK_DGRAM);
    const int sinkPort = LowFreePort(kServerAddress, SOCK_DGRAM);
    const UniqueFd sink = BindUdp(kServerAddress, sinkPort);
    const int room = 16 * 1024 * 1024;
    ::setsockopt(sink.Get(), SOL_SOCKET, SO_RCVBUF, &room, sizeof room);
    Monitored relay(Parameters(0, 1, kClientAddress, port, kServerAddress, sinkPort) +
                    "[Forward]\nMode=Bytes\n");
    ASSERT_TRUE(WaitUntil([&] { return IsUdpBound(kClientAddress, port); }));

    relay.program->Signal(SIGSTOP);
    // More than the relay's queue takes (the system grants it net.core.rmem_max at most).
    constexpr long long kSent = 30000;
    const UniqueFd source = BindUdp("127.0.0.1", 0);
    const std::string datagram(1000, 'd');
    const sockaddr_in to = MakeSocketAddress(kClientAddress, port);
    for (long long i = 0; i < kSent; ++i) {
        ASSERT_EQ(
            ::sendto(source.Get(), datagram.data(), datagram.size(), 0, AsSockaddr(to), sizeof to),
            static_cast<ssize_t>(datagram.size()));
    }
    relay.program->Signal(SIGCONT);

    long long delivered = 0;
    std::string metrics;
    const bool settled = WaitUntil(
        [&] {
            char drain[2048];
            while (::recv(sink.Get(), drain, sizeof drain, MSG_DONTWAIT) > 0) {
                ++delivered;
            }
            metrics = Body(Get(relay.statusPort));
            const long long forwarded = Value(metrics, "tarvel_forwarded_datagrams_total");
            return forwarded + Value(metrics, "tarvel_receive_queue_dropped_datagrams_total") ==
                       kSent &&
                   delivered == forwarded;
        },
        10s);
    const long long forwarded = Value(metrics, "tarvel_forwarded_datagrams_total");
    const long long dropped = Value(metrics, "tarvel_receive_queue_dropped_datagrams_total");
    EXPECT_TRUE(settled) << "sent " << kSent << ", delivered " << delivered << "\n" << metrics;
    EXPECT_GT(dropped, 0) << "the queue took the whole burst";
    EXPECT_EQ(dropped, kSent - delivered);
    EXPECT_EQ(delivered, forwarded);
    EXPECT_EQ(Value(metrics, "tarvel_unsent_datagrams_total"), 0);
}

// Only GET /metrics is served; the rest is answered plainly and the connection closed.
TEST(MetricsTest, AnswersOtherPathsMethodsAndMalformedRequests) {
    const int port = LowFreePort(kClientAddress, SOCK_DGRAM);
    Monitored relay(Parameters(0, 1, kClientAddress, port, kServerAddress, 5000));
    ASSERT_TRUE(WaitUntil([&] { return IsUdpBound(kClientAddress, port); }));
    const struct {
        const char* name;
        std::string request;
        std::string statusLine;
    } cases[] = {
        {"Metrics", "GET /metrics HTTP/1.1\r\n\r\n", "HTTP/1.1 200 OK"},
        {"MetricsWithAQuery", "GET /metrics?x=1 HTTP/1.0\r\nHost: a\r\n\r\n", "HTTP/1.1 200 OK"},
        {"AnotherPath", "GET /metric HTTP/1.1\r\n\r\n", "HTTP/1.1 404 Not Found"},
        {"AnotherMethod", "POST /metrics HTTP/1.1\r\nContent-Length: 0\r\n\r\n",
         "HTTP/1.1 405 Method Not Allowed"},
        {"NotHttp", "hello\r\n\r\n", "HTTP/1.1 400 Bad Request"},
        {"HeadTooLarge", "GET /metrics HTTP/1.1\r\nX: " + std::string(9000, 'a'),
         "HTTP/1.1 431 Request Header Fields Too Large"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string answer = Ask(relay.statusPort, c.request);
        EXPECT_TRUE(answer.starts_with(c.statusLine + "\r\n")) << answer.substr(0, 200);
        EXPECT_NE(answer.find("\r\nConnection: close\r\n"), std::string::npos);
        EXPECT_NE(
            answer.find("\r\nContent-Length: " + std::to_string(Body(answer).size()) + "\r\n"),
            std::string::npos);
    }
    // A connection that says nothing is let go: the system holds it back until its first bytes or
    // the exchange bound, then the relay gives it the bound once more.
    UniqueFd silent = ConnectWithin(kStatusAddress, relay.statusPort);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(ReadUntilClosed(silent.Get(), 10s).closed);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 1500ms);
}

// Values of [Status] Listen the program refuses, naming the key; a taken endpoint ends it with the
// bind message.
TEST(MetricsTest, BadOrTakenListenEndpointsEndTheProgram) {
    const int port = LowFreePort(kClientAddress, SOCK_DGRAM);
    const std::string parameters = Parameters(0, 1, kClientAddress, port, kServerAddress, 5000);
    for (const char* value : {"127.0.0.1", "127.0.0.1:0", "127.0.0.1:65536", "localhost:9100",
                              "::1:9100", "[127.0.0.1]:9100", "127.0.0.1:9x", "0177.0.0.1:9100"}) {
        SCOPED_TRACE(value);
        const Folder folder;
        folder.WriteParameters(parameters + "[Status]\nListen=" + value + "\n");
        Program program(folder, {"--workdir", folder.Path().string()});
        EXPECT_EQ(program.Wait(), 2);
        EXPECT_TRUE(Contains(program.Err(), "[Status] Listen="s + value + ": 不是 地址:端口"))
            << program.Err();
    }

    const int statusPort = FreePort(kStatusAddress, SOCK_STREAM);
    const UniqueFd occupant = ListenOn(kStatusAddress, statusPort);
    const Folder folder;
    folder.WriteParameters(parameters + "[Status]\nListen=127.0.0.1:" + std::to_string(statusPort) +
                           "\n");
    Program program(folder, {"--workdir", folder.Path().string()});
    EXPECT_EQ(program.Wait(), 1);
    EXPECT_TRUE(Contains(program.Err(), "状态接口 127.0.0.1:" + std::to_string(statusPort) +
                                            " 无法绑定: 地址已被占用"))
        << program.Err();
    EXPECT_FALSE(Contains(program.Err(), "已启动"));
}

// While datagrams pour through the relay, every scrape is answered.
TEST(MetricsTest, EveryScrapeIsAnsweredWhileTheRelayIsUnderLoad) {
    const int port = LowFreePort(kClientAddress, SOCK_DGRAM);
    const int sinkPort = LowFreePort(kServerAddress, SOCK_DGRAM);
    const UniqueFd sink = BindUdp(kServerAddress, sinkPort);
    Monitored relay(Parameters(0, 1, kClientAddress, port, kServerAddress, sinkPort));
    ASSERT_TRUE(WaitUntil([&] { return IsUdpBound(kClientAddress, port); }));

    std::atomic<bool> done{false};
    std::thread load([&] {
        const UniqueFd source = BindUdp(kClientAddress, 0);
        const sockaddr_in to = MakeSocketAddress(kClientAddress, port);
        const std::string datagram(512, 'x');
        const auto until = std::chrono::steady_clock::now() + 5s;
        for (int sent = 0; sent < 2'000'000 && !done && std::chrono::steady_clock::now() < until;
             ++sent) {
            ::sendto(source.Get(), datagram.data(), datagram.size(), 0, AsSockaddr(to), sizeof to);
            char drain[2048];
            while (::recv(sink.Get(), drain, sizeof drain, MSG_DONTWAIT) > 0) {
            }
        }
    });
    int answered = 0;
    long long last = 0;
    for (int scrape = 0; scrape < 50; ++scrape) {
        const std::string answer = Get(relay.statusPort);
        if (answer.starts_with("HTTP/1.1 200 OK\r\n")) {
            ++answered;
            last = Sample(Body(answer), "tarvel_forwarded_datagrams_total");
        }
        std::this_thread::sleep_for(20ms);
    }
    done = true;
    load.join();
    EXPECT_EQ(answered, 50);
    EXPECT_GT(last, 0) << "no load reached the relay";
}

// A real Prometheus server scrapes two relays once a second in one job: its query API gives the
// datagram count one forwarded, and each relay's name.
TEST(MetricsTest, PrometheusScrapesTheRelay) {
    const int port = LowFreePort(kClientAddress, SOCK_DGRAM);
    const int sinkPort = LowFreePort(kServerAddress, SOCK_DGRAM);
    const UniqueFd sink = BindUdp(kServerAddress, sinkPort);
    Monitored relay(Parameters(0, 1, kClientAddress, port, kServerAddress, sinkPort), "video");
    const int otherPort = LowFreePort(kClientAddress, SOCK_STREAM);
    Monitored other(Parameters(0, 0, kClientAddress, otherPort, kServerAddress, sinkPort),
                    "telemetry");
    ASSERT_TRUE(WaitUntil([&] { return IsUdpBound(kClientAddress, port); }));
    ASSERT_TRUE(WaitUntil([&] { return IsListening(kClientAddress, otherPort); }));
    const UniqueFd source = BindUdp(kClientAddress, 0);
    for (int i = 0; i < 7; ++i) {
        SendDatagram(source.Get(), "datagram", kClientAddress, port);
        ASSERT_TRUE(ReceiveDatagram(sink.Get()).has_value());
    }

    const Folder server;
    const int prometheusPort = FreePort(kStatusAddress, SOCK_STREAM);
    std::ofstream(server.Path() / "prometheus.yml")
        << "global:\n  scrape_interval: 1s\nscrape_configs:\n  - job_name: tarvel\n"
           "    static_configs:\n      - targets: ['127.0.0.1:"
        << relay.statusPort << "', '127.0.0.1:" << other.statusPort << "']\n";
    Program prometheus(server,
                       {"--config.file=" + (server.Path() / "prometheus.yml").string(),
                        "--storage.tsdb.path=" + (server.Path() / "data").string(),
                        "--web.listen-address=127.0.0.1:" + std::to_string(prometheusPort)},
                       {.executable = "/usr/bin/prometheus"});
    ASSERT_TRUE(prometheus.Started());
    std::string answer;
    const bool scraped = WaitUntil(
        [&] {
            answer = Body(Ask(prometheusPort,
                              "GET /api/v1/query?query=tarvel_forwarded_datagrams_total "
                              "HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n"));
            return answer.find("\"7\"]") != std::string::npos;
        },
        30s);
    EXPECT_TRUE(scraped) << answer << prometheus.Err().substr(0, 2000);
    EXPECT_NE(answer.find("\"job\":\"tarvel\""), std::string::npos) << answer;
    // One job, and each relay says which it is.
    const bool named = WaitUntil(
        [&] {
            answer = Body(Ask(prometheusPort,
                              "GET /api/v1/query?query=count%20by%20(name)%20(tarvel_relay_info) "
                              "HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n"));
            return answer.find("\"name\":\"video\"") != std::string::npos &&
                   answer.find("\"name\":\"telemetry\"") != std::string::npos;
        },
        30s);
    EXPECT_TRUE(named) << answer;
    prometheus.Signal(SIGTERM);
    EXPECT_EQ(prometheus.Wait(10s), 0);
}

// The request parser, fed requests cut and mutated at random and plain noise: it never reads past
// what it was given and says Complete only of a head that ends in an empty line.
TEST(HttpRequestHeadFuzz, MutatedRequestsNeverMisread) {
    std::mt19937 random(2026);
    const std::string seeds[] = {
        "GET /metrics HTTP/1.1\r\nHost: a\r\nAccept: */*\r\n\r\n",
        "POST /x?y HTTP/1.0\nContent-Length: 3\n\nabc",
        "GET / HTTP/1.1\r\n\r\n",
    };
    for (int round = 0; round < 200000; ++round) {
        std::string input = seeds[random() % std::size(seeds)];
        const int edits = static_cast<int>(random() % 6);
        for (int e = 0; e < edits && !input.empty(); ++e) {
            const std::size_t at = random() % input.size();
            switch (random() % 4) {
            case 0:
                input[at] = static_cast<char>(random());
                break;
            case 1:
                input.erase(at, 1 + random() % 4);
                break;
            case 2:
                input.insert(at, std::string(1 + random() % 3, static_cast<char>(random())));
                break;
            case 3:
                input.resize(at);
                break;
            }
        }
        if (random() % 50 == 0) {
            input.assign(random() % 9000, '\0');
            for (char& c : input) {
                c = static_cast<char>(random());
            }
        }
        // The parser is given exactly the input's bytes, from a buffer of that size.
        const std::unique_ptr<char[]> bytes(new char[input.size()]);
        std::copy(input.begin(), input.end(), bytes.get());
        const HttpRequestHead head = ParseRequestHead(std::string_view(bytes.get(), input.size()));
        if (head.state == HttpRequestHead::State::Complete) {
            ASSERT_TRUE(input.find("\n\r\n") != std::string::npos ||
                        input.find("\n\n") != std::string::npos)
                << input;
            ASSERT_FALSE(head.method.empty());
            ASSERT_TRUE(head.path.starts_with("/"));
            ASSERT_EQ(head.path.find('?'), std::string::npos);
        } else {
            ASSERT_TRUE(head.method.empty() && head.path.empty());
        }
        if (head.state == HttpRequestHead::State::TooLarge) {
            ASSERT_GE(input.size(), kLargestRequestHead);
        }
    }
}

} // namespace
