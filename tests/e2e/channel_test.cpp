// Receive channels switched on and off, formats and automatic format detection, against the
// real daemon: the requests the media-transport simulator gets, the ioctls the emulated FPGA
// journals and the memberships the kernel shows.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
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

// Requests the media-transport simulator got, "GET"/"SET" lines only, in order.
std::vector<std::string> requests(peer_sim& p) {
    std::vector<std::string> out;
    for (const std::string& l : p.log()) {
        if (l.rfind("GET ", 0) == 0 || l.rfind("SET ", 0) == 0) {
            out.push_back(l);
        }
    }
    return out;
}

// The journal as "node request bytes" lines, for exact comparison.
std::vector<std::string> journal(fpga& f) {
    std::vector<std::string> out;
    for (const ioctl_record& r : f.journal()) {
        char head[64];
        std::snprintf(head, sizeof head, "%s %08x", r.node.c_str(), r.request);
        std::string line = head;
        if (r.request == kFmtDetEna) {
            line += " value " + std::to_string(r.value);
        }
        for (uint8_t b : r.in) {
            char hex[4];
            std::snprintf(hex, sizeof hex, " %02x", b);
            line += hex;
        }
        out.push_back(line);
    }
    return out;
}

bool in_igmp(const std::string& hex_group) {
    return read_file("/proc/net/igmp").find(hex_group) != std::string::npos;
}

// Waits until the daemon has made n requests of this number on this node since the journal was
// last cleared. The idle-time detection reads the detectors of the channels it waits for at
// every idle pass (a poll timeout of 500 ms), so its reads show that passes went by.
bool wait_reads(fpga& f, const std::string& node, uint32_t request, int n) {
    auto end = std::chrono::steady_clock::now() + 10s;
    for (;;) {
        int seen = 0;
        for (const ioctl_record& r : f.journal()) {
            seen += r.node == node && r.request == request ? 1 : 0;
        }
        if (seen >= n) {
            return true;
        }
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(20ms);
    }
}

// What switching 20:1 on sends to the media-transport daemon and to the FPGA.
const std::vector<std::string> kOnRequests = {"GET ST2110_DEC_MC_OPMODE 20:1",
                                              "SET ST2110_DEC_CHAN_ENA 20:1 ON"};
const std::vector<std::string> kOnJournal = {"/dev/zeb-ip-filter-0 40084504 01 01",
                                             "/dev/rtp-vid-fmt-det-1 40015600 value 1"};

struct on_board : testing::Test {
    board b;
    void SetUp() override { ASSERT_TRUE(b.started()); }
    std::string req(const std::string& line) { return b.client().request(line); }
    // Gives the channel a destination, port 5004.
    testing::AssertionResult set_dest(const std::string& chan, const std::string& group,
                                      const std::string& pt = "96") {
        std::string r = req("SET RX_IP_DEST " + chan + " eth1 r " + group + " 5004 " + pt);
        if (r == "RSET RX_IP_DEST " + chan + " eth1 OK\n") {
            return testing::AssertionSuccess();
        }
        return testing::AssertionFailure() << r;
    }
    void reset_logs() {
        b.media().clear_log();
        b.dev().clear_journal();
    }
};

TEST_F(on_board, switching_a_video_channel_on_and_off) {
    ASSERT_TRUE(set_dest("20:1", "239.1.1.1"));
    reset_logs();
    EXPECT_EQ(req("SET RX_STR_ENA 20:1 on"), "RSET RX_STR_ENA 20:1 OK\n");
    EXPECT_EQ(requests(b.media()), kOnRequests);
    EXPECT_EQ(journal(b.dev()), kOnJournal);
    EXPECT_TRUE(in_igmp("010101EF"));
    EXPECT_EQ(req("GET RX_STR_ENA 20:1"), "RGET RX_STR_ENA 20:1 ON\n");
    // Asking for the state it has sends nothing.
    reset_logs();
    EXPECT_EQ(req("SET RX_STR_ENA 20:1 ON"), "RSET RX_STR_ENA 20:1 OK\n");
    EXPECT_TRUE(requests(b.media()).empty());
    EXPECT_TRUE(b.dev().journal().empty());

    EXPECT_EQ(req("SET RX_STR_ENA 20:1 Off"), "RSET RX_STR_ENA 20:1 OK\n");
    EXPECT_EQ(requests(b.media()), (std::vector<std::string>{"SET ST2110_DEC_CHAN_ENA 20:1 OFF"}));
    EXPECT_EQ(journal(b.dev()), (std::vector<std::string>{
                                    "/dev/zeb-ip-filter-0 40084504 01 00",
                                    "/dev/rtp-vid-fmt-det-1 40015600 value 0",
                                }));
    EXPECT_FALSE(in_igmp("010101EF"));
    EXPECT_EQ(req("GET RX_STR_ENA 20:1"), "RGET RX_STR_ENA 20:1 OFF\n");
}

// A switch-on that fails part way keeps what its earlier steps did: the decoder channel stays
// enabled, the filter channel open, the group joined. Only the channel's state is left as it
// was, so the next switch-on takes every step again.
struct partial_case {
    const char* failing;               // the step that fails
    uint32_t ioctl;                    // the request made to fail; 0: the decoder enable is refused
    std::vector<std::string> journal;  // the FPGA requests of the failed switch-on
    bool joined;
};

class partial_switch_on : public on_board, public testing::WithParamInterface<partial_case> {};

TEST_P(partial_switch_on, keeps_the_steps_before_and_stays_off) {
    const partial_case& c = GetParam();
    SCOPED_TRACE(c.failing);
    ASSERT_TRUE(set_dest("20:1", "239.1.1.1"));
    reset_logs();
    if (c.ioctl != 0) {
        b.dev().fail_next(c.ioctl, 1, EIO);
    } else {
        b.media().set_rule("ST2110_DEC_CHAN_ENA",
                           peer_rule{.what = peer_rule::action::error, .times = 1});
    }
    EXPECT_EQ(req("SET RX_STR_ENA 20:1 on"), "ERROR\n");
    EXPECT_EQ(requests(b.media()), kOnRequests);  // no OFF follows the refused or failed step
    EXPECT_EQ(journal(b.dev()), c.journal);
    EXPECT_EQ(in_igmp("010101EF"), c.joined);
    EXPECT_EQ(req("GET RX_STR_ENA 20:1"), "RGET RX_STR_ENA 20:1 OFF\n");

    reset_logs();
    EXPECT_EQ(req("SET RX_STR_ENA 20:1 on"), "RSET RX_STR_ENA 20:1 OK\n");
    EXPECT_EQ(requests(b.media()), kOnRequests);
    EXPECT_EQ(journal(b.dev()), kOnJournal);
    EXPECT_TRUE(in_igmp("010101EF"));
}

INSTANTIATE_TEST_SUITE_P(
    steps, partial_switch_on,
    testing::Values(
        partial_case{"decoder enable", 0, {}, false},
        partial_case{"filter enable", kFiltSetEna, {"/dev/zeb-ip-filter-0 40084504 01 01"}, false},
        partial_case{"detector enable", kFmtDetEna, kOnJournal, true}));

// Switching off leaves the groups first, and a failure after that keeps the channel ON without
// asking the decoder to stop.
TEST_F(on_board, failed_switch_off_has_left_the_group) {
    ASSERT_TRUE(set_dest("20:1", "239.1.1.1"));
    ASSERT_EQ(req("SET RX_STR_ENA 20:1 on"), "RSET RX_STR_ENA 20:1 OK\n");
    ASSERT_TRUE(in_igmp("010101EF"));
    reset_logs();
    b.dev().fail_next(kFiltSetEna, 1, EIO);
    EXPECT_EQ(req("SET RX_STR_ENA 20:1 off"), "ERROR\n");
    EXPECT_FALSE(in_igmp("010101EF"));
    EXPECT_EQ(journal(b.dev()), (std::vector<std::string>{"/dev/zeb-ip-filter-0 40084504 01 00"}));
    EXPECT_TRUE(requests(b.media()).empty());
    EXPECT_EQ(req("GET RX_STR_ENA 20:1"), "RGET RX_STR_ENA 20:1 ON\n");
}

TEST_F(on_board, refusals_before_anything_is_sent) {
    // No destination yet.
    EXPECT_EQ(req("SET RX_STR_ENA 20:0 on"), "ERROR\n");
    // A unicast destination needs a source.
    ASSERT_TRUE(set_dest("30:0", "self", "97"));
    reset_logs();
    EXPECT_EQ(req("SET RX_STR_ENA 30:0 on"), "ERROR\n");
    // With the interface disabled on the channel there is nothing to switch on.
    ASSERT_TRUE(set_dest("40:0", "239.4.4.4", "100"));
    ASSERT_EQ(req("SET RX_IP_IF_ENA 40:0 eth1/0"), "RSET RX_IP_IF_ENA 40:0 OK\n");
    reset_logs();
    EXPECT_EQ(req("SET RX_STR_ENA 40:0 on"), "ERROR\n");
    EXPECT_TRUE(requests(b.media()).empty());
    EXPECT_TRUE(b.dev().journal().empty());
}

struct timed_case {
    const char* chan;
    std::vector<std::string> setup;  // control lines before switching on
    const char* playout;             // expected delay request, or "" for a refusal
};

class timed_align : public on_board, public testing::WithParamInterface<timed_case> {};

TEST_P(timed_align, sends_the_playout_delay_before_the_enable) {
    const timed_case& c = GetParam();
    std::string chan = c.chan;
    ASSERT_TRUE(req("SET ST2110_DEC_MC_OPMODE " + chan + " TIMED_ALIGN").rfind("RSET ", 0) == 0);
    ASSERT_TRUE(set_dest(chan, "239.9.9.9"));
    for (const std::string& s : c.setup) {
        ASSERT_EQ(req(s).rfind("RSET ", 0), 0u) << s;
    }
    b.media().clear_log();
    std::string r = req("SET RX_STR_ENA " + chan + " on");
    std::vector<std::string> got = requests(b.media());
    if (std::string(c.playout).empty()) {
        EXPECT_EQ(r, "ERROR\n");
        EXPECT_EQ(got, (std::vector<std::string>{"GET ST2110_DEC_MC_OPMODE " + chan}));
        return;
    }
    EXPECT_EQ(r, "RSET RX_STR_ENA " + chan + " OK\n");
    ASSERT_GE(got.size(), 3u);
    EXPECT_EQ(got.front(), "GET ST2110_DEC_MC_OPMODE " + chan);
    EXPECT_EQ(got[got.size() - 2], std::string(c.playout));
    EXPECT_EQ(got.back(), "SET ST2110_DEC_CHAN_ENA " + chan + " ON");
}

INSTANTIATE_TEST_SUITE_P(
    channels, timed_align,
    testing::Values(
        // Video: the media-transport daemon's default offset (1000) for the format's text.
        timed_case{"20:0", {}, "SET ST2110_DEC_PLAYOUT_DELAY 20:0 21000"},
        timed_case{"20:2",
                   {"SET RX_TX_TS_DELAY 20:2 7", "SET RX_RECONS_DELAY 20:2 8"},
                   "SET ST2110_DEC_PLAYOUT_DELAY 20:2 15"},
        // Audio: 1000 times the packet time.
        timed_case{"30:1",
                   {"SET RX_AUD_FMT 30:1 2 L24 48000 4"},
                   "SET ST2110_DEC_PLAYOUT_DELAY 30:1 24000"},
        // Ancillary: no default reconstruction delay.
        timed_case{"40:2", {}, ""},
        timed_case{
            "40:3", {"SET RX_RECONS_DELAY 40:3 -5"}, "SET ST2110_DEC_PLAYOUT_DELAY 40:3 -5"}));

TEST_F(on_board, formats_go_to_the_daemon_and_video_to_the_formatter) {
    reset_logs();
    EXPECT_EQ(req("SET RX_VID_FMT 20:0 ycr422 10 I 720 576 25"), "RSET RX_VID_FMT 20:0 OK\n");
    EXPECT_EQ(requests(b.media()),
              (std::vector<std::string>{"SET ST2110_DEC_VID_FMT 20:0 ycr422 10 I 720 576 25"}));
    EXPECT_EQ(
        journal(b.dev()),
        (std::vector<std::string>{"/dev/axis2vid-0 40084100 d0 02 00 00 40 02 00 00 01 00 00 00"}));
    EXPECT_EQ(req("GET RX_VID_FMT 20:0"), "RGET RX_VID_FMT 20:0 YCR422 10 I 720 576 25\n");
    // Refused words change nothing and send nothing.
    reset_logs();
    for (const char* bad :
         {"SET RX_VID_FMT 20:0 NONE 10 p 1 2 25", "SET RX_VID_FMT 20:0 RGB 10 p 1 2 59.940",
          "SET RX_VID_FMT 30:0 RGB 10 p 1 2 50"}) {
        EXPECT_EQ(req(bad), "ERROR\n") << bad;
    }
    EXPECT_TRUE(requests(b.media()).empty());
    EXPECT_TRUE(b.dev().journal().empty());
    // An ancillary channel has no formatter: the request goes out, then the command fails.
    EXPECT_EQ(req("SET RX_VID_FMT 40:0 RGB 8 p 1920 1080 50"), "ERROR\n");
    EXPECT_EQ(requests(b.media()),
              (std::vector<std::string>{"SET ST2110_DEC_VID_FMT 40:0 RGB 8 p 1920 1080 50"}));
    EXPECT_EQ(req("GET RX_VID_FMT 20:0"), "RGET RX_VID_FMT 20:0 YCR422 10 I 720 576 25\n");
    // An audio format likewise, without a formatter.
    b.media().clear_log();
    EXPECT_EQ(req("SET RX_AUD_FMT 30:0 2 L24 48000 1"), "RSET RX_AUD_FMT 30:0 OK\n");
    EXPECT_EQ(requests(b.media()),
              (std::vector<std::string>{"SET ST2110_DEC_AUD_FMT 30:0 2 L24 48000 1"}));
    EXPECT_EQ(req("GET RX_AUD_FMT 30:0"), "RGET RX_AUD_FMT 30:0 2 L24 48000 1\n");
    EXPECT_EQ(req("SET RX_AUD_FMT 30:0 2 L24ABCDE 48000 1"), "ERROR\n");
    EXPECT_EQ(req("SET RX_AUD_FMT 20:0 2 L24 48000 1"), "ERROR\n");
    EXPECT_EQ(req("GET RX_AUD_FMT 30:0"), "RGET RX_AUD_FMT 30:0 2 L24 48000 1\n");
}

TEST_F(on_board, automatic_detection_completes_the_switch_on) {
    // 20:0 waits for a format throughout: its detector reads mark the idle passes.
    ASSERT_EQ(req("SET RX_FMT_AUTO_DET_ENA 20:0 on"), "RSET RX_FMT_AUTO_DET_ENA 20:0 OK\n");
    ASSERT_TRUE(set_dest("20:0", "239.2.2.1"));
    ASSERT_EQ(req("SET RX_STR_ENA 20:0 on"), "RSET RX_STR_ENA 20:0 OK\n");
    ASSERT_EQ(req("SET RX_FMT_AUTO_DET_ENA 20:2 on"), "RSET RX_FMT_AUTO_DET_ENA 20:2 OK\n");
    ASSERT_TRUE(set_dest("20:2", "239.2.2.2"));
    reset_logs();
    ASSERT_EQ(req("SET RX_STR_ENA 20:2 on"), "RSET RX_STR_ENA 20:2 OK\n");
    // The decoder enable is held back until the format is known.
    EXPECT_EQ(requests(b.media()), (std::vector<std::string>{"GET ST2110_DEC_MC_OPMODE 20:2"}));
    EXPECT_TRUE(b.dev().detector_enabled(2));
    EXPECT_EQ(req("GET RX_FMT_AUTO_DET_STATE 20:2"), "RGET RX_FMT_AUTO_DET_STATE 20:2 BUSY\n");
    // An idle pass that finds nothing detected sends nothing.
    b.dev().clear_journal();
    ASSERT_TRUE(wait_reads(b.dev(), "/dev/rtp-vid-fmt-det-2", kFmtDetGetState, 1));
    EXPECT_EQ(requests(b.media()).size(), 1u);

    // YCR422, 10 bits, progressive, 60000/1001.
    b.dev().set_detector(2, 3, detected_format{1920, 1080, 2, 1, 0, 8});
    EXPECT_TRUE(b.media().wait_for_line("SET ST2110_DEC_CHAN_ENA 20:2 ON", 3s));
    EXPECT_EQ(requests(b.media()), (std::vector<std::string>{
                                       "GET ST2110_DEC_MC_OPMODE 20:2",
                                       "SET ST2110_DEC_VID_FMT 20:2 YCR422 10 P 1920 1080 59.94",
                                       "SET ST2110_DEC_CHAN_ENA 20:2 ON",
                                   }));
    EXPECT_EQ(req("GET RX_VID_FMT 20:2"), "RGET RX_VID_FMT 20:2 YCR422 10 P 1920 1080 59.94\n");
    EXPECT_EQ(req("GET RX_FMT_AUTO_DET_FMT 20:2"),
              "RGET RX_FMT_AUTO_DET_FMT 20:2 YCR422 10 P 1920 1080 59.94\n");
    // Done: later idle passes leave the channel alone. Between two reads of 20:0's detector
    // lies at least one whole pass, which would have come to 20:2 after it.
    b.dev().clear_journal();
    ASSERT_TRUE(wait_reads(b.dev(), "/dev/rtp-vid-fmt-det-0", kFmtDetGetState, 2));
    for (const ioctl_record& r : b.dev().journal()) {
        EXPECT_EQ(r.node, "/dev/rtp-vid-fmt-det-0");
    }
    EXPECT_EQ(requests(b.media()).size(), 3u);
}

TEST_F(on_board, undetectable_rate_stays_pending) {
    ASSERT_EQ(req("SET RX_FMT_AUTO_DET_ENA 20:3 on"), "RSET RX_FMT_AUTO_DET_ENA 20:3 OK\n");
    ASSERT_TRUE(set_dest("20:3", "239.3.3.3"));
    ASSERT_EQ(req("SET RX_STR_ENA 20:3 on"), "RSET RX_STR_ENA 20:3 OK\n");
    b.dev().clear_journal();
    b.dev().set_detector(3, 3, detected_format{1920, 1080, 2, 1, 0, 6});  // 48/1 has no name
    // Two idle passes read the format and let it be.
    ASSERT_TRUE(wait_reads(b.dev(), "/dev/rtp-vid-fmt-det-3", kFmtDetGetFmt, 2));
    for (const std::string& l : requests(b.media())) {
        EXPECT_EQ(l.find("ST2110_DEC_CHAN_ENA 20:3 ON"), std::string::npos);
        EXPECT_EQ(l.find("ST2110_DEC_VID_FMT"), std::string::npos);
    }
    EXPECT_EQ(req("GET RX_FMT_AUTO_DET_FMT 20:3"),
              "RGET RX_FMT_AUTO_DET_FMT 20:3 YCR422 10 P 1920 1080 NONE\n");
}

TEST_F(on_board, interface_disable_on_a_running_channel) {
    ASSERT_TRUE(set_dest("20:0", "239.7.7.7"));
    ASSERT_EQ(req("SET RX_STR_ENA 20:0 on"), "RSET RX_STR_ENA 20:0 OK\n");
    ASSERT_TRUE(in_igmp("070707EF"));
    reset_logs();
    EXPECT_EQ(req("SET RX_IP_IF_ENA 20:0 eth1/0"), "RSET RX_IP_IF_ENA 20:0 OK\n");
    EXPECT_EQ(journal(b.dev()), (std::vector<std::string>{"/dev/zeb-ip-filter-0 40084504 00 00"}));
    EXPECT_FALSE(in_igmp("070707EF"));
    EXPECT_EQ(req("GET RX_IP_IF_ENA 20:0"), "RGET RX_IP_IF_ENA 20:0 eth1/0\n");
    reset_logs();
    EXPECT_EQ(req("SET RX_IP_IF_ENA 20:0 eth1/1"), "RSET RX_IP_IF_ENA 20:0 OK\n");
    EXPECT_EQ(journal(b.dev()), (std::vector<std::string>{"/dev/zeb-ip-filter-0 40084504 00 01"}));
    EXPECT_TRUE(in_igmp("070707EF"));
}

TEST_F(on_board, new_destination_on_a_running_channel_moves_the_membership) {
    ASSERT_TRUE(set_dest("20:0", "239.7.7.7"));
    ASSERT_TRUE(set_dest("20:1", "239.7.7.7"));
    ASSERT_EQ(req("SET RX_STR_ENA 20:0 on"), "RSET RX_STR_ENA 20:0 OK\n");
    ASSERT_EQ(req("SET RX_STR_ENA 20:1 on"), "RSET RX_STR_ENA 20:1 OK\n");
    ASSERT_TRUE(set_dest("20:0", "239.8.8.8"));
    EXPECT_TRUE(in_igmp("080808EF"));
    EXPECT_TRUE(in_igmp("070707EF"));  // 20:1 still receives the old group
    ASSERT_EQ(req("SET RX_STR_ENA 20:1 off"), "RSET RX_STR_ENA 20:1 OK\n");
    EXPECT_FALSE(in_igmp("070707EF"));
    EXPECT_TRUE(in_igmp("080808EF"));
}

}  // namespace
}  // namespace nexo::sim
