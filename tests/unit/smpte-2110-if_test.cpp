// Requests to the media-transport daemon on real pipes: the exact request line, and what each
// reply makes of the value.
#include "smpte-2110-if.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

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

TEST(set_dec_mc_opmode, unknown_mode_sends_nothing) {
    test::test_ctx t;
    EXPECT_EQ(set_dec_mc_opmode(t.ctx, &t.ctx->chans[5], 4), -1);
    EXPECT_EQ(t.written(2), "");
    t.feed(2, "RSET ST2110_DEC_MC_OPMODE 30:1 TIMED_ALIGN OK\n");
    EXPECT_EQ(set_dec_mc_opmode(t.ctx, &t.ctx->chans[5], 2), 0);
    EXPECT_EQ(t.written(2), "SET ST2110_DEC_MC_OPMODE 30:1 TIMED_ALIGN\n");
    EXPECT_EQ(set_dec_mc_opmode(t.ctx, &t.ctx->chans[5], 0), -2);  // no reply
}

TEST(get_media_delay_stats, values_land_out_of_order) {
    test::test_ctx t;
    t.feed(2, "RGET ST2110_DEC_MEDIA_DELAY_STATS 20:0 1 2 3 4 5\n");
    media_delay_stats s = {};
    EXPECT_EQ(get_media_delay_stats(t.ctx, &t.ctx->chans[0], &s), 0);
    EXPECT_EQ(std::tuple(s.s1, s.s2, s.s3, s.s4, s.u), std::tuple(1, 4, 2, 3, 5u));
}

TEST(media_requests, exact_lines) {
    test::test_ctx t;
    const st2110_chan* c = &t.ctx->chans[4];  // 30:0
    uint32_t v = 0;
    int32_t d = 0;
    t.feed(2, "RSET ST2110_DEC_PLAYOUT_DELAY\n");
    EXPECT_EQ(set_playout_delay(t.ctx, c, -5), 0);
    EXPECT_EQ(t.written(2), "SET ST2110_DEC_PLAYOUT_DELAY 30:0 -5\n");
    t.feed(2, "RSET ST2110_ENC_TRF_SHP_OFFSET\n");
    EXPECT_EQ(set_trs_offset(t.ctx, c, 4000000000u), 0);
    EXPECT_EQ(t.written(2), "SET ST2110_ENC_TRF_SHP_OFFSET 30:0 4000000000\n");
    t.feed(2, "RGET ST2110_21_VID_PKT_SCHED 30:0 linear\n");
    EXPECT_EQ(get_pkt_sched(t.ctx, c, &v), 0);
    EXPECT_EQ(v, 1u);
    t.written(2);
    t.feed(2, "RGET ST2110_ENC_DEF_TR_OFFSET 30:0 777\n");
    EXPECT_EQ(get_def_tr_offset(t.ctx, c, &v), 0);
    EXPECT_EQ(v, 777u);
    EXPECT_EQ(t.written(2), "GET ST2110_ENC_DEF_TR_OFFSET 30:0\n");
    vid_fmt f = {2, 10, 1, 1920, 1080, 50, 1};
    t.feed(2, "RGET ST2110_ENC_DEF_TR_OFFSET 1234\n");
    EXPECT_EQ(get_def_tr_offset_from_mode(t.ctx, &f, &v), 0);
    EXPECT_EQ(v, 1234u);
    EXPECT_EQ(t.written(2), "GET ST2110_ENC_DEF_TR_OFFSET YCR422 10 P 1920 1080 50\n");
    t.feed(2, "RGET ST2110_DEC_PLAYOUT_DELAY 30:0 -42\n");
    EXPECT_EQ(get_playout_delay(t.ctx, c, &d), 0);
    EXPECT_EQ(d, -42);
    EXPECT_EQ(get_playout_delay(t.ctx, c, &d), -2);  // nothing within 100 ms
    // Traffic shaping is a video sender's.
    t.written(2);
    EXPECT_EQ(get_traffic_shaping_mode(t.ctx, c, &v), -1);
    EXPECT_EQ(t.written(2), "");
    EXPECT_EQ(set_ts_opmode(t.ctx, c, 3), -1);
    EXPECT_EQ(t.written(2), "");
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
