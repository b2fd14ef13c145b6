// Receive channel records: the twelve channels, their stream entry and address blocks, the audio
// format record and the defaults the table starts from. Records only; the daemon context holds
// the table (nexo.h).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <variant>

namespace nexo {

struct net_if_rec;
struct device_rec;
struct vid_fmt;

inline constexpr std::size_t kNbrChans = 12;
inline constexpr std::size_t kNbrVidDevs = 4;
inline constexpr std::size_t kNbrAudChans = 4;
inline constexpr uint8_t kNone8 = 255;
inline constexpr uint32_t kDefault32 = 0xFFFFFFFF;

// Channel types, the first number of a channel address.
enum chan_type : uint8_t {
    kChanVideo = 20,
    kChanVideoCompressed = 22,
    kChanAudio = 30,
    kChanAncillary = 40,
};

inline bool is_video_type(uint8_t type) {
    return type == kChanVideo || type == kChanVideoCompressed;
}

// Channel states.
inline constexpr uint32_t kStateOff = 0;
inline constexpr uint32_t kStateOn = 1;
inline constexpr uint32_t kStateMeas = 2;

// Channel flags.
inline constexpr uint32_t kChanFmtConfigured = 0x00000002;
inline constexpr uint32_t kChanAutoDetPending = 0x10000000;
inline constexpr uint32_t kChanAutoDetEnabled = 0x20000000;
inline constexpr uint32_t kChanFixedMac = 0x40000000;

// Stream entry flags.
inline constexpr uint32_t kIfAssigned = 0x01;
inline constexpr uint32_t kIfEnabled = 0x02;
inline constexpr uint32_t kIfSrcSet = 0x10;
inline constexpr uint32_t kIfDestSet = 0x20;

// Address block of a stream: source or destination.
struct ip_blk {
    uint32_t proto;  // 0 'U', 1 'R', 2 'T'
    std::array<uint8_t, 4> ip;
    std::array<uint8_t, 6> mac;
    uint16_t port;
    uint8_t proto_arg;
    uint16_t payload_size;
    uint8_t ttl;
    uint8_t tos;
};

// The stream received on the channel's network interface.
struct st2110_if {
    net_if_rec* net_if;
    ip_blk src;
    ip_blk dest;
    uint16_t decap_chan;
    uint32_t flags;
};

struct aud_fmt {
    uint8_t nbr_chan;
    uint64_t sample_rate;
    uint16_t packet_time;
    char encoding[8];
};

// A channel's format record: video for 20:x, audio for 30:x, none for 40:x. The records
// themselves live in the daemon context.
using chan_fmt = std::variant<std::monostate, vid_fmt*, aud_fmt*>;

struct st2110_chan {
    uint8_t type;   // chan_type
    uint8_t index;  // 0..3
    uint32_t state;
    uint8_t nbr_if;  // 0 or 1
    std::array<st2110_if, 1> ifs;
    uint32_t flags;
    chan_fmt fmt;
    uint8_t psg;  // 255: none
    device_rec* vid_out;
    device_rec* fmt_det;
    uint32_t tx_ts_delay;   // kDefault32: DEFAULT
    uint32_t recons_delay;  // kDefault32: DEFAULT
};

struct dec_default {
    uint8_t type;
    uint8_t index;
    bool has_net_if;  // the one interface, "eth1"
    uint8_t decap_chan;
    uint8_t psg;
    uint8_t vid_out;  // 255: none
    uint8_t fmt_det;  // 255: none
};

inline constexpr std::array<dec_default, kNbrChans> dec_defaults = {{
    {kChanVideo, 0, true, 0, 255, 0, 0},
    {kChanVideo, 1, true, 1, 255, 1, 1},
    {kChanVideo, 2, true, 2, 255, 2, 2},
    {kChanVideo, 3, true, 3, 255, 3, 3},
    {kChanAudio, 0, true, 4, 255, 255, 255},
    {kChanAudio, 1, true, 5, 255, 255, 255},
    {kChanAudio, 2, true, 6, 255, 255, 255},
    {kChanAudio, 3, true, 7, 255, 255, 255},
    {kChanAncillary, 0, true, 8, 255, 255, 255},
    {kChanAncillary, 1, true, 9, 255, 255, 255},
    {kChanAncillary, 2, true, 10, 255, 255, 255},
    {kChanAncillary, 3, true, 11, 255, 255, 255},
}};

// The channel's video or audio format record, or null.
inline vid_fmt* video_of(const st2110_chan& chan) {
    vid_fmt* const* p = std::get_if<vid_fmt*>(&chan.fmt);
    return p != nullptr ? *p : nullptr;
}
inline aud_fmt* audio_of(const st2110_chan& chan) {
    aud_fmt* const* p = std::get_if<aud_fmt*>(&chan.fmt);
    return p != nullptr ? *p : nullptr;
}

}  // namespace nexo
