// Address rules that the daemon applies to stream addresses, and that its clients check before
// they ask.
#pragma once

#include <array>
#include <cstdint>

namespace nexo {

// Rows of refused destination (and, but for 0.x.x.x, source) prefixes: n, then 4 bytes.
struct illegal_ip_row {
    uint8_t n;
    std::array<uint8_t, 4> prefix;
};
inline constexpr std::array<illegal_ip_row, 5> illegal_ip_addresses = {{
    {3, {224, 0, 0, 0}},
    {3, {224, 0, 1, 0}},
    {1, {0, 0, 0, 0}},
    {1, {255, 0, 0, 0}},
    {0, {0, 0, 0, 0}},
}};

// 1 when ip is in 224.0.0.0/4.
inline int is_multicast(const std::array<uint8_t, 4>& ip) {
    return (ip[0] & 0xF0) == 0xE0 ? 1 : 0;
}

}  // namespace nexo
