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

// One line per channel under a header: channel, state, interface enable, destination, source,
// port, format, automatic detection (ON/OFF, detector state, detected format), delays.
std::string status_table(const std::vector<channel_state>& channels);

// {"channels": [{"channel": "20:0", "enabled": false, ...}, ...]} with one object per channel.
std::string status_json(const std::vector<channel_state>& channels);

}  // namespace nexo::client
