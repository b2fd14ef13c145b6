// The client library's link over the board's own control client: the library's lines without
// nexoctl's lock, which waits on every line while the test's client holds the request pipe.
#pragma once

#include <chrono>
#include <string>

#include "board.h"
#include "chan_io.h"
#include "control_client.h"

namespace nexo::sim {

inline client::function_link board_link(board& b) {
    return client::function_link([&b](const std::string& line) {
        std::string reply = b.client().request(line, std::chrono::milliseconds(1500));
        client::link_reply r;
        r.status = reply.empty()        ? client::link_status::no_reply
                   : reply == "ERROR\n" ? client::link_status::error
                                        : client::link_status::ok;
        r.text = reply.substr(0, reply.find('\n'));
        return r;
    });
}

}  // namespace nexo::sim
