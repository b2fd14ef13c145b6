// Stream address commands, driven as the control client drives them: what the media-transport
// daemon is told, the records the filter channel receives and in which order, what a refused or
// failed command leaves behind, and addresses given as "self" while eth1's address changes.
#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "board.h"
#include "fpga.h"
#include "peer.h"
#include "sandbox.h"

namespace nexo::sim {
namespace {

using namespace std::chrono_literals;
using bytes = std::vector<uint8_t>;
using ipv4 = std::array<uint8_t, 4>;

// One filter request as the daemon made it.
struct filter_req {
    uint32_t request = 0;
    bytes in;
    int error = 0;
    bool operator==(const filter_req&) const = default;
};

void PrintTo(const filter_req& r, std::ostream* os) {
    *os << std::hex << "0x" << r.request << " [";
    for (uint8_t b : r.in) {
        *os << " " << static_cast<int>(b);
    }
    *os << " ] errno " << std::dec << r.error;
}

// Every request of the journal; all of them must have gone to the filter.
std::vector<filter_req> filter_requests(const fpga& dev) {
    std::vector<filter_req> out;
    for (const ioctl_record& r : dev.journal()) {
        EXPECT_EQ(r.node, "/dev/zeb-ip-filter-0");
        filter_req f{r.request, r.in, r.error};
        // Byte 1 of a read-enable record is the device's to write; only the channel is ours.
        if (r.request == kFiltGetEna && f.in.size() > 1) {
            f.in.resize(1);
        }
        out.push_back(f);
    }
    return out;
}

filter_req write_cfg(bytes record, int error = 0) {
    return {kFiltSetCfg, record, error};
}

// The 20-byte configuration record of a filter channel, numbers little-endian as on the board.
bytes cfg_rec(uint8_t chan, ipv4 src, uint16_t sport, ipv4 dst, uint16_t dport, uint32_t flags) {
    auto lo = [](uint32_t v) { return static_cast<uint8_t>(v & 0xFF); };
    return {chan,   0,         src[0],         src[1],          src[2],
            src[3], lo(sport), lo(sport >> 8), dst[0],          dst[1],
            dst[2], dst[3],    lo(dport),      lo(dport >> 8),  0,
            0,      lo(flags), lo(flags >> 8), lo(flags >> 16), lo(flags >> 24)};
}

// Channel 20:0's requests: read the enable, switch the channel off and on.
const filter_req kRead{kFiltGetEna, {0}}, kOff{kFiltSetEna, {0, 0}}, kOn{kFiltSetEna, {0, 1}};

constexpr ipv4 kNone = {0, 0, 0, 0};
constexpr ipv4 kGroup = {239, 1, 1, 1};
constexpr ipv4 kEth1 = {192, 0, 2, 10};

constexpr const char* kDestLine = "SET RX_IP_DEST 20:0 eth1 r 239.1.1.1 0x3e8 96";
constexpr const char* kDestOk = "RSET RX_IP_DEST 20:0 eth1 OK\n";
constexpr const char* kNetParams = "SET ST2110_DEC_NET_PARAMS 20:0 R 96";
constexpr const char* kGetDest = "GET RX_IP_DEST 20:0 eth1";
constexpr const char* kGetSrc = "GET RX_IP_SRC 20:0 eth1";
constexpr const char* kDestSet = "RGET RX_IP_DEST 20:0 eth1 R 239.1.1.1 1000 96 1260\n";
constexpr const char* kDestStart = "RGET RX_IP_DEST 20:0 eth1 U 0.0.0.0 0 0\n";

// A started board whose journal and media-transport log hold nothing of the start-up.
template <class Base>
class on_board : public Base {
  protected:
    void SetUp() override {
        ASSERT_TRUE(b_.started()) << b_.daemon().stderr_text();
        forget();
    }
    void forget() {
        b_.dev().clear_journal();
        b_.media().clear_log();
    }
    std::string req(const std::string& line) { return b_.client().request(line); }
    // Repeats a query until it answers want: the daemon applies an address change of eth1 in
    // the loop iteration after the notification arrives, not at once.
    bool await(const std::string& line, const std::string& want) {
        for (auto end = std::chrono::steady_clock::now() + 2s;
             std::chrono::steady_clock::now() < end; std::this_thread::sleep_for(20ms)) {
            if (req(line) == want) {
                return true;
            }
        }
        return false;
    }

    board b_;
};

using address = on_board<testing::Test>;

// --- Accepted forms ------------------------------------------------------------------------

// The first four words of a line: verb, keyword, channel and interface.
std::string head(const std::string& line) {
    size_t end = 0;
    for (int i = 0; i < 4 && end != std::string::npos; ++i) {
        end = line.find(' ', end + 1);
    }
    return line.substr(0, end);
}

// The line; the line the media-transport daemon receives (none for a source); the filter
// channel's configuration record; the GET of the same address afterwards.
struct set_case {
    const char *line, *net_params;
    bytes cfg;
    const char* get_reply;
};

class address_set : public on_board<testing::TestWithParam<set_case>> {};

TEST_P(address_set, tells_peer_programs_filter_and_reads_back) {
    const set_case& c = GetParam();
    // The reply repeats the line's address words as written.
    EXPECT_EQ(req(c.line), std::string("R").append(head(c.line)).append(" OK\n"));
    EXPECT_EQ(b_.media().log(), c.net_params != nullptr ? std::vector<std::string>{c.net_params}
                                                        : std::vector<std::string>{});
    // The filter channel is disabled: its enable is read and left alone.
    const filter_req read_ena{kFiltGetEna, {c.cfg[0]}};
    EXPECT_EQ(filter_requests(b_.dev()), (std::vector{read_ena, write_cfg(c.cfg)}));
    EXPECT_EQ(req(head(c.get_reply).substr(1)), c.get_reply);
}

// The parser's own cases are in the unit tests; these are about what reaches the peer, the
// filter and the read-back.
INSTANTIATE_TEST_SUITE_P(
    forms, address_set,
    testing::Values(set_case{"SET RX_IP_DEST 30:2 eth1 U 224.0.2.1 5004 97",
                             "SET ST2110_DEC_NET_PARAMS 30:2 U 97",
                             cfg_rec(6, kNone, 0, {224, 0, 2, 1}, 5004, 0xA),
                             "RGET RX_IP_DEST 30:2 eth1 U 224.0.2.1 5004 97 1260\n"},
                    // Port 0 clears its flag; payload size 0 drops out of the answer.
                    set_case{"SET RX_IP_DEST 40:3 eth1 T 239.255.255.250 0 100 0",
                             "SET ST2110_DEC_NET_PARAMS 40:3 T 100",
                             cfg_rec(11, kNone, 0, {239, 255, 255, 250}, 0, 0x2),
                             "RGET RX_IP_DEST 40:3 eth1 T 239.255.255.250 0 100\n"},
                    // eth1's own address, written out, reads back as "self".
                    set_case{"SET RX_IP_DEST 20:3 eth1 u 192.0.2.10 5004 96",
                             "SET ST2110_DEC_NET_PARAMS 20:3 U 96",
                             cfg_rec(3, kNone, 0, kEth1, 5004, 0xA),
                             "RGET RX_IP_DEST 20:3 eth1 U self 5004 96 1260\n"},
                    // 256 keeps its low byte: a source of 0.x.x.x passes, without its address flag.
                    set_case{"SET RX_IP_SRC 20:0 eth1 u 256.1.1.1 16 0 0", nullptr,
                             cfg_rec(0, {0, 1, 1, 1}, 16, kNone, 0, 0x4),
                             "RGET RX_IP_SRC 20:0 eth1 U 0.1.1.1 16 0\n"},
                    set_case{"SET RX_IP_SRC 30:1 eth1 u SELF 0x1388 0", nullptr,
                             cfg_rec(5, kEth1, 5000, kNone, 0, 0x5),
                             "RGET RX_IP_SRC 30:1 eth1 U self 5000 0 1260\n"}));

TEST_F(address, source_and_destination_share_one_record) {
    ASSERT_EQ(req(kDestLine), kDestOk);
    EXPECT_EQ(b_.media().log(), std::vector<std::string>{kNetParams});
    EXPECT_EQ(req(kGetDest), kDestSet);
    forget();
    EXPECT_EQ(req("SET RX_IP_SRC 20:0 eth1 u 10.0.0.5 0 0"), "RSET RX_IP_SRC 20:0 eth1 OK\n");
    EXPECT_EQ(filter_requests(b_.dev()),
              (std::vector{kRead, write_cfg(cfg_rec(0, {10, 0, 0, 5}, 0, kGroup, 1000, 0xB))}));
    EXPECT_EQ(b_.media().log(), std::vector<std::string>{});
    // A new destination keeps the source.
    forget();
    EXPECT_EQ(req("SET RX_IP_DEST 20:0 eth1 u 239.2.2.2 2000 97"), kDestOk);
    const bytes both = cfg_rec(0, {10, 0, 0, 5}, 0, {239, 2, 2, 2}, 2000, 0xB);
    EXPECT_EQ(filter_requests(b_.dev()), (std::vector{kRead, write_cfg(both)}));
    EXPECT_EQ(req(kGetSrc), "RGET RX_IP_SRC 20:0 eth1 U 10.0.0.5 0 0 1260\n");
    EXPECT_EQ(req(kGetDest), "RGET RX_IP_DEST 20:0 eth1 U 239.2.2.2 2000 97 1260\n");
    // The other channels are untouched.
    EXPECT_EQ(req("GET RX_IP_DEST 20:1 eth1"), "RGET RX_IP_DEST 20:1 eth1 U 0.0.0.0 0 0\n");
    EXPECT_EQ(req("GET RX_IP_SRC 20:1 eth1"), "RGET RX_IP_SRC 20:1 eth1 U 0.0.0.0 0 0\n");
}

// --- Refused lines -------------------------------------------------------------------------

class address_refused : public on_board<testing::TestWithParam<const char*>> {};

TEST_P(address_refused, changes_nothing) {
    ASSERT_EQ(req(kDestLine), kDestOk);
    ASSERT_EQ(req("SET RX_IP_SRC 20:0 eth1 u 10.0.0.5 0 0"), "RSET RX_IP_SRC 20:0 eth1 OK\n");
    forget();
    EXPECT_EQ(req(GetParam()), "ERROR\n");
    EXPECT_EQ(filter_requests(b_.dev()), std::vector<filter_req>{});
    EXPECT_EQ(b_.media().log(), std::vector<std::string>{});
    EXPECT_EQ(req(kGetDest), kDestSet);
    EXPECT_EQ(req(kGetSrc), "RGET RX_IP_SRC 20:0 eth1 U 10.0.0.5 0 0 1260\n");
}

// One address the parser refuses stands for all of them (the unit tests have the rest); the
// other lines are refused by the command layer.
INSTANTIATE_TEST_SUITE_P(lines, address_refused,
                         testing::Values("SET RX_IP_DEST 20:0 eth1 r 127.0.0.1 1000 96",
                                         "SET RX_IP_DEST 20:0 eth2 r 239.1.1.2 1000 96",
                                         "SET RX_IP_DEST 20:0 eth1 r 239.1.1.2 1000",
                                         "SET RX_IP_DEST 20:4 eth1 r 239.1.1.2 1000 96",
                                         "SET rx_ip_dest 20:0 eth1 r 239.1.1.2 1000 96",
                                         "SET RX_IP_SRC 20:0 eth1 u 224.0.0.1 0 0"));

// --- Filter channel sequences --------------------------------------------------------------

// A command run first, if any; the filter channel's enable before the command; the request
// that fails with EIO (0: none); then the requests, the reply and the enable afterwards.
struct filter_case {
    const char* before;
    uint8_t enable;
    uint32_t fail;
    std::vector<filter_req> requests;
    const char* reply;
    uint8_t enable_after;
};

class filter_sequence : public on_board<testing::TestWithParam<filter_case>> {};

const bytes kCfg = cfg_rec(0, kNone, 0, kGroup, 1000, 0xA);
constexpr const char* kIfOff = "SET RX_IP_IF_ENA 20:0 eth1/0";

TEST_P(filter_sequence, rewrites_config_around_enable) {
    const filter_case& c = GetParam();
    if (c.before != nullptr) {
        ASSERT_EQ(req(c.before), "RSET RX_IP_IF_ENA 20:0 OK\n");
    }
    b_.dev().set_filter_enable(0, c.enable);
    if (c.fail != 0) {
        b_.dev().fail_next(c.fail, 1, EIO);
    }
    forget();
    EXPECT_EQ(req(kDestLine), c.reply);
    EXPECT_EQ(filter_requests(b_.dev()), c.requests);
    EXPECT_EQ(b_.dev().filter(0).enable, c.enable_after);
    // The media-transport daemon is told before the filter is touched.
    EXPECT_EQ(b_.media().log(), std::vector<std::string>{kNetParams});
    EXPECT_EQ(req(kGetDest), c.reply == std::string(kDestOk) ? kDestSet : kDestStart);
}

const filter_req kWrite = write_cfg(kCfg);

INSTANTIATE_TEST_SUITE_P(
    cases, filter_sequence,
    testing::Values(
        filter_case{nullptr, 0, 0, {kRead, kWrite}, kDestOk, 0},
        filter_case{nullptr, 1, 0, {kRead, kOff, kWrite, kOn}, kDestOk, 1},
        // Any non-zero byte counts as enabled; the channel comes back with 1.
        filter_case{nullptr, 7, 0, {kRead, kOff, kWrite, kOn}, kDestOk, 1},
        // Disabled on its interface: the config is still written, and the channel comes back
        // disabled.
        filter_case{kIfOff, 0, 0, {kRead, kWrite}, kDestOk, 0},
        filter_case{kIfOff, 1, 0, {kRead, kOff, kWrite, kOff}, kDestOk, 0},
        filter_case{nullptr, 0, kFiltGetEna, {{kFiltGetEna, {0}, EIO}}, "ERROR\n", 0},
        filter_case{nullptr, 0, kFiltSetCfg, {kRead, write_cfg(kCfg, EIO)}, "ERROR\n", 0},
        // A channel disabled for the rewrite stays disabled when the write fails.
        filter_case{nullptr, 1, kFiltSetCfg, {kRead, kOff, write_cfg(kCfg, EIO)}, "ERROR\n", 0},
        filter_case{nullptr, 1, kFiltSetEna, {kRead, {kFiltSetEna, {0, 0}, EIO}}, "ERROR\n", 1}));

// --- The media-transport daemon refuses ----------------------------------------------------

class dest_refused_by_peer : public on_board<testing::TestWithParam<peer_rule>> {};

TEST_P(dest_refused_by_peer, leaves_filter_and_record_alone) {
    ASSERT_EQ(req(kDestLine), kDestOk);
    forget();
    b_.media().set_rule("ST2110_DEC_NET_PARAMS", GetParam());
    const char* line = "SET RX_IP_DEST 20:0 eth1 u 239.2.2.2 2000 97";
    EXPECT_EQ(req(line), "ERROR\n");
    EXPECT_EQ(b_.media().log(), std::vector<std::string>{"SET ST2110_DEC_NET_PARAMS 20:0 U 97"});
    EXPECT_EQ(filter_requests(b_.dev()), std::vector<filter_req>{});
    EXPECT_EQ(req(kGetDest), kDestSet);
    // Once the peer accepts, the same line goes through.
    EXPECT_EQ(req(line), kDestOk);
    EXPECT_EQ(req(kGetDest), "RGET RX_IP_DEST 20:0 eth1 U 239.2.2.2 2000 97 1260\n");
}

using act = peer_rule::action;

INSTANTIATE_TEST_SUITE_P(answers, dest_refused_by_peer,
                         testing::Values(peer_rule{.what = act::error, .times = 1},
                                         peer_rule{.what = act::silent, .times = 1},
                                         // A reply to another request, or of the wrong kind.
                                         peer_rule{.what = act::reply,
                                                   .reply = "RGET ST2110_DEC_NET_PARAMS 20:0 U 97",
                                                   .times = 1}));

// --- "self" --------------------------------------------------------------------------------

TEST_F(address, self_follows_the_address_of_eth1) {
    // A source never set (0.0.0.0) reads "self" exactly while eth1 has no address.
    const std::string src_none = "RGET RX_IP_SRC 20:0 eth1 U self 0 0\n";
    const std::string src_zero = "RGET RX_IP_SRC 20:0 eth1 U 0.0.0.0 0 0\n";
    ASSERT_EQ(ip({"addr", "del", "192.0.2.10/24", "dev", "eth1"}), 0);
    ASSERT_TRUE(await(kGetSrc, src_none));
    EXPECT_EQ(req("SET RX_IP_DEST 20:0 eth1 r self 5004 96"), "ERROR\n");
    EXPECT_EQ(req("SET RX_IP_SRC 20:1 eth1 u SELF 0 0"), "ERROR\n");
    EXPECT_EQ(filter_requests(b_.dev()), std::vector<filter_req>{});
    EXPECT_EQ(b_.media().log(), std::vector<std::string>{});
    EXPECT_EQ(req(kGetDest), "RGET RX_IP_DEST 20:0 eth1 U self 0 0\n");

    ASSERT_EQ(ip({"addr", "add", "192.0.2.10/24", "dev", "eth1"}), 0);
    ASSERT_TRUE(await(kGetSrc, src_zero));
    EXPECT_EQ(req("SET RX_IP_DEST 20:0 eth1 r Self 5004 96"), kDestOk);
    EXPECT_EQ(b_.media().log(), std::vector<std::string>{kNetParams});
    EXPECT_EQ(filter_requests(b_.dev()),
              (std::vector{kRead, write_cfg(cfg_rec(0, kNone, 0, kEth1, 5004, 0xA))}));
    EXPECT_EQ(req(kGetDest), "RGET RX_IP_DEST 20:0 eth1 R self 5004 96 1260\n");

    // The stored address is a copy: once eth1 has another one, it shows in dotted form.
    ASSERT_EQ(ip({"addr", "del", "192.0.2.10/24", "dev", "eth1"}), 0);
    ASSERT_TRUE(await(kGetSrc, src_none));
    ASSERT_EQ(ip({"addr", "add", "192.0.2.20/24", "dev", "eth1"}), 0);
    ASSERT_TRUE(await(kGetSrc, src_zero));
    EXPECT_EQ(req(kGetDest), "RGET RX_IP_DEST 20:0 eth1 R 192.0.2.10 5004 96 1260\n");
    forget();
    EXPECT_EQ(req("SET RX_IP_SRC 20:0 eth1 u self 0 0"), "RSET RX_IP_SRC 20:0 eth1 OK\n");
    EXPECT_EQ(filter_requests(b_.dev()),
              (std::vector{kRead, write_cfg(cfg_rec(0, {192, 0, 2, 20}, 0, kEth1, 5004, 0xB))}));
    EXPECT_EQ(req(kGetSrc), "RGET RX_IP_SRC 20:0 eth1 U self 0 0 1260\n");
}

// --- Interface enables ---------------------------------------------------------------------

TEST_F(address, if_ena_applies_pairs_in_order) {
    struct step {
        const char *line, *reply, *state;
    };  // state: the GET's answer afterwards
    // One channel, one step after the other: each line starts from what the one before left.
    const step steps[] = {
        {"SET RX_IP_IF_ENA 20:0 eth1/0 eth1/1", "RSET RX_IP_IF_ENA 20:0 OK\n", "eth1/1"},
        {"SET RX_IP_IF_ENA 20:0 eth1/0  eth1/1", "ERROR\n", "eth1/0"},
        {"SET RX_IP_IF_ENA 20:0 eth1/1 eth1/x", "ERROR\n", "eth1/1"},
        {"SET RX_IP_IF_ENA 20:0 eth1/0 eth2/1", "ERROR\n", "eth1/0"},
        {"SET RX_IP_IF_ENA 20:0 ETH1/1", "ERROR\n", "eth1/0"},
        {"SET RX_IP_IF_ENA 20:0 eth1/1 eth1/1", "RSET RX_IP_IF_ENA 20:0 OK\n", "eth1/1"},
        {"SET RX_IP_IF_ENA 020:0000 eth1/0", "RSET RX_IP_IF_ENA 020:0000 OK\n", "eth1/0"},
    };
    for (const step& s : steps) {
        SCOPED_TRACE(s.line);
        EXPECT_EQ(req(s.line), s.reply);
        EXPECT_EQ(req("GET RX_IP_IF_ENA 20:0"),
                  std::string("RGET RX_IP_IF_ENA 20:0 ") + s.state + "\n");
    }
    // The channel is off: nothing reaches the filter or the media-transport daemon.
    EXPECT_EQ(filter_requests(b_.dev()), std::vector<filter_req>{});
    EXPECT_EQ(b_.media().log(), std::vector<std::string>{});
    EXPECT_EQ(req("GET RX_IP_IF_ENA 20:1"), "RGET RX_IP_IF_ENA 20:1 eth1/1\n");
}

}  // namespace
}  // namespace nexo::sim
