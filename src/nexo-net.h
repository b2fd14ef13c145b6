// Network: the interface record of eth1 (address followed over rtnetlink), IPv4 multicast
// membership shared between channels, and the MAC addresses of stream addresses.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "ip_rules.h"
#include "st2110-chan.h"
#include "unique_fd.h"

namespace nexo {

inline constexpr uint32_t kNetIfMacValid = 0x1;
inline constexpr uint32_t kNetIfIpValid = 0x2;

// The one network interface; number 0 everywhere.
struct net_if_rec {
    char name[8];
    std::array<uint8_t, 4> ip_addr;  // dotted order; 0.0.0.0 when unknown
    std::array<uint8_t, 6> mac;
    uint32_t flags;
    unique_fd sock;  // UDP socket bound to the interface
    int32_t ifindex;
};

extern net_if_rec if_list;

// The network module's share of the daemon context: the interface, the rtnetlink socket, and
// the channel table, which the sharing rule of multicast memberships walks.
struct net_set {
    net_if_rec* net_if;
    unique_fd nl_sock;
    std::span<st2110_chan> chan_table;
};

// Name of interface number n: "eth1" for 0, null for any other.
const char* get_sys_net_if_name(uint8_t n);

// Opens the interface socket (SO_REUSEADDR, SO_BINDTODEVICE) and reads MAC and index. 0 (also
// when the socket is open already), -1 bad number, -2 socket, -3 SO_REUSEADDR,
// -4 SO_BINDTODEVICE, -5 SIOCGIFHWADDR, -6 SIOCGIFINDEX.
int32_t get_net_if_mac_addr(net_set* ctx, uint8_t net_if);
// Reads the IPv4 address. 0, -1 bad number, -2 socket not open, -3 query failed.
int32_t get_net_if_ip_addr(net_set* ctx, uint8_t net_if);
// Reads the address as it is now: as get_net_if_ip_addr, but an interface without an IPv4
// address clears the record's address and valid flag (0).
int32_t refresh_net_if_ip_addr(net_set* ctx, uint8_t net_if);
// Reads every queued rtnetlink datagram and applies its address changes; when the socket has
// overrun and changes were lost, reads the address afresh once the queue is empty. Always 0.
int32_t handle_netlink_event(net_set* ctx);
// Applies the RTM_NEWADDR/RTM_DELADDR messages of one datagram to rec; never reads past len.
void apply_netlink_datagram(net_if_rec& rec, const uint8_t* data, std::size_t len);

// --- Multicast membership ------------------------------------------------------------------

// One row per channel: the group and source it is subscribed to. 10 bytes, packed.
struct mcast_sub {
    uint8_t type;
    uint8_t index;
    std::array<uint8_t, 4> group;
    std::array<uint8_t, 4> source;
};
extern std::array<mcast_sub, 12> channel_mcast_subs;

int32_t add_channel_to_mcast_sub_list(const st2110_chan* chan, uint8_t net_if,
                                      const std::array<uint8_t, 4>& group,
                                      const std::array<uint8_t, 4>& source);
// 1 when a channel of the context's table other than chan is subscribed to group and source.
int other_channel_subscribed_to(net_set* ctx, uint8_t net_if, const std::array<uint8_t, 4>& group,
                                const std::array<uint8_t, 4>& source, const st2110_chan* chan);
// 0, -1 (no such stream entry), -2 (the socket refused; message on stderr).
int32_t join_multicast_group(st2110_chan* chan, uint8_t net_if);
int32_t join_multicast_source_group(st2110_chan* chan, uint8_t net_if);
// 0 (a refused drop is only reported), -1 (no such stream entry).
int32_t leave_multicast_group(st2110_chan* chan, uint8_t net_if);
int32_t leave_multicast_source_group(st2110_chan* chan, uint8_t net_if);
// Join or leave for one stream entry, following the sharing rule; 0 or the join's failure.
int32_t join_iface_multicast(net_set* ctx, st2110_chan* chan, uint8_t net_if);
int32_t leave_iface_multicast(net_set* ctx, st2110_chan* chan, uint8_t net_if);
int32_t join_multicast(net_set* ctx, st2110_chan* chan);
void leave_multicast(net_set* ctx, st2110_chan* chan);

// --- Stream MAC addresses ------------------------------------------------------------------

// Fills blk.mac from blk.ip: 0 (also at once for a channel with the fixed MAC flag), -1 no such
// stream entry, -2 probe not sent, -6 bad dotted address, -7 ARP query failed, -8 incomplete.
int32_t get_stream_mac_addr(net_set* ctx, st2110_chan* chan, uint8_t net_if, ip_blk* blk);

}  // namespace nexo
