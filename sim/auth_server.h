// auth_server: a stand-in for the facility's Authorization Server — its metadata, the key set
// of its signing key, dynamic client registration and a client-credentials token endpoint — so
// that the node's tokens can be issued, renewed and checked on the simulated network.
#pragma once

#include <chrono>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

namespace nexo::sim {

class auth_server {
  public:
    // Serves plain http on address:port. Tokens name `audience` and live `lifetime`; clients
    // registered on the fly get registration rights (x-nmos-registration read and write).
    auth_server(const std::string& address, int port, std::string audience,
                std::chrono::seconds lifetime);
    ~auth_server();
    auth_server(const auth_server&) = delete;
    auth_server& operator=(const auth_server&) = delete;

    bool listening() const;
    std::string issuer() const;  // http://address:port

    // A client known up front (a controller), with the x-nmos claims its tokens carry.
    void add_client(const std::string& id, const std::string& secret, nlohmann::json claims);

    // Whether `token` is one this server issued and it has not expired.
    bool valid(const std::string& token) const;
    int registrations() const;  // clients registered on the fly
    int tokens_issued() const;

    // The key set served from now on in place of the server's own key: a rotation to keys
    // made elsewhere, or garbage.
    void publish_keys(std::string jwks);
    int key_requests() const;
    // From now on each key set request waits until release_keys(). Whether one is waiting
    // within `limit`.
    void hold_keys();
    bool key_request_waiting(std::chrono::milliseconds limit);
    void release_keys();

  private:
    struct impl;
    std::unique_ptr<impl> p_;
};

}  // namespace nexo::sim
