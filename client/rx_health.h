// Receiver health: what the board shows about each receive channel right now, and the
// reporting rules that turn those observations into the statuses a facility's monitoring
// system reads (link, connection, external synchronisation, stream and the overall one).
//
// Observing reads the daemon (and the interface's operational state) at the moment of the
// call; rx_monitor is pure: fed with observations and a monotonic time, it keeps the reported
// statuses, messages and transition counters and says which of them changed. nexoctl shows
// observations; the NMOS node keeps one rx_monitor per receiver and notifies what changed.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "chan_io.h"

namespace nexo::client {

// The status scales of the control model, with the numbers it carries on the wire. 0 is the
// neutral value where a scale has one; otherwise a larger number is a worse state.
enum class nc_overall_status : uint8_t {
    inactive = 0,
    healthy = 1,
    partially_healthy = 2,
    unhealthy = 3,
};
enum class nc_link_status : uint8_t {
    all_up = 1,
    some_down = 2,
    all_down = 3,
};
enum class nc_connection_status : uint8_t {
    inactive = 0,
    healthy = 1,
    partially_healthy = 2,
    unhealthy = 3,
};
enum class nc_synchronization_status : uint8_t {
    not_used = 0,
    healthy = 1,
    partially_healthy = 2,
    unhealthy = 3,
};
enum class nc_stream_status : uint8_t {
    inactive = 0,
    healthy = 1,
    partially_healthy = 2,
    unhealthy = 3,
};

// The model's enumeration item names: "Inactive", "Healthy", "PartiallyHealthy", "Unhealthy",
// "AllUp", "SomeDown", "AllDown", "NotUsed"; "?" for a value outside the scale.
std::string_view to_string(nc_overall_status s);
std::string_view to_string(nc_link_status s);
std::string_view to_string(nc_connection_status s);
std::string_view to_string(nc_synchronization_status s);
std::string_view to_string(nc_stream_status s);

// What the board shows now for one receive channel. Messages are plain words for people;
// every status has one (even a healthy one), so that a reader knows what it rests on.
struct rx_observation {
    channel_id channel;
    bool active = false;  // the channel is switched on (RX_STR_ENA ON)

    nc_link_status link = nc_link_status::all_down;  // the channel's interface
    std::string link_message;

    // Packets arriving: the format detector of a video channel; audio and ancillary channels
    // have no detector, which the message says (their status is then never a plain Healthy).
    nc_connection_status connection = nc_connection_status::inactive;
    std::string connection_message;

    // The timing daemon's lock to the facility clock.
    nc_synchronization_status synchronization = nc_synchronization_status::unhealthy;
    std::string synchronization_message;
    std::string synchronization_source;  // the grandmaster's identity; "" when none is known

    // The measured format against the configured one.
    nc_stream_status stream = nc_stream_status::inactive;
    std::string stream_message;

    bool operator==(const rx_observation&) const = default;
};

// The overall status of a set of domain statuses: Inactive while the receiver is off
// (connection or stream Inactive), otherwise the worst of the four, neutral values counting as
// healthy.
nc_overall_status overall_status(nc_link_status link, nc_connection_status connection,
                                 nc_synchronization_status synchronization,
                                 nc_stream_status stream);
nc_overall_status overall_status(const rx_observation& o);
// The messages of the domains that make the overall status what it is, joined by "; " and
// each prefixed with its domain ("connection: no signal"); "receiver off" when inactive, "all
// statuses healthy" when healthy.
std::string overall_message(const rx_observation& o);

// What is read once for the whole board: the interface's state and the timing daemon's.
struct board_health {
    std::string interface;  // the receive interface, "eth1"
    nc_link_status link = nc_link_status::all_down;
    std::string link_message;
    nc_synchronization_status synchronization = nc_synchronization_status::unhealthy;
    std::string synchronization_message;
    std::string synchronization_source;  // grandmaster identity, "" when none is known
};

struct observe_options {
    // Where the kernel shows interfaces; the state is read from <dir>/<interface>/operstate.
    std::string sys_class_net = "/sys/class/net";
};

// The channel's statuses from what was read of it and of the board. Pure.
rx_observation observe_channel(const channel_state& state, const board_health& board);

// Reads the interface's operational state and the timing daemon's lock state and grandmaster
// (relayed by the daemon). A timing daemon that does not answer is an Unhealthy
// synchronisation, not a failure; nullopt only when the daemon itself cannot be reached
// (failed then says which exchange).
std::optional<board_health> read_board_health(daemon_link& link, const std::string& interface,
                                              const observe_options& options,
                                              std::optional<link_failure>* failed);

struct observe_result {
    std::vector<rx_observation> channels;  // in all_channels() order; empty when failed
    std::optional<board_health> board;
    std::optional<link_failure> failed;
};
// All twelve channels, the board-wide reads done once.
observe_result observe_all(daemon_link& link, const observe_options& options = {});

struct observe_one_result {
    std::optional<rx_observation> observation;
    std::optional<link_failure> failed;
};
// One channel (and the board-wide reads).
observe_one_result observe(daemon_link& link, channel_id channel,
                           const observe_options& options = {});

// The monitor's properties, numbered as the control model numbers them: (level << 8) | index,
// so 0x0301 is 3p1 (overallStatus) and 0x040e is 4p14 (autoResetCountersAndMessages).
enum class rx_property : uint16_t {
    overall_status = 0x0301,
    overall_status_message = 0x0302,
    status_reporting_delay = 0x0303,
    link_status = 0x0401,
    link_status_message = 0x0402,
    link_status_transition_counter = 0x0403,
    connection_status = 0x0404,
    connection_status_message = 0x0405,
    connection_status_transition_counter = 0x0406,
    external_synchronization_status = 0x0407,
    external_synchronization_status_message = 0x0408,
    external_synchronization_status_transition_counter = 0x0409,
    synchronization_source_id = 0x040a,
    stream_status = 0x040b,
    stream_status_message = 0x040c,
    stream_status_transition_counter = 0x040d,
    auto_reset_counters_and_messages = 0x040e,
};
constexpr uint16_t property_level(rx_property p) {
    return static_cast<uint16_t>(static_cast<uint16_t>(p) >> 8);
}
constexpr uint16_t property_index(rx_property p) {
    return static_cast<uint16_t>(static_cast<uint16_t>(p) & 0xff);
}

// The statuses as reported. A message is nullopt when there is none (after a reset, or
// before the first observation).
struct rx_reported {
    nc_overall_status overall = nc_overall_status::inactive;
    std::optional<std::string> overall_message;
    uint32_t status_reporting_delay = 3;  // seconds; 0: no delay

    nc_link_status link = nc_link_status::all_down;
    std::optional<std::string> link_message;
    uint64_t link_transitions = 0;

    nc_connection_status connection = nc_connection_status::inactive;
    std::optional<std::string> connection_message;
    uint64_t connection_transitions = 0;

    nc_synchronization_status synchronization = nc_synchronization_status::unhealthy;
    std::optional<std::string> synchronization_message;
    uint64_t synchronization_transitions = 0;
    std::optional<std::string> synchronization_source;  // nullopt: none known

    nc_stream_status stream = nc_stream_status::inactive;
    std::optional<std::string> stream_message;
    uint64_t stream_transitions = 0;

    bool auto_reset_counters_and_messages = true;

    bool operator==(const rx_reported&) const = default;
};

// The reporting rules of one receiver monitor, without threads or I/O:
// - a worse status is reported at once and counted as a transition; a better one only once
//   it has held for status_reporting_delay seconds (neutral states count as best);
// - switching the receiver on (or activated() while on) reports connection and stream
//   Healthy at once and holds back worse ones for the delay; with
//   auto_reset_counters_and_messages the counters and messages are cleared first;
// - switching it off reports connection, stream and overall Inactive at once;
// - a change of grandmaster reports the synchronisation PartiallyHealthy at once, then what
//   holds after the delay;
// - a message is taken from the observation when its status is reported or its text changes.
// Every call returns the properties whose reported values changed, in rx_property order.
class rx_monitor {
  public:
    using clock = std::chrono::steady_clock;

    rx_monitor() = default;

    // Feeds what the board shows now. The first call takes the observation as it is (no
    // delay, no transition counted): the monitor starts from the board's state.
    std::vector<rx_property> update(const rx_observation& seen, clock::time_point now);
    // An activation of a receiver that is already on (new transport parameters): as if it
    // had just been switched on.
    std::vector<rx_property> activated(clock::time_point now);
    // Time passing with the board unchanged: held-back statuses that have fallen due.
    std::vector<rx_property> tick(clock::time_point now);
    std::vector<rx_property> reset_counters_and_messages();
    std::vector<rx_property> set_status_reporting_delay(uint32_t seconds, clock::time_point now);
    std::vector<rx_property> set_auto_reset_counters_and_messages(bool on);

    const rx_reported& reported() const { return reported_; }
    // When a held-back status falls due (so a caller may wake then); nullopt when none is.
    std::optional<clock::time_point> next_due() const;

  private:
    // One domain's reported state.
    struct domain {
        uint8_t value = 0;
        std::optional<std::string> message;
        uint64_t transitions = 0;
        std::optional<clock::time_point> better_since;  // observed better than reported since
        std::string taken;  // the observed message last taken, so a cleared one stays cleared
    };
    void settle(clock::time_point now);
    void publish();
    void start_activation(clock::time_point now);
    void clear_counters_and_messages();
    std::vector<rx_property> changes(const rx_reported& before) const;

    rx_reported reported_;
    std::optional<rx_observation> seen_;
    std::optional<clock::time_point> activated_at_;  // worse states held back until + delay
    std::array<domain, 4> domains_{};                // link, connection, sync, stream
    std::string last_source_;                        // the last grandmaster seen
};

}  // namespace nexo::client
