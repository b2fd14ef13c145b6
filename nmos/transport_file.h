// transport_file: what a sender's session description means for one receive channel — the
// transport parameters and the format it carries — or why the board cannot receive it.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "board_control.h"
#include "caps.h"

namespace nexo::nmos {

struct transport_file_result {
    std::string refusal;  // "" when accepted; otherwise names the attribute and what is accepted
    std::optional<std::string> multicast_ip;  // empty optional: unicast (no group)
    std::optional<std::string> source_ip;     // empty optional: any source
    unsigned destination_port = 0;
    unsigned payload_type = 0;
    std::optional<client::video_format> video;  // the format the channel is set to
    std::optional<client::audio_format> audio;
};

// The receiver capabilities of a channel kind: media types and the constraint sets the board
// accepts, as the discovery API lists them.
nlohmann::json receiver_caps(channel_id ch);

// Reads the description for the channel. Never throws.
transport_file_result read_transport_file(channel_id ch, const std::string& sdp);

}  // namespace nexo::nmos
