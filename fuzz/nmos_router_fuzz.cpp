// Requests through the node's router without a socket: a method chosen by the first byte, the
// path up to the first newline, the rest as the body. No crash, no hang, no exception out of the
// router, and every answer an error body or a document that can be written as the server does.
// The daemon behind it is a fresh one that accepts every line. "RX" in the path stands for a
// receiver's id (the first byte also chooses which), so that inputs reach the receivers.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "board_control.h"
#include "connection.h"
#include "fresh_daemon.h"
#include "http_api.h"
#include "resources.h"

namespace {

using namespace nexo::nmos;

// Answers every query of every channel as a daemon just started does.
struct fresh_daemon : nexo::client::daemon_link {
    nexo::client::link_reply exchange(const std::string& line) override {
        return nexo::testing_daemon::fresh_reply(line);
    }
};

struct node {
    fresh_daemon d;
    board_control b{d};
    resources res{
        {"host", "label", "eth1", "192.0.2.10", "02-00-00-00-00-10", "", 3212, "m", "p", "", "f"},
        [](channel_id) { return json::object(); },
        {1, 0}};
    connection conn{b, res, [] { return std::string("192.0.2.10"); }};
    api_router router{res, conn};
};

constexpr const char* kMethods[] = {"GET", "PUT", "POST", "PATCH", "DELETE", "HEAD"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static node n;
    if (size == 0) {
        return 0;
    }
    std::string_view in(reinterpret_cast<const char*>(data) + 1, size - 1);
    const char* method = kMethods[data[0] % std::size(kMethods)];
    std::size_t nl = in.find('\n');
    std::string path(in.substr(0, nl));
    if (std::size_t at = path.find("RX"); at != std::string::npos) {
        path.replace(at, 2, n.res.receiver_id(data[0] / std::size(kMethods) % kChannels.size()));
    }
    std::string body(nl == std::string_view::npos ? std::string_view() : in.substr(nl + 1));
    api_result r = n.router.handle(method, path, body);
    if (r.code < 200 || r.code > 599 || (r.code >= 400 && !r.body.contains("error"))) {
        std::abort();
    }
    (void)r.body.dump(-1, ' ', false, json::error_handler_t::replace);
    return 0;
}
