// Descriptions applied to receive channels, kept in a state directory, so that a channel read
// back gives what the board does not store: colorimetry, TCS, TP, MAXUDP and the other format
// parameters, the audio channel order, the reference clock (with its grandmaster), the media
// clock and the session name.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "chan_plan.h"
#include "sdp.h"

namespace nexo::client {

inline constexpr const char* kDefaultStateDir = "/var/lib/nexo";

// dir/20-1.sdp
std::string stored_path(const std::string& dir, channel_id channel);

// Keeps the description applied to the channel: written to a temporary file in dir, synced and
// renamed over the last one, so that a reader sees the old or the new text, never a part. The
// directory is created when missing (its parent must exist). False with *error set on failure.
bool store_description(const std::string& dir, channel_id channel, std::string_view text,
                       std::string* error);

// The description last stored for the channel, or nullopt.
std::optional<std::string> load_description(const std::string& dir, channel_id channel);

// Completes `described` (config_to_sdp() of `board`, the channel as the daemon reports it)
// from the stored description, provided that the stored description still gives exactly the
// fields the board stores (addresses, port, payload type, format). Returns "" when completed;
// otherwise `described` keeps the implied defaults and the text says why.
std::string restore_unstored(sdp_session& described, const channel_config& board,
                             const std::string& stored);

}  // namespace nexo::client
