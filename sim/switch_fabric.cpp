#include "switch_fabric.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "sandbox.h"
#include "unique_fd.h"

namespace nexo::sim {
namespace {

bool enabled = false;

constexpr const char* kProbeGroup = "239.255.0.1";
constexpr uint16_t kProbePort = 40000;

bool step(const std::vector<std::string>& argv) {
    std::string out;
    if (run(argv, &out) == 0) {
        return true;
    }
    std::string line;
    for (const auto& a : argv) {
        line += (line.empty() ? "" : " ") + a;
    }
    std::fprintf(stderr, "switch: '%s' failed\n", line.c_str());
    return false;
}

// A UDP socket of another network namespace: the namespace of a thread is its own, and a
// socket keeps the namespace it was made in.
unique_fd udp_socket_in(const char* netns) {
    int fd = -1;
    std::thread t([&] {
        unique_fd ns(::open((std::string("/run/netns/") + netns).c_str(), O_RDONLY | O_CLOEXEC));
        if (ns.valid() && ::setns(ns.get(), CLONE_NEWNET) == 0) {
            fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        }
    });
    t.join();
    return unique_fd(fd);
}

}  // namespace

int switch_enable() {
    if (enabled) {
        return 0;
    }
    const std::string host_cidr = std::string(kHostAddr) + "/24";
    const std::vector<std::vector<std::string>> steps = {
        {"ip", "-n", kHostNetns, "link", "add", "br0", "address", kHostMac, "type", "bridge",
         "mcast_snooping", "1", "mcast_querier", "1", "mcast_igmp_version", "3"},
        {"ip", "-n", kHostNetns, "addr", "del", host_cidr, "dev", "wire0"},
        {"ip", "-n", kHostNetns, "link", "set", "wire0", "master", "br0"},
        // Like a switch port without unregistered-multicast flooding: only joined groups.
        {"ip", "netns", "exec", kHostNetns, "bridge", "link", "set", "dev", "wire0", "mcast_flood",
         "off"},
        {"ip", "-n", kHostNetns, "addr", "add", host_cidr, "dev", "br0"},
        {"ip", "-n", kHostNetns, "link", "set", "br0", "up"},
        {"ip", "netns", "add", kSenderNetns},
        {"ip", "link", "add", "txp0", "type", "veth", "peer", "name", kSenderIface},
        {"ip", "link", "set", "txp0", "netns", kHostNetns},
        {"ip", "link", "set", kSenderIface, "netns", kSenderNetns},
        {"ip", "-n", kHostNetns, "link", "set", "txp0", "master", "br0"},
        {"ip", "-n", kHostNetns, "link", "set", "txp0", "up"},
        {"ip", "-n", kSenderNetns, "link", "set", "lo", "up"},
        {"ip", "-n", kSenderNetns, "link", "set", kSenderIface, "up"},
    };
    for (const auto& s : steps) {
        if (!step(s)) {
            return -1;
        }
    }
    for (const char* a : kSenderAddrs) {
        if (!step({"ip", "-n", kSenderNetns, "addr", "add", std::string(a) + "/24", "dev",
                   kSenderIface})) {
            return -1;
        }
    }
    // Source-specific joins need IGMPv3 reports; the bridge's querier asks in version 3 as well,
    // but the first reports go out before its first query.
    FILE* f = std::fopen("/proc/sys/net/ipv4/conf/eth1/force_igmp_version", "w");
    if (f != nullptr) {
        std::fputs("3\n", f);
        std::fclose(f);
    }
    enabled = true;
    return 0;
}

bool switch_enabled() {
    return enabled;
}

bool switch_wait_settled(std::chrono::milliseconds timeout) {
    if (!enabled) {
        return false;
    }
    unique_fd rx(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    unique_fd tx = udp_socket_in(kSenderNetns);
    if (!rx.valid() || !tx.valid()) {
        return false;
    }
    sockaddr_in group{};
    group.sin_family = AF_INET;
    group.sin_port = htons(kProbePort);
    ::inet_pton(AF_INET, kProbeGroup, &group.sin_addr);
    int one = 1;
    ::setsockopt(rx.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(rx.get(), reinterpret_cast<const sockaddr*>(&group), sizeof group) != 0) {
        return false;
    }
    ip_mreqn mreq{};
    mreq.imr_multiaddr = group.sin_addr;
    ::inet_pton(AF_INET, kEth1Addr, &mreq.imr_address);
    if (::setsockopt(rx.get(), IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof mreq) != 0) {
        return false;
    }
    in_addr src{};
    ::inet_pton(AF_INET, kSenderAddrs[0], &src);
    ::setsockopt(tx.get(), IPPROTO_IP, IP_MULTICAST_IF, &src, sizeof src);

    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        static const char probe[] = "probe";
        (void)::sendto(tx.get(), probe, sizeof probe, 0, reinterpret_cast<const sockaddr*>(&group),
                       sizeof group);
        pollfd p{rx.get(), POLLIN, 0};
        if (::poll(&p, 1, 100) > 0) {
            return true;
        }
    }
    return false;
}

}  // namespace nexo::sim
