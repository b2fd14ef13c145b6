#include "ncp_protocol.h"

#include "http_limits.h"

namespace nexo::nmos::ncp {

namespace {

// A whole number in [min, max] as the message carries it; JSON floats never pass.
bool integer_in(const json& v, std::int64_t min, std::int64_t max) {
    if (v.is_number_unsigned()) {
        return v.get<std::uint64_t>() <= static_cast<std::uint64_t>(max);
    }
    return v.is_number_integer() && v.get<std::int64_t>() >= min && v.get<std::int64_t>() <= max;
}

// Why a command is malformed, or "" when it is not. The whole message is refused for one bad
// command: without a usable handle its response could not be matched.
std::string command_problem(const json& c) {
    if (!c.is_object()) {
        return "a command is not an object";
    }
    auto h = c.find("handle");
    if (h == c.end() || !integer_in(*h, 1, 65535)) {
        return "a command's handle is not a number from 1 to 65535";
    }
    auto oid = c.find("oid");
    if (oid == c.end() || !integer_in(*oid, 1, 0xffffffff)) {
        return "a command's oid is not a positive 32-bit number";
    }
    auto mid = c.find("methodId");
    if (mid == c.end() || !mid->is_object() || !mid->contains("level") || !mid->contains("index") ||
        !integer_in(mid->at("level"), 1, 0xffff) || !integer_in(mid->at("index"), 1, 0xffff)) {
        return "a command's methodId is not {level, index}";
    }
    auto args = c.find("arguments");
    if (args != c.end() && !args->is_object()) {
        return "a command's arguments are not an object";
    }
    return "";
}

// Serialises a message. Strings the node cut short may end inside a UTF-8 sequence; those bytes
// are replaced rather than thrown over.
std::string text_of(const json& j) {
    return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

}  // namespace

std::string error_message(int status, const std::string& text) {
    return text_of(
        json{{"messageType", message_type::error}, {"status", status}, {"errorMessage", text}});
}

std::string handle_message(model& m, session_state& s, std::string_view text,
                           std::vector<property_event>* events) {
    if (text.size() > kMaxMessageBytes) {
        return error_message(status::buffer_overflow, "message too long");
    }
    if (!json_depth_within(text, kMaxJsonDepth)) {
        return error_message(status::bad_command_format, "message nested too deep");
    }
    json msg = json::parse(text, nullptr, false);
    if (msg.is_discarded() || !msg.is_object()) {
        return error_message(status::bad_command_format, "message is not a JSON object");
    }
    auto type = msg.find("messageType");
    if (type == msg.end() || !type->is_number_integer()) {
        return error_message(status::bad_command_format, "message has no messageType");
    }
    if (*type == message_type::subscription) {
        auto subs = msg.find("subscriptions");
        if (subs == msg.end() || !subs->is_array()) {
            return error_message(status::bad_command_format,
                                 "subscription message without a subscriptions array");
        }
        // Oids that do not exist are left out of the answer, which is how a client learns of
        // them; the set can only hold the model's objects, whatever the list's length.
        std::set<std::uint32_t> now;
        for (const auto& o : *subs) {
            if (integer_in(o, 1, 0xffffffff)) {
                const auto oid = o.get<std::uint32_t>();
                if (m.has_object(oid)) {
                    now.insert(oid);
                }
            }
        }
        s.subscriptions = std::move(now);
        return text_of(json{{"messageType", message_type::subscription_response},
                            {"subscriptions", s.subscriptions}});
    }
    if (*type != message_type::command) {
        return error_message(status::bad_command_format,
                             "a client sends commands (0) and subscriptions (3) only");
    }
    auto cmds = msg.find("commands");
    if (cmds == msg.end() || !cmds->is_array()) {
        return error_message(status::bad_command_format, "command message without commands");
    }
    if (cmds->size() > kMaxCommandsPerMessage) {
        return error_message(status::buffer_overflow, "too many commands in one message");
    }
    for (const auto& c : *cmds) {
        if (std::string why = command_problem(c); !why.empty()) {
            return error_message(status::bad_command_format, why);
        }
    }
    json responses = json::array();
    for (const auto& c : *cmds) {
        const auto& mid = c.at("methodId");
        json result = m.invoke(c.at("oid").get<std::uint32_t>(),
                               {mid.at("level").get<int>(), mid.at("index").get<int>()},
                               c.value("arguments", json::object()), events);
        responses.push_back({{"handle", c.at("handle")}, {"result", std::move(result)}});
    }
    return text_of(json{{"messageType", message_type::command_response}, {"responses", responses}});
}

std::string notification_message(const session_state& s,
                                 const std::vector<property_event>& events) {
    json list = json::array();
    for (const auto& e : events) {
        if (s.subscriptions.count(e.oid) == 0) {
            continue;
        }
        list.push_back(
            {{"oid", e.oid},
             {"eventId", {{"level", 1}, {"index", 1}}},
             {"eventData",
              {{"propertyId", {{"level", e.property.level}, {"index", e.property.index}}},
               {"changeType", 0},
               {"value", e.value},
               {"sequenceItemIndex", nullptr}}}});
    }
    if (list.empty()) {
        return "";
    }
    return text_of(json{{"messageType", message_type::notification}, {"notifications", list}});
}

}  // namespace nexo::nmos::ncp
