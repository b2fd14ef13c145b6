// From a session description to the configuration of one receive channel, and back.
//
// A channel configuration is what the daemon stores for a channel and answers to GET: its
// destination and source address blocks and its video or audio format. plan_channel() picks
// the media section for a channel, checks it against the board's capabilities (caps.h) and
// turns it into a configuration; config_lines() gives the daemon lines that set it;
// config_to_sdp() describes a configuration as a session description. Nothing here talks to
// the daemon.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "caps.h"
#include "sdp.h"
#include "st2110-chan.h"

namespace nexo::client {

// Receive channels: 20 video, 30 audio, 40 ancillary data; index 0 to 3.
struct channel_id {
    uint32_t type = 0;
    uint32_t index = 0;
    std::string name() const;  // "20:0"
    bool operator==(const channel_id&) const = default;
};
// The twelve channels in the daemon's table order, video first.
inline constexpr std::array<channel_id, kNbrChans> kAllChannels = [] {
    std::array<channel_id, kNbrChans> chans{};
    for (std::size_t i = 0; i < kNbrChans; ++i) {
        chans[i] = {dec_defaults[i].type, dec_defaults[i].index};
    }
    return chans;
}();
// "20:0" to "40:3"; nullopt for anything else.
std::optional<channel_id> parse_channel(std::string_view text);
inline const std::array<channel_id, kNbrChans>& all_channels() {
    return kAllChannels;
}

// The board's one receive interface, as the daemon names it unless asked.
inline constexpr const char* kDefaultInterface = "eth1";
// The payload size the daemon stores when an address is set without one.
inline constexpr uint32_t kDefaultPayloadSize = 1260;

struct channel_config {
    channel_id channel;
    std::string interface = kDefaultInterface;
    char transport = 'R';                 // U, R or T
    std::string destination = "0.0.0.0";  // dotted, or "self" for the board's own address
    uint32_t port = 0;
    uint32_t payload_type = 0;
    uint32_t payload_size = kDefaultPayloadSize;
    std::string source = "0.0.0.0";  // 0.0.0.0: any source
    std::optional<video_format> video;
    std::optional<audio_format> audio;
    bool operator==(const channel_config&) const = default;
};

struct channel_plan {
    std::optional<refusal> refused;  // set when the description cannot be received
    channel_config config;
    std::vector<std::string> notices;  // what was applied differently from the description
    int media_index = -1;              // the section used
};

// Chooses the section for the channel (the first of the channel's kind; of a group:DUP pair
// its first leg) and checks it. Without a channel the first section decides: 20:0, 30:0 or
// 40:0 by its kind. The source address comes from a=source-filter alone; none means any.
channel_plan plan_channel(const sdp_session& session, std::optional<channel_id> channel,
                          const std::string& interface = kDefaultInterface);

// What the lines of a configuration do with the channel's two switches, the stream
// (RX_STR_ENA) and the interface (RX_IP_IF_ENA).
enum class switching {
    keep,     // neither is sent
    on,       // once everything else is set: the interface on, then the stream
    off,      // the stream off before anything changes, the interface on at the end
    all_off,  // the stream off before anything changes, the interface off at the end
};

// The daemon lines that set the configuration, in order: RX_IP_DEST, RX_IP_SRC, the format,
// with the switches as `s` says. A channel is switched off before anything else changes, so
// that it never receives a half-configured stream, and switched on only once all is in place.
std::vector<std::string> config_lines(const channel_config& config, switching s);
inline std::vector<std::string> config_lines(const channel_config& config, bool enable) {
    return config_lines(config, enable ? switching::on : switching::keep);
}

// "SET <keyword> <channel> <interface> <letter> <address> <port> <argument>", with the payload
// size as a last word unless it is 0: the line that sets an address block.
std::string address_line(const char* keyword, channel_id channel, const std::string& interface,
                         char transport, const std::string& address, uint32_t port,
                         uint32_t argument, uint32_t payload_size);

// An ST 2110 description of a configuration; the error says why there is none (no
// destination, not RTP, no format). board_address is the board's own address on the receive
// interface: it stands for "self" in c= (a unicast channel) and is the origin's address in o=;
// without it a unicast channel has no description and o= carries the source or destination.
struct config_sdp {
    std::optional<sdp_session> session;
    std::string error;
};
config_sdp config_to_sdp(const channel_config& config, const std::string& board_address = "");

// Why the board cannot receive `want` beside the other channels' configurations, naming the
// other channel; nullopt when it can. Two rules the daemon itself does not check:
//  - one group, two source modes: the board holds one membership per group, either for any
//    source or for given sources, so an any-source and a source-specific channel on the same
//    group take each other's stream away;
//  - one destination, port and source on two channels: the filter gives every packet to the
//    first matching channel, and the other receives nothing.
// Channels without a destination (0.0.0.0) and `want`'s own channel are passed over; channels
// switched off count, since switching one on goes round this check.
std::optional<std::string> channel_conflict(const channel_config& want,
                                            const std::vector<channel_config>& others);

// The channel type a media section goes to: 20, 30, 40, or 0 for none.
uint32_t channel_type_of(const sdp_media& media);

// The four octets of a dotted IPv4 address as the daemon reads one: decimal, one to three
// digits each (a leading zero is no octal prefix), nothing before or after; nullopt otherwise.
std::optional<std::array<uint8_t, 4>> dotted(const std::string& text);

// Whether the daemon accepts the address (dotted IPv4) as a destination or as a source.
bool address_accepted(const std::string& address, bool as_source);

// Whether the address is an IPv4 multicast group (224/4).
bool is_multicast(const std::string& address);
// Whether the board can join the address as a group: multicast and accepted as a destination
// (224.0.0/24 and 224.0.1/24 are reserved).
bool receivable_group(const std::string& address);

}  // namespace nexo::client
