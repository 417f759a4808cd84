#include "contenders.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "relay_test_peers.h"

namespace relaybench {

using relaytest::kClientAddress;
using relaytest::kServerAddress;

namespace {

constexpr const char* kNginxStreamModule = "/usr/lib/nginx/modules/ngx_stream_module.so";

// Looked up on PATH and in the system folders, where the peers that run as services are installed.
std::string FindProgram(const std::string& name) {
    const char* path = std::getenv("PATH");
    const std::string dirs = std::string(path != nullptr ? path : "") + ":/usr/sbin:/sbin";
    std::size_t start = 0;
    while (start <= dirs.size()) {
        const std::size_t end = std::min(dirs.find(':', start), dirs.size());
        const std::filesystem::path candidate =
            std::filesystem::path(dirs.substr(start, end - start)) / name;
        if (end > start && ::access(candidate.c_str(), X_OK) == 0) {
            return candidate.string();
        }
        start = end + 1;
    }
    return {};
}

std::string Endpoint(const char* address, int port) {
    return std::string(address) + ":" + std::to_string(port);
}

// Writes the parameter file into `folder` and gives `program` with the folder as its working one.
std::vector<std::string> Ours(std::vector<std::string> program, const std::filesystem::path& folder,
                              bool tcp, int clientPort, int serverPort, const char* mode,
                              const char* client = kClientAddress,
                              const char* server = kServerAddress) {
    // Server-to-client: the relay waits on the client endpoint and sends to the server endpoint.
    std::filesystem::create_directories(folder / "InfoFile");
    std::ofstream(folder / "InfoFile/ParameterSet.inf")
        << "[ClientOrServer]\nNumber=0\n[UDpOrTCp]\nNumber=" << (tcp ? 0 : 1)
        << "\n[IP]\nNumber=1\n[Client1]\nIP=" << client << "\n[ClientPost1]\nPost=" << clientPort
        << "\n[Server1]\nIP=" << server << "\n[ServerPost1]\nPost=" << serverPort
        << "\n[Forward]\nMode=" << mode << "\n";
    program.insert(program.end(), {"--workdir", folder.string()});
    return program;
}

std::vector<std::string> OursText(const Programs& programs, const std::filesystem::path& folder,
                                  bool tcp, int clientPort, int serverPort) {
    return Ours({programs.relay}, folder, tcp, clientPort, serverPort, "Text");
}

std::vector<std::string> OursBytes(const Programs& programs, const std::filesystem::path& folder,
                                   bool tcp, int clientPort, int serverPort) {
    return Ours({programs.relay}, folder, tcp, clientPort, serverPort, "Bytes");
}

// Text mode with both endpoints on ::1, to set beside the same relay on IPv4.
std::vector<std::string> OursIpv6(const Programs& programs, const std::filesystem::path& folder,
                                  bool tcp, int clientPort, int serverPort) {
    return Ours({programs.relay}, folder, tcp, clientPort, serverPort, "Text", "::1", "::1");
}

// The same relay run by the dialog's program, which loads the desktop libraries too.
std::vector<std::string> OursDialog(const Programs& programs, const std::filesystem::path& folder,
                                    bool tcp, int clientPort, int serverPort) {
    return Ours({programs.tarvel, "--headless"}, folder, tcp, clientPort, serverPort, "Text");
}

std::vector<std::string> Socat(const Programs& programs, const std::filesystem::path&, bool tcp,
                               int clientPort, int serverPort) {
    const std::string client = std::to_string(clientPort);
    if (tcp) {
        return {programs.socat, "-u",
                "TCP4-LISTEN:" + client + ",bind=" + kClientAddress + ",reuseaddr",
                "TCP4:" + Endpoint(kServerAddress, serverPort)};
    }
    return {programs.socat, "-u", "UDP4-RECV:" + client + ",bind=" + kClientAddress,
            "UDP4-SENDTO:" + Endpoint(kServerAddress, serverPort)};
}

std::vector<std::string> Rinetd(const Programs& programs, const std::filesystem::path& folder,
                                bool tcp, int clientPort, int serverPort) {
    const char* protocol = tcp ? "" : "/udp";
    const std::filesystem::path config = folder / "rinetd.conf";
    std::ofstream(config) << kClientAddress << " " << clientPort << protocol << " "
                          << kServerAddress << " " << serverPort << protocol << "\n";
    return {programs.rinetd, "-f", "-c", config.string()};
}

// Its defaults, with the timeouts it asks for; `splice` moves the data through kernel pipes.
std::vector<std::string> Haproxy(const Programs& programs, const std::filesystem::path& folder,
                                 int clientPort, int serverPort, bool splice) {
    const std::filesystem::path config = folder / "haproxy.cfg";
    std::ofstream file(config);
    file << "global\n    maxconn 100\ndefaults\n    mode tcp\n    timeout connect 5s\n"
            "    timeout client 120s\n    timeout server 120s\n";
    if (splice) {
        file << "    option splice-request\n    option splice-response\n";
    }
    file << "frontend relay\n    bind " << Endpoint(kClientAddress, clientPort)
         << "\n    default_backend sink\nbackend sink\n    server sink "
         << Endpoint(kServerAddress, serverPort) << "\n";
    return {programs.haproxy, "-db", "-f", config.string()};
}

std::vector<std::string> HaproxyPlain(const Programs& programs, const std::filesystem::path& folder,
                                      bool, int clientPort, int serverPort) {
    return Haproxy(programs, folder, clientPort, serverPort, false);
}

std::vector<std::string> HaproxySplice(const Programs& programs,
                                       const std::filesystem::path& folder, bool, int clientPort,
                                       int serverPort) {
    return Haproxy(programs, folder, clientPort, serverPort, true);
}

// Its stream module, one master and one worker process, in the foreground with every file it
// writes in `folder`; for UDP it expects no answer, so each datagram is relayed on its own.
std::vector<std::string> Nginx(const Programs& programs, const std::filesystem::path& folder,
                               bool tcp, int clientPort, int serverPort) {
    const std::filesystem::path config = folder / "nginx.conf";
    std::ofstream(config) << "load_module " << kNginxStreamModule
                          << ";\nworker_processes 1;\nerror_log error.log;\npid nginx.pid;\n"
                             "events {}\nstream {\n    server {\n        listen "
                          << Endpoint(kClientAddress, clientPort) << (tcp ? "" : " udp")
                          << ";\n        proxy_pass " << Endpoint(kServerAddress, serverPort)
                          << ";\n"
                          << (tcp ? "" : "        proxy_responses 0;\n") << "    }\n}\n";
    const std::string prefix = folder.string() + "/";
    return {programs.nginx,       "-p", prefix,       "-c", config.string(), "-e",
            prefix + "error.log", "-g", "daemon off;"};
}

} // namespace

Programs FindPrograms(const std::string& relay, const std::string& tarvel) {
    const bool stream = std::filesystem::exists(kNginxStreamModule);
    return {relay,
            tarvel,
            FindProgram("socat"),
            FindProgram("rinetd"),
            FindProgram("haproxy"),
            stream ? FindProgram("nginx") : ""};
}

std::vector<Relay> Contenders(const Programs& programs) {
    std::vector<Relay> relays;
    if (::access(programs.relay.c_str(), X_OK) == 0) {
        relays.push_back({"ours", Role::OursText, true, OursText});
        relays.push_back({"ours-bytes", Role::OursBytes, true, OursBytes});
        relays.push_back({"ours-ipv6", Role::OursText, true, OursIpv6, true});
        relays.push_back({"ours-scraped", Role::OursText, true, OursText, false, true});
        std::printf("ours: %s\n", programs.relay.c_str());
    } else {
        std::printf("ours: no program at '%s' (give it with --relay-program): skipped\n",
                    programs.relay.c_str());
    }
    if (::access(programs.tarvel.c_str(), X_OK) == 0) {
        relays.push_back({"ours-dialog", Role::OursText, true, OursDialog});
        std::printf("ours-dialog: %s --headless\n", programs.tarvel.c_str());
    } else {
        std::printf("ours-dialog: no program at '%s' (give it with --program): skipped\n",
                    programs.tarvel.c_str());
    }
    const auto peer = [&](const std::string& program, Relay relay) {
        if (program.empty()) {
            std::printf("%s: not installed (see bench/README.md): skipped\n", relay.name);
        } else {
            relays.push_back(relay);
        }
    };
    peer(programs.socat, {"socat", Role::Peer, true, Socat});
    peer(programs.rinetd, {"rinetd", Role::Peer, true, Rinetd});
    peer(programs.haproxy, {"haproxy", Role::Peer, false, HaproxyPlain});
    peer(programs.haproxy, {"haproxy-spl", Role::Peer, false, HaproxySplice});
    peer(programs.nginx, {"nginx", Role::Peer, true, Nginx});
    relays.push_back({"direct", Role::Direct, true, nullptr});
    // The machine's own limit over ::1, for the relay over ::1.
    relays.push_back({"direct-ipv6", Role::Direct, true, nullptr, true});
    return relays;
}

} // namespace relaybench
