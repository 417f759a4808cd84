// Runs inside a network namespace prepared by net_traffic_netns_test (under `ip netns exec`, which
// also mounts that namespace's /sys) and reports what the live sampler sees there, one
// "key value..." line each:
//   listed <names>             the sampler's interfaces
//   loopback-bytes <n>         bytes sent over loopback meanwhile
//   first-during-loopback <d>  sample of interface 0 over that time
//   card-bytes <n>             bytes sent to the peer namespace's test host
//   first-during-card <d>      sample of interface 0 over that time
//   first-after-down <d>       sample of interface 0 a while after the card went down
//   listed-after-down <names>  the interfaces a new sampler lists then
//
//   net_traffic_netns_probe <peer namespace> <peer address> <bytes>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "push_through.h"
#include "traffic/net_traffic.h"

using namespace std::chrono_literals;

namespace {

std::string Names(const NetTraffic& traffic) {
    std::string names;
    for (const auto& name : traffic.InterfaceNames())
        names += " " + name;
    return names;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s <peer namespace> <peer address> <bytes>\n", argv[0]);
        return 2;
    }
    const std::string peerNamespace = argv[1];
    const char* peerAddress = argv[2];
    const std::size_t bytes = std::strtoull(argv[3], nullptr, 10);

    NetTraffic traffic;
    std::printf("listed%s\n", Names(traffic).c_str());
    if (traffic.InterfaceNames().empty())
        return 1;
    const std::string first = traffic.InterfaceNames()[0];
    traffic.SampleTraffic(0);

    std::printf("loopback-bytes %zu\n", traffictest::PushThrough("127.0.0.1", bytes, ""));
    std::printf("first-during-loopback %.1f\n", traffic.SampleTraffic(0));

    std::printf("card-bytes %zu\n", traffictest::PushThrough(peerAddress, bytes, peerNamespace));
    std::printf("first-during-card %.1f\n", traffic.SampleTraffic(0));

    const std::string down = "ip link set dev " + first + " down";
    if (std::system(down.c_str()) != 0)
        return 1;
    // The first sample after the change may still count the connection's last packets.
    traffic.SampleTraffic(0);
    std::this_thread::sleep_for(300ms);
    std::printf("first-after-down %.1f\n", traffic.SampleTraffic(0));
    std::printf("listed-after-down%s\n", Names(NetTraffic()).c_str());
    return 0;
}
