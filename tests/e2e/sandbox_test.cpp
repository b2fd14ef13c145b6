// The sandbox as the daemon sees it: eth1 with its address and MAC, a private /run, and nothing
// left behind. The far end answering ARP is checked by the daemon's unicast MAC resolution test.
#include "sandbox.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
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

std::string mac_text(const char* c) {
    auto* b = reinterpret_cast<const unsigned char*>(c);
    char s[18];
    std::snprintf(s, sizeof s, "%02x:%02x:%02x:%02x:%02x:%02x", b[0], b[1], b[2], b[3], b[4], b[5]);
    return s;
}

std::string addr_text(const sockaddr& sa) {
    char s[INET_ADDRSTRLEN] = "";
    ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(sa).sin_addr, s, sizeof s);
    return s;
}

TEST(sandbox, eth1_is_configured_as_on_the_board) {
    // The daemon learns its interface through these requests, so check them rather than `ip`.
    unique_fd sock(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    ASSERT_TRUE(sock.valid());
    auto ask = [&sock](unsigned long request) {
        ifreq ifr{};
        std::strncpy(ifr.ifr_name, "eth1", IFNAMSIZ - 1);
        EXPECT_EQ(::ioctl(sock.get(), request, &ifr), 0) << request << ": " << std::strerror(errno);
        return ifr;
    };
    EXPECT_EQ(mac_text(ask(SIOCGIFHWADDR).ifr_hwaddr.sa_data), sim::kEth1Mac);
    EXPECT_EQ(addr_text(ask(SIOCGIFADDR).ifr_addr), sim::kEth1Addr);
    EXPECT_EQ(addr_text(ask(SIOCGIFNETMASK).ifr_netmask), "255.255.255.0");
    EXPECT_EQ(ask(SIOCGIFFLAGS).ifr_flags & (IFF_UP | IFF_MULTICAST), IFF_UP | IFF_MULTICAST);
    // wire0 is not here: it is the far end, in its own namespace.
    EXPECT_EQ(::if_nametoindex("wire0"), 0u);
}

TEST(sandbox, run_is_private) {
    struct stat run {};
    struct stat var_run {};
    ASSERT_EQ(::stat("/run", &run), 0);
    ASSERT_EQ(::stat("/var/run", &var_run), 0);
    EXPECT_NE(run.st_dev, run_dev_before_sandbox) << "/run is still the host's";
    EXPECT_EQ(var_run.st_dev, run.st_dev) << "/var/run does not lead to the private /run";

    const std::string marker = "/run/sandbox-test-marker." + std::to_string(::getpid());
    ASSERT_TRUE(std::ofstream(marker) << "x");
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

TEST(sandbox, nexo_sandbox_reports_status_and_leaves_nothing_behind) {
    const std::vector<std::string> list = {"sh", "-c", "ip -o link && ip netns list"};
    std::string before, after;
    ASSERT_EQ(sim::run(list, &before), 0);
    const struct {
        std::vector<std::string> cmd;
        int status;
    } rows[] = {
        {{"sh", "-c", "exit 7"}, 7},
        {{"sh", "-c", "kill -TERM $$"}, 128 + SIGTERM},
        {{"/nonexistent/program"}, 127},
        // A sandbox of its own: its /run and its eth1 are not ours.
        {{"sh", "-c", "touch /run/nested-leak && ip link show eth1 >/dev/null"}, 0},
    };
    for (const auto& r : rows) {
        std::vector<std::string> argv{NEXO_SANDBOX_PATH, "--"};
        argv.insert(argv.end(), r.cmd.begin(), r.cmd.end());
        EXPECT_EQ(sim::run(argv), r.status) << r.cmd.back();
    }
    EXPECT_NE(::access("/run/nested-leak", F_OK), 0);

    // A detached process left by the program (as nexo started from the sandbox's shell would
    // be) is stopped, so it cannot keep the namespaces alive.
    std::string out;
    ASSERT_EQ(sim::run({NEXO_SANDBOX_PATH, "--", "sh", "-c", "sleep 1000 & echo $!"}, &out), 0);
    pid_t left = std::atoi(out.c_str());
    ASSERT_GT(left, 0) << out;
    EXPECT_NE(::kill(left, 0), 0) << "pid " << left << " survived";
    ASSERT_EQ(sim::run(list, &after), 0);
    EXPECT_EQ(after, before);
}

}  // namespace
