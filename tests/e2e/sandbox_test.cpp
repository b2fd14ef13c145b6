// The sandbox as the daemon sees it: eth1 with its address and MAC, a far end that answers ARP,
// a private /run, rtnetlink address events, multicast memberships, and nothing left behind.
#include "sandbox.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "unique_fd.h"

namespace {

using nexo::unique_fd;
namespace sim = nexo::sim;

// Recorded while main() has not yet entered the sandbox: non-local variables of the program
// are initialised before main runs.
const dev_t run_dev_before_sandbox = [] {
    struct stat st {};
    return ::stat("/run", &st) == 0 ? st.st_dev : dev_t{0};
}();

std::string mac_text(const unsigned char* b) {
    char s[18];
    std::snprintf(s, sizeof s, "%02x:%02x:%02x:%02x:%02x:%02x", b[0], b[1], b[2], b[3], b[4], b[5]);
    return s;
}

std::string addr_text(const sockaddr& sa) {
    char s[INET_ADDRSTRLEN] = "";
    ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(sa).sin_addr, s, sizeof s);
    return s;
}

ifreq eth1_request() {
    ifreq ifr{};
    std::strncpy(ifr.ifr_name, "eth1", IFNAMSIZ - 1);
    return ifr;
}

sockaddr_in inet(const char* addr, uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    ::inet_pton(AF_INET, addr, &sa.sin_addr);
    return sa;
}

TEST(sandbox, eth1_is_configured_as_on_the_board) {
    // The daemon learns its interface through these requests, so check them rather than `ip`.
    unique_fd sock(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    ASSERT_TRUE(sock.valid());
    ifreq ifr = eth1_request();
    ASSERT_EQ(::ioctl(sock.get(), SIOCGIFHWADDR, &ifr), 0) << std::strerror(errno);
    EXPECT_EQ(mac_text(reinterpret_cast<unsigned char*>(ifr.ifr_hwaddr.sa_data)), sim::kEth1Mac);
    ifr = eth1_request();
    ASSERT_EQ(::ioctl(sock.get(), SIOCGIFADDR, &ifr), 0);
    EXPECT_EQ(addr_text(ifr.ifr_addr), sim::kEth1Addr);
    ifr = eth1_request();
    ASSERT_EQ(::ioctl(sock.get(), SIOCGIFNETMASK, &ifr), 0);
    EXPECT_EQ(addr_text(ifr.ifr_netmask), "255.255.255.0");
    ifr = eth1_request();
    ASSERT_EQ(::ioctl(sock.get(), SIOCGIFFLAGS, &ifr), 0);
    EXPECT_TRUE(ifr.ifr_flags & IFF_UP);
    EXPECT_TRUE(ifr.ifr_flags & IFF_MULTICAST);
    // wire0 is not here: it is the far end, in its own namespace.
    EXPECT_EQ(::if_nametoindex("wire0"), 0u);
}

TEST(sandbox, far_end_answers_and_resolves_by_arp) {
    // A datagram to a closed port of the far end comes back as ICMP port unreachable, which a
    // connected UDP socket reports as ECONNREFUSED: both directions work.
    unique_fd sock(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    ASSERT_TRUE(sock.valid());
    sockaddr_in far = inet(sim::kHostAddr, 9);
    ASSERT_EQ(::connect(sock.get(), reinterpret_cast<sockaddr*>(&far), sizeof far), 0);
    ASSERT_EQ(::send(sock.get(), "probe", 5, 0), 5);
    pollfd pfd{sock.get(), POLLIN, 0};
    ASSERT_EQ(::poll(&pfd, 1, 2000), 1);
    char buf[16];
    EXPECT_EQ(::recv(sock.get(), buf, sizeof buf, 0), -1);
    EXPECT_EQ(errno, ECONNREFUSED);

    // The ARP cache query the daemon uses to resolve a unicast stream's MAC.
    arpreq req{};
    reinterpret_cast<sockaddr_in&>(req.arp_pa) = inet(sim::kHostAddr, 0);
    std::strncpy(req.arp_dev, "eth1", sizeof req.arp_dev - 1);
    ASSERT_EQ(::ioctl(sock.get(), SIOCGARP, &req), 0) << std::strerror(errno);
    EXPECT_TRUE(req.arp_flags & ATF_COM);
    EXPECT_EQ(mac_text(reinterpret_cast<unsigned char*>(req.arp_ha.sa_data)), sim::kHostMac);

    // And the far end learnt ours.
    std::string neigh;
    ASSERT_EQ(sim::run_on_host({"ip", "neigh", "show", sim::kEth1Addr}, &neigh), 0);
    EXPECT_NE(neigh.find(sim::kEth1Mac), std::string::npos) << neigh;
}

TEST(sandbox, run_is_private) {
    struct stat run {};
    struct stat var_run {};
    ASSERT_EQ(::stat("/run", &run), 0);
    ASSERT_EQ(::stat("/var/run", &var_run), 0);
    EXPECT_NE(run.st_dev, run_dev_before_sandbox) << "/run is still the host's";
    EXPECT_EQ(var_run.st_dev, run.st_dev) << "/var/run does not lead to the private /run";
    EXPECT_EQ(run.st_mode & 07777, 0755u);

    const std::string marker = "/run/sandbox-test-marker." + std::to_string(::getpid());
    std::ofstream(marker) << "x";
    ASSERT_EQ(::access(marker.c_str(), F_OK), 0);
    // Our parent (ctest, a shell) is outside: its /run is the host's, reached through /proc.
    const std::string outside = "/proc/" + std::to_string(::getppid()) + "/root/run";
    struct stat host_run {};
    if (::stat(outside.c_str(), &host_run) != 0) {
        GTEST_SKIP() << "cannot look at the parent's /run: " << std::strerror(errno);
    }
    EXPECT_EQ(host_run.st_dev, run_dev_before_sandbox);
    EXPECT_NE(::access((outside + marker.substr(4)).c_str(), F_OK), 0);
    EXPECT_NE(::access((outside + "/netns/" + sim::kHostNetns).c_str(), F_OK), 0)
        << "the far end's namespace shows on the host";
}

// Waits for an address message of eth1 for `addr` on an rtnetlink socket; returns its type
// (RTM_NEWADDR, RTM_DELADDR) or 0 when none comes within two seconds.
int await_addr_event(int fd, const std::string& addr) {
    const unsigned eth1 = ::if_nametoindex("eth1");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    alignas(nlmsghdr) char buf[8192];
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd pfd{fd, POLLIN, 0};
        if (::poll(&pfd, 1, 200) != 1) {
            continue;
        }
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) {
            return 0;
        }
        int len = static_cast<int>(n);
        for (auto* h = reinterpret_cast<nlmsghdr*>(buf); NLMSG_OK(h, len); h = NLMSG_NEXT(h, len)) {
            if (h->nlmsg_type != RTM_NEWADDR && h->nlmsg_type != RTM_DELADDR) {
                continue;
            }
            auto* ifa = static_cast<ifaddrmsg*>(NLMSG_DATA(h));
            if (ifa->ifa_index != eth1) {
                continue;
            }
            int alen = static_cast<int>(IFA_PAYLOAD(h));
            for (auto* rta = IFA_RTA(ifa); RTA_OK(rta, alen); rta = RTA_NEXT(rta, alen)) {
                char text[INET_ADDRSTRLEN] = "";
                if (rta->rta_type == IFA_LOCAL &&
                    ::inet_ntop(AF_INET, RTA_DATA(rta), text, sizeof text) != nullptr &&
                    addr == text) {
                    return h->nlmsg_type;
                }
            }
        }
    }
    return 0;
}

TEST(sandbox, address_changes_on_eth1_reach_rtnetlink) {
    unique_fd nl(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
    ASSERT_TRUE(nl.valid());
    sockaddr_nl sa{};
    sa.nl_family = AF_NETLINK;
    sa.nl_groups = RTMGRP_IPV4_IFADDR;
    ASSERT_EQ(::bind(nl.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);

    // In order: the last rows put eth1's own address back.
    const struct {
        const char* op;
        const char* addr;
        int event;
    } steps[] = {
        {"add", "192.0.2.20", RTM_NEWADDR},
        {"del", "192.0.2.20", RTM_DELADDR},
        {"del", sim::kEth1Addr, RTM_DELADDR},
        {"add", sim::kEth1Addr, RTM_NEWADDR},
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(std::string(s.op) + " " + s.addr);
        ASSERT_EQ(sim::ip({"addr", s.op, std::string(s.addr) + "/24", "dev", "eth1"}), 0);
        EXPECT_EQ(await_addr_event(nl.get(), s.addr), s.event);
    }
    std::string out;
    ASSERT_EQ(sim::ip({"-4", "-o", "addr", "show", "dev", "eth1"}, &out), 0);
    EXPECT_NE(out.find(std::string(sim::kEth1Addr) + "/24"), std::string::npos) << out;
    EXPECT_EQ(out.find("192.0.2.20"), std::string::npos) << out;
}

// The section of /proc/net/igmp that belongs to eth1.
std::string igmp_of_eth1() {
    std::string all = sim::read_file("/proc/net/igmp");
    size_t at = all.find("\teth1");
    if (at == std::string::npos) {
        return "";
    }
    size_t next = all.find("\n", at);
    while (next != std::string::npos && next + 1 < all.size() && all[next + 1] == '\t') {
        next = all.find("\n", next + 1);
    }
    return all.substr(at, next == std::string::npos ? std::string::npos : next - at);
}

TEST(sandbox, multicast_memberships_show_in_proc) {
    const unsigned eth1 = ::if_nametoindex("eth1");
    const struct {
        const char* group;
        const char* source;  // nullptr: any-source
        const char* file;
        const char* shown;
    } rows[] = {
        {"239.1.1.1", nullptr, "/proc/net/igmp", "010101EF"},
        {"232.1.1.1", "192.0.2.20", "/proc/net/mcfilter", "0xe8010101 0xc0000214"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.group);
        unique_fd sock(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        ASSERT_TRUE(sock.valid());
        auto shown = [&] {
            std::string text = r.source == nullptr ? igmp_of_eth1() : sim::read_file(r.file);
            return text.find(r.shown) != std::string::npos;
        };
        ASSERT_FALSE(shown());
        if (r.source == nullptr) {
            ip_mreqn m{};
            ::inet_pton(AF_INET, r.group, &m.imr_multiaddr);
            m.imr_ifindex = static_cast<int>(eth1);
            ASSERT_EQ(::setsockopt(sock.get(), IPPROTO_IP, IP_ADD_MEMBERSHIP, &m, sizeof m), 0)
                << std::strerror(errno);
        } else {
            ip_mreq_source m{};
            ::inet_pton(AF_INET, r.group, &m.imr_multiaddr);
            ::inet_pton(AF_INET, r.source, &m.imr_sourceaddr);
            ::inet_pton(AF_INET, sim::kEth1Addr, &m.imr_interface);
            ASSERT_EQ(::setsockopt(sock.get(), IPPROTO_IP, IP_ADD_SOURCE_MEMBERSHIP, &m, sizeof m),
                      0)
                << std::strerror(errno);
        }
        EXPECT_TRUE(shown()) << sim::read_file(r.file);
        sock.reset();  // closing the socket leaves the group
        EXPECT_FALSE(shown());
    }
}

TEST(sandbox, nexo_sandbox_reports_status_and_leaves_nothing_behind) {
    std::string links_before;
    std::string netns_before;
    ASSERT_EQ(sim::ip({"-o", "link"}, &links_before), 0);
    ASSERT_EQ(sim::ip({"netns", "list"}, &netns_before), 0);

    const struct {
        std::vector<std::string> cmd;
        int status;
    } rows[] = {
        {{"true"}, 0},
        {{"sh", "-c", "exit 7"}, 7},
        {{"sh", "-c", "kill -TERM $$"}, 128 + SIGTERM},
        {{"/nonexistent/program"}, 127},
        // A sandbox of its own: its /run and its eth1 are not ours.
        {{"sh", "-c", "touch /run/nested-leak && ip link show eth1 >/dev/null"}, 0},
    };
    for (const auto& r : rows) {
        std::vector<std::string> argv{NEXO_SANDBOX_PATH, "--"};
        argv.insert(argv.end(), r.cmd.begin(), r.cmd.end());
        SCOPED_TRACE(r.cmd.back());
        EXPECT_EQ(sim::run(argv), r.status);
    }
    EXPECT_NE(::access("/run/nested-leak", F_OK), 0);

    // A detached process left by the program (as nexo started from the sandbox's shell would
    // be) is stopped, so it cannot keep the namespaces alive.
    std::string out;
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(sim::run({NEXO_SANDBOX_PATH, "--", "sh", "-c", "sleep 1000 & echo $!"}, &out), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(10));
    pid_t left = std::atoi(out.c_str());
    ASSERT_GT(left, 0) << out;
    EXPECT_NE(::kill(left, 0), 0) << "pid " << left << " survived";

    std::string links_after;
    std::string netns_after;
    ASSERT_EQ(sim::ip({"-o", "link"}, &links_after), 0);
    ASSERT_EQ(sim::ip({"netns", "list"}, &netns_after), 0);
    EXPECT_EQ(links_after, links_before);
    EXPECT_EQ(netns_after, netns_before);
}

}  // namespace
