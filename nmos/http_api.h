// http_api: the node's two HTTP APIs (discovery at /x-nmos/node/v1.3, connection management at
// /x-nmos/connection/v1.1) — routing, error bodies, CORS — and the server that serves them.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "connection.h"
#include "resources.h"

struct ssl_ctx_st;
namespace httplib {
class Server;
}

namespace nexo::nmos {

// Where the node may fetch a sender's description (a target PUT's manifest_href) from: IPv4
// networks ("192.0.2.0/24"; an address alone is /32) and host names, taken as written. Empty,
// the default: nowhere, since the fetch is made for whoever sends the PUT.
struct manifest_sources {
    std::vector<std::string> allowed;
    std::string ca_file;  // trust anchors for https descriptions ("" = the system's)
    // Whether an entry is an address, a network or a host name ("" when fine, else why not).
    static std::string check(const std::string& entry);
    bool permits(const std::string& host) const;
};

class api_router {
  public:
    api_router(resources& r, connection& c) : res_(r), conn_(c) {}
    void set_manifest_sources(manifest_sources m) { manifests_ = std::move(m); }

    // Answers one request. Never throws: daemon trouble becomes 503/500 with an error body.
    api_result handle(const std::string& method, const std::string& path, const std::string& body);

  private:
    api_result node_api(const std::string& method, const std::vector<std::string>& seg,
                        const std::string& body);
    api_result connection_api(const std::string& method, const std::vector<std::string>& seg,
                              const std::string& body);
    resources& res_;
    connection& conn_;
    manifest_sources manifests_;
};

// What a gate answers instead of the API: status, error body and, for 401 and 403, the
// WWW-Authenticate header.
struct gate_refusal {
    int code;
    json body;
    std::string www_authenticate;
    int retry_after = 0;  // seconds, sent as Retry-After when not 0
};

// Consulted before routing with the method, the path and the Authorization header ("" when
// absent); nullopt lets the request through. Browsers' CORS pre-flights carry no credentials
// and are answered without it.
using request_gate = std::function<std::optional<gate_refusal>(
    const std::string& method, const std::string& path, const std::string& authorization)>;

// The HTTP server around a router. listen() blocks until stop() (from another thread).
class http_server {
  public:
    explicit http_server(api_router& router);
    // HTTPS only: `setup_tls` prepares the server's TLS context (false when it cannot).
    http_server(api_router& router, std::function<bool(ssl_ctx_st&)> setup_tls);
    ~http_server();
    // Set before listen(): every request passes it first.
    void set_gate(request_gate gate);
    // Binds host:port; false when the port cannot be had.
    bool bind(const std::string& host, int port);
    void listen();
    void stop();

  private:
    struct impl;
    std::unique_ptr<impl> p_;
};

}  // namespace nexo::nmos
