// nexoctl's SDP commands against the real daemon on the simulated board: what apply sends
// reaches the daemon and the media-transport simulator, get reads it back, a refused
// description changes nothing, and a failure part way sets the channel back.
#include "sdp.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "board.h"
#include "board_link.h"
#include "chan_io.h"
#include "chan_plan.h"
#include "control_client.h"
#include "daemon_process.h"
#include "peer.h"
#include "sandbox.h"
#include "status.h"

namespace nexo::sim {
namespace {

using namespace std::chrono_literals;

struct outcome {
    int status = -1;
    std::string out;
    std::string err;
};

outcome ctl(const std::string& args) {
    outcome o;
    std::string cmd = std::string(NEXOCTL_PATH) + " --pipes /run " + args +
                      " --state-dir /run/nexo-state 2>/run/sdp-err";
    FILE* p = ::popen(cmd.c_str(), "r");
    if (p == nullptr) {
        return o;
    }
    char buf[512];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) {
        o.out.append(buf, n);
    }
    int st = ::pclose(p);
    o.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    o.err = read_file("/run/sdp-err");
    return o;
}

std::string write_sdp_file(const std::string& name, const std::string& text) {
    std::string path = "/run/" + name;
    std::ofstream(path) << text;
    return path;
}

std::string description(const std::string& media) {
    return "v=0\r\no=- 7 7 IN IP4 192.0.2.1\r\ns=sender\r\nt=0 0\r\n" + media;
}

const std::string k1080i = description(
    "m=video 5004 RTP/AVP 96\r\nc=IN IP4 239.10.1.1/64\r\n"
    "a=source-filter: incl IN IP4 239.10.1.1 192.0.2.1\r\na=rtpmap:96 raw/90000\r\n"
    "a=fmtp:96 sampling=YCbCr-4:2:2; width=1920; height=1080; exactframerate=25; depth=10; "
    "interlace; colorimetry=BT2020; TCS=PQ; PM=2110GPM; SSN=ST2110-20:2017; TP=2110TPW; "
    "MAXUDP=8960; \r\n"
    "a=ts-refclk:ptp=IEEE1588-2008:08-00-11-FF-FE-22-39-E4:127\r\na=mediaclk:direct=0\r\n");
const std::string k720p = description(
    "m=video 6000 RTP/AVP 98\r\nc=IN IP4 239.10.2.2/64\r\na=rtpmap:98 raw/90000\r\n"
    "a=fmtp:98 sampling=YCbCr-4:2:2; width=1280; height=720; exactframerate=60000/1001; "
    "depth=10\r\n");
const std::string k576i = description(
    "m=video 5010 RTP/AVP 96\r\nc=IN IP4 239.10.5.5/64\r\na=rtpmap:96 raw/90000\r\n"
    "a=fmtp:96 sampling=YCbCr-4:2:2; width=720; height=576; exactframerate=25; depth=10; "
    "interlace; colorimetry=BT601; TCS=SDR; PM=2110GPM; SSN=ST2110-20:2017; TP=2110TPN\r\n");
const std::string kAudio = description(
    "m=audio 5006 RTP/AVP 97\r\nc=IN IP4 239.10.3.3/64\r\na=rtpmap:97 L24/48000/8\r\n"
    "a=fmtp:97 channel-order=SMPTE2110.(SGRP)\r\na=ptime:1\r\n");
const std::string kAnc = description(
    "m=video 5008 RTP/AVP 100\r\nc=IN IP4 239.10.4.4/64\r\n"
    "a=source-filter: incl IN IP4 239.10.4.4 192.0.2.7\r\na=rtpmap:100 smpte291/90000\r\n");

// Every channel as the daemon answers, for comparing before and after.
std::string all_state(board& b) {
    auto link = board_link(b);
    client::status_result s = client::read_status(link);
    EXPECT_FALSE(s.failed);
    return client::status_json(s.channels);
}

std::vector<std::string> media_sets(peer_sim& p) {
    std::vector<std::string> out;
    for (const std::string& l : p.log()) {
        if (l.rfind("SET ", 0) == 0) {
            out.push_back(l);
        }
    }
    return out;
}

struct apply_case {
    const char* channel;
    const std::string* sdp;
    std::vector<std::string> media;              // SET lines the media-transport simulator must get
    std::map<std::string, std::string> answers;  // GET line -> reply
};

struct sdp_round_trip : testing::TestWithParam<apply_case> {};

TEST_P(sdp_round_trip, apply_reaches_the_board_and_get_reads_it_back) {
    const apply_case& c = GetParam();
    board b;
    ASSERT_TRUE(b.started());
    std::string file = write_sdp_file("in.sdp", *c.sdp);
    b.media().clear_log();
    outcome applied = ctl(std::string("sdp apply ") + c.channel + " " + file + " --enable");
    ASSERT_EQ(applied.status, 0) << applied.err;
    EXPECT_EQ(media_sets(b.media()), c.media);
    for (const auto& [get, reply] : c.answers) {
        EXPECT_EQ(b.client().request(get), reply + "\n") << get;
    }

    outcome got = ctl(std::string("sdp get ") + c.channel);
    ASSERT_EQ(got.status, 0) << got.err;
    auto read_back = client::parse_sdp(got.out);
    auto original = client::parse_sdp(*c.sdp);
    ASSERT_TRUE(read_back.ok()) << got.out;
    auto ch = client::parse_channel(c.channel);
    client::channel_plan a = client::plan_channel(*original.session, ch);
    client::channel_plan g = client::plan_channel(*read_back.session, ch);
    ASSERT_FALSE(g.refused) << client::to_string(*g.refused) << "\n" << got.out;
    EXPECT_EQ(g.config, a.config) << got.out;
    // And what the board does not store, from what apply kept; nothing to note.
    const client::sdp_media& om = original.session->media[0];
    const client::sdp_media& gm = read_back.session->media[0];
    EXPECT_EQ(gm.params.colorimetry, om.params.colorimetry) << got.out;
    EXPECT_EQ(gm.params.tcs, om.params.tcs) << got.out;
    EXPECT_EQ(gm.params.tp, om.params.tp) << got.out;
    EXPECT_EQ(gm.params.maxudp, om.params.maxudp) << got.out;
    EXPECT_EQ(gm.params.channel_order, om.params.channel_order) << got.out;
    if (!om.ts_refclk.empty()) {
        EXPECT_EQ(gm.ts_refclk, om.ts_refclk) << got.out;
    }
    EXPECT_EQ(read_back.session->name, "sender");
    EXPECT_EQ(got.err, "");

    // Applying what get wrote changes nothing the daemon answers.
    std::string before = all_state(b);
    std::string again = write_sdp_file("again.sdp", got.out);
    ASSERT_EQ(ctl(std::string("sdp apply ") + c.channel + " " + again).status, 0);
    EXPECT_EQ(all_state(b), before);
}

INSTANTIATE_TEST_SUITE_P(
    channels, sdp_round_trip,
    testing::Values(
        apply_case{
            "20:1",
            &k1080i,
            {"SET ST2110_DEC_NET_PARAMS 20:1 R 96",
             "SET ST2110_DEC_VID_FMT 20:1 YCR422 10 I 1920 1080 50",
             "SET ST2110_DEC_CHAN_ENA 20:1 ON"},
            {{"GET RX_IP_DEST 20:1 eth1", "RGET RX_IP_DEST 20:1 eth1 R 239.10.1.1 5004 96 1260"},
             {"GET RX_IP_SRC 20:1 eth1", "RGET RX_IP_SRC 20:1 eth1 R 192.0.2.1 0 96 1260"},
             {"GET RX_VID_FMT 20:1", "RGET RX_VID_FMT 20:1 YCR422 10 I 1920 1080 50"},
             {"GET RX_STR_ENA 20:1", "RGET RX_STR_ENA 20:1 ON"}}},
        apply_case{"20:3",
                   &k576i,
                   {"SET ST2110_DEC_NET_PARAMS 20:3 R 96",
                    "SET ST2110_DEC_VID_FMT 20:3 YCR422 10 I 720 576 50",
                    "SET ST2110_DEC_CHAN_ENA 20:3 ON"},
                   {{"GET RX_VID_FMT 20:3", "RGET RX_VID_FMT 20:3 YCR422 10 I 720 576 50"}}},
        apply_case{
            "30:2",
            &kAudio,
            {"SET ST2110_DEC_NET_PARAMS 30:2 R 97", "SET ST2110_DEC_AUD_FMT 30:2 8 L24 48000 1",
             "SET ST2110_DEC_CHAN_ENA 30:2 ON"},
            {{"GET RX_IP_DEST 30:2 eth1", "RGET RX_IP_DEST 30:2 eth1 R 239.10.3.3 5006 97 1260"},
             {"GET RX_AUD_FMT 30:2", "RGET RX_AUD_FMT 30:2 8 L24 48000 1"}}},
        apply_case{
            "40:3",
            &kAnc,
            {"SET ST2110_DEC_NET_PARAMS 40:3 R 100", "SET ST2110_DEC_CHAN_ENA 40:3 ON"},
            {{"GET RX_IP_DEST 40:3 eth1", "RGET RX_IP_DEST 40:3 eth1 R 239.10.4.4 5008 100 1260"},
             {"GET RX_IP_SRC 40:3 eth1", "RGET RX_IP_SRC 40:3 eth1 R 192.0.2.7 0 100 1260"}}}));

TEST(sdp_apply, refused_description_sends_nothing_and_changes_nothing) {
    board b;
    ASSERT_TRUE(b.started());
    std::string before = all_state(b);
    b.media().clear_log();
    std::string s420 = k1080i;
    s420.replace(s420.find("YCbCr-4:2:2"), 11, "YCbCr-4:2:0");
    struct row {
        std::string args;
        const char* says;
    };
    const row rows[] = {
        {"sdp apply 20:0 " + write_sdp_file("420.sdp", s420) + " --enable", "sampling YCbCr-4:2:0"},
        {"sdp apply 20:0 " + write_sdp_file("audio.sdp", kAudio), "audio/L24"},
        {"sdp apply 30:0 " + write_sdp_file("bad.sdp", "v=0\nbroken\n"), "line 2: broken"},
    };
    for (const row& r : rows) {
        outcome o = ctl(r.args);
        EXPECT_EQ(o.status, 4) << r.args;
        EXPECT_NE(o.err.find(r.says), std::string::npos) << o.err;
        EXPECT_TRUE(o.out.empty()) << o.out;
    }
    EXPECT_TRUE(b.media().log().empty());
    EXPECT_EQ(all_state(b), before);
}

// A group or stream another channel would lose is refused before anything is sent, naming the
// other channel; --force applies it anyway.
TEST(sdp_apply, refuses_what_another_channel_would_lose) {
    board b;
    ASSERT_TRUE(b.started());
    // 20:1 receives 239.10.1.1:5004 from 192.0.2.1 only.
    ASSERT_EQ(ctl("sdp apply 20:1 " + write_sdp_file("ssm.sdp", k1080i) + " --enable").status, 0);
    std::string any_source = k1080i;
    any_source.erase(any_source.find("a=source-filter"),
                     any_source.find("a=rtpmap") - any_source.find("a=source-filter"));
    struct row {
        const char* channel;
        std::string file;
        const char* says;
    };
    const row rows[] = {
        {"20:2", write_sdp_file("asm.sdp", any_source),
         "refused: 20:1 receives 239.10.1.1 from 192.0.2.1 only, and 20:2 would receive it from "
         "any source"},
        {"20:3", write_sdp_file("same.sdp", k1080i),
         "refused: 20:1 already receives 239.10.1.1:5004"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.channel);
        std::string before = all_state(b);
        b.media().clear_log();
        outcome o = ctl(std::string("sdp apply ") + r.channel + " " + r.file + " --enable");
        EXPECT_EQ(o.status, 4);
        EXPECT_NE(o.err.find(r.says), std::string::npos) << o.err;
        EXPECT_NE(o.err.find("nothing was sent"), std::string::npos) << o.err;
        EXPECT_TRUE(o.out.empty()) << o.out;
        EXPECT_TRUE(media_sets(b.media()).empty());
        EXPECT_EQ(all_state(b), before);
        outcome forced = ctl(std::string("sdp apply ") + r.channel + " " + r.file + " --force");
        EXPECT_EQ(forced.status, 0) << forced.err;
        EXPECT_EQ(
            b.client().request(std::string("GET RX_IP_DEST ") + r.channel + " eth1"),
            std::string("RGET RX_IP_DEST ") + r.channel + " eth1 R 239.10.1.1 5004 96 1260\n");
    }
}

// What apply kept is used only while the board still holds what it applied; a unicast channel
// reads back with the board's own address.
TEST(sdp_get, restores_only_while_the_board_still_matches) {
    board b;
    ASSERT_TRUE(b.started());
    ASSERT_EQ(ctl("sdp apply 20:1 " + write_sdp_file("a.sdp", k1080i)).status, 0);
    ASSERT_EQ(b.client().request("SET RX_IP_DEST 20:1 eth1 r 239.10.1.9 5004 96"),
              "RSET RX_IP_DEST 20:1 eth1 OK\n");
    struct row {
        const char* channel;
        const char* has;   // in the description
        const char* note;  // on standard error
    } rows[] = {
        {"20:1", "colorimetry=BT709", "has changed since its description was applied"},
        {"20:2", "TCS=SDR", "no description was applied to 20:2"},
    };
    ASSERT_EQ(b.client().request("SET RX_IP_DEST 20:2 eth1 r self 5004 96"),
              "RSET RX_IP_DEST 20:2 eth1 OK\n");
    ASSERT_EQ(b.client().request("SET RX_VID_FMT 20:2 YCR422 10 P 1920 1080 25"),
              "RSET RX_VID_FMT 20:2 OK\n");
    for (const row& r : rows) {
        SCOPED_TRACE(r.channel);
        outcome got = ctl(std::string("sdp get ") + r.channel);
        EXPECT_EQ(got.status, 0) << got.err;
        EXPECT_NE(got.out.find(r.has), std::string::npos) << got.out;
        EXPECT_NE(got.err.find(r.note), std::string::npos) << got.err;
        // o= and, for the unicast channel, c= carry the board's own address.
        EXPECT_NE(got.out.find(std::string(" IN IP4 ") + kEth1Addr + "\r\n"), std::string::npos)
            << got.out;
    }
    EXPECT_NE(ctl("sdp get 20:2").out.find(std::string("c=IN IP4 ") + kEth1Addr + "\r\n"),
              std::string::npos);
}

TEST(sdp_apply, failure_part_way_restores_the_channel) {
    board b;
    ASSERT_TRUE(b.started());
    ASSERT_EQ(ctl("sdp apply 20:2 " + write_sdp_file("a.sdp", k1080i) + " --enable").status, 0);
    std::string before = all_state(b);
    // The media-transport daemon refuses the next video format: the addresses are set by then.
    b.media().set_rule("ST2110_DEC_VID_FMT", {peer_rule::action::error, "", 0ms, "", 1, 1});
    b.media().clear_log();
    outcome o = ctl("sdp apply 20:2 " + write_sdp_file("b.sdp", k720p));
    EXPECT_EQ(o.status, 1);
    EXPECT_NE(o.err.find("restored"), std::string::npos) << o.err;
    EXPECT_EQ(o.out,
              "SET RX_IP_DEST 20:2 eth1 R 239.10.2.2 6000 98\n"
              "SET RX_IP_SRC 20:2 eth1 R 0.0.0.0 0 98\n"
              "SET RX_VID_FMT 20:2 YCR422 10 P 1280 720 59.94\n");
    EXPECT_EQ(all_state(b), before);
    // The media-transport daemon was told the old transport and format again.
    std::vector<std::string> sets = media_sets(b.media());
    ASSERT_FALSE(sets.empty());
    EXPECT_EQ(sets.back(), "SET ST2110_DEC_VID_FMT 20:2 YCR422 10 I 1920 1080 50");
}

TEST(sdp_status, shows_every_channel) {
    board b;
    ASSERT_TRUE(b.started());
    ASSERT_EQ(ctl("sdp apply 30:1 " + write_sdp_file("a.sdp", kAudio)).status, 0);
    outcome table = ctl("status");
    ASSERT_EQ(table.status, 0) << table.err;
    // The channel table, a blank line and the health table, each with its header.
    EXPECT_EQ(std::count(table.out.begin(), table.out.end(), '\n'), 13 + 1 + 13);
    EXPECT_NE(table.out.find("30:1"), std::string::npos);
    EXPECT_NE(table.out.find("8 L24 48000 1"), std::string::npos);
    outcome json = ctl("status --json");
    ASSERT_EQ(json.status, 0);
    std::size_t n = 0;
    for (std::size_t pos = 0; (pos = json.out.find("\"channel\":", pos)) != std::string::npos;
         ++pos) {
        ++n;
    }
    EXPECT_EQ(n, 12u);
    EXPECT_NE(json.out.find("\"destination\": \"239.10.3.3\""), std::string::npos);
    // Without a daemon: exit 3, nothing printed.
    b.daemon().stop();
    outcome gone = ctl("status");
    EXPECT_EQ(gone.status, 3);
    EXPECT_TRUE(gone.out.empty());
}

}  // namespace
}  // namespace nexo::sim
