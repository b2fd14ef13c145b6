// ncp_server: the control protocol's WebSocket endpoint (ws://, or wss:// with the HTTP APIs'
// certificates). One I/O thread serves every client; each client's outgoing messages are queued
// up to a bound, and a client that lets its queue overflow (one that never reads) is dropped
// without holding up the others.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "http_api.h"
#include "ncp_model.h"

struct ssl_ctx_st;

namespace nexo::nmos::ncp {

// The endpoint's path, as the device's controls advertise it.
inline constexpr const char* kPath = "/x-nmos/ncp/v1.0";

struct server_limits {
    std::size_t max_clients = 256;                    // connections at once; more are closed
    std::size_t max_queued_bytes = 1024 * 1024;       // unsent messages of one client
    std::size_t max_request_bytes = 16 * 1024;        // the upgrade request's line and headers
    std::chrono::milliseconds handshake_time{10000};  // TCP accept to WebSocket open
    // A client that sends nothing, not even a pong to the node's pings, for this long is gone.
    std::chrono::milliseconds idle_time{30000};
};

class server {
  public:
    // `tls` prepares the server's TLS context (the HTTP APIs' setup); empty for plain ws://.
    server(model& m, server_limits limits, std::function<bool(ssl_ctx_st&)> tls = {});
    ~server();
    server(const server&) = delete;
    server& operator=(const server&) = delete;

    // Access control of the upgrade request, as for the HTTP APIs; the token may also come as
    // the `access_token` query parameter, as WebSocket clients in browsers cannot set headers.
    void set_gate(request_gate gate);
    // Binds host:port (0: any free port); false when it cannot be had or TLS setup fails.
    bool bind(const std::string& host, int port);
    int port() const;
    // Serves until stop() (from another thread).
    void run();
    void stop();

    // Sends the events to every client subscribed to their objects. Any thread.
    void publish(std::vector<property_event> events);

    std::size_t clients() const;

    struct impl;

  private:
    std::unique_ptr<impl> p_;
};

}  // namespace nexo::nmos::ncp
