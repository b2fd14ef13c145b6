// Control protocol messages through one session of the node's control model, without a socket:
// the input is split at newlines into messages, each answered in turn with the events it raised
// sent back as a notification. No crash, no exception, every answer a JSON object of a message
// type the protocol defines.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "ncp_model.h"
#include "ncp_protocol.h"

namespace {

using namespace nexo::nmos::ncp;

model& the_model() {
    static model m = [] {
        std::array<std::string, nexo::nmos::kChannels.size()> ids;
        for (std::size_t i = 0; i < ids.size(); ++i) {
            ids[i] = "00000000-0000-0000-0000-00000000000" + std::to_string(i % 10);
        }
        monitor_hooks hooks;
        hooks.reset_counters_and_messages = [](std::size_t) {
            return std::optional<monitor_values>(monitor_values{});
        };
        return model(device_identity{"nexo", "board", "board", "1.0.0", "s", "label"}, ids,
                     std::move(hooks));
    }();
    return m;
}

void check(const std::string& reply) {
    json j = json::parse(reply, nullptr, false);
    if (j.is_discarded() || !j.is_object() || !j["messageType"].is_number_integer()) {
        std::abort();
    }
    const int t = j["messageType"].get<int>();
    if (t != message_type::command_response && t != message_type::subscription_response &&
        t != message_type::error && t != message_type::notification) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view in(reinterpret_cast<const char*>(data), size);
    session_state s;
    while (!in.empty()) {
        std::size_t nl = in.find('\n');
        std::string_view msg = in.substr(0, nl);
        std::vector<property_event> events;
        check(handle_message(the_model(), s, msg, &events));
        if (std::string n = notification_message(s, events); !n.empty()) {
            check(n);
        }
        in = nl == std::string_view::npos ? std::string_view() : in.substr(nl + 1);
    }
    return 0;
}
