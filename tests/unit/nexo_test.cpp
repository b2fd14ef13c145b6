// Start values of the daemon context and the release of everything at shutdown.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "ext_cmds.h"
#include "nexo.h"

namespace nexo {
namespace {

TEST(init_config, start_values) {
    auto* ctx = new nexo_cfg{};
    init_config(ctx);
    EXPECT_STREQ(ctx->cfg_path, "/etc/nexo.cfg");
    EXPECT_STREQ(ctx->links[0].rd_path, "/var/run/ST2059_rd.p");
    EXPECT_STREQ(ctx->links[0].wr_path, "/var/run/ST2059_wr.p");
    EXPECT_STREQ(ctx->links[1].rd_path, "/var/run/nexo_wr.p");
    EXPECT_STREQ(ctx->links[1].wr_path, "/var/run/nexo_rd.p");
    EXPECT_STREQ(ctx->links[2].rd_path, "/var/run/smpte2110r.p");
    EXPECT_STREQ(ctx->links[2].wr_path, "/var/run/smpte2110w.p");
    EXPECT_EQ(ctx->links[0].cmds, st2059_if_cmds);
    EXPECT_EQ(ctx->links[1].cmds, nexo_cmds);
    EXPECT_EQ(ctx->links[2].cmds, smpte2110_cmds);
    EXPECT_STREQ(ctx->ip_filter.path, "/dev/zeb-ip-filter-0");
    EXPECT_STREQ(ctx->vid_out[3].path, "/dev/axis2vid-3");
    EXPECT_STREQ(ctx->fmt_det[2].path, "/dev/rtp-vid-fmt-det-2");
    for (size_t i = 0; i < kNbrChans; ++i) {
        const st2110_chan& c = ctx->chans[i];
        SCOPED_TRACE(i);
        // Four video, four audio, four ancillary channels, in that order.
        EXPECT_EQ(c.type, i < 4 ? 20 : i < 8 ? 30 : 40);
        EXPECT_EQ(c.index, static_cast<uint8_t>(i % 4));
        EXPECT_EQ(c.state, kStateOff);
        EXPECT_EQ(c.nbr_if, 1);
        EXPECT_EQ(c.ifs[0].flags, kIfAssigned | kIfEnabled);
        EXPECT_EQ(c.ifs[0].net_if, &if_list);
        EXPECT_EQ(c.ifs[0].decap_chan, i);
        EXPECT_EQ(c.ifs[0].src.ttl, 64);
        EXPECT_EQ(c.ifs[0].dest.tos, 136);
        EXPECT_EQ(c.tx_ts_delay, kDefault32);
        EXPECT_EQ(c.recons_delay, kDefault32);
        EXPECT_EQ(c.psg, 255);
        uint32_t flags = kChanFixedMac | (c.type == 40 ? kChanFmtConfigured : 0);
        EXPECT_EQ(c.flags, flags);
        EXPECT_EQ(c.vid_out, c.type == 20 ? &ctx->vid_out[c.index] : nullptr);
        EXPECT_EQ(c.fmt_det, c.type == 20 ? &ctx->fmt_det[c.index] : nullptr);
        EXPECT_EQ(std::holds_alternative<vid_fmt*>(c.fmt), c.type == 20);
        EXPECT_EQ(std::holds_alternative<aud_fmt*>(c.fmt), c.type == 30);
        EXPECT_EQ(std::holds_alternative<std::monostate>(c.fmt), c.type == 40);
    }
    delete ctx;
}

TEST(deinit_config, closes_every_descriptor) {
    auto* ctx = new nexo_cfg{};
    init_config(ctx);
    std::vector<int> fds;
    auto open_one = [&fds]() {
        int fd = ::open("/dev/null", O_RDONLY);
        fds.push_back(fd);
        return fd;
    };
    for (pipe_link& l : ctx->links) {
        l.rd_fd.reset(open_one());
        l.wr_fd.reset(open_one());
    }
    ctx->ip_filter.fd.reset(open_one());
    for (device_rec& d : ctx->vid_out) {
        d.fd.reset(open_one());
    }
    for (device_rec& d : ctx->fmt_det) {
        d.fd.reset(open_one());
    }
    ctx->nl_sock.reset(open_one());
    if_list.sock.reset(open_one());
    ASSERT_EQ(fds.size(), 17u);
    deinit_config(ctx);
    for (int fd : fds) {
        EXPECT_EQ(::fcntl(fd, F_GETFD), -1) << fd;
    }
}

}  // namespace
}  // namespace nexo
