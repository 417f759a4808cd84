#include "dialog_fixture.h"

#include "paint_counter.h"
#include "relay_test_peers.h"
#include "resource.h"
#include "save_failures.h"

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QTest>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <map>

namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;
using relaytest::IsListening;
using relaytest::IsUdpBound;
using relaytest::MakeSocketAddress;
using relaytest::PickLowPort;

bool Bind(int fd, const char* address, int port) {
    const sockaddr_in a = MakeSocketAddress(address, port);
    return ::bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
}

// A port free on both loopback endpoints the tests use.
int FreePort(int type) {
    return PickLowPort([type](int port) {
        const UniqueFd a(::socket(AF_INET, type, 0));
        const UniqueFd b(::socket(AF_INET, type, 0));
        return Bind(a.Get(), "127.0.0.2", port) && Bind(b.Get(), "127.0.0.3", port);
    });
}

// A fresh connection each try: a socket whose connect failed is not used again.
bool Connect(UniqueFd& socket, const sockaddr_in& to) {
    socket = UniqueFd(::socket(AF_INET, SOCK_STREAM, 0));
    return ::connect(socket.Get(), reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0;
}

// Binds `fd` to a free port on `address` and returns it.
int BindFree(int fd, const char* address) {
    return PickLowPort([fd, address](int port) { return Bind(fd, address, port); });
}

// Waits for `fd` to be readable, processing the dialog's events meanwhile.
bool WaitReadable(int fd, std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < end) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 20) > 0)
            return true;
        QCoreApplication::processEvents();
    }
    return false;
}

// Sends `text` with its zero to a UDP relay on (address, port) until a datagram arrives at `sink`
// (the worker binds on its own thread), and returns what arrived; empty when nothing did.
std::string ThroughTheRelay(int sink, const char* address, int port, const std::string& text) {
    const UniqueFd source(::socket(AF_INET, SOCK_DGRAM, 0));
    const sockaddr_in relay = MakeSocketAddress(address, port);
    char received[64] = {};
    for (int attempt = 0; attempt < 50; ++attempt) {
        ::sendto(source.Get(), text.c_str(), text.size() + 1, 0,
                 reinterpret_cast<const sockaddr*>(&relay), sizeof relay);
        if (WaitReadable(sink, 100ms)) {
            const ssize_t n = ::recv(sink, received, sizeof received, 0);
            return n > 0 ? std::string(received, static_cast<std::size_t>(n)) : std::string();
        }
    }
    return {};
}

class RunStop : public DialogTest {
protected:
    void TearDown() override {
        if (dialog && dialog->GetDlgItem(IDC_STOP)->isEnabled())
            dialog->OnStop();
        DialogTest::TearDown();
    }

    QComboBox* Combo(int id) const { return qobject_cast<QComboBox*>(dialog->GetDlgItem(id)); }
    void Click(int id) const { QTest::mouseClick(dialog->GetDlgItem(id), Qt::LeftButton); }
    void Type(QLineEdit* edit, const QString& text) const {
        edit->selectAll();
        QTest::keyClick(edit, Qt::Key_Delete);
        QTest::keyClicks(edit, text);
    }
    // Fills both endpoints as the operator would: typing into the fields.
    void EnterEndpoints(const char* client, int clientPort, const char* server, int serverPort) {
        Type(Combo(IDC_CLIENT_ADDRESS)->lineEdit(), QString::fromLatin1(client));
        Type(Combo(IDC_SERVER_ADDRESS)->lineEdit(), QString::fromLatin1(server));
        Type(Edit(IDC_CLIENT_PORT), QString::number(clientPort));
        Type(Edit(IDC_SERVER_PORT), QString::number(serverPort));
    }
    // Text colours of the eight lamps.
    std::vector<COLORREF> LampColours() const {
        std::vector<COLORREF> colours;
        for (int id : {IDC_INPUT_LAMP1, IDC_INPUT_LAMP2, IDC_INPUT_LAMP3, IDC_INPUT_LAMP4,
                       IDC_OUTPUT_LAMP1, IDC_OUTPUT_LAMP2, IDC_OUTPUT_LAMP3, IDC_OUTPUT_LAMP4})
            colours.push_back(LampTextColour(id));
        return colours;
    }
    bool Running() const {
        return !dialog->GetDlgItem(IDC_RUN)->isEnabled() &&
               dialog->GetDlgItem(IDC_STOP)->isEnabled();
    }
    // Which of the controls that decide what runs (mode, protocol, addresses, ports) the operator
    // can reach: all of them when idle, none while a relay runs.
    // (A disabled control is also out of the tab order.)
    std::vector<int> ReachableRelayControls() const {
        std::vector<int> reachable;
        for (int id : AllRelayControls()) {
            if (dialog->GetDlgItem(id)->isEnabled())
                reachable.push_back(id);
        }
        return reachable;
    }
    static std::vector<int> AllRelayControls() {
        return {IDC_CLIENT_TO_SERVER, IDC_SERVER_TO_CLIENT, IDC_UDP,         IDC_TCP,
                IDC_CLIENT_ADDRESS,   IDC_SERVER_ADDRESS,   IDC_CLIENT_PORT, IDC_SERVER_PORT};
    }

    // A client-to-server TCP stream as the operator sets it up by typing and clicking: the relay
    // listens on the server endpoint, the sink connects there, and the relay then connects to the
    // source listening on the client endpoint, where the data comes from.
    struct TcpStream {
        UniqueFd source;
        UniqueFd sink;
        UniqueFd accepted; // the source's end of the relay's connection
        int sourcePort = -1;
        int serverPort = -1; // where the relay waits
    };
    // Up to Run: the source listens on the client endpoint, the relay then waits on the server
    // endpoint.
    void RunTcpRelay(TcpStream& stream) {
        stream.source = UniqueFd(::socket(AF_INET, SOCK_STREAM, 0));
        stream.sourcePort = BindFree(stream.source.Get(), "127.0.0.2");
        ASSERT_GT(stream.sourcePort, 0);
        ASSERT_EQ(::listen(stream.source.Get(), 1), 0);
        stream.serverPort = FreePort(SOCK_STREAM);
        EnterEndpoints("127.0.0.2", stream.sourcePort, "127.0.0.3", stream.serverPort);
        Click(IDC_CLIENT_TO_SERVER);
        Click(IDC_TCP);
        Click(IDC_RUN);
        ASSERT_TRUE(Running());
    }
    // The sink connects to the relay, which connects to the source.
    void ConnectThroughTheRelay(TcpStream& stream) {
        const sockaddr_in server = MakeSocketAddress("127.0.0.3", stream.serverPort);
        ASSERT_TRUE(ProcessEventsUntil([&] { return Connect(stream.sink, server); }));
        ASSERT_TRUE(WaitReadable(stream.source.Get(), 3000ms));
        stream.accepted = UniqueFd(::accept(stream.source.Get(), nullptr, nullptr));
        ASSERT_GE(stream.accepted.Get(), 0);
    }
    // A server-to-client UDP relay as the operator sets it up: bound on the client endpoint,
    // sending to the sink on the server endpoint.
    struct UdpStream {
        UniqueFd sink{::socket(AF_INET, SOCK_DGRAM, 0)};
        int sinkPort = -1;
        int clientPort = -1; // where the relay is bound
    };
    void RunUdpRelay(UdpStream& stream) {
        stream.sinkPort = BindFree(stream.sink.Get(), "127.0.0.3");
        ASSERT_GT(stream.sinkPort, 0);
        stream.clientPort = FreePort(SOCK_DGRAM);
        EnterEndpoints("127.0.0.2", stream.clientPort, "127.0.0.3", stream.sinkPort);
        Click(IDC_SERVER_TO_CLIENT);
        Click(IDC_UDP);
        Click(IDC_RUN);
        ASSERT_TRUE(Running());
    }
    void StartTcpStream(TcpStream& stream) {
        ASSERT_NO_FATAL_FAILURE(RunTcpRelay(stream));
        ASSERT_NO_FATAL_FAILURE(ConnectThroughTheRelay(stream));
    }
};

TEST_F(RunStop, AddressesAreCheckedClientFirstAndTheRefusedOneTakesTheFocus) {
    struct Case {
        const char* client;
        const char* server;
        int focused;
    };
    for (const Case& c : {Case{"1.2.3", "bad", IDC_CLIENT_ADDRESS},
                          Case{"127.0.0.2", "256.1.1.1", IDC_SERVER_ADDRESS},
                          // IPv4 written as IPv6, which no IPv6-only socket can use.
                          Case{"::ffff:127.0.0.2", "127.0.0.3", IDC_CLIENT_ADDRESS},
                          Case{" 127.0.0.2", "127.0.0.3", IDC_CLIENT_ADDRESS}}) {
        OpenDialog();
        QApplication::setActiveWindow(dialog.get());
        messages.clear();
        Combo(IDC_CLIENT_ADDRESS)->setEditText(QString::fromLatin1(c.client));
        Combo(IDC_SERVER_ADDRESS)->setEditText(QString::fromLatin1(c.server));
        dialog->OnRun();
        ASSERT_EQ(messages.size(), 1u) << c.client;
        EXPECT_EQ(messages[0].text, QStringLiteral("IP地址输入有误!"));
        EXPECT_EQ(messages[0].caption, QStringLiteral("错误"));
        EXPECT_EQ(messages[0].icon, MessageIcon::Error);
        QWidget* focus = QApplication::focusWidget();
        EXPECT_TRUE(focus == Combo(c.focused) || focus == Combo(c.focused)->lineEdit()) << c.client;
        EXPECT_FALSE(Running());
    }
}

// A relay aimed at itself is refused with Run's address message, naming both endpoints, and
// nothing starts: UDP would send one datagram round and round, TCP connect to its own listener.
TEST_F(RunStop, ARelayAimedAtItselfIsRefusedWithRunsAddressMessage) {
    for (const int protocol : {IDC_UDP, IDC_TCP}) {
        SCOPED_TRACE(protocol == IDC_UDP ? "UDP" : "TCP");
        OpenDialog();
        messages.clear();
        const int port = FreePort(protocol == IDC_UDP ? SOCK_DGRAM : SOCK_STREAM);
        EnterEndpoints("127.0.0.2", port, "127.0.0.2", port);
        Click(IDC_SERVER_TO_CLIENT);
        Click(protocol);
        Click(IDC_RUN);
        ASSERT_EQ(messages.size(), 1u);
        const std::string endpoint = "127.0.0.2:" + std::to_string(port);
        EXPECT_EQ(messages[0].text.toStdString(),
                  "IP地址输入有误! 输出网卡 " + endpoint + " 就是本转发" +
                      (protocol == IDC_UDP ? "接收" : "监听") + "的 输入网卡 " + endpoint +
                      ", 数据会转发给自己");
        EXPECT_EQ(messages[0].caption, QStringLiteral("错误"));
        EXPECT_FALSE(Running());
        EXPECT_FALSE(protocol == IDC_UDP ? IsUdpBound("127.0.0.2", port)
                                         : IsListening("127.0.0.2", port));
    }
}

// A port the data exchange refuses stops Run after its one message, with the focus in that port's
// field: the parameter file stays as it was and no relay starts, on the port or its low 16 bits.
TEST_F(RunStop, ARefusedPortStopsRunAfterItsOneMessage) {
    struct Case {
        const char* text;
        int field;
        const char* message;
    };
    const char* range = "请输入一个在 0 和 10000 之间的整数。";
    const char* notANumber = "请输入一个正整数。";
    const Case cases[] = {
        {"70000", IDC_CLIENT_PORT, range},
        {"70000", IDC_SERVER_PORT, range},
        {"10001", IDC_CLIENT_PORT, range},
        {"-1", IDC_SERVER_PORT, range}, // read as 4294967295
        {"4294967295", IDC_CLIENT_PORT, range},
        {"-5", IDC_CLIENT_PORT, range}, // read as 4294967291
        {"20000", IDC_SERVER_PORT, range},
        {"abc", IDC_CLIENT_PORT, notANumber},
        {"", IDC_SERVER_PORT, notANumber},
    };
    const int free = FreePort(SOCK_DGRAM);
    // Server to client over UDP binds the client endpoint; client to server, the server endpoint.
    const std::string saved =
        "[ClientOrServer]\nNumber=0\n[UDpOrTCp]\nNumber=1\n[IP]\nNumber=1\n"
        "[Client1]\nIP=127.0.0.2\n[ClientPost1]\nPost=" +
        std::to_string(free) +
        "\n[Server1]\nIP=127.0.0.3\n[ServerPost1]\nPost=" + std::to_string(free) + "\n";
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.text) + (c.field == IDC_CLIENT_PORT ? " client" : " server"));
        WriteParameterFile(saved);
        OpenDialog();
        QApplication::setActiveWindow(dialog.get());
        const bool client = c.field == IDC_CLIENT_PORT;
        Click(client ? IDC_SERVER_TO_CLIENT : IDC_CLIENT_TO_SERVER);
        Type(Edit(c.field), QString::fromLatin1(c.text));
        ASSERT_EQ(dialog->ParamsChanged(), 1);
        messages.clear();
        dialog->OnRun();
        EXPECT_EQ(MessageTexts(), std::vector<QString>{QString::fromUtf8(c.message)});
        EXPECT_EQ(QApplication::focusWidget(), Edit(c.field));
        EXPECT_FALSE(Running());
        EXPECT_EQ(ReadParameterFile(), saved);
        const char* bound = client ? "127.0.0.2" : "127.0.0.3";
        const int typed = QString::fromLatin1(c.text).toInt();
        ProcessEventsUntil([] { return false; }, 100ms);
        EXPECT_FALSE(IsUdpBound(bound, typed & 0xFFFF));
        EXPECT_FALSE(IsUdpBound(bound, free));
    }
}

// The port range is the dialog's 0 to 10000 unless 设置 widened it to 0 to 65535. A saved port
// beyond the range is shown as saved and stops Run with the range's message; one within it is
// relayed on, above 10000 only with the choice.
TEST_F(RunStop, ThePortRangeIsNarrowByDefaultAndEveryPortWithTheChoice) {
    struct Case {
        const char* name;
        const char* widePorts; // "[Dialog] WidePorts", none when null
        int port;              // the client port, where server to client over UDP binds
        const char* message;   // none: it relays on the port
    };
    const char* narrow = "请输入一个在 0 和 10000 之间的整数。";
    const char* wide = "请输入一个在 0 和 65535 之间的整数。";
    // Ports the system hands out lie far above 10000.
    const int high = relaytest::FreePort("127.0.0.2", SOCK_DGRAM);
    ASSERT_GT(high, 10000) << "the system's ports start lower";
    const Case cases[] = {
        {"narrow, low", nullptr, FreePort(SOCK_DGRAM), nullptr},
        {"narrow, high", nullptr, high, narrow},
        {"narrow by choice, high", "0", high, narrow},
        {"narrow, 65535", nullptr, 65535, narrow},
        {"wide, high", "1", high, nullptr},
        {"wide, 65536", "1", 65536, wide},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string file =
            "[ClientOrServer]\nNumber=0\n[UDpOrTCp]\nNumber=1\n[IP]\nNumber=1\n"
            "[Client1]\nIP=127.0.0.2\n[ClientPost1]\nPost=" +
            std::to_string(c.port) + "\n[Server1]\nIP=127.0.0.3\n[ServerPost1]\nPost=6000\n" +
            (c.widePorts ? "[Dialog]\nWidePorts="s + c.widePorts + "\n" : "");
        WriteParameterFile(file);
        OpenDialog();
        QApplication::setActiveWindow(dialog.get());
        EXPECT_EQ(Edit(IDC_CLIENT_PORT)->text(), QString::number(c.port));
        messages.clear();
        dialog->OnRun();
        if (c.message) {
            EXPECT_EQ(MessageTexts(), std::vector<QString>{QString::fromUtf8(c.message)});
            EXPECT_EQ(QApplication::focusWidget(), Edit(IDC_CLIENT_PORT));
            EXPECT_FALSE(Running());
        } else {
            EXPECT_TRUE(messages.empty());
            ASSERT_TRUE(Running());
            EXPECT_TRUE(ProcessEventsUntil([&] { return IsUdpBound("127.0.0.2", c.port); }));
            dialog->OnStop();
        }
        EXPECT_EQ(ReadParameterFile(), file);
    }
}

// Port 0 where the relay connects or sends names no peer: Run refuses it before anything starts,
// naming that side, with the focus in its port field. Where the relay listens or binds, 0 lets
// the system choose, and a first start's file holds 0 on both sides.
TEST_F(RunStop, PortZeroIsRefusedOnlyWhereTheRelayConnectsOrSends) {
    struct Case {
        const char* name;
        int mode;
        int protocol;
        int clientPort;
        int serverPort;
        int field;           // the port refused
        const char* message; // none: it runs
        const char* waitAddress;
    };
    const int free = FreePort(SOCK_STREAM);
    const Case cases[] = {
        {"TCP connects to the client side", IDC_CLIENT_TO_SERVER, IDC_TCP, 0, free, IDC_CLIENT_PORT,
         "输入网卡 的端口不能为 0: 转发要连接到这个端口", "127.0.0.3"},
        {"UDP sends to the server side", IDC_SERVER_TO_CLIENT, IDC_UDP, free, 0, IDC_SERVER_PORT,
         "输出网卡 的端口不能为 0: 转发要发送到这个端口", "127.0.0.2"},
        {"both 0, TCP connects to the server side", IDC_SERVER_TO_CLIENT, IDC_TCP, 0, 0,
         IDC_SERVER_PORT, "输出网卡 的端口不能为 0: 转发要连接到这个端口", "127.0.0.2"},
        {"UDP binds port 0", IDC_SERVER_TO_CLIENT, IDC_UDP, 0, free, 0, nullptr, "127.0.0.2"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        OpenDialog();
        QApplication::setActiveWindow(dialog.get());
        EnterEndpoints("127.0.0.2", c.clientPort, "127.0.0.3", c.serverPort);
        Click(c.mode);
        Click(c.protocol);
        messages.clear();
        dialog->OnRun();
        if (!c.message) {
            EXPECT_TRUE(messages.empty());
            EXPECT_TRUE(Running());
            dialog->OnStop();
            continue;
        }
        ASSERT_EQ(MessageTexts(), std::vector<QString>{QString::fromUtf8(c.message)});
        EXPECT_EQ(messages[0].caption, QStringLiteral("错误"));
        EXPECT_EQ(QApplication::focusWidget(), Edit(c.field));
        EXPECT_FALSE(Running());
        const int waitPort = c.field == IDC_CLIENT_PORT ? c.serverPort : c.clientPort;
        if (waitPort != 0) {
            ProcessEventsUntil([] { return false; }, 100ms);
            EXPECT_FALSE(c.protocol == IDC_UDP ? IsUdpBound(c.waitAddress, waitPort)
                                               : IsListening(c.waitAddress, waitPort));
        }
    }
}

TEST_F(RunStop, MissingModeOrProtocolIsRefusedAfterTheSave) {
    OpenDialog();
    EnterEndpoints("127.0.0.2", 5000, "127.0.0.3", 6000);
    dialog->OnRun();
    EXPECT_EQ(MessageTexts(), std::vector<QString>{QStringLiteral("请选择一种传输模式!")});
    EXPECT_NE(ReadParameterFile().find("Post=5000"), std::string::npos)
        << "a refused Run has already saved the changed settings";

    messages.clear();
    Click(IDC_CLIENT_TO_SERVER);
    dialog->OnRun();
    EXPECT_EQ(MessageTexts(), std::vector<QString>{QStringLiteral("请选择一种传输协议!")});
    EXPECT_FALSE(Running());
    EXPECT_FALSE(IsListening("127.0.0.3", 6000));
}

TEST_F(RunStop, RunAndStopSwitchTheLookAndTheDisplayTimer) {
    OpenDialog();
    const std::vector<COLORREF> red(8, RGB(255, 0, 0));
    const std::vector<COLORREF> green(8, RGB(0, 255, 0));
    EXPECT_EQ(LampColours(), red);
    EXPECT_FALSE(Running());
    EXPECT_TRUE(dialog->GetDlgItem(IDC_RUN)->isEnabled());
    EXPECT_FALSE(dialog->GetDlgItem(IDC_STOP)->isEnabled());
    const int port = FreePort(SOCK_STREAM);
    EnterEndpoints("127.0.0.2", port, "127.0.0.3", port);
    Click(IDC_CLIENT_TO_SERVER);
    Click(IDC_TCP);
    dialog->OnRun();
    EXPECT_TRUE(messages.empty());
    EXPECT_TRUE(Running());
    EXPECT_EQ(DisplayTimerPeriod(), 500);
    EXPECT_EQ(LampColours(), green);
    EXPECT_TRUE(ReachableRelayControls().empty());
    EXPECT_TRUE(relaytest::WaitUntil([&] { return IsListening("127.0.0.3", port); }));

    // The relay waits for its connection: Stop ends its waiting, pauses a second, then ends it.
    QElapsedTimer clock;
    clock.start();
    dialog->OnStop();
    EXPECT_GE(clock.elapsed(), 950);
    EXPECT_FALSE(Running());
    EXPECT_TRUE(dialog->GetDlgItem(IDC_RUN)->isEnabled());
    EXPECT_EQ(DisplayTimerPeriod(), -1);
    EXPECT_EQ(LampColours(), red);
    EXPECT_EQ(ReachableRelayControls(), AllRelayControls());
    EXPECT_FALSE(IsListening("127.0.0.3", port));
    // The worker Stop ended is no news.
    ProcessEventsUntil([] { return false; }, 700ms);
    EXPECT_TRUE(messages.empty());
}

// Through Stop's second the dialog keeps painting and the lamps follow the relay, which relays on;
// Run, Stop and the controls of what runs stay disabled. Then the idle look, and the relay is over.
TEST_F(RunStop, TheDialogKeepsPaintingThroughStopsPause) {
    OpenDialog();
    UdpStream stream;
    ASSERT_NO_FATAL_FAILURE(RunUdpRelay(stream));
    ASSERT_EQ(ThroughTheRelay(stream.sink.Get(), "127.0.0.2", stream.clientPort, "ping"),
              "ping\0"s);
    QLineEdit* lamp = Edit(IDC_INPUT_LAMP1);
    PaintCounter counter;
    lamp->installEventFilter(&counter);
    const UniqueFd source(::socket(AF_INET, SOCK_DGRAM, 0));
    int paintsBefore = -1;
    bool early = false;
    bool late = false;
    QTimer::singleShot(200ms, dialog.get(), [&] {
        early = true;
        EXPECT_FALSE(dialog->GetDlgItem(IDC_RUN)->isEnabled());
        EXPECT_FALSE(dialog->GetDlgItem(IDC_STOP)->isEnabled());
        EXPECT_TRUE(ReachableRelayControls().empty());
        paintsBefore = counter.paints;
        lamp->update();
        relaytest::SendDatagram(source.Get(), "ABCD", "127.0.0.2", stream.clientPort);
    });
    QTimer::singleShot(900ms, dialog.get(), [&] {
        late = true;
        EXPECT_GT(counter.paints, paintsBefore) << "the lamp was not painted during the pause";
        EXPECT_EQ(lamp->text(), QStringLiteral("65")) << "the lamps stood still";
        const std::optional<relaytest::Datagram> relayed =
            relaytest::ReceiveDatagram(stream.sink.Get(), 100ms);
        ASSERT_TRUE(relayed.has_value()) << "the relay did not relay on through the pause";
        EXPECT_EQ(relayed->data, "ABCD\0"s);
    });

    QElapsedTimer clock;
    clock.start();
    dialog->OnStop();
    EXPECT_GE(clock.elapsed(), 950);
    EXPECT_TRUE(early);
    EXPECT_TRUE(late);
    EXPECT_TRUE(dialog->GetDlgItem(IDC_RUN)->isEnabled());
    EXPECT_EQ(ReachableRelayControls(), AllRelayControls());
    EXPECT_EQ(DisplayTimerPeriod(), -1);
    EXPECT_TRUE(relaytest::WaitUntil([&] { return !IsUdpBound("127.0.0.2", stream.clientPort); }));
    EXPECT_TRUE(messages.empty());
}

TEST_F(RunStop, ClosingTheDialogTakesAboutOneSecond) {
    OpenDialog();
    QElapsedTimer clock;
    clock.start();
    dialog->OnCancel();
    EXPECT_GE(clock.elapsed(), 950);
    EXPECT_LT(clock.elapsed(), 5000);
}

TEST_F(RunStop, TcpStreamSetUpByClickingAndTypingArrivesAtTheFarPeer) {
    OpenDialog();
    TcpStream stream;
    ASSERT_NO_FATAL_FAILURE(StartTcpStream(stream));
    EXPECT_TRUE(messages.empty());
    ASSERT_EQ(::send(stream.accepted.Get(), "HELLO", 5, 0), 5);

    ASSERT_TRUE(WaitReadable(stream.sink.Get(), 3000ms));
    char received[16] = {};
    const ssize_t n = ::recv(stream.sink.Get(), received, sizeof received, 0);
    ASSERT_EQ(n, 6);
    EXPECT_EQ(std::memcmp(received, "HELLO\0", 6), 0);

    // The lamps show the buffer's first bytes at the next display tick.
    ASSERT_TRUE(
        ProcessEventsUntil([&] { return LampText(IDC_OUTPUT_LAMP1) == QStringLiteral("72"); }));
    EXPECT_EQ(LampText(IDC_INPUT_LAMP2), QStringLiteral("69"));
}

TEST_F(RunStop, UdpStreamSetUpByClickingAndTypingArrivesAtTheFarPeer) {
    OpenDialog();
    UdpStream stream;
    ASSERT_NO_FATAL_FAILURE(RunUdpRelay(stream));
    EXPECT_TRUE(messages.empty());

    EXPECT_EQ(ThroughTheRelay(stream.sink.Get(), "127.0.0.2", stream.clientPort, "ping"),
              "ping\0"s);
}

} // namespace

namespace {

// A relay whose set-up fails leaves the running look at the next display tick, as Stop would
// leave it, with one message naming the side, the endpoint, the step and the reason.
TEST_F(RunStop, FailedSetUpReturnsToTheIdleLookWithOneMessage) {
    struct Case {
        const char* name;
        int mode;
        int protocol;
        const char* client;
        const char* server;
        const char* expected; // {c}: the client port, {s}: the server port
    };
    const Case cases[] = {
        {"EndpointInUse", IDC_SERVER_TO_CLIENT, IDC_UDP, "127.0.0.2", "127.0.0.3",
         "输入网卡 127.0.0.2:{c} 无法绑定: 地址已被占用"},
        {"NotALocalAddress", IDC_CLIENT_TO_SERVER, IDC_UDP, "127.0.0.2", "192.0.2.1",
         "输出网卡 192.0.2.1:{s} 无法绑定: 不是本机地址"},
        {"ConnectRefused", IDC_CLIENT_TO_SERVER, IDC_TCP, "127.0.0.2", "127.0.0.3",
         "输入网卡 127.0.0.2:{c} 无法连接: 对方拒绝连接"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        OpenDialog();
        const int type = c.protocol == IDC_TCP ? SOCK_STREAM : SOCK_DGRAM;
        const int clientPort = FreePort(type);
        const int serverPort = FreePort(type);
        // The endpoint the UDP worker binds on the client side is taken by someone else.
        UniqueFd occupant(::socket(AF_INET, SOCK_DGRAM, 0));
        if (c.mode == IDC_SERVER_TO_CLIENT) {
            ASSERT_TRUE(Bind(occupant.Get(), "127.0.0.2", clientPort));
        }
        EnterEndpoints(c.client, clientPort, c.server, serverPort);
        Click(c.mode);
        Click(c.protocol);
        Click(IDC_RUN);
        ASSERT_TRUE(Running());
        // The TCP worker gets its connection, then finds nobody listening on the client side.
        UniqueFd peer;
        if (c.protocol == IDC_TCP) {
            const sockaddr_in server = MakeSocketAddress("127.0.0.3", serverPort);
            ASSERT_TRUE(ProcessEventsUntil([&] { return Connect(peer, server); }));
        }

        ASSERT_TRUE(ProcessEventsUntil([&] { return !messages.empty(); }));
        QString expected = QString::fromUtf8(c.expected);
        expected.replace(QStringLiteral("{c}"), QString::number(clientPort));
        expected.replace(QStringLiteral("{s}"), QString::number(serverPort));
        EXPECT_EQ(messages[0].text, expected);
        EXPECT_EQ(messages[0].caption, QStringLiteral("错误"));
        EXPECT_EQ(messages[0].icon, MessageIcon::Error);
        EXPECT_FALSE(Running());
        EXPECT_EQ(DisplayTimerPeriod(), -1);
        EXPECT_EQ(LampColours(), std::vector<COLORREF>(8, RGB(255, 0, 0)));
        EXPECT_EQ(ReachableRelayControls(), AllRelayControls());
        ProcessEventsUntil([] { return false; }, 700ms);
        EXPECT_EQ(messages.size(), 1u) << "one message only";

        if (c.mode == IDC_SERVER_TO_CLIENT) {
            // With the endpoint free again, Run relays.
            occupant.Reset();
            const UniqueFd sink(::socket(AF_INET, SOCK_DGRAM, 0));
            ASSERT_TRUE(Bind(sink.Get(), "127.0.0.3", serverPort));
            Click(IDC_RUN);
            ASSERT_TRUE(Running());
            EXPECT_EQ(ThroughTheRelay(sink.Get(), "127.0.0.2", clientPort, "again"), "again\0"s);
            EXPECT_EQ(messages.size(), 1u);
            dialog->OnStop();
        }
        messages.clear();
    }
}

// A stream that its source ended is no failure: the idle look without a message, and the
// lamps keep what they last showed.
TEST_F(RunStop, StreamEndedBySourceReturnsToTheIdleLookWithoutMessage) {
    OpenDialog();
    TcpStream stream;
    ASSERT_NO_FATAL_FAILURE(StartTcpStream(stream));
    ASSERT_EQ(::send(stream.accepted.Get(), "HELLO", 5, 0), 5);
    ASSERT_TRUE(
        ProcessEventsUntil([&] { return LampText(IDC_OUTPUT_LAMP1) == QStringLiteral("72"); }));

    stream.accepted.Reset();
    // The destination reads the stream to its end and closes, as a peer does.
    char rest[16];
    while (WaitReadable(stream.sink.Get(), 3000ms) &&
           ::recv(stream.sink.Get(), rest, sizeof rest, 0) > 0) {
    }
    stream.sink.Reset();

    ASSERT_TRUE(ProcessEventsUntil([&] { return !Running(); }));
    EXPECT_EQ(DisplayTimerPeriod(), -1);
    EXPECT_EQ(ReachableRelayControls(), AllRelayControls());
    EXPECT_EQ(LampColours(), std::vector<COLORREF>(8, RGB(255, 0, 0)));
    EXPECT_EQ(LampText(IDC_OUTPUT_LAMP1), QStringLiteral("72"));
    ProcessEventsUntil([] { return false; }, 700ms);
    EXPECT_TRUE(messages.empty());
}

TEST_F(RunStop, EveryRunAfterAChangeSavesAgain) {
    OpenDialog();
    const int port = FreePort(SOCK_DGRAM);
    EnterEndpoints("127.0.0.2", port, "127.0.0.3", port);
    Click(IDC_SERVER_TO_CLIENT);
    Click(IDC_UDP);
    dialog->OnRun();
    ASSERT_TRUE(Running());
    dialog->OnStop();
    EXPECT_NE(ReadParameterFile().find("Post=" + std::to_string(port)), std::string::npos);

    // Without a further change the next Run still saves: the file's edits come back.
    WriteParameterFile("");
    dialog->OnRun();
    ASSERT_TRUE(Running());
    EXPECT_NE(ReadParameterFile().find("[ServerPost1]\nPost=" + std::to_string(port)),
              std::string::npos);
}

TEST_F(RunStop, ATypedAddressIsTheOneRelayedOnAndSaved) {
    // Server to client over UDP: the relay binds the client endpoint and sends to the server
    // endpoint. The file holds other addresses; only typing changes them.
    struct Case {
        const char* name;
        int typedInto;
        const char* client; // where the source sends to
        const char* server; // where the sink listens
    };
    for (const Case& c : {Case{"client side", IDC_CLIENT_ADDRESS, "127.0.0.4", "127.0.0.3"},
                          Case{"server side", IDC_SERVER_ADDRESS, "127.0.0.2", "127.0.0.5"}}) {
        SCOPED_TRACE(c.name);
        const UniqueFd sink(::socket(AF_INET, SOCK_DGRAM, 0));
        const int sinkPort = BindFree(sink.Get(), c.server);
        ASSERT_GT(sinkPort, 0);
        // A port free on the address the relay is to bind; the probe lets it go again.
        UniqueFd probe(::socket(AF_INET, SOCK_DGRAM, 0));
        const int relayPort = BindFree(probe.Get(), c.client);
        ASSERT_GT(relayPort, 0);
        probe.Reset();
        const std::string file =
            "[IP]\nNumber=1\n[ClientOrServer]\nNumber=0\n[UDpOrTCp]\nNumber=1\n"
            "[Client1]\nIP=127.0.0.2\n[ClientPost1]\nPost=" +
            std::to_string(relayPort) +
            "\n[Server1]\nIP=127.0.0.3\n[ServerPost1]\nPost=" + std::to_string(sinkPort) + "\n";
        WriteParameterFile(file);
        OpenDialog();
        const QString typed =
            QString::fromLatin1(c.typedInto == IDC_CLIENT_ADDRESS ? c.client : c.server);
        Type(Combo(c.typedInto)->lineEdit(), typed);
        EXPECT_EQ(Combo(c.typedInto)->currentText(), typed);
        EXPECT_EQ(dialog->ParamsChanged(), 1);
        Click(IDC_RUN);
        ASSERT_TRUE(Running());
        EXPECT_TRUE(messages.empty());
        EXPECT_NE(ReadParameterFile().find("IP=" + typed.toStdString() + "\n"), std::string::npos);

        EXPECT_EQ(ThroughTheRelay(sink.Get(), c.client, relayPort, "moved"), "moved\0"s);
        dialog->OnStop();
    }
}

TEST_F(RunStop, AProgrammaticTextChangeIsNoChange) {
    const int port = FreePort(SOCK_DGRAM);
    WriteParameterFile("[IP]\nNumber=1\n[ClientOrServer]\nNumber=0\n[UDpOrTCp]\nNumber=1\n"
                       "[Client1]\nIP=127.0.0.2\n[ClientPost1]\nPost=" +
                       std::to_string(port) + "\n[Server1]\nIP=127.0.0.3\n[ServerPost1]\nPost=" +
                       std::to_string(port) + "\n");
    OpenDialog();
    // Set by the program, as loading does: no change is marked and nothing is saved.
    Combo(IDC_CLIENT_ADDRESS)->setEditText(QStringLiteral("127.0.0.9"));
    EXPECT_EQ(dialog->ParamsChanged(), 0);
    const std::string before = ReadParameterFile();
    dialog->OnRun();
    EXPECT_TRUE(messages.empty());
    ASSERT_TRUE(Running());
    EXPECT_TRUE(relaytest::WaitUntil([&] { return IsUdpBound("127.0.0.2", port); }));
    EXPECT_EQ(ReadParameterFile(), before);
}

} // namespace

namespace {

// The lamps show the first four bytes of what the relay received last, as signed numbers, in
// both rows.
TEST_F(RunStop, LampsShowLeadingBytesAsSignedNumbersInBothRows) {
    OpenDialog();
    const std::array<int, 4> inputRow{IDC_INPUT_LAMP1, IDC_INPUT_LAMP2, IDC_INPUT_LAMP3,
                                      IDC_INPUT_LAMP4};
    const std::array<int, 4> outputRow{IDC_OUTPUT_LAMP1, IDC_OUTPUT_LAMP2, IDC_OUTPUT_LAMP3,
                                       IDC_OUTPUT_LAMP4};
    for (int id : inputRow)
        EXPECT_EQ(LampText(id), QStringLiteral("00"));
    UdpStream stream;
    ASSERT_NO_FATAL_FAILURE(RunUdpRelay(stream));

    struct Case {
        std::string bytes;
        std::array<const char*, 4> texts;
    };
    const std::vector<Case> cases{
        {"\x05\x7F\x80\xFF", {"05", "127", "-128", "-1"}},
        {"ABCD", {"65", "66", "67", "68"}},
        {"\0\x09\x0A\xF6"s, {"00", "09", "10", "-10"}},
    };
    for (const Case& c : cases) {
        // ThroughTheRelay adds a zero after the text; four bytes fill the head whatever follows.
        ASSERT_FALSE(
            ThroughTheRelay(stream.sink.Get(), "127.0.0.2", stream.clientPort, c.bytes).empty());
        dialog->OnDisplayTick();
        for (std::size_t k = 0; k < 4; ++k) {
            EXPECT_EQ(LampText(inputRow[k]), QString::fromLatin1(c.texts[k])) << k;
            EXPECT_EQ(LampText(outputRow[k]), QString::fromLatin1(c.texts[k])) << k;
        }
    }
}

// A relay is the plan Run made: what the operator's controls say afterwards, by typing or by
// picking from the list, never reaches it. A TCP relay still waiting for its connection connects
// to the endpoint of Run.
TEST_F(RunStop, ARunningRelayKeepsTheEndpointsOfRun) {
    OpenDialog({"127.0.0.2", "127.0.0.4"});
    TcpStream stream;
    ASSERT_NO_FATAL_FAILURE(RunTcpRelay(stream));
    // Where the relay would go if the change reached it.
    const UniqueFd decoy(::socket(AF_INET, SOCK_STREAM, 0));
    ASSERT_TRUE(Bind(decoy.Get(), "127.0.0.4", stream.sourcePort));
    ASSERT_EQ(::listen(decoy.Get(), 1), 0);

    // The controls are disabled; the changes are made as the handlers would see them.
    QComboBox* client = Combo(IDC_CLIENT_ADDRESS);
    client->setEditText(QStringLiteral("127.0"));
    emit client->lineEdit()->textEdited(QStringLiteral("127.0"));
    client->setCurrentIndex(1);
    emit client->activated(1);
    EXPECT_EQ(client->currentText(), QStringLiteral("127.0.0.4"));

    ASSERT_NO_FATAL_FAILURE(ConnectThroughTheRelay(stream)) << "the relay did not connect to Run's";
    EXPECT_FALSE(WaitReadable(decoy.Get(), 300ms)) << "the relay connected to the changed address";
}

// Stop and closing the dialog while a TCP relay waits for its connection: the relay never
// connects to the other side.
TEST_F(RunStop, StopOrCloseWhileWaitingNeverReachesTheDestination) {
    for (const bool close : {false, true}) {
        SCOPED_TRACE(close ? "close" : "Stop");
        OpenDialog();
        TcpStream stream;
        ASSERT_NO_FATAL_FAILURE(RunTcpRelay(stream));
        const int serverPort = stream.serverPort;
        ASSERT_TRUE(relaytest::WaitUntil([&] { return IsListening("127.0.0.3", serverPort); }));

        if (close) {
            dialog->OnCancel();
        } else {
            dialog->OnStop();
        }

        EXPECT_FALSE(IsListening("127.0.0.3", serverPort));
        EXPECT_FALSE(WaitReadable(stream.source.Get(), 300ms)) << "the relay connected after Stop";
        dialog.reset();
    }
}

// A parameter file that cannot be written is said once, with the file and the reason; the relay
// still runs on what Run read, and the old file stays as it was.
TEST_F(RunStop, FailedSaveIsSaidAndTheRelayRunsOnThePlan) {
    const std::string saved = "[ClientOrServer]\nNumber=1\n[UDpOrTCp]\nNumber=1\n[IP]\nNumber=1\n"
                              "[Client1]\nIP=127.0.0.2\n[ClientPost1]\nPost=1\n"
                              "[Server1]\nIP=127.0.0.3\n[ServerPost1]\nPost=2\n";
    const std::filesystem::path folder = std::filesystem::absolute("InfoFile");
    for (const savefailure::Case& c : savefailure::Cases()) {
        SCOPED_TRACE(c.name);
        savefailure::Restore(folder);
        std::filesystem::remove_all(folder);
        std::filesystem::create_directory(folder);
        if (const std::string why = c.prepare(folder, "ParameterSet.inf", saved); !why.empty()) {
            std::cout << "[  SKIPPED ] " << c.name << ": " << why << "\n";
            continue;
        }
        OpenDialog();
        messages.clear();
        UdpStream stream;
        ASSERT_NO_FATAL_FAILURE(RunUdpRelay(stream));

        ASSERT_EQ(messages.size(), 1u);
        const QString reason = c.error == EACCES  ? QStringLiteral("没有权限")
                               : c.error == EROFS ? QStringLiteral("只读文件系统")
                                                  : QStringLiteral("磁盘空间不足");
        EXPECT_EQ(messages[0].text,
                  QStringLiteral("无法保存参数文件 %1: %2")
                      .arg(QString::fromStdString((folder / "ParameterSet.inf").string()))
                      .arg(reason));
        EXPECT_EQ(messages[0].caption, QStringLiteral("错误"));
        EXPECT_EQ(messages[0].icon, MessageIcon::Error);
        EXPECT_EQ(ThroughTheRelay(stream.sink.Get(), "127.0.0.2", stream.clientPort, "saved"),
                  "saved\0"s);
        EXPECT_EQ(ReadParameterFile(), saved);
        dialog->OnStop();
        dialog.reset();
        savefailure::Restore(folder);
    }
}

// Port 0 lets the system choose: the lamps' tooltip names the port it chose, where the relay is.
TEST_F(RunStop, APortZeroRelaysTooltipNamesThePortBound) {
    struct Case {
        const char* name;
        int mode;
        int protocol;
        const char* waiting; // then the port
    };
    const Case cases[] = {
        {"TCP client to server", IDC_CLIENT_TO_SERVER, IDC_TCP, "等待连接: 输出网卡 127.0.0.3:"},
        {"UDP server to client", IDC_SERVER_TO_CLIENT, IDC_UDP,
         "正在接收数据报: 输入网卡 127.0.0.2:"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        OpenDialog();
        const bool tcp = c.protocol == IDC_TCP;
        const int otherPort = FreePort(tcp ? SOCK_STREAM : SOCK_DGRAM);
        if (tcp)
            EnterEndpoints("127.0.0.2", otherPort, "127.0.0.3", 0);
        else
            EnterEndpoints("127.0.0.2", 0, "127.0.0.3", otherPort);
        Click(c.mode);
        Click(c.protocol);
        Click(IDC_RUN);
        ASSERT_TRUE(Running());
        const std::string waiting = c.waiting;
        std::string tooltip;
        ASSERT_TRUE(ProcessEventsUntil([&] {
            tooltip = Edit(IDC_INPUT_LAMP1)->toolTip().toStdString();
            return tooltip.starts_with(waiting);
        })) << tooltip;
        const int port = std::atoi(tooltip.c_str() + waiting.size());
        EXPECT_NE(port, 0) << tooltip;
        EXPECT_TRUE(tcp ? IsListening("127.0.0.3", port) : IsUdpBound("127.0.0.2", port))
            << tooltip;
        dialog->OnStop();
    }
}

// What each mode and protocol pair does, in the words of the radios' tooltips.
struct Direction {
    const char* name;
    int mode;
    int protocol;
    const char* text;
};
const Direction kDirections[] = {
    {"TCP client to server", IDC_CLIENT_TO_SERVER, IDC_TCP,
     "TCP: 在 输出网卡 监听, 连接 输入网卡; 数据 输入网卡 → 输出网卡"},
    {"UDP client to server", IDC_CLIENT_TO_SERVER, IDC_UDP,
     "UDP: 在 输出网卡 绑定, 发往 输入网卡; 数据 输出网卡 → 输入网卡"},
    {"TCP server to client", IDC_SERVER_TO_CLIENT, IDC_TCP,
     "TCP: 在 输入网卡 监听, 连接 输出网卡; 数据 输入网卡 → 输出网卡"},
    {"UDP server to client", IDC_SERVER_TO_CLIENT, IDC_UDP,
     "UDP: 在 输入网卡 绑定, 发往 输出网卡; 数据 输入网卡 → 输出网卡"},
};

QString DirectionText(int mode, int protocol) {
    for (const Direction& d : kDirections) {
        if (d.mode == mode && d.protocol == protocol)
            return QString::fromUtf8(d.text);
    }
    return {};
}

// Each radio says what the relay would do with it chosen beside the other group's choice, and a
// real relay of each pair does what the text says: it listens or is bound on the side named
// first, connects or sends to the side named second, and carries data the way the arrow points
// (and not back).
TEST_F(RunStop, DirectionTooltipsSayWhatTheRelayDoes) {
    auto tooltip = [&](int id) { return dialog->GetDlgItem(id)->toolTip(); };
    // Nothing chosen yet: each radio says every pair it could be part of.
    OpenDialog();
    EXPECT_EQ(tooltip(IDC_CLIENT_TO_SERVER), DirectionText(IDC_CLIENT_TO_SERVER, IDC_UDP) + u'\n' +
                                                 DirectionText(IDC_CLIENT_TO_SERVER, IDC_TCP));
    EXPECT_EQ(tooltip(IDC_TCP), QStringLiteral("客户端到服务器端, ") +
                                    DirectionText(IDC_CLIENT_TO_SERVER, IDC_TCP) +
                                    QStringLiteral("\n服务器端到客户端, ") +
                                    DirectionText(IDC_SERVER_TO_CLIENT, IDC_TCP));

    const QRegularExpression sentence(QStringLiteral(
        "^(TCP|UDP): 在 (\\S+) (监听|绑定), (连接|发往) (\\S+); 数据 (\\S+) → (\\S+)$"));
    for (const Direction& d : kDirections) {
        SCOPED_TRACE(d.name);
        OpenDialog();
        const bool tcp = d.protocol == IDC_TCP;
        const int type = tcp ? SOCK_STREAM : SOCK_DGRAM;
        struct Side {
            const char* address;
            int port;
        };
        const std::map<QString, Side> sides{
            {QStringLiteral("输入网卡"), {"127.0.0.2", FreePort(type)}},
            {QStringLiteral("输出网卡"), {"127.0.0.3", FreePort(type)}}};
        const Side& client = sides.at(QStringLiteral("输入网卡"));
        const Side& server = sides.at(QStringLiteral("输出网卡"));
        EnterEndpoints(client.address, client.port, server.address, server.port);
        Click(d.mode);
        Click(d.protocol);
        const int otherMode =
            d.mode == IDC_CLIENT_TO_SERVER ? IDC_SERVER_TO_CLIENT : IDC_CLIENT_TO_SERVER;
        const int otherProtocol = tcp ? IDC_UDP : IDC_TCP;
        EXPECT_EQ(tooltip(d.mode), QString::fromUtf8(d.text));
        EXPECT_EQ(tooltip(d.protocol), QString::fromUtf8(d.text));
        EXPECT_EQ(tooltip(otherMode), DirectionText(otherMode, d.protocol));
        EXPECT_EQ(tooltip(otherProtocol), DirectionText(d.mode, otherProtocol));

        // The sides the text names.
        const QRegularExpressionMatch said = sentence.match(QString::fromUtf8(d.text));
        ASSERT_TRUE(said.hasMatch());
        const Side& waits = sides.at(said.captured(2));
        const Side& other = sides.at(said.captured(5));
        const Side& from = sides.at(said.captured(6));
        const Side& to = sides.at(said.captured(7));
        // The peer on the far side is there before the relay needs it.
        const UniqueFd farPeer = tcp ? relaytest::ListenOn(other.address, other.port)
                                     : relaytest::BindUdp(to.address, to.port);
        ASSERT_TRUE(farPeer.Valid());
        Click(IDC_RUN);
        ASSERT_TRUE(Running());
        EXPECT_TRUE(relaytest::WaitUntil([&] {
            return tcp ? IsListening(waits.address, waits.port)
                       : IsUdpBound(waits.address, waits.port);
        })) << "not waiting where the text says";
        // While it runs, the lamps say the same.
        EXPECT_TRUE(ProcessEventsUntil([&] {
            return Edit(IDC_INPUT_LAMP1)->toolTip().endsWith(u'\n' + QString::fromUtf8(d.text));
        })) << Edit(IDC_INPUT_LAMP1)->toolTip().toStdString();

        if (tcp) {
            UniqueFd atWait = relaytest::ConnectWithin(waits.address, waits.port);
            ASSERT_TRUE(atWait.Valid());
            UniqueFd atOther = relaytest::AcceptWithin(farPeer.Get());
            ASSERT_TRUE(atOther.Valid()) << "the relay did not connect where the text says";
            const UniqueFd& source = &from == &waits ? atWait : atOther;
            const UniqueFd& destination = &to == &waits ? atWait : atOther;
            ASSERT_NE(&source, &destination);
            ASSERT_TRUE(relaytest::SendAll(source.Get(), "way"));
            EXPECT_EQ(relaytest::ReadStream(destination.Get(), 4).data, "way\0"s);
        } else {
            const UniqueFd sender = relaytest::BindUdp(from.address, 0);
            ASSERT_TRUE(sender.Valid());
            relaytest::SendDatagram(sender.Get(), "way", from.address, from.port);
            const std::optional<relaytest::Datagram> arrived =
                relaytest::ReceiveDatagram(farPeer.Get());
            ASSERT_TRUE(arrived.has_value()) << "nothing arrived where the text says";
            EXPECT_EQ(arrived->data, "way\0"s);
            sockaddr_in own{};
            socklen_t length = sizeof own;
            ::getsockname(sender.Get(), reinterpret_cast<sockaddr*>(&own), &length);
            EXPECT_NE(arrived->from.sin_port, own.sin_port) << "it came past the relay";
            EXPECT_EQ(&other, &to) << "sent to one side, arrived at the other";
        }
        EXPECT_TRUE(messages.empty());
        dialog->OnStop();
    }
}

// The help page's table of the four pairs says what the tooltips say.
TEST_F(RunStop, TheHelpPageHasTheSameTableAsTheTooltips) {
    QFile page(QStringLiteral(TARVEL_HELP_PAGE));
    ASSERT_TRUE(page.open(QIODevice::ReadOnly));
    const QString help = QString::fromUtf8(page.readAll());
    OpenDialog();
    for (const Direction& d : kDirections) {
        SCOPED_TRACE(d.name);
        const QString row =
            QStringLiteral("<tr><td>%1</td><td>%2</td><td>%3</td></tr>")
                .arg(qobject_cast<QRadioButton*>(dialog->GetDlgItem(d.mode))->text(),
                     qobject_cast<QRadioButton*>(dialog->GetDlgItem(d.protocol))->text(),
                     QString::fromUtf8(d.text));
        EXPECT_TRUE(help.contains(row)) << row.toStdString();
    }
}

// Who is connected: the lamps' tooltip and the 显示 group's description say where the relay is,
// refreshed with the lamps, without changing the dialog's layout.
TEST_F(RunStop, LampTooltipSaysWhereTheRelayIsAndWhoIsConnected) {
    OpenDialog();
    QWidget* display = dialog->GetDlgItem(IDC_DISPLAY_GROUP);
    auto tooltip = [&] { return Edit(IDC_INPUT_LAMP1)->toolTip().toStdString(); };
    TcpStream stream;
    ASSERT_NO_FATAL_FAILURE(RunTcpRelay(stream));
    const std::string waiting = "等待连接: 输出网卡 127.0.0.3:" + std::to_string(stream.serverPort);
    EXPECT_TRUE(ProcessEventsUntil([&] { return tooltip().find(waiting) == 0; })) << tooltip();

    ASSERT_NO_FATAL_FAILURE(ConnectThroughTheRelay(stream));
    EXPECT_TRUE(ProcessEventsUntil([&] {
        return tooltip().find("正在转发, 来自 127.0.0.1:") == 0;
    })) << tooltip();
    EXPECT_EQ(Edit(IDC_OUTPUT_LAMP4)->toolTip(), Edit(IDC_INPUT_LAMP1)->toolTip());
    EXPECT_EQ(display->accessibleDescription(), Edit(IDC_INPUT_LAMP1)->toolTip());

    // What the text rule leaves out is there too, while it runs and after it ended.
    const std::string binary("ab\0cd\0e", 7);
    ASSERT_EQ(::send(stream.accepted.Get(), binary.data(), binary.size(), 0), 7);
    EXPECT_TRUE(ProcessEventsUntil([&] {
        return tooltip().find("已转发 3 字节, 零字节之后未转发 4 字节") != std::string::npos;
    })) << tooltip();
    dialog->OnStop();
    EXPECT_EQ(tooltip().rfind("未在转发", 0), 0u) << tooltip();
    EXPECT_NE(tooltip().find("零字节之后未转发 4 字节"), std::string::npos) << tooltip();
}

} // namespace
