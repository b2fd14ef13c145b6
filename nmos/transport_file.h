// transport_file: what a sender's session description means for one receive channel — the
// transport parameters it carries and the daemon lines that set the channel's format — or why
// the board cannot receive it.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "board_control.h"

namespace nexo::nmos {

struct transport_file_result {
    std::string refusal;  // "" when accepted; otherwise names the attribute and what is accepted
    std::optional<std::string> multicast_ip;  // empty optional: unicast (no group)
    std::optional<std::string> source_ip;     // empty optional: any source
    unsigned destination_port = 0;
    unsigned payload_type = 0;
    std::vector<std::string> format_lines;  // "SET RX_VID_FMT ..." / "SET RX_AUD_FMT ..."
};

// The receiver capabilities of a channel kind: media types and the constraint sets the board
// accepts, as the discovery API lists them.
nlohmann::json receiver_caps(const channel_def& ch);

// Reads the description for the channel. Never throws.
transport_file_result read_transport_file(const channel_def& ch, const std::string& sdp);

}  // namespace nexo::nmos
