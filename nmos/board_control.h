// board_control: what the node asks the daemon for itself — the receive interface's name and
// the timing daemon's clock — over the client library's daemon_link, and the exceptions by
// which a failed exchange reaches the HTTP layer. The channels themselves are read and set by
// the client library (chan_io.h).
#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "chan_io.h"

namespace nexo::nmos {

using client::channel_id;

enum class channel_kind { video, audio, data };
channel_kind kind_of(channel_id ch);

// The receive channels, in the order the node lists its receivers.
inline constexpr const auto& kChannels = client::kAllChannels;

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

// Throws the exception for a failed exchange: daemon_refused for ERROR or an unreadable
// reply, daemon_unavailable for no reply or no daemon. `what` is the message.
[[noreturn]] void throw_for(client::link_status status, const std::string& what);
[[noreturn]] void throw_for(const client::link_failure& failed);

// The kernel's TAI clock in nanoseconds.
std::int64_t kernel_tai_ns();

// Reply parser, exposed for the tests. nullopt when the line is not the expected reply.
std::optional<tai_time> parse_ptp_time_reply(std::string_view line);

class board_control {
  public:
    explicit board_control(client::daemon_link& link) : link_(link) {}

    client::daemon_link& link() { return link_; }

    // All throw daemon_unavailable or daemon_refused.
    std::string interface_name();  // "GET RX_NET_IF_NAME 0", asked once
    // The timing daemon's clock, relayed by the daemon; also notes its offset from the
    // kernel's TAI clock (at the request's midpoint) for kernel_tai_ns_at().
    tai_time ptp_time();
    std::string ptp_value(const std::string& keyword);  // "GET KEYWORD" -> the words after it

    // The kernel's TAI-clock instant (ns) at which the timing daemon's clock reads t, by the
    // last offset noted; nullopt when none was.
    std::optional<std::int64_t> kernel_tai_ns_at(tai_time t);

  private:
    std::string get(const std::string& line);
    client::daemon_link& link_;
    std::mutex mu_;
    std::string ifname_;
    std::mutex clock_mu_;
    std::optional<std::int64_t> offset_ns_;  // timing daemon's clock - kernel TAI clock
};

}  // namespace nexo::nmos
