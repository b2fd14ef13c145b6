// The decapsulation filter model (its reading of the daemon's records is tested beside the
// daemon's writer): which channel a datagram goes to, the per-channel counters, and IPv4/UDP
// parsing of what the wire delivers.
#include "decap_filter.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace nexo::sim {
namespace {

constexpr uint32_t ip(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
    return static_cast<uint32_t>(a) << 24 | static_cast<uint32_t>(b) << 16 |
           static_cast<uint32_t>(c) << 8 | d;
}

void put(uint8_t* at, uint32_t v, int n) {
    for (int i = 0; i < n; ++i) {
        at[i] = static_cast<uint8_t>(v >> (8 * (n - 1 - i)));
    }
}

// An IPv4/UDP datagram carrying an RTP header with the given sequence number and timestamp,
// then `extra` payload bytes.
std::vector<uint8_t> datagram(uint32_t src, uint32_t dst, uint16_t sport, uint16_t dport,
                              uint16_t seq = 0, uint32_t ts = 0, size_t extra = 8) {
    const auto udp_len = static_cast<uint32_t>(8 + 12 + extra);
    std::vector<uint8_t> p(20 + udp_len, 0);
    p[0] = 0x45;
    put(&p[2], 20 + udp_len, 2);
    p[6] = 0x40;  // don't fragment
    p[8] = 64;
    p[9] = 17;
    put(&p[12], src, 4);
    put(&p[16], dst, 4);
    put(&p[20], sport, 2);
    put(&p[22], dport, 2);
    put(&p[24], udp_len, 2);
    p[28] = 0x80;  // RTP version 2
    p[29] = 96;
    put(&p[30], seq, 2);
    put(&p[32], ts, 4);
    return p;
}

udp_view view(const std::vector<uint8_t>& p) {
    udp_view v;
    EXPECT_TRUE(parse_ipv4_udp(p.data(), p.size(), v));
    return v;
}

TEST(decap_filter, a_datagram_goes_to_the_first_enabled_channel_whose_given_fields_match) {
    const uint32_t g1 = ip(239, 1, 1, 1);
    const uint32_t g2 = ip(239, 1, 1, 2);
    const uint32_t tx = ip(192, 0, 2, 20);
    const uint32_t other = ip(192, 0, 2, 21);
    decap_filter f;
    f.set_rules({
        {0, g1, 0, 5004, kFlagDstIp | kFlagDstPort, true},                 // 0: any source
        {tx, g2, 0, 0, kFlagSrcIp | kFlagDstIp, true},                     // 1: SSM, any port
        {0, ip(239, 1, 1, 3), 0, 5004, kFlagDstIp | kFlagDstPort, false},  // 2: switched off
        {0, 0, 0, 0, 0, true},                                             // 3: nothing given
        {0, 0, 7000, 5006, kFlagSrcPort | kFlagDstPort, true},             // 4: ports only
        {0, g1, 0, 5004, kFlagDstIp | kFlagDstPort, true},                 // 5: same as 0
        {other, g2, 0, 0, kFlagSrcIp | kFlagDstIp, true},                  // 6: other source
    });
    struct row {
        uint32_t src, dst;
        uint16_t sport, dport;
        int chan;
    } rows[] = {
        {tx, g1, 40000, 5004, 0},               // the lower of two equal channels
        {tx, g1, 40000, 5006, -1},              // wrong port
        {tx, g2, 1, 9, 1},                      //
        {other, g2, 1, 9, 6},                   // the other source's channel
        {ip(192, 0, 2, 22), g2, 1, 9, -1},      // no channel for this source
        {tx, ip(239, 1, 1, 3), 1, 5004, -1},    // only a disabled channel
        {tx, ip(10, 0, 0, 1), 7000, 5006, 4},   //
        {tx, ip(10, 0, 0, 1), 7001, 5006, -1},  //
    };
    for (const row& r : rows) {
        const std::vector<uint8_t> p = datagram(r.src, r.dst, r.sport, r.dport);
        EXPECT_EQ(f.classify(view(p)), r.chan)
            << std::hex << r.src << " -> " << r.dst << std::dec << ":" << r.dport;
    }
}

TEST(decap_filter, counts_packets_bytes_sequence_gaps_and_timestamps_per_channel) {
    const uint32_t g = ip(239, 1, 1, 1);
    decap_filter f;
    f.set_rules({{0, g, 0, 5004, kFlagDstIp | kFlagDstPort, true}});
    struct pkt {
        uint16_t seq;
        uint32_t ts;
    } seqs[] = {
        {65533, 100}, {65534, 100}, {65535, 200}, {0, 200},  // wraps without a gap
        {3, 300},                                            // 1 and 2 missing
        {3, 300},                                            // repeated: one gap
        {4, 400},
    };
    for (const pkt& s : seqs) {
        const std::vector<uint8_t> p = datagram(ip(192, 0, 2, 20), g, 1, 5004, s.seq, s.ts, 100);
        EXPECT_EQ(f.account(view(p)), 0);
    }
    const std::vector<uint8_t> stray = datagram(ip(192, 0, 2, 20), g, 1, 5005);
    EXPECT_EQ(f.account(view(stray)), -1);

    const channel_counters& c = f.counters(0);
    EXPECT_EQ(c.packets, 7u);
    EXPECT_EQ(c.bytes, 7u * (12 + 100));  // UDP payload
    EXPECT_EQ(c.seq_gaps, 3u);
    EXPECT_EQ(c.ts_steps, 3u);
    EXPECT_EQ(c.last_ts, 400u);
    EXPECT_EQ(f.dropped(), 1u);

    // Switched off, the channel keeps its counters; pointed at another stream it counts
    // afresh, so the new sender's first sequence number is no gap.
    EXPECT_TRUE(f.set_rules({{0, g, 0, 5004, kFlagDstIp | kFlagDstPort, false}}).empty());
    EXPECT_EQ(f.counters(0).packets, 7u);
    const uint32_t g2 = ip(239, 1, 1, 2);
    EXPECT_EQ(f.set_rules({{0, g2, 0, 5004, kFlagDstIp | kFlagDstPort, true}}),
              std::vector<size_t>{0});
    EXPECT_EQ(f.counters(0).packets, 0u);
    for (uint16_t seq : {40000, 40001}) {
        const std::vector<uint8_t> p = datagram(ip(192, 0, 2, 21), g2, 1, 5004, seq, 9);
        EXPECT_EQ(f.account(view(p)), 0);
    }
    EXPECT_EQ(f.counters(0).seq_gaps, 0u);
    EXPECT_EQ(f.counters(0).packets, 2u);
    f.clear_counters();
    EXPECT_EQ(f.counters(0).packets, 0u);
    EXPECT_EQ(f.dropped(), 0u);
}

TEST(decap_filter, refuses_what_is_not_a_whole_udp_datagram) {
    const std::vector<uint8_t> good = datagram(ip(192, 0, 2, 20), ip(239, 1, 1, 1), 1, 5004);
    struct change {
        const char* what;
        size_t at;
        uint8_t value;
    } changes[] = {
        {"IPv6 version", 0, 0x65},
        {"header shorter than 20", 0, 0x44},
        {"more fragments", 6, 0x20},
        {"fragment offset", 7, 0x01},
        {"TCP", 9, 6},
        {"total length beyond the packet", 3, 0xff},
        {"UDP length beyond IP", 25, 0xff},
        {"UDP length below its header", 25, 7},
    };
    udp_view v;
    ASSERT_TRUE(parse_ipv4_udp(good.data(), good.size(), v));
    EXPECT_EQ(v.len, good.size() - 28);
    for (const change& c : changes) {
        std::vector<uint8_t> p = good;
        p[c.at] = c.value;
        if (c.at == 25) {
            p[24] = 0;
        }
        EXPECT_FALSE(parse_ipv4_udp(p.data(), p.size(), v)) << c.what;
    }
    for (size_t len = 0; len < good.size(); ++len) {
        std::vector<uint8_t> p(good.begin(), good.begin() + static_cast<long>(len));
        EXPECT_FALSE(parse_ipv4_udp(p.data(), p.size(), v)) << len;
    }
}

}  // namespace
}  // namespace nexo::sim
