// board_control: the receive channels as the daemon reports them, and the timing daemon's clock,
// read and set through the control link with the daemon's own command lines.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "control_link.h"

namespace nexo::nmos {

enum class channel_kind { video, audio, data };

struct channel_def {
    const char* token;  // the daemon's channel address
    channel_kind kind;
    int index;  // 0..3 within its kind
};

// The twelve receive channels, in the order the node lists its receivers.
inline constexpr std::array<channel_def, 12> kChannels{{
    {"20:0", channel_kind::video, 0},
    {"20:1", channel_kind::video, 1},
    {"20:2", channel_kind::video, 2},
    {"20:3", channel_kind::video, 3},
    {"30:0", channel_kind::audio, 0},
    {"30:1", channel_kind::audio, 1},
    {"30:2", channel_kind::audio, 2},
    {"30:3", channel_kind::audio, 3},
    {"40:0", channel_kind::data, 0},
    {"40:1", channel_kind::data, 1},
    {"40:2", channel_kind::data, 2},
    {"40:3", channel_kind::data, 3},
}};

// A TAI instant as the timing daemon gives it.
struct tai_time {
    std::int64_t sec = 0;
    std::uint32_t nsec = 0;

    // The latest second the node takes from a client or the clock: far beyond any date it will
    // meet, and small enough that a nanosecond count, or the sum of two, fits in 64 bits.
    static constexpr std::int64_t kMaxSec = 4000000000;

    std::string text() const;  // "seconds:nanoseconds"
    // Parses "seconds:nanoseconds" (seconds up to kMaxSec, nanoseconds below 10^9); nullopt
    // when malformed or out of range.
    static std::optional<tai_time> parse(std::string_view s);
    std::int64_t total_ns() const { return sec * 1000000000 + nsec; }
    static tai_time from_ns(std::int64_t ns);
    auto operator<=>(const tai_time&) const = default;
};

// The daemon is not there (or the pipes are unusable, or it gave no answer): HTTP 503.
struct daemon_unavailable : std::runtime_error {
    using std::runtime_error::runtime_error;
};
// The daemon answered ERROR or something unreadable: HTTP 500.
struct daemon_refused : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// One address block of a channel, as "GET RX_IP_DEST/RX_IP_SRC" shows it.
struct rx_address {
    char proto = 'R';  // U, R or T
    std::string ip;    // dotted quad, or "self" for the interface's own address
    unsigned port = 0;
    unsigned proto_arg = 0;  // RTP payload type
    unsigned payload_size = 0;
};

// A channel's reception setup, every field read back from the daemon.
struct channel_setup {
    rx_address dest;
    rx_address src;
    bool enabled = false;     // RX_STR_ENA ON
    bool if_enabled = false;  // eth1 enabled for the channel
};

// Reply parsers, exposed for the tests. nullopt when the line is not the expected reply.
std::optional<rx_address> parse_address_reply(std::string_view line, std::string_view keyword,
                                              std::string_view token);
std::optional<tai_time> parse_ptp_time_reply(std::string_view line);

class board_control {
  public:
    explicit board_control(control_link& link) : link_(link) {}

    // All throw daemon_unavailable or daemon_refused.
    std::string interface_name();  // "GET RX_NET_IF_NAME 0"
    channel_setup read_channel(const channel_def& ch);
    // One address block: keyword "RX_IP_DEST" or "RX_IP_SRC".
    rx_address read_address(const channel_def& ch, const char* keyword);
    tai_time ptp_time();  // the timing daemon's clock, relayed by the daemon
    std::string ptp_value(const std::string& keyword);  // "GET KEYWORD" -> the words after it
    // The SET line that gives the channel its present video or audio format again
    // ("SET RX_VID_FMT 20:0 YCR422 10 P 1920 1080 25"); "" when the daemon reports none (it
    // refuses the query) or the channel has no format. Throws daemon_unavailable.
    std::string format_line(const channel_def& ch);

    // Sends one SET line and returns the reply; throws daemon_unavailable, or daemon_refused
    // carrying the line when the daemon answers ERROR.
    std::string set(const std::string& line);

    // Lines that set a channel to `want` (addresses, interface enable, on/off); `formats` are
    // sent after the addresses and before switching on.
    static std::vector<std::string> setup_lines(const channel_def& ch, const std::string& ifname,
                                                const channel_setup& want,
                                                const std::vector<std::string>& formats);

  private:
    std::string get(const std::string& line);
    control_link& link_;
    std::mutex mu_;
    std::string ifname_;
};

}  // namespace nexo::nmos
