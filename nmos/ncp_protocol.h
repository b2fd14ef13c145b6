// ncp_protocol: the control protocol's messages over one WebSocket session — commands and their
// responses, subscriptions, notifications and error messages — against the control model. No
// I/O: the server hands each text message in and sends what comes back.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "ncp_model.h"

namespace nexo::nmos::ncp {

enum message_type : int {
    command = 0,
    command_response = 1,
    notification = 2,
    subscription = 3,
    subscription_response = 4,
    error = 5,
};

// Bounds on what one client may send.
inline constexpr std::size_t kMaxMessageBytes = 256 * 1024;
inline constexpr std::size_t kMaxJsonDepth = 32;
inline constexpr std::size_t kMaxCommandsPerMessage = 256;

struct session_state {
    std::set<std::uint32_t> subscriptions;  // oids whose events this client receives
};

// Answers one text message: a CommandResponse (one response per command, in order), a
// SubscriptionResponse (the oids that exist among those asked for; they replace the session's
// subscriptions), or an Error message with status 400 for anything that is not a well-formed
// command or subscription message. Events raised by the commands are appended to *events.
std::string handle_message(model& m, session_state& s, std::string_view text,
                           std::vector<property_event>* events);

// The Notification message carrying those of `events` this session subscribed to; "" when
// none.
std::string notification_message(const session_state& s, const std::vector<property_event>& events);

// An Error message.
std::string error_message(int status, const std::string& text);

}  // namespace nexo::nmos::ncp
