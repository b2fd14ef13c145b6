// What the daemon must survive without losing track: an rtnetlink socket that overran while
// the daemon was busy, and standard error on a pipe whose reader has gone.
#include <gtest/gtest.h>
#include <linux/netlink.h>
#include <sys/socket.h>

#include <array>
#include <chrono>
#include <fstream>
#include <string>

#include "board.h"
#include "control_client.h"
#include "daemon_process.h"
#include "nexo-net.h"
#include "nexo.h"
#include "peer.h"
#include "sandbox.h"

namespace nexo {
namespace {

using namespace std::chrono_literals;

struct overrun_case {
    const char* name;
    const char* last_command;  // after the burst; "" for none
    bool valid;
    std::array<uint8_t, 4> ip;
};

class netlink_overrun : public testing::TestWithParam<overrun_case> {};

// Far more address changes than the socket holds: the kernel drops the rest and says so with
// ENOBUFS. The record must end up with what eth1 holds now, not with the last change that fit.
TEST_P(netlink_overrun, reads_the_address_afresh) {
    const overrun_case& c = GetParam();
    nexo_cfg* ctx = new nexo_cfg{};
    init_config(ctx);
    if_list.flags = 0;
    if_list.ip_addr = {};
    ASSERT_EQ(get_net_if_mac_addr(ctx, 0), 0);
    ASSERT_EQ(get_net_if_ip_addr(ctx, 0), 0);
    int s = ::socket(AF_NETLINK, SOCK_RAW | SOCK_NONBLOCK, NETLINK_ROUTE);
    ASSERT_GE(s, 0);
    ctx->nl_sock.reset(s);
    int small = 1;  // the kernel's minimum: a few messages
    ASSERT_EQ(::setsockopt(s, SOL_SOCKET, SO_RCVBUF, &small, sizeof small), 0);
    sockaddr_nl addr = {};
    addr.nl_family = AF_NETLINK;
    addr.nl_groups = 0x10;
    ASSERT_EQ(::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);

    // The first change (eth1 loses its address) fits; most of the burst does not.
    const std::string batch = "/run/overrun.batch";
    {
        std::ofstream f(batch);
        f << "addr del 192.0.2.10/24 dev eth1\n";
        for (int i = 0; i < 300; ++i) {
            f << "addr add 192.0.2.50/24 dev eth1\naddr del 192.0.2.50/24 dev eth1\n";
        }
        if (*c.last_command != '\0') {
            f << c.last_command << "\n";
        }
    }
    ASSERT_EQ(sim::ip({"-batch", batch}), 0);
    EXPECT_EQ(handle_netlink_event(ctx), 0);
    EXPECT_EQ((if_list.flags & kNetIfIpValid) != 0, c.valid);
    EXPECT_EQ(if_list.ip_addr, c.ip);
    ctx->net_if->sock.reset();
    delete ctx;
}

INSTANTIATE_TEST_SUITE_P(
    bursts, netlink_overrun,
    testing::Values(overrun_case{"new", "addr add 192.0.2.99/24 dev eth1", true, {192, 0, 2, 99}},
                    overrun_case{"none", "", false, {0, 0, 0, 0}},
                    overrun_case{"back", "addr add 192.0.2.10/24 dev eth1", true, {192, 0, 2, 10}}),
    [](const testing::TestParamInfo<overrun_case>& i) { return std::string(i.param.name); });

// The daemon's standard error goes into a pipe whose only reader takes the start-up banner and
// leaves. Writing the next diagnostic (a received alert) fails; the daemon goes on serving.
TEST(stderr_reader_gone, daemon_keeps_running) {
    sim::board_options o;
    o.daemon.binary = "/bin/sh";
    o.daemon.args = {"-c", "\"$0\" 2>&1 | head -n 1 >&2", sim::nexo_binary()};
    sim::board b(o);
    ASSERT_TRUE(b.started()) << b.daemon().stderr_text();
    for (int i = 0; i < 2; ++i) {
        b.timing().send_alert("SYNC_FAULT");
        ASSERT_TRUE(b.media().wait_for_line("ALRT SYNC_FAULT", 3s));
        b.media().clear_log();
    }
    EXPECT_TRUE(b.daemon().running());
    EXPECT_EQ(b.client().request("GET RX_STR_ENA 20:0"), "RGET RX_STR_ENA 20:0 OFF\n");
    EXPECT_EQ(b.daemon().stop(SIGTERM), 0);
}

}  // namespace
}  // namespace nexo
