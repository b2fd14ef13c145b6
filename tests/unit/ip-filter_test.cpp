// The 20-byte filter channel configuration record, byte by byte.
#include "ip-filter.h"

#include <gtest/gtest.h>

#include <cstring>

#include "nexo.h"

namespace nexo {
namespace {

struct cfg_case {
    std::array<uint8_t, 4> src;
    uint16_t src_port;
    std::array<uint8_t, 4> dst;
    uint16_t dst_port;
    uint32_t flags;
};

class decap_cfg : public testing::TestWithParam<cfg_case> {};

TEST_P(decap_cfg, lays_out_fields_and_flags) {
    const cfg_case& c = GetParam();
    st2110_chan chan = {};
    chan.ifs[0].decap_chan = 0x0305;  // only the low byte goes out
    chan.ifs[0].src.ip = c.src;
    chan.ifs[0].src.port = c.src_port;
    chan.ifs[0].dest.ip = c.dst;
    chan.ifs[0].dest.port = c.dst_port;
    uint8_t rec[kIpDecapCfgSize];
    build_ip_decap_cfg(chan, rec);
    // Little-endian on the board and here.
    const uint8_t expected[kIpDecapCfgSize] = {0x05,
                                               0,
                                               c.src[0],
                                               c.src[1],
                                               c.src[2],
                                               c.src[3],
                                               static_cast<uint8_t>(c.src_port),
                                               static_cast<uint8_t>(c.src_port >> 8),
                                               c.dst[0],
                                               c.dst[1],
                                               c.dst[2],
                                               c.dst[3],
                                               static_cast<uint8_t>(c.dst_port),
                                               static_cast<uint8_t>(c.dst_port >> 8),
                                               0,
                                               0,
                                               static_cast<uint8_t>(c.flags),
                                               0,
                                               0,
                                               0};
    EXPECT_EQ(std::memcmp(rec, expected, kIpDecapCfgSize), 0);
}

INSTANTIATE_TEST_SUITE_P(records, decap_cfg,
                         testing::Values(cfg_case{{0, 0, 0, 0}, 0, {239, 1, 1, 1}, 5004, 0xA},
                                         cfg_case{{10, 0, 0, 5}, 0, {239, 1, 1, 1}, 5004, 0xB},
                                         cfg_case{
                                             {10, 0, 0, 5}, 0x1234, {239, 1, 1, 1}, 0x3e8, 0xF},
                                         cfg_case{{0, 0, 0, 0}, 0, {0, 1, 2, 3}, 0, 0x0},
                                         cfg_case{{0, 9, 9, 9}, 7, {192, 0, 2, 10}, 0, 0x6}));

}  // namespace
}  // namespace nexo
