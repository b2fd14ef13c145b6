// Requests to the media-transport daemon on real pipes: the exact request line, and what each
// reply makes of the value.
#include "smpte-2110-if.h"

#include <gtest/gtest.h>

#include <string>

#include "link_requests.h"
#include "smpte-2110-strm-ctrl.h"
#include "test_ctx.h"

namespace nexo {
namespace {

// A request on channel 20:0 or 20:1, the reply queued before it ("" for none), and the value
// the reply leaves (99 untouched).
struct reply_case {
    int32_t (*request)(nexo_cfg*, uint32_t*);
    const char* reply;
    int32_t rc;
    uint32_t value;
};

int32_t opmode(nexo_cfg* ctx, uint32_t* v) {
    return get_dec_mc_opmode(ctx, &ctx->chans[0], v);
}
int32_t payload(nexo_cfg* ctx, uint32_t* v) {
    return get_payload_size(ctx, &ctx->chans[0], v);
}
int32_t rtp_lock(nexo_cfg* ctx, uint32_t*) {
    return check_rtp_lock(ctx, &ctx->chans[1]);
}

TEST(media_replies, value_after_the_channel) {
    const reply_case cases[] = {
        {opmode, "RGET ST2110_DEC_MC_OPMODE 20:0 TIMED_ALIGN\n", 0, 2},
        {opmode, "RGET ST2110_DEC_MC_OPMODE 20:0 PASSTHROUGH extra\n", 0, 0},
        {opmode, "RGET ST2110_DEC_MC_OPMODE 20:0\n", -2, 99},
        {opmode, "RGET ST2110_DEC_MC_OPMODE 20:0 \n", -3, 99},
        {opmode, "RGET ST2110_DEC_MC_OPMODE 20:0 timed_align\n", -4, 99},
        {opmode, "ERROR\n", -1, 99},
        {opmode, "RSET ST2110_DEC_MC_OPMODE 20:0 TIMED_ALIGN\n", -1, 99},
        {payload, "RGET ST2110_ENC_NET_PARAMS 20:0 R 239.1.1.1 5000 96 1400\n", 0, 1400},
        {payload, "RGET ST2110_ENC_NET_PARAMS 20:0 R 239.1.1.1 5000 96\n", 0, 1260},
        {payload, "RGET ST2110_ENC_NET_PARAMS 20:0 R 239.1.1.1 5000 96 x\n", -3, 99},
        {payload, "RGET ST2110_ENC_NET_PARAMS 20:0 R 239.1.1.1\n", -5, 99},
        {payload, "RGET ST2110_ENC_NET_PARAMS 20:0\n", -3, 99},
        {payload, "RGET ST2110_ENC_NET_PARAMS\n", -2, 99},
        {rtp_lock, "RGET ST2110_DEC_STREAM_SYNC 20:1 1\n", 0, 99},
        {rtp_lock, "RGET ST2110_DEC_STREAM_SYNC 20:1 0\n", 1, 99},
        {rtp_lock, "RGET ST2110_DEC_STREAM_SYNC 30:1 1\n", -3, 99},
        {rtp_lock, "RGET ST2110_DEC_STREAM_SYNC 20:2 1\n", -4, 99},
        {rtp_lock, "RGET ST2110_DEC_STREAM_SYNC 20:1\n", -2, 99},
    };
    for (const reply_case& c : cases) {
        test::test_ctx t;
        t.feed(2, c.reply);
        uint32_t value = 99;
        EXPECT_EQ(c.request(t.ctx, &value), c.rc) << c.reply;
        EXPECT_EQ(value, c.value) << c.reply;
        if (c.request == opmode) {
            EXPECT_EQ(t.written(2), "GET ST2110_DEC_MC_OPMODE 20:0\n");
        }
    }
}

// Each request with the reply queued before it ("" for none): the exact line it sends ("" for
// none) and what it returns.
TEST(media_requests, exact_lines) {
    test::test_ctx t;
    nexo_cfg* x = t.ctx;
    const st2110_chan* c = &t.ctx->chans[4];  // 30:0
    uint32_t v = 0;
    int32_t d = 0;
    media_delay_stats s = {};
    const vid_fmt f = {2, 10, 1, 1920, 1080, 50, 1};
    // clang-format off
    test::run_requests(t, 2, {
        {"RSET ST2110_DEC_PLAYOUT_DELAY\n", [&] { return test::result(set_playout_delay(x, c, -5)); }, "SET ST2110_DEC_PLAYOUT_DELAY 30:0 -5\n", "0"},
        {"RSET ST2110_ENC_TRF_SHP_OFFSET\n", [&] { return test::result(set_trs_offset(x, c, 4000000000u)); }, "SET ST2110_ENC_TRF_SHP_OFFSET 30:0 4000000000\n", "0"},
        {"RGET ST2110_21_VID_PKT_SCHED 30:0 linear\n", [&] { return test::result(get_pkt_sched(x, c, &v), &v); }, "GET ST2110_21_VID_PKT_SCHED 30:0\n", "0 1"},
        {"RGET ST2110_ENC_DEF_TR_OFFSET 30:0 777\n", [&] { return test::result(get_def_tr_offset(x, c, &v), &v); }, "GET ST2110_ENC_DEF_TR_OFFSET 30:0\n", "0 777"},
        {"RGET ST2110_ENC_DEF_TR_OFFSET 1234\n", [&] { return test::result(get_def_tr_offset_from_mode(x, &f, &v), &v); }, "GET ST2110_ENC_DEF_TR_OFFSET YCR422 10 P 1920 1080 50\n", "0 1234"},
        {"RGET ST2110_DEC_PLAYOUT_DELAY 30:0 -42\n", [&] { return test::result(get_playout_delay(x, c, &d), &d); }, "GET ST2110_DEC_PLAYOUT_DELAY 30:0\n", "0 -42"},
        // Nothing within 100 ms.
        {"", [&] { return test::result(get_playout_delay(x, c, &d)); }, "GET ST2110_DEC_PLAYOUT_DELAY 30:0\n", "-2"},
        // Traffic shaping is a video sender's; an unknown mode sends nothing.
        {"", [&] { return test::result(get_traffic_shaping_mode(x, c, &v)); }, "", "-1"},
        {"", [&] { return test::result(set_ts_opmode(x, c, 3)); }, "", "-1"},
        {"", [&] { return test::result(set_dec_mc_opmode(x, c + 1, 4)); }, "", "-1"},
        {"RSET ST2110_DEC_MC_OPMODE 30:1 TIMED_ALIGN OK\n", [&] { return test::result(set_dec_mc_opmode(x, c + 1, 2)); }, "SET ST2110_DEC_MC_OPMODE 30:1 TIMED_ALIGN\n", "0"},
        {"", [&] { return test::result(set_dec_mc_opmode(x, c + 1, 0)); }, "SET ST2110_DEC_MC_OPMODE 30:1 PASSTHROUGH\n", "-2"},
        // The values land out of order.
        {"RGET ST2110_DEC_MEDIA_DELAY_STATS 20:0 1 2 3 4 5\n", [&] { return test::result(get_media_delay_stats(x, c - 4, &s), &s.s1, &s.s2, &s.s3, &s.s4, &s.u); },
         "GET ST2110_DEC_MEDIA_DELAY_STATS 20:0\n", "0 1 4 2 3 5"},
    });
    // clang-format on
}

TEST(channel_state, net_checks) {
    test::test_ctx t;
    st2110_chan c = t.ctx->chans[0];
    EXPECT_EQ(check_net_flags(&c, 0), -1);  // no destination yet
    c.ifs[0].flags |= kIfDestSet;
    EXPECT_EQ(check_net_flags(&c, 0), 0);
    EXPECT_EQ(check_net_flags(&c, kIfSrcSet), -1);
    if_list.flags &= ~kNetIfIpValid;
    EXPECT_EQ(check_net_flags(&c, 0), -1);
    EXPECT_EQ(set_rx_chan_state(t.ctx, &c, 0xFFFFFFFF, 0), -1);
    EXPECT_EQ(set_rx_chan_state(t.ctx, &c, 0, 0), 0);  // already OFF: nothing sent
    EXPECT_EQ(t.written(2), "");
}

}  // namespace
}  // namespace nexo
