// All twelve receive channels at a glance: read from the daemon, shown as a table or as JSON.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "chan_io.h"

namespace nexo::client {

struct status_result {
    std::vector<channel_state> channels;  // in all_channels() order; complete unless failed
    std::optional<link_failure> failed;
};

// Reads every channel with its details (automatic detection, delays).
status_result read_status(daemon_link& link);

// What a video channel's detector says, for people: the measured format only in
// FORMAT_DETECTED (the detector's format record holds zeros or a stale format otherwise),
// "measuring" in STREAM_DETECTED, "no signal" in BUSY, "off" when DISABLED, "-" for a channel
// without a detector.
std::string detected_text(const channel_state& s);

// One line per channel under a header: channel, state, interface enable, destination, source,
// port, format, automatic detection (ON/OFF), what the detector says (detected_text()), delays.
std::string status_table(const std::vector<channel_state>& channels);

// {"channels": [{"channel": "20:0", "enabled": false, ...}, ...]} with one object per channel.
// Formats are objects of their fields ("format": {"colour_space": "YCR422", "depth": 10,
// "scan": "I", "width": 1920, "height": 1080, "rate": "50"}, audio {"channels", "encoding",
// "sample_rate", "packet_time_ms"}) or null; a video channel's "detected" is {"state":
// "BUSY", "format": null}, with a format only in FORMAT_DETECTED; other channels' is null.
std::string status_json(const std::vector<channel_state>& channels);

}  // namespace nexo::client
