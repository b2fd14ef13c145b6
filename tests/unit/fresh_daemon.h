// A daemon as it answers right after start-up, for driving the node or the client library
// without one: every channel unconfigured and off on eth1, the timing daemon's clock at
// 1000 s, every SET taken.
#pragma once

#include <string>
#include <string_view>

#include "chan_io.h"

namespace nexo::testing_daemon {

inline client::link_reply fresh_reply(const std::string& line) {
    using client::link_status;
    std::string_view l = line;
    std::string rest(l.substr(l.find(' ') + 1));
    std::string keyword = rest.substr(0, rest.find(' '));
    if (l.starts_with("SET ")) {
        return {link_status::ok, "RSET " + keyword + " OK"};
    }
    if (rest == "PTP_TIME") {
        return {link_status::ok, "RGET PTP_TIME 1000 5"};
    }
    if (rest == "RX_NET_IF_NAME 0") {
        return {link_status::ok, "RGET RX_NET_IF_NAME 0 eth1"};
    }
    if (keyword == "RX_IP_DEST" || keyword == "RX_IP_SRC") {
        return {link_status::ok, "RGET " + rest + " U 0.0.0.0 0 0"};
    }
    if (keyword == "RX_STR_ENA") {
        return {link_status::ok, "RGET " + rest + " OFF"};
    }
    if (keyword == "RX_IP_IF_ENA") {
        return {link_status::ok, "RGET " + rest + " eth1/0"};
    }
    if (keyword == "RX_VID_FMT") {
        return {link_status::ok, "RGET " + rest + " NONE 0 ? 0 0 NONE"};
    }
    return {link_status::error, "ERROR"};
}

}  // namespace nexo::testing_daemon
