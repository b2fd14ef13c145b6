// The command interpreter as the control client sees it: one line in, one reply line (or a
// refusal code, which the main loop turns into "ERROR\n") out.
#include "nexo-cmd-parse.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

#include "test_ctx.h"

namespace nexo {
namespace {

struct line_case {
    const char* line;
    int32_t rc;
    const char* reply;  // exact bytes on the reply link ("" when refused)
};

class cmd_parse : public testing::TestWithParam<line_case> {};

TEST_P(cmd_parse, answers_exactly) {
    test::test_ctx t;
    std::string out;
    const line_case& c = GetParam();
    EXPECT_EQ(t.run(c.line, &out), c.rc) << c.line;
    EXPECT_EQ(out, c.reply) << c.line;
}

INSTANTIATE_TEST_SUITE_P(
    lines, cmd_parse,
    testing::Values(
        // Queries at start.
        line_case{"GET RX_STR_ENA 20:0\n", 0, "RGET RX_STR_ENA 20:0 OFF\n"},
        line_case{"GET RX_TX_TS_DELAY 30:2\n", 0, "RGET RX_TX_TS_DELAY 30:2 DEFAULT\n"},
        // Echo-form replies repeat the command as written, trailing blanks too.
        line_case{"GET RX_RECONS_DELAY 20:0 \n", 0, "RGET RX_RECONS_DELAY 20:0  DEFAULT\n"},
        line_case{"GET RX_IP_IF_ENA 40:3\n", 0, "RGET RX_IP_IF_ENA 40:3 eth1/1\n"},
        line_case{"GET RX_NET_IF_NBR\n", 0, "RGET RX_NET_IF_NBR 1\n"},
        line_case{"GET RX_NET_IF_NAME 256\n", 0, "RGET RX_NET_IF_NAME 256 eth1\n"},
        line_case{"GET RX_NET_IF_NAME 1\n", -3, ""}, line_case{"GET RX_NET_IF_NAME x\n", -2, ""},
        line_case{"GET RX_NET_IF_NAME\t0\n", -1, ""},
        line_case{"GET PTP_MASTER_ENA\n", 0, "RGET PTP_MASTER_ENA 0\n"},
        line_case{"GET RX_VID_FMT 20:0\n", 0, "RGET RX_VID_FMT 20:0 NONE 0 ? 0 0 NONE\n"},
        line_case{"GET RX_VID_FMT 40:0\n", -2, ""}, line_case{"GET RX_AUD_FMT 20:0\n", -2, ""},
        line_case{"GET RX_AUD_FMT 30:0\n", 0, "RGET RX_AUD_FMT 30:0 0  0 0\n"},
        line_case{"GET RX_IP_SRC 20:0 eth1\n", 0, "RGET RX_IP_SRC 20:0 eth1 U 0.0.0.0 0 0\n"},
        line_case{"GET RX_IP_DEST 20:0 ETH1\n", -1, ""},
        line_case{"GET RX_FMT_AUTO_DET_STATE 30:0\n", -2, ""},
        // The detector of a video channel is not open here.
        line_case{"GET RX_FMT_AUTO_DET_STATE 20:0\n", -3, ""},
        // Numbers in a token are read as a C "%hhu" reads them: a sign, the low 8 bits; what
        // follows the type and a colon is the index if it is a number, else index 0.
        line_case{"GET RX_STR_ENA +20:0\n", 0, "RGET RX_STR_ENA +20:0 OFF\n"},
        line_case{"GET RX_STR_ENA -236:1\n", 0, "RGET RX_STR_ENA -236:1 OFF\n"},
        line_case{"GET RX_STR_ENA 30:-255\n", 0, "RGET RX_STR_ENA 30:-255 OFF\n"},
        line_case{"GET RX_STR_ENA 20:x\n", 0, "RGET RX_STR_ENA 20:x OFF\n"},
        line_case{"GET RX_STR_ENA 20x1\n", 0, "RGET RX_STR_ENA 20x1 OFF\n"},
        line_case{"GET RX_STR_ENA 20:+-1\n", 0, "RGET RX_STR_ENA 20:+-1 OFF\n"},
        line_case{"GET RX_STR_ENA 99999999764\n", 0, "RGET RX_STR_ENA 99999999 OFF\n"},
        line_case{"GET RX_STR_ENA -:0\n", -1, ""}, line_case{"GET RX_STR_ENA +\n", -1, ""},
        line_case{"GET RX_STR_ENA :0\n", -1, ""},
        // Channel tokens.
        line_case{"GET RX_STR_ENA 20\n", 0, "RGET RX_STR_ENA 20 OFF\n"},
        line_case{"GET RX_STR_ENA 20:\n", 0, "RGET RX_STR_ENA 20: OFF\n"},
        // Eight characters are repeated whole, longer tokens cut to eight.
        line_case{"GET RX_STR_ENA 020:00000\n", 0, "RGET RX_STR_ENA 020:0000 OFF\n"},
        line_case{"GET RX_STR_ENA 0020:000000\n", 0, "RGET RX_STR_ENA 0020:000 OFF\n"},
        line_case{"GET RX_STR_ENA 020:00000000\n", -1, ""},                     // 12 characters
        line_case{"GET RX_STR_ENA 276:0\n", 0, "RGET RX_STR_ENA 276:0 OFF\n"},  // low 8 bits
        line_case{"GET RX_STR_ENA 20:4\n", -1, ""}, line_case{"GET RX_STR_ENA 21:0\n", -1, ""},
        line_case{"GET RX_STR_ENA  20:0\n", -1, ""},  // the token begins at the second blank
        line_case{"GET RX_STR_ENABLED 20:0\n", -1, ""}, line_case{"GET RX_STR_ENA\n", -1, ""},
        line_case{"GET RX_STR_ENA 20:0 \n", 0, "RGET RX_STR_ENA 20:0 OFF\n"},
        line_case{"GET RX_STR_ENA 20:0", -1, ""},  // no line feed
        line_case{"get RX_STR_ENA 20:0\n", -1, ""}, line_case{"GETRX_STR_ENA 20:0\n", -1, ""},
        line_case{"\n", -1, ""}, line_case{"SET RX_IP_IF_ENA 20:0\n", -1, ""},
        line_case{"SET RX_IP_DEST 20:0 eth1 r 239.1.1.1 1000\n", -1, ""},  // five arguments
        // SETs the interpreter answers itself.
        line_case{"SET RX_RECONS_DELAY 20:0 default\n", 0, "RSET RX_RECONS_DELAY 20:0 OK\n"},
        line_case{"SET RX_TX_TS_DELAY 40:1 -1\n", 0, "RSET RX_TX_TS_DELAY 40:1 OK\n"},
        line_case{"SET RX_RECONS_DELAY 20:0 default \n", -2, ""},
        line_case{"SET RX_RECONS_DELAY 20:0 abc\n", -2, ""},
        line_case{"SET RX_RECONS_DELAY 20:9 1\n", -1, ""},
        line_case{"SET RX_FMT_AUTO_DET_ENA 20:1 On\n", 0, "RSET RX_FMT_AUTO_DET_ENA 20:1 OK\n"},
        line_case{"SET RX_FMT_AUTO_DET_ENA 30:1 on\n", -2, ""},
        line_case{"SET RX_FMT_AUTO_DET_ENA 20:1 maybe\n", -4, ""},
        line_case{"SET RX_IP_IF_ENA 20:0 eth1/1\n", 0, "RSET RX_IP_IF_ENA 20:0 OK\n"},
        line_case{"SET RX_IP_IF_ENA 20:0 eth1/x\n", -2, ""},
        line_case{"SET RX_IP_IF_ENA 20:0 eth1\n", -2, ""},
        line_case{"SET RX_IP_IF_ENA 20:0 eth2/1\n", -3, ""},
        line_case{"SET RX_IP_IF_ENA 20:0 eth1234567890123456789012345678901/1\n", -3, ""}));

// A sequence of lines on one daemon: what a SET stores, the GET reads back.
TEST(cmd_parse_state, sets_read_back) {
    test::test_ctx t;
    struct step {
        const char* line;
        const char* reply;
    };
    const step steps[] = {
        {"SET RX_RECONS_DELAY 30:1 20000\n", "RSET RX_RECONS_DELAY 30:1 OK\n"},
        {"GET RX_RECONS_DELAY 30:1\n", "RGET RX_RECONS_DELAY 30:1 20000\n"},
        {"SET RX_RECONS_DELAY 30:1 4294967295\n", "RSET RX_RECONS_DELAY 30:1 OK\n"},
        {"GET RX_RECONS_DELAY 30:1\n", "RGET RX_RECONS_DELAY 30:1 DEFAULT\n"},
        {"SET RX_FMT_AUTO_DET_ENA 20:2 ON\n", "RSET RX_FMT_AUTO_DET_ENA 20:2 OK\n"},
        {"GET RX_FMT_AUTO_DET_ENA 20:2\n", "RGET RX_FMT_AUTO_DET_ENA 20:2 ON\n"},
        // Any non-zero enable is on (pairs in order are the address tests' through the daemon).
        {"SET RX_IP_IF_ENA 20:0 eth1/0\n", "RSET RX_IP_IF_ENA 20:0 OK\n"},
        {"SET RX_IP_IF_ENA 20:0 eth1/2\n", "RSET RX_IP_IF_ENA 20:0 OK\n"},
        {"GET RX_IP_IF_ENA 20:0\n", "RGET RX_IP_IF_ENA 20:0 eth1/1\n"},
    };
    for (const step& s : steps) {
        std::string out;
        t.run(s.line, &out);
        EXPECT_EQ(out, s.reply) << s.line;
    }
}

TEST(cmd_parse_state, replies_are_cut_to_their_buffer) {
    test::test_ctx t;
    std::string out;
    // 44-byte buffer: 43 characters and no line feed.
    EXPECT_EQ(t.run("GET RX_TX_TS_DELAY 20:0                      \n", &out), 0);
    EXPECT_EQ(out,
              std::string("RGET RX_TX_TS_DELAY 20:0                      DEFAULT").substr(0, 43));
}

TEST(cmd_parse_state, no_reply_link_writes_nothing) {
    test::test_ctx t;
    std::string line = "GET RX_STR_ENA 20:0\n";
    EXPECT_EQ(process_input_cmd(t.ctx, line.data(), static_cast<int32_t>(line.size()), kNoLink), 0);
    for (int link = 0; link < 3; ++link) {
        EXPECT_EQ(t.written(link), "");
    }
}

// The address parser alone, on a working copy of the table: "ip port proto_arg payload proto"
// of the block written, or nothing when refused.
struct addr_case {
    const char* keyword;
    const char* args;  // after the keyword
    int32_t rc;
    const char* block;
};

class parse_ip_all : public testing::TestWithParam<addr_case> {};

TEST_P(parse_ip_all, parses_or_refuses) {
    test::test_ctx t;
    const addr_case& c = GetParam();
    std::string text = std::string(c.keyword) + " " + c.args;
    auto work = t.ctx->chans;
    uint32_t pos = 99;
    uint8_t i = 9;
    int32_t rc =
        nexo_parse_ip_all(c.keyword, text.data(), count_args(text.c_str()), work.data(), &pos, &i);
    ASSERT_EQ(rc, c.rc) << text;
    if (rc != 0) {
        return;
    }
    EXPECT_EQ(i, 0);
    const ip_blk& b =
        std::strcmp(c.keyword, "RX_IP_SRC") == 0 ? work[pos].ifs[0].src : work[pos].ifs[0].dest;
    char got[64];
    std::snprintf(got, sizeof got, "%u.%u.%u.%u %u %u %u %u", b.ip[0], b.ip[1], b.ip[2], b.ip[3],
                  b.port, b.proto_arg, b.payload_size, b.proto);
    EXPECT_STREQ(got, c.block) << text;
}

INSTANTIATE_TEST_SUITE_P(
    addresses, parse_ip_all,
    testing::Values(
        addr_case{"RX_IP_DEST", "20:0 eth1 r 239.1.1.1 0x3e8 96", 0, "239.1.1.1 1000 96 1260 1"},
        addr_case{"RX_IP_DEST", "30:1 eth1 U 239.1.1.2 5004 97 1400", 0,
                  "239.1.1.2 5004 97 1400 0"},
        addr_case{"RX_IP_DEST", "30:1 eth1 t 239.1.1.2 0x10 1 0", 0, "239.1.1.2 16 1 0 2"},
        addr_case{"RX_IP_DEST", "20:0 eth1 r 224.0.2.1 1 1", 0, "224.0.2.1 1 1 1260 1"},
        addr_case{"RX_IP_DEST", "20:0 eth1 r 1.2.3.4.5 1 1", 0, "1.2.3.4 1 1 1260 1"},
        addr_case{"RX_IP_DEST", "20:0 eth1 r SeLf 1 1", 0, "192.0.2.10 1 1 1260 1"},
        addr_case{"RX_IP_DEST", "20:0 eth1 r 239.1.1.1 70000 300", 0, "239.1.1.1 4464 44 1260 1"},
        addr_case{"RX_IP_DEST", "20:0 eth1 r 127.0.0.1 1 1", -6, ""},
        addr_case{"RX_IP_DEST", "20:0 eth1 r 224.0.0.5 1 1", -6, ""},
        addr_case{"RX_IP_DEST", "20:0 eth1 r 224.0.1.129 1 1", -6, ""},
        addr_case{"RX_IP_DEST", "20:0 eth1 r 0.0.0.0 1 1", -6, ""},
        addr_case{"RX_IP_DEST", "20:0 eth1 r 256.1.1.1 1 1", -6, ""},
        addr_case{"RX_IP_DEST", "20:0 eth1 r 1.2.3 1 1", -5, ""},
        addr_case{"RX_IP_DEST", "20:0 eth1 x 239.1.1.1 1 1", -3, ""},
        addr_case{"RX_IP_DEST", "20:0 eth1  r 239.1.1.1 1 1", -2, ""},
        addr_case{"RX_IP_DEST", "20:0  eth1 r 239.1.1.1 1 1", -1, ""},
        addr_case{"RX_IP_DEST", "20:0 eth1 r 239.1.1.1 port 1", -2, ""},
        addr_case{"RX_IP_DEST", "20:0 eth1 r 239.001.001.0001 1 1", -2, ""},
        addr_case{"RX_IP_DEST", "20:0 eth1 r 1.2.3.4567890123 3 1", -2, ""},
        addr_case{"RX_IP_SRC", "20:0 eth1 u 0.0.0.0 0 0", 0, "0.0.0.0 0 0 1260 0"},
        addr_case{"RX_IP_SRC", "20:0 eth1 u 256.1.1.1 0 0", 0, "0.1.1.1 0 0 1260 0"},
        addr_case{"RX_IP_SRC", "20:0 eth1 u 127.1.1.1 0 0", -6, ""},
        addr_case{"RX_IP_SRC", "20:0 eth1 u 224.0.0.1 0 0", -6, ""}));

TEST(parse_ip_all_self, refused_without_interface_address) {
    test::test_ctx t;
    if_list.flags &= ~kNetIfIpValid;
    std::string text = "RX_IP_DEST 20:0 eth1 r self 1 1";
    auto work = t.ctx->chans;
    uint32_t pos = 0;
    uint8_t i = 0;
    EXPECT_EQ(nexo_parse_ip_all("RX_IP_DEST", text.data(), 6, work.data(), &pos, &i), -4);
}

TEST(vid_fmt_text, writes_six_words) {
    const std::pair<vid_fmt, const char*> cases[] = {
        {kVidFmtUnset, "NONE 0 ? 0 0 NONE"},
        {{2, 10, 1, 720, 576, 50, 1}, "YCR422 10 P 720 576 50"},
        {{0, 8, 0, 1920, 1080, 60000, 1001}, "RGB 8 I 1920 1080 59.94"},
        {{4, 12, 2, 1, 2, 30000, 1000}, "KEY 12 S 1 2 30"},
        {{7, 16, 3, 1, 2, 100, 1}, "NONE 16 ? 1 2 NONE"},
        {{1, 8, 1, 1, 2, 48, 1}, "YCR444 8 P 1 2 NONE"},
    };
    for (const auto& [fmt, text] : cases) {
        char buf[32];
        vid_fmt_to_string(&fmt, buf, sizeof buf);
        EXPECT_STREQ(buf, text);
    }
}

TEST(simplify_freq, reduces_by_small_factors_only) {
    const std::pair<freq, const char*> cases[] = {
        {{1, 5}, "1/5"}, {{0, 1001}, "0/1001"},         {{30000, 1000}, "30/1"},
        {{7, 7}, "7/7"}, {{60000, 1001}, "60000/1001"}, {{14, 4}, "7/2"}};
    for (auto [f, expected] : cases) {
        simplify_freq(&f);
        EXPECT_EQ(std::to_string(f.num) + "/" + std::to_string(f.den), expected);
    }
}

}  // namespace
}  // namespace nexo
