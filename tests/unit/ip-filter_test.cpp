// The 20-byte filter channel configuration record: the bytes the daemon writes, and the same
// record as the simulated board reads it back.
#include "ip-filter.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <tuple>

#include "decap_filter.h"
#include "nexo.h"

namespace nexo {
namespace {

std::array<uint8_t, 4> dotted(uint32_t ip) {
    return {uint8_t(ip >> 24), uint8_t(ip >> 16), uint8_t(ip >> 8), uint8_t(ip)};
}

auto fields(const sim::filter_rule& r) {
    return std::tuple(r.src_ip, r.dst_ip, r.src_port, r.dst_port, r.flags);
}

TEST(decap_cfg, lays_out_fields_and_flags_as_the_board_reads_them) {
    // Channel, 0, source address and port, destination address and port, 0 0, flags 0 0 0:
    // ports little-endian on the board and here.
    const std::pair<sim::filter_rule, std::string> rows[] = {
        {{0, 0xef010101, 0, 5004, 0xA}, "0500 00000000 0000 ef010101 8c13 0000 0a000000"},
        {{0x0a000005, 0xef010101, 0, 5004, 0xB}, "0500 0a000005 0000 ef010101 8c13 0000 0b000000"},
        {{0x0a000005, 0xef010101, 0x1234, 1000, 0xF},
         "0500 0a000005 3412 ef010101 e803 0000 0f000000"},
        {{0, 0x00010203, 0, 0, 0x0}, "0500 00000000 0000 00010203 0000 0000 00000000"},
        {{0x00090909, 0xc000020a, 7, 0, 0x6}, "0500 00090909 0700 c000020a 0000 0000 06000000"},
    };
    for (const auto& [want, bytes] : rows) {
        st2110_chan chan = {};
        chan.ifs[0].decap_chan = 0x0305;  // only the low byte goes out
        chan.ifs[0].src.ip = dotted(want.src_ip);
        chan.ifs[0].src.port = want.src_port;
        chan.ifs[0].dest.ip = dotted(want.dst_ip);
        chan.ifs[0].dest.port = want.dst_port;
        std::array<uint8_t, kIpDecapCfgSize> rec{};
        build_ip_decap_cfg(chan, rec.data());
        std::string hex;
        for (uint8_t b : rec) {
            hex += "0123456789abcdef"[b >> 4];
            hex += "0123456789abcdef"[b & 15];
        }
        std::string want_hex = bytes;
        std::erase(want_hex, ' ');
        EXPECT_EQ(hex, want_hex);
        // Any non-zero enable byte counts, as the daemon passes the value on unchanged.
        const sim::filter_rule back = sim::decode_filter_record(rec, 0x80);
        EXPECT_EQ(fields(back), fields(want)) << bytes;
        EXPECT_TRUE(back.enabled);
        EXPECT_FALSE(sim::decode_filter_record(rec, 0).enabled);
    }
}

}  // namespace
}  // namespace nexo
