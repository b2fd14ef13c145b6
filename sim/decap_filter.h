// Decapsulation filter model: what the board's IP decapsulation filter does with the packets
// on eth1, given the filter channel records the daemon wrote through the device node.
//
// Each filter channel holds a 20-byte configuration record and an enable byte (fpga.h). The
// record's field flags say which fields are given: 0x1 source address, 0x2 destination
// address, 0x4 source port, 0x8 destination port; a packet matches a channel that is enabled
// and whose given fields all equal the packet's. A channel with no field given matches
// nothing, so that an unconfigured channel switched on does not take the whole wire. A packet
// goes to the lowest-numbered matching channel; a packet that matches none is dropped.
//
// Per channel the model counts packets, bytes (UDP payload), RTP sequence gaps (packets
// missing between two received ones) and timestamp steps, and keeps the last RTP timestamp.
// A channel whose record changes (another group, port or source) counts afresh: the stream it
// now takes is another sender's, whose sequence numbers have nothing to do with the last one's.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace nexo::sim {

struct filter_rule {
    // Addresses as the four bytes in dotted order packed big-endian (192.0.2.1 = 0xc0000201).
    uint32_t src_ip = 0;
    uint32_t dst_ip = 0;
    uint16_t src_port = 0;
    uint16_t dst_port = 0;
    uint32_t flags = 0;
    bool enabled = false;
};

inline constexpr uint32_t kFlagSrcIp = 0x1;
inline constexpr uint32_t kFlagDstIp = 0x2;
inline constexpr uint32_t kFlagSrcPort = 0x4;
inline constexpr uint32_t kFlagDstPort = 0x8;

// Reads a configuration record (little-endian ports and flags, as on the board) and an enable
// byte.
filter_rule decode_filter_record(const std::array<uint8_t, 20>& cfg, uint8_t enable);

// One UDP datagram as the filter sees it.
struct udp_view {
    uint32_t src_ip = 0;
    uint32_t dst_ip = 0;
    uint16_t src_port = 0;
    uint16_t dst_port = 0;
    const uint8_t* payload = nullptr;
    size_t len = 0;
};

// Parses an IPv4 packet carrying UDP (from the IP header on). False for anything else,
// including fragments and lengths that do not add up.
bool parse_ipv4_udp(const uint8_t* data, size_t len, udp_view& out);

struct channel_counters {
    uint64_t packets = 0;
    uint64_t bytes = 0;
    uint64_t seq_gaps = 0;  // packets missing by sequence number
    uint64_t ts_steps = 0;  // changes of the RTP timestamp (frames, fields, audio packets)
    uint32_t last_ts = 0;
    bool have_seq = false;
    uint16_t next_seq = 0;
};

class decap_filter {
  public:
    // Replaces the table; index = filter channel number. The counters of a channel whose
    // addresses, ports or flags changed start over; those of a channel only switched on or off
    // are kept. Returns the channels that start over.
    std::vector<size_t> set_rules(std::vector<filter_rule> rules);

    // The filter channel that takes the packet, or -1.
    int classify(const udp_view& p) const;
    // Classifies and counts the packet; returns the channel or -1 (counted as dropped).
    int account(const udp_view& p);

    const channel_counters& counters(size_t chan) const;
    uint64_t dropped() const { return dropped_; }
    size_t channels() const { return rules_.size(); }
    const std::vector<filter_rule>& rules() const { return rules_; }
    void clear_counters();

  private:
    std::vector<filter_rule> rules_;
    std::vector<channel_counters> counters_;
    uint64_t dropped_ = 0;
};

}  // namespace nexo::sim
