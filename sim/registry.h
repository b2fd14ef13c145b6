// registry: a stand-in for the facility's registry (registration API v1.3) that records what
// the node sends it, so that registration, heartbeats, renewal of tokens and the way back after a
// registry forgot the node can be checked on the simulated network.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace nexo::sim {

struct registry_options {
    std::string address = "127.0.0.1";  // "0.0.0.0" to be reached at eth1's address too
    int port = 0;
    std::string cert_file = {}, key_file = {};  // both given: https with this certificate
    // Given: every request needs a Bearer token it accepts, else 401.
    std::function<bool(const std::string& token)> valid_token = {};
};

class registry {
  public:
    explicit registry(registry_options opts);
    ~registry();
    registry(const registry&) = delete;
    registry& operator=(const registry&) = delete;

    bool listening() const;
    std::string url() const;  // http[s]://address:port

    // What arrived, in order: a resource POST by its type ("node", "device", "receiver"),
    // "heartbeat" (empty: no body, no Content-Type, Content-Length 0), "heartbeat with a body",
    // "delete", "unauthorised" (no token or one the validator refused), "refused" (a valid
    // token turned away by refuse_tokens). How many of `what` there were.
    int count(const std::string& what) const;
    int resources() const;  // resource POSTs taken, of every type
    // The body of every resource POST taken, in order.
    std::vector<nlohmann::json> registrations() const;
    // When each heartbeat (with a body or not) arrived.
    std::vector<std::chrono::steady_clock::time_point> heartbeat_times() const;

    // The next `n` heartbeats are answered 404: the registry has forgotten the node. (A node
    // POST is answered 200 while the registry holds the node, 201 when it does not.)
    void forget(int n);
    // Each resource POST from now on takes `delay` to answer.
    void slow_down(std::chrono::milliseconds delay);
    // The next `n` requests with a valid token are answered 401 all the same.
    void refuse_tokens(int n);

  private:
    struct impl;
    std::unique_ptr<impl> p_;
};

}  // namespace nexo::sim
