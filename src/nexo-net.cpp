#include "nexo-net.h"

#include <arpa/inet.h>
#include <linux/if_addr.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace nexo {

net_if_rec if_list = {"eth1", {}, {}, 0, unique_fd(), 0};

const char* get_sys_net_if_name(uint8_t n) {
    return n == 0 ? if_list.name : nullptr;
}
std::array<mcast_sub, 12> channel_mcast_subs = {};

namespace {

// The interface requests hand the kernel its 40-byte ifreq; the name sits in its first 16.
static_assert(sizeof(ifreq) == 40, "ifreq is 40 bytes on the 64-bit targets");
static_assert(sizeof(arpreq) == 68, "arpreq is 68 bytes");
static_assert(sizeof(sockaddr_in) == 16, "sockaddr_in is 16 bytes");

void prepare_ifreq(ifreq* req, const char* name) {
    std::memset(req, 0, sizeof *req);
    std::strncpy(req->ifr_name, name, sizeof req->ifr_name);
}

// rtnetlink, in the machine's byte order.
constexpr std::size_t kNlHdrLen = 16;
constexpr std::size_t kIfaMsgEnd = 24;  // header + ifaddrmsg
constexpr std::size_t kNlTypeOff = 4;
constexpr std::size_t kIfaFlagsOff = 18;
constexpr std::size_t kIfaIndexOff = 20;
constexpr uint16_t kNlmsgDone = 3;
constexpr uint16_t kRtmNewAddr = 20;
constexpr uint16_t kRtmDelAddr = 21;
constexpr uint16_t kIfaLocal = 2;
constexpr uint8_t kIfaFSecondary = 0x01;
constexpr std::size_t kNlBufSize = 4096;
static_assert(kNlHdrLen == NLMSG_HDRLEN && kNlHdrLen == sizeof(nlmsghdr));
static_assert(kIfaMsgEnd == NLMSG_HDRLEN + sizeof(ifaddrmsg));
static_assert(kNlTypeOff == offsetof(nlmsghdr, nlmsg_type));
static_assert(kIfaFlagsOff == NLMSG_HDRLEN + offsetof(ifaddrmsg, ifa_flags));
static_assert(kIfaIndexOff == NLMSG_HDRLEN + offsetof(ifaddrmsg, ifa_index));
static_assert(kNlmsgDone == NLMSG_DONE && kRtmNewAddr == RTM_NEWADDR && kRtmDelAddr == RTM_DELADDR);
static_assert(kIfaLocal == IFA_LOCAL && kIfaFSecondary == IFA_F_SECONDARY);
static_assert(sizeof(rtattr) == 4);  // an attribute's length and type

uint32_t rd32(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}
uint16_t rd16(const uint8_t* p) {
    uint16_t v;
    std::memcpy(&v, p, 2);
    return v;
}
std::size_t align4(std::size_t n) {
    return (n + 3) & ~std::size_t{3};
}

// Applies the IFA_LOCAL attributes of one address message of mlen bytes at msg.
void apply_addr_msg(net_if_rec& rec, const uint8_t* msg, std::size_t mlen, uint16_t type) {
    if (mlen < kIfaMsgEnd) {
        return;
    }
    uint8_t ifa_flags = msg[kIfaFlagsOff];
    auto index = static_cast<int32_t>(rd32(msg + kIfaIndexOff));
    const uint8_t* attr = msg + kIfaMsgEnd;
    std::size_t left = mlen - kIfaMsgEnd;
    while (left >= 4) {
        uint16_t alen = rd16(attr);
        uint16_t atype = rd16(attr + 2);
        if (alen < 4 || alen > left) {
            return;
        }
        if (atype == kIfaLocal && !(ifa_flags & kIfaFSecondary) && index == rec.ifindex) {
            if (type == kRtmDelAddr) {
                // A deletion needs no address: it clears whatever the attribute names.
                rec.ip_addr = {0, 0, 0, 0};
                rec.flags &= ~kNetIfIpValid;
            } else if (left >= 8) {
                // The four bytes behind the attribute header are taken as the address, even
                // from an attribute whose length says it is shorter, but never from beyond
                // the message.
                rec.flags |= kNetIfIpValid;
                std::memcpy(rec.ip_addr.data(), attr + 4, 4);
            }
        }
        std::size_t step = align4(alen);
        if (step >= left) {
            return;
        }
        attr += step;
        left -= step;
    }
}

}  // namespace

int32_t get_net_if_mac_addr(net_set* ctx, uint8_t net_if) {
    if (net_if != 0) {
        return -1;
    }
    net_if_rec& rec = *ctx->net_if;
    ifreq req;
    prepare_ifreq(&req, rec.name);
    if (rec.sock.get() >= 0) {
        return 0;
    }
    int s = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (s < 0) {
        rec.sock.reset();
        return -2;
    }
    rec.sock.reset(s);
    int one = 1;
    if (::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0) {
        rec.sock.reset();
        return -3;
    }
    if (::setsockopt(s, SOL_SOCKET, SO_BINDTODEVICE, &req, sizeof req) != 0) {
        rec.sock.reset();
        return -4;
    }
    if (::ioctl(s, SIOCGIFHWADDR, &req) != 0) {
        rec.sock.reset();
        return -5;
    }
    std::memcpy(rec.mac.data(), req.ifr_hwaddr.sa_data, 6);
    if (::ioctl(s, SIOCGIFINDEX, &req) != 0) {
        rec.sock.reset();
        return -6;
    }
    rec.ifindex = req.ifr_ifindex;
    rec.flags |= kNetIfMacValid;
    return 0;
}

int32_t get_net_if_ip_addr(net_set* ctx, uint8_t net_if) {
    if (net_if != 0) {
        return -1;
    }
    net_if_rec& rec = *ctx->net_if;
    if (rec.sock.get() < 0) {
        return -2;
    }
    ifreq req;
    prepare_ifreq(&req, rec.name);
    if (::ioctl(rec.sock.get(), SIOCGIFADDR, &req) != 0) {
        return -3;
    }
    // sockaddr_in: family (2), port (2), address (4).
    std::memcpy(rec.ip_addr.data(), reinterpret_cast<const uint8_t*>(&req.ifr_addr) + 4, 4);
    rec.flags |= kNetIfIpValid;
    return 0;
}

void apply_netlink_datagram(net_if_rec& rec, const uint8_t* data, std::size_t len) {
    std::size_t off = 0;
    while (len - off >= kNlHdrLen) {
        const uint8_t* msg = data + off;
        uint32_t mlen = rd32(msg);
        uint16_t type = rd16(msg + kNlTypeOff);
        if (mlen < kNlHdrLen || mlen > len - off) {
            return;
        }
        if (type == kNlmsgDone) {
            return;
        }
        if (type == kRtmNewAddr || type == kRtmDelAddr) {
            apply_addr_msg(rec, msg, mlen, type);
        }
        std::size_t step = align4(mlen);
        if (step >= len - off) {
            return;
        }
        off += step;
    }
}

int32_t handle_netlink_event(net_set* ctx) {
    // Read until the socket is empty: every change queued while the loop was busy is applied,
    // in order, and the last one wins.
    alignas(4) static uint8_t buf[kNlBufSize];
    bool overrun = false;
    for (;;) {
        ssize_t n = ::recv(ctx->nl_sock.get(), buf, sizeof buf, 0);
        if (n < 0 && errno == ENOBUFS) {
            // The socket overran and dropped changes; the socket itself stays usable.
            overrun = true;
            continue;
        }
        if (n <= 0) {
            break;
        }
        apply_netlink_datagram(*ctx->net_if, buf, static_cast<std::size_t>(n));
    }
    if (overrun) {
        refresh_net_if_ip_addr(ctx, 0);
    }
    return 0;
}

int32_t refresh_net_if_ip_addr(net_set* ctx, uint8_t net_if) {
    int32_t r = get_net_if_ip_addr(ctx, net_if);
    if (r == -3 && errno == EADDRNOTAVAIL) {
        net_if_rec& rec = *ctx->net_if;
        rec.ip_addr = {0, 0, 0, 0};
        rec.flags &= ~kNetIfIpValid;
        return 0;
    }
    return r;
}

// --- Multicast membership --------------------------------------------------------------------

namespace {

constexpr std::size_t kMreqSize = 8;         // group, interface
constexpr std::size_t kMreqSourceSize = 12;  // group, interface, source

bool is_channel_type(uint8_t type) {
    return is_video_type(type) || type == kChanAudio || type == kChanAncillary;
}

mcast_sub* find_sub(const st2110_chan* chan) {
    for (mcast_sub& row : channel_mcast_subs) {
        if (row.type == chan->type && row.index == chan->index) {
            return &row;
        }
    }
    return nullptr;
}

// Both membership records, built byte by byte: addresses in network (dotted) order.
void fill_mreq(const st2110_if& e, uint8_t* rec, bool with_source) {
    std::memcpy(rec, e.dest.ip.data(), 4);
    std::memcpy(rec + 4, e.net_if->ip_addr.data(), 4);
    if (with_source) {
        std::memcpy(rec + 8, e.src.ip.data(), 4);
    }
}

int32_t join(st2110_chan* chan, uint8_t i, bool source) {
    if (i >= chan->nbr_if) {
        return -1;
    }
    st2110_if& e = chan->ifs[i];
    if (!is_multicast(e.dest.ip)) {
        return 0;
    }
    uint8_t rec[kMreqSourceSize] = {};
    fill_mreq(e, rec, source);
    int opt = source ? IP_ADD_SOURCE_MEMBERSHIP : IP_ADD_MEMBERSHIP;
    socklen_t len = source ? kMreqSourceSize : kMreqSize;
    if (::setsockopt(e.net_if->sock.get(), IPPROTO_IP, opt, rec, len) != 0 && errno != EADDRINUSE) {
        std::perror(source ? "Adding multicast source group error"
                           : "Adding multicast group error");
        return -2;
    }
    return 0;
}

int32_t leave(st2110_chan* chan, uint8_t i, bool source) {
    if (i >= chan->nbr_if) {
        return -1;
    }
    st2110_if& e = chan->ifs[i];
    if (e.net_if->sock.get() <= 0 || !is_multicast(e.dest.ip)) {
        return 0;
    }
    uint8_t rec[kMreqSourceSize] = {};
    fill_mreq(e, rec, source);
    int opt = source ? IP_DROP_SOURCE_MEMBERSHIP : IP_DROP_MEMBERSHIP;
    socklen_t len = source ? kMreqSourceSize : kMreqSize;
    if (::setsockopt(e.net_if->sock.get(), IPPROTO_IP, opt, rec, len) != 0) {
        std::perror(source ? "Leaving multicast source group error"
                           : "Leaving multicast group error");
    }
    return 0;
}

}  // namespace

static_assert(sizeof(mcast_sub) == 10, "subscription rows are packed");
static_assert(IP_ADD_MEMBERSHIP == 35 && IP_DROP_MEMBERSHIP == 36);
static_assert(IP_ADD_SOURCE_MEMBERSHIP == 39 && IP_DROP_SOURCE_MEMBERSHIP == 40);

int32_t add_channel_to_mcast_sub_list(const st2110_chan* chan, uint8_t,
                                      const std::array<uint8_t, 4>& group,
                                      const std::array<uint8_t, 4>& source) {
    mcast_sub* row = find_sub(chan);
    if (row == nullptr) {
        for (mcast_sub& r : channel_mcast_subs) {
            if (!is_channel_type(r.type)) {
                row = &r;
                row->type = chan->type;
                row->index = chan->index;
                break;
            }
        }
    }
    if (row != nullptr) {
        row->group = group;
        row->source = source;
    }
    return 0;
}

int other_channel_subscribed_to(net_set* ctx, uint8_t, const std::array<uint8_t, 4>& group,
                                const std::array<uint8_t, 4>& source, const st2110_chan* chan) {
    for (const st2110_chan& c : ctx->chan_table) {
        if (&c == chan) {
            continue;
        }
        const mcast_sub* row = find_sub(&c);
        if (row != nullptr && row->group == group && row->source == source) {
            return 1;
        }
    }
    return 0;
}

int32_t join_multicast_group(st2110_chan* chan, uint8_t net_if) {
    return join(chan, net_if, false);
}
int32_t join_multicast_source_group(st2110_chan* chan, uint8_t net_if) {
    return join(chan, net_if, true);
}
int32_t leave_multicast_group(st2110_chan* chan, uint8_t net_if) {
    return leave(chan, net_if, false);
}
int32_t leave_multicast_source_group(st2110_chan* chan, uint8_t net_if) {
    return leave(chan, net_if, true);
}

int32_t join_iface_multicast(net_set* ctx, st2110_chan* chan, uint8_t i) {
    st2110_if& e = chan->ifs[i];
    if (!(e.flags & kIfEnabled) || !is_multicast(e.dest.ip)) {
        return 0;
    }
    if (!(e.flags & kIfSrcSet)) {
        e.src.ip = {0, 0, 0, 0};
    }
    if (!other_channel_subscribed_to(ctx, i, e.dest.ip, e.src.ip, chan)) {
        int32_t r =
            e.src.ip[0] != 0 ? join_multicast_source_group(chan, i) : join_multicast_group(chan, i);
        if (r != 0) {
            return r;
        }
    }
    add_channel_to_mcast_sub_list(chan, i, e.dest.ip, e.src.ip);
    return 0;
}

int32_t leave_iface_multicast(net_set* ctx, st2110_chan* chan, uint8_t i) {
    st2110_if& e = chan->ifs[i];
    if (!(e.flags & kIfEnabled) || !is_multicast(e.dest.ip)) {
        return 0;
    }
    int32_t r = 0;
    if (!other_channel_subscribed_to(ctx, i, e.dest.ip, e.src.ip, chan)) {
        r = e.src.ip[0] != 0 ? leave_multicast_source_group(chan, i)
                             : leave_multicast_group(chan, i);
    }
    mcast_sub* row = find_sub(chan);
    if (row != nullptr && row->group == e.dest.ip) {
        row->group = {0, 0, 0, 0};
    }
    return r;
}

int32_t join_multicast(net_set* ctx, st2110_chan* chan) {
    int32_t r = 0;
    for (uint8_t i = 0; i < chan->nbr_if && r == 0; ++i) {
        r = join_iface_multicast(ctx, chan, i);
    }
    return r;
}

void leave_multicast(net_set* ctx, st2110_chan* chan) {
    int32_t r = 0;
    for (uint8_t i = 0; i < chan->nbr_if && r == 0; ++i) {
        r = leave_iface_multicast(ctx, chan, i);
    }
}

// --- Stream MAC addresses --------------------------------------------------------------------

int32_t get_stream_mac_addr(net_set*, st2110_chan* chan, uint8_t i, ip_blk* blk) {
    if (i >= chan->nbr_if) {
        return -1;
    }
    if (chan->flags & kChanFixedMac) {
        return 0;
    }
    const auto& ip = blk->ip;
    if (ip == std::array<uint8_t, 4>{0, 0, 0, 0}) {
        blk->mac = {0, 0, 0, 0, 0, 0};
        return 0;
    }
    if (is_multicast(ip)) {
        blk->mac = {0x01, 0x00, 0x5E, static_cast<uint8_t>(ip[1] & 0x7F), ip[2], ip[3]};
        return 0;
    }
    net_if_rec& nif = *chan->ifs[i].net_if;
    int s = nif.sock.get();
    int ttl = 64;
    if (::setsockopt(s, IPPROTO_IP, IP_TTL, &ttl, sizeof ttl) != 0) {
        std::perror("Set TTL failed (not fatal)");
    }
    char text[16];
    std::snprintf(text, sizeof text, "%hhu.%hhu.%hhu.%hhu", ip[0], ip[1], ip[2], ip[3]);

    // Sending to the address makes the kernel resolve it by ARP on the interface.
    sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_port = htons(65535);
    std::memcpy(&to.sin_addr, ip.data(), 4);
    static constexpr char kProbe[] = "Hello, World!";
    static_assert(sizeof kProbe - 1 == 13);
    if (::sendto(s, kProbe, sizeof kProbe - 1, 0, reinterpret_cast<const sockaddr*>(&to),
                 sizeof to) < 0) {
        std::perror("sendto");
        return -2;
    }

    arpreq req;
    std::memset(&req, 0, sizeof req);
    sockaddr_in pa = {};
    pa.sin_family = AF_INET;
    if (::inet_pton(AF_INET, text, &pa.sin_addr) != 1) {
        std::fprintf(stderr, "-- Error: bad dotted-decimal IP '%s'.\n", text);
        return -6;
    }
    std::memcpy(&req.arp_pa, &pa, sizeof pa);
    req.arp_ha.sa_family = ARPHRD_ETHER;
    std::strncpy(req.arp_dev, nif.name, 15);
    // Asked at once, without waiting: a resolution still in progress fails the command.
    if (::ioctl(s, SIOCGARP, &req) != 0) {
        std::perror("-- Error: unable to make ARP request, error");
        return -7;
    }
    static constexpr uint8_t kZeroMac[6] = {};
    if (std::memcmp(req.arp_ha.sa_data, kZeroMac, 6) == 0) {
        std::fprintf(stderr, "Incomplete MAC address for %s.\n", text);
        return -8;
    }
    std::memcpy(blk->mac.data(), req.arp_ha.sa_data, 6);
    return 0;
}

}  // namespace nexo
