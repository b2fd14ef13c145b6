// All twelve receive channels at a glance: read from the daemon, shown as a table or as JSON.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "chan_io.h"
#include "rx_health.h"

namespace nexo::client {

struct status_result {
    std::vector<channel_state> channels;  // in all_channels() order; complete unless failed
    std::vector<rx_observation> health;   // same order; empty unless asked for (and on failure)
    std::optional<link_failure> failed;
};

// Reads every channel with its details (automatic detection, delays); with_health adds each
// channel's statuses (rx_health.h), the interface and timing daemon read once for all.
status_result read_status(daemon_link& link, bool with_health = false,
                          const observe_options& options = {});

// What a video channel's detector says, for people: the measured format only in
// FORMAT_DETECTED (the detector's format record holds zeros or a stale format otherwise),
// "measuring" in STREAM_DETECTED, "no signal" in BUSY, "off" when DISABLED, "-" for a channel
// without a detector.
std::string detected_text(const channel_state& s);

// One line per channel under a header: channel, state, interface enable, destination, source,
// port, format, automatic detection (ON/OFF), what the detector says (detected_text()), delays.
// With health (one per channel), a second table follows after a blank line: channel, overall,
// link, connection, synchronisation and stream status, and why the overall status is what it
// is (overall_message()).
std::string status_table(const std::vector<channel_state>& channels,
                         const std::vector<rx_observation>& health = {});

// {"channels": [{"channel": "20:0", "enabled": false, ...}, ...]} with one object per channel.
// Formats are objects of their fields ("format": {"colour_space": "YCR422", "depth": 10,
// "scan": "I", "width": 1920, "height": 1080, "rate": "50"}, audio {"channels", "encoding",
// "sample_rate", "packet_time_ms"}) or null; a video channel's "detected" is {"state":
// "BUSY", "format": null}, with a format only in FORMAT_DETECTED; other channels' is null.
// With health, every channel's object ends in "health": {"overall": {"status": "Unhealthy",
// "value": 3, "message": "..."}, "link": {...}, "connection": {...}, "synchronization":
// {..., "source": "02-00-00-ff-fe-00-00-01" or null}, "stream": {...}} (status names and
// numbers of the control model).
std::string status_json(const std::vector<channel_state>& channels,
                        const std::vector<rx_observation>& health = {});

// What changed between two observations of a channel, one line per status or message that
// changed, overall first: "20:1 stream Healthy -> Unhealthy: receiving A but configured for
// B", "20:1 link AllDown: eth1 is not present" (same status, new message). Without `before`,
// one line with the channel's current statuses.
std::vector<std::string> health_changes(const rx_observation* before, const rx_observation& now);

}  // namespace nexo::client
