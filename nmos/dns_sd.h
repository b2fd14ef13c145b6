// dns_sd: service discovery through the Avahi daemon, whenever one runs. Finds the registries
// that announce themselves as _nmos-register._tcp and the Authorization Servers that announce
// themselves as _nmos-auth._tcp, and announces the Node API as
// _nmos-node._tcp while the node has no registry (peer-to-peer mode), with the ver_ records
// that tell peers which of its resources changed. Registered, the node withdraws that
// announcement, as a node should when a registry is on the network.
//
// Avahi may come and go: the node waits for it, starts over when it returns, and serves its
// APIs all along.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "resources.h"

namespace nexo::nmos {

inline constexpr const char* kRegistryService = "_nmos-register._tcp";
inline constexpr const char* kNodeService = "_nmos-node._tcp";
inline constexpr const char* kAuthService = "_nmos-auth._tcp";

// One announced registry the node can use.
struct registry_ad {
    std::string url;        // base URL, http://address:port
    int priority = 0;       // TXT pri: 0 is the highest, 100 and above are for development
    unsigned tiebreak = 0;  // the random order among equal priorities
};

// How the node's APIs are served: over https, and with access tokens required.
struct api_security {
    bool tls = false;
    bool auth = false;
};

// The registry that an announcement (its TXT strings "key=value", its address and port)
// describes, or nothing when this node cannot use it: another api_proto than the node's own
// (http, or https with `sec.tls`), no v1.3 in api_ver, authorisation required while the node
// has no tokens (`sec.auth`), or no integer pri.
std::optional<registry_ad> registry_from_txt(const std::vector<std::string>& txt,
                                             const std::string& address, std::uint16_t port,
                                             api_security sec = {});

// The Authorization Server an announcement describes, its url the issuer (https://host:port,
// by host name, which its certificate names), or nothing when the node cannot use it: no v1.0
// in api_ver, no integer pri, or plain http while the node itself serves https.
std::optional<registry_ad> auth_server_from_txt(const std::vector<std::string>& txt,
                                                const std::string& host, const std::string& address,
                                                std::uint16_t port, api_security sec = {});

// Base URLs in the order to try them: highest priority first, equal priorities in the order
// of their tiebreak.
std::vector<std::string> by_priority(std::vector<registry_ad> ads);

// The TXT strings of the node's announcement; `versions` are the ver_ counters (self, sources,
// flows, devices, senders, receivers), present in peer-to-peer mode only.
std::vector<std::string> node_txt(const std::uint8_t (&versions)[6], api_security sec = {});

class dns_sd {
  public:
    // `name`: the service instance name (Avahi picks another on a clash); `port`: the Node
    // API's. `on_registries` is called, from the discovery thread, when the list changes.
    dns_sd(std::string name, std::uint16_t port, std::function<void()> on_registries,
           api_security sec = {});
    ~dns_sd();  // the announcement is withdrawn
    dns_sd(const dns_sd&) = delete;
    dns_sd& operator=(const dns_sd&) = delete;

    // No more calls of `on_registries` once this returns (they come under Avahi's lock).
    void detach();

    // The registries found so far, in the order to try them.
    std::vector<std::string> registries() const;
    // The Authorization Servers found so far (issuer URLs), best first. `on_change` is called
    // with them at once, then from the discovery thread whenever they change (until detach()).
    std::vector<std::string> auth_servers() const;
    void on_auth_servers(std::function<void(const std::vector<std::string>&)> on_change);
    // Peer-to-peer mode (no registry): announce the node; registered: withdraw it.
    void set_peer_to_peer(bool on);
    // A resource changed: its ver_ counter goes up (modulo 256), announced in peer-to-peer mode.
    void changed(resource_type t);

  private:
    struct impl;
    std::unique_ptr<impl> p_;
};

}  // namespace nexo::nmos
