// node_fixture: the NMOS node beside the daemon of a fresh board, and a controller's HTTP
// client of it.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "board.h"
#include "control_client.h"
#include "nmos_node.h"
#include "unique_fd.h"

namespace nexo::sim {

// Each test has a network namespace of its own: every file can use the same port.
constexpr int kNodePort = 18080;
inline const std::string kConnReceivers = "/x-nmos/connection/v1.1/single/receivers/";

// A TCP connection to `port` on the loopback; empty when it cannot be made.
inline unique_fd connect_local(int port) {
    unique_fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        fd.reset();
    }
    return fd;
}

struct node_reply {
    int status = 0;  // 0: no answer
    nlohmann::json body;
    httplib::Headers headers;

    std::string header(const std::string& name) const {
        auto it = headers.find(name);
        return it == headers.end() ? "" : it->second;
    }
};

struct node_fixture : testing::Test {
    board b;
    nmos_node node;
    httplib::Client http{"127.0.0.1", kNodePort};

    void start(const std::vector<std::string>& extra = {}) {
        ASSERT_TRUE(b.started());
        ASSERT_TRUE(node.start(kNodePort, extra)) << node.output();
        http.set_read_timeout(std::chrono::seconds(10));
    }
    // One request; with `token`, as its Bearer. The body goes with PATCH, POST and PUT.
    node_reply call(const std::string& method, const std::string& path,
                    const nlohmann::json& body = {}, const std::string& token = "") {
        httplib::Headers h;
        if (!token.empty()) {
            h.emplace("Authorization", "Bearer " + token);
        }
        const std::string text = body.dump();
        const char* type = "application/json";
        httplib::Result r = method == "GET"     ? http.Get(path, h)
                            : method == "HEAD"  ? http.Head(path, h)
                            : method == "PATCH" ? http.Patch(path, h, text, type)
                            : method == "PUT"   ? http.Put(path, h, text, type)
                                                : http.Post(path, h, text, type);
        if (!r) {
            return {};
        }
        return {r->status, nlohmann::json::parse(r->body, nullptr, false), r->headers};
    }
    // The connection API's id of receiver `i` ("id/"; 0 is channel 20:0).
    std::string receiver(std::size_t i = 0, const std::string& token = "") {
        node_reply r = call("GET", kConnReceivers, {}, token);
        return r.body.is_array() && i < r.body.size() ? r.body[i].get<std::string>() : "";
    }
    // Under nexoctl's lock: the node's poller talks to the daemon at the same time.
    std::string daemon(const std::string& line) { return b.client().locked_request(line); }
};

}  // namespace nexo::sim
