// rtnetlink datagrams as the kernel lays them out, built byte by byte; and the stream MAC
// shortcuts that need no socket.
#include "nexo-net.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "nexo.h"

namespace nexo {
namespace {

constexpr int32_t kIndex = 7;

// One message: header (len, type, flags, seq, pid), ifaddrmsg (family, prefixlen, flags,
// scope, index), then an IFA_LOCAL attribute with the address.
std::vector<uint8_t> addr_msg(uint16_t type, std::array<uint8_t, 4> ip, int32_t index = kIndex,
                              uint8_t ifa_flags = 0) {
    std::vector<uint8_t> m(32, 0);
    uint32_t len = 32;
    std::memcpy(&m[0], &len, 4);
    std::memcpy(&m[4], &type, 2);
    m[16] = 2;  // AF_INET
    m[17] = 24;
    m[18] = ifa_flags;
    std::memcpy(&m[20], &index, 4);
    uint16_t alen = 8;
    uint16_t atype = 2;  // IFA_LOCAL
    std::memcpy(&m[24], &alen, 2);
    std::memcpy(&m[26], &atype, 2);
    std::memcpy(&m[28], ip.data(), 4);
    return m;
}

std::vector<uint8_t> done_msg() {
    std::vector<uint8_t> m(20, 0);
    uint32_t len = 20;
    uint16_t type = 3;
    std::memcpy(&m[0], &len, 4);
    std::memcpy(&m[4], &type, 2);
    return m;
}

std::vector<uint8_t> cat(std::initializer_list<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> out;
    for (const auto& p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

struct nl_case {
    const char* name;
    std::vector<uint8_t> datagram;
    bool had_address;
    bool valid;
    std::array<uint8_t, 4> ip;
};

class netlink_walk : public testing::TestWithParam<nl_case> {};

TEST_P(netlink_walk, applies_primary_addresses_of_eth1) {
    const nl_case& c = GetParam();
    net_if_rec rec = {"eth1", {}, {}, 0, unique_fd(), kIndex};
    if (c.had_address) {
        rec.flags = kNetIfIpValid;
        rec.ip_addr = {192, 0, 2, 10};
    }
    // An exact-size copy, so that a read past the datagram is caught.
    std::vector<uint8_t> exact(c.datagram);
    apply_netlink_datagram(rec, exact.data(), exact.size());
    EXPECT_EQ((rec.flags & kNetIfIpValid) != 0, c.valid) << c.name;
    EXPECT_EQ(rec.ip_addr, c.ip) << c.name;
}

const std::array<uint8_t, 4> kOld = {192, 0, 2, 10};
const std::array<uint8_t, 4> kNew = {192, 0, 2, 99};
const std::array<uint8_t, 4> kZero = {0, 0, 0, 0};

std::vector<uint8_t> with_len(std::vector<uint8_t> m, uint32_t len) {
    std::memcpy(&m[0], &len, 4);
    return m;
}

std::vector<uint8_t> truncated(std::vector<uint8_t> m, size_t n) {
    m.resize(n);
    return m;
}

std::vector<uint8_t> with_attr_len(std::vector<uint8_t> m, uint16_t len) {
    std::memcpy(&m[24], &len, 2);
    return m;
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    datagrams, netlink_walk,
    testing::Values(
        nl_case{"new", addr_msg(20, kNew), false, true, kNew},
        nl_case{"del", addr_msg(21, kNew), true, false, kZero},
        nl_case{"del then new", cat({addr_msg(21, kOld), addr_msg(20, kNew)}), true, true, kNew},
        nl_case{"other index", addr_msg(20, kNew, 3), true, true, kOld},
        nl_case{"secondary", addr_msg(20, kNew, kIndex, 0x01), true, true, kOld},
        nl_case{"done ends the walk", cat({done_msg(), addr_msg(20, kNew)}), true, true, kOld},
        nl_case{"other type", with_len(cat({{32, 0, 0, 0, 16}, std::vector<uint8_t>(27, 0)}), 32), true, true, kOld},
        nl_case{"length past the end", with_len(addr_msg(20, kNew), 33), true, true, kOld},
        nl_case{"length below header", with_len(addr_msg(20, kNew), 15), true, true, kOld},
        nl_case{"second message cut", cat({addr_msg(21, kNew), {40, 0, 0, 0, 20, 0}}), true, false, kZero},
        nl_case{"truncated", truncated(addr_msg(20, kNew), 30), true, true, kOld},
        nl_case{"attribute past message", with_attr_len(addr_msg(20, kNew), 9), true, true, kOld},
        nl_case{"attribute too short", with_attr_len(addr_msg(20, kNew), 3), true, true, kOld},
        nl_case{"short attribute, bytes behind it", with_attr_len(addr_msg(20, kNew), 4), true, true, kNew},
        nl_case{"short attribute deletes", with_attr_len(addr_msg(21, kNew), 4), true, false, kZero},
        nl_case{"short attribute at the message end", with_len(truncated(with_attr_len(addr_msg(20, kNew), 4), 28), 28), true, true, kOld},
        nl_case{"empty", {}, true, true, kOld}));
// clang-format on

TEST(stream_mac, shortcuts_without_socket) {
    st2110_chan c = {};
    net_if_rec nif = {"eth1", {}, {}, 0, unique_fd(), kIndex};
    c.nbr_if = 1;
    c.ifs[0].net_if = &nif;
    struct mac_case {
        std::array<uint8_t, 4> ip;
        std::array<uint8_t, 6> mac;
    };
    const mac_case cases[] = {
        {{239, 129, 2, 3}, {0x01, 0x00, 0x5E, 0x01, 0x02, 0x03}},
        {{0, 0, 0, 0}, {0, 0, 0, 0, 0, 0}},
    };
    for (const mac_case& m : cases) {
        ip_blk blk = {};
        blk.ip = m.ip;
        blk.mac = {9, 9, 9, 9, 9, 9};
        EXPECT_EQ(get_stream_mac_addr(nullptr, &c, 0, &blk), 0);
        EXPECT_EQ(blk.mac, m.mac);
    }
    // With the fixed MAC flag nothing is touched.
    c.flags = kChanFixedMac;
    ip_blk blk = {};
    blk.ip = {239, 1, 2, 3};
    EXPECT_EQ(get_stream_mac_addr(nullptr, &c, 0, &blk), 0);
    EXPECT_EQ(blk.mac, (std::array<uint8_t, 6>{}));
    EXPECT_EQ(get_stream_mac_addr(nullptr, &c, 1, &blk), -1);
}

}  // namespace
}  // namespace nexo
