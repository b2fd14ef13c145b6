// Device handles of the FPGA's nodes, and the IP decapsulation filter that picks each
// stream's packets by address and port.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "st2110-chan.h"
#include "unique_fd.h"

namespace nexo {

inline constexpr std::size_t kDevPathSize = 268;

struct device_rec {
    char path[kDevPathSize];
    unique_fd fd;  // -1 while closed
};

// The device modules' share of the daemon context: the nine device records.
struct device_set {
    std::array<device_rec, kNbrVidDevs> vid_out;
    std::array<device_rec, kNbrVidDevs> fmt_det;
    device_rec ip_filter;
};

// The area every ioctl record of the FPGA's devices is handed over in: the record at its start,
// the rest zero. The requests' size field says 8 while the records are 1 to 24 bytes; the area is
// at least as large as both, so a driver that copies by either never reads or writes outside it.
// Records are written and read at named offsets, in the machine's byte order (little-endian on
// the board).
inline constexpr std::size_t kIoctlAreaSize = 24;
struct ioctl_area {
    alignas(8) uint8_t bytes[kIoctlAreaSize] = {};

    void put8(std::size_t off, uint8_t v) { bytes[off] = v; }
    void put16(std::size_t off, uint16_t v) { std::memcpy(bytes + off, &v, sizeof v); }
    void put32(std::size_t off, uint32_t v) { std::memcpy(bytes + off, &v, sizeof v); }
    uint32_t get32(std::size_t off) const {
        uint32_t v;
        std::memcpy(&v, bytes + off, sizeof v);
        return v;
    }
};

// Filter requests (type 'E'). The size field says 8 whatever the record's length.
inline constexpr unsigned long kIpDecapGetChanNbr = 0x80084501;
inline constexpr unsigned long kIpDecapReset = 0x4500;
inline constexpr unsigned long kIpDecapSetCfg = 0x40084502;
inline constexpr unsigned long kIpDecapSetEna = 0x40084504;
inline constexpr unsigned long kIpDecapGetEna = 0xC0084505;

// Field flags of the configuration record.
inline constexpr uint32_t kCfgSrcIp = 0x1;
inline constexpr uint32_t kCfgDstIp = 0x2;
inline constexpr uint32_t kCfgSrcPort = 0x4;
inline constexpr uint32_t kCfgDstPort = 0x8;

// Opens the node read-write. 0, or -1 (fd left -1).
int32_t open_device(device_rec* dev);
// Closes the node if open.
void close_device(device_rec* dev);

// Results below: 0, -22 (missing argument, number other than 0, filter not open), or the
// refused request's result (-1, errno set).
int32_t ip_decap_get_channels_nbr(device_set* ctx, uint8_t filter, uint16_t* count);
int32_t ip_decap_reset(device_set* ctx, uint8_t filter);
// Writes enable for the entry's filter channel, or 0 when the entry is not enabled on its
// interface.
int32_t set_ip_if_decap_channel_enable(device_set* ctx, st2110_chan* chan, uint8_t net_if,
                                       uint8_t enable);
// Writes the entry's addresses and ports into its filter channel, keeping its enable state.
int32_t set_ip_decap_channel_cfg(device_set* ctx, st2110_chan* chan, uint8_t net_if);
int32_t set_ip_decap_channels_enable(device_set* ctx, st2110_chan* chan, uint8_t enable);

// The 20-byte configuration record for the channel's first stream entry (little-endian on the
// board: the machine's own order).
inline constexpr std::size_t kIpDecapCfgSize = 20;
void build_ip_decap_cfg(const st2110_chan& chan, uint8_t out[kIpDecapCfgSize]);

}  // namespace nexo
