#include "ip-filter.h"

#include <fcntl.h>
#include <sys/ioctl.h>

#include <cstring>

#include "st2110-chan.h"

namespace nexo {
namespace {

// Offsets of the channel configuration record.
constexpr std::size_t kCfgChan = 0;
constexpr std::size_t kCfgSrcIpOff = 2;
constexpr std::size_t kCfgSrcPortOff = 6;
constexpr std::size_t kCfgDstIpOff = 8;
constexpr std::size_t kCfgDstPortOff = 12;
constexpr std::size_t kCfgFlagsOff = 16;
static_assert(kCfgFlagsOff + 4 == kIpDecapCfgSize);
static_assert(kIpDecapCfgSize <= kIoctlAreaSize);

// The channel count record: one byte.
constexpr std::size_t kCountOff = 0;
// The enable record: filter channel, then enable (0 or not).
constexpr std::size_t kEnaChanOff = 0;
constexpr std::size_t kEnaOff = 1;

static_assert(kIpDecapGetChanNbr == _IOR('E', 1, uint64_t));
static_assert(kIpDecapReset == _IO('E', 0));
static_assert(kIpDecapSetCfg == _IOW('E', 2, uint64_t));
static_assert(kIpDecapSetEna == _IOW('E', 4, uint64_t));
static_assert(kIpDecapGetEna == _IOWR('E', 5, uint64_t));

void put16(uint8_t* p, uint16_t v) {
    std::memcpy(p, &v, 2);
}
void put32(uint8_t* p, uint32_t v) {
    std::memcpy(p, &v, 4);
}

int32_t common_checks(device_set* ctx, const st2110_chan* chan, bool needs_chan, uint8_t number) {
    if (ctx == nullptr || (needs_chan && chan == nullptr)) {
        return -22;
    }
    if (number != 0) {
        return -22;
    }
    if (ctx->ip_filter.fd.get() < 0) {
        return -22;
    }
    return 0;
}

int32_t filter_ioctl(device_set* ctx, unsigned long request, void* arg) {
    return ::ioctl(ctx->ip_filter.fd.get(), request, arg);
}

}  // namespace

int32_t open_device(device_rec* dev) {
    int fd = ::open(dev->path, O_RDWR);
    dev->fd.reset(fd < 0 ? -1 : fd);
    return fd < 0 ? -1 : 0;
}

void close_device(device_rec* dev) {
    dev->fd.reset();
}

int32_t ip_decap_get_channels_nbr(device_set* ctx, uint8_t filter, uint16_t* count) {
    if (int32_t r = common_checks(ctx, nullptr, false, filter); r != 0) {
        return r;
    }
    if (count == nullptr) {
        return -22;
    }
    ioctl_area rec;
    int32_t r = filter_ioctl(ctx, kIpDecapGetChanNbr, rec.bytes);
    if (r != 0) {
        return r;
    }
    *count = rec.bytes[kCountOff];
    return 0;
}

int32_t ip_decap_reset(device_set* ctx, uint8_t filter) {
    if (int32_t r = common_checks(ctx, nullptr, false, filter); r != 0) {
        return r;
    }
    return ::ioctl(ctx->ip_filter.fd.get(), kIpDecapReset);
}

int32_t set_ip_if_decap_channel_enable(device_set* ctx, st2110_chan* chan, uint8_t i,
                                       uint8_t enable) {
    if (int32_t r = common_checks(ctx, chan, true, i); r != 0) {
        return r;
    }
    const st2110_if& e = chan->ifs[i];
    ioctl_area rec;
    rec.put8(kEnaChanOff, static_cast<uint8_t>(e.decap_chan & 0xFF));
    // An entry that is not enabled on its interface is always written as disabled.
    rec.put8(kEnaOff, (enable != 0 && (e.flags & kIfEnabled)) ? enable : 0);
    return filter_ioctl(ctx, kIpDecapSetEna, rec.bytes);
}

void build_ip_decap_cfg(const st2110_chan& chan, uint8_t out[kIpDecapCfgSize]) {
    const st2110_if& e = chan.ifs[0];
    std::memset(out, 0, kIpDecapCfgSize);
    uint32_t flags = 0;
    out[kCfgChan] = static_cast<uint8_t>(e.decap_chan & 0xFF);
    put16(out + kCfgSrcPortOff, e.src.port);
    if (e.src.port != 0) {
        flags |= kCfgSrcPort;
    }
    std::memcpy(out + kCfgSrcIpOff, e.src.ip.data(), 4);
    if (e.src.ip[0] != 0) {
        flags |= kCfgSrcIp;
    }
    put16(out + kCfgDstPortOff, e.dest.port);
    if (e.dest.port != 0) {
        flags |= kCfgDstPort;
    }
    std::memcpy(out + kCfgDstIpOff, e.dest.ip.data(), 4);
    if (e.dest.ip[0] != 0) {
        flags |= kCfgDstIp;
    }
    put32(out + kCfgFlagsOff, flags);
}

int32_t set_ip_decap_channel_cfg(device_set* ctx, st2110_chan* chan, uint8_t i) {
    if (int32_t r = common_checks(ctx, chan, true, i); r != 0) {
        return r;
    }
    ioctl_area ena;
    ena.put8(kEnaChanOff, static_cast<uint8_t>(chan->ifs[0].decap_chan & 0xFF));
    int32_t r = filter_ioctl(ctx, kIpDecapGetEna, ena.bytes);
    if (r != 0) {
        return r;
    }
    // A configuration is never rewritten under a running channel: it is disabled around it.
    bool was_enabled = ena.bytes[kEnaOff] != 0;
    if (was_enabled) {
        r = set_ip_if_decap_channel_enable(ctx, chan, 0, 0);
        if (r != 0) {
            return r;
        }
    }
    ioctl_area cfg;
    build_ip_decap_cfg(*chan, cfg.bytes);
    r = filter_ioctl(ctx, kIpDecapSetCfg, cfg.bytes);
    if (r != 0) {
        return r;
    }
    if (was_enabled) {
        return set_ip_if_decap_channel_enable(ctx, chan, 0, 1);
    }
    return 0;
}

int32_t set_ip_decap_channels_enable(device_set* ctx, st2110_chan* chan, uint8_t enable) {
    if (ctx == nullptr || chan == nullptr) {
        return -22;
    }
    int32_t r = 0;
    for (uint8_t i = 0; i < chan->nbr_if && r == 0; ++i) {
        r = set_ip_if_decap_channel_enable(ctx, chan, i, enable);
    }
    return r;
}

}  // namespace nexo
