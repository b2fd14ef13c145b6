// Requests to the timing daemon on real pipes: lines, retries and reply parsing.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "nexo-cmd-parse.h"
#include "smpte-2059-if.h"
#include "test_ctx.h"

namespace nexo {
namespace {

size_t lines(const std::string& s) { return static_cast<size_t>(std::count(s.begin(), s.end(), '\n')); }

TEST(timing_requests, set_lines_and_retries) {
    test::test_ctx t;
    freq f = {30000, 1001};
    EXPECT_EQ(set_psg_freq(t.ctx, 255, &f), -22);
    EXPECT_EQ(t.written(0), "");
    t.feed(0, "RSET PSG_FRQ 2 30000 1001 OK\n");
    EXPECT_EQ(set_psg_freq(t.ctx, 2, &f), 0);
    EXPECT_EQ(t.written(0), "SET PSG_FRQ 2 30000 1001\n");
    // A refusing peer gets the request five times.
    for (int i = 0; i < 5; ++i) {
        t.feed(0, "ERROR\n");
    }
    EXPECT_EQ(set_rcg_freq(t.ctx, 255, &f), -1);
    std::string w = t.written(0);
    EXPECT_EQ(lines(w), 5u);
    EXPECT_EQ(w.substr(0, 26), "SET RCG_FRQ 255 30000 1001");
    t.feed(0, "ERROR\n");
    EXPECT_EQ(set_tcg_resync(t.ctx, 3), -1);
    EXPECT_EQ(t.written(0), "SET TCG_RESYNC 3\n");
    t.feed(0, "RSET TCG_PSG\n");
    EXPECT_EQ(set_tcg_psg(t.ctx, 1, 2), 0);
    EXPECT_EQ(t.written(0), "SET TCG_PSG 1 2\n");
}

TEST(timing_requests, drop_frame_letters_and_memory) {
    struct c {
        uint32_t mode;
        const char* line;
    };
    const c cases[] = {{0, "SET TCG_DROP_FRAME 4 0\n"}, {1, "SET TCG_DROP_FRAME 4 1\n"},
                       {2, "SET TCG_DROP_FRAME 4 S\n"}, {3, "SET TCG_DROP_FRAME 4 Y\n"},
                       {7, "SET TCG_DROP_FRAME 4 Y\n"}};
    for (const c& x : cases) {
        test::test_ctx t;
        t.feed(0, "RSET TCG_DROP_FRAME 4 ok\n");
        EXPECT_EQ(set_tcg_drop_frame(t.ctx, 4, x.mode), 0);
        EXPECT_EQ(t.written(0), x.line);
        EXPECT_EQ(t.ctx->tcg_drop_frame, x.mode);
    }
}

TEST(timing_requests, lock_state_and_frame_rate) {
    test::test_ctx t;
    char state[16];
    EXPECT_EQ(get_ptp_lock_state(t.ctx, state, sizeof state), 0);  // no reply: UNKNOWN
    EXPECT_STREQ(state, "UNKNOWN");
    EXPECT_EQ(t.written(0), "GET PTP_LOCK_STATE\n");
    t.feed(0, "RGET PTP_LOCK_STATE LOCKED\n");
    EXPECT_EQ(get_ptp_lock_state(t.ctx, state, sizeof state), 0);
    EXPECT_STREQ(state, "LOCKED");
    t.feed(0, "ALRT SYNC_FAULT\n");
    EXPECT_EQ(get_ptp_lock_state(t.ctx, state, sizeof state), -1);
    EXPECT_STREQ(state, "UNKNOWN");

    freq f = {1, 1};
    t.feed(0, "RGET 2059_FRA 60000 1001\n");
    EXPECT_EQ(get_smpte2059_frame_rate(t.ctx, &f), 0);
    EXPECT_EQ(f.num, 60000u);
    EXPECT_EQ(f.den, 1001u);
    t.feed(0, "RGET 2059_FRA 25\n");
    EXPECT_EQ(get_smpte2059_frame_rate(t.ctx, &f), -61);
    t.feed(0, "RGET 2059_FRAME 25 1\n");
    EXPECT_EQ(get_smpte2059_frame_rate(t.ctx, &f), -1);
    EXPECT_NE(get_smpte2059_frame_rate(t.ctx, &f), 0);  // no reply
}

}  // namespace
}  // namespace nexo
