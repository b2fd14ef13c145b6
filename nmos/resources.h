// resources: the node, its device and its twelve receivers as the discovery API describes
// them, with stable identifiers and a version stamp that moves whenever a resource changes.
#pragma once

#include <array>
#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "board_control.h"

namespace nexo::nmos {

using json = nlohmann::json;

// What the node says about its host and its one media interface.
struct node_identity {
    std::string hostname;
    std::string label;
    std::string ifname;    // the daemon's interface, eth1
    std::string ip;        // its IPv4 address ("" when it has none)
    std::string mac;       // "aa-bb-cc-dd-ee-ff"
    std::string api_host;  // host the APIs are advertised on (default: ip)
    int port = 0;
    // Asset tags a facility inventories the board by: who made it, what it is, which one it is,
    // and what the device does there.
    std::string manufacturer;
    std::string product;
    std::string instance_id;  // default: the MAC address
    std::string function;
    bool tls = false;   // the APIs are served over https
    bool auth = false;  // and need access tokens
    int ncp_port = 0;   // the control protocol's WebSocket port (0: not served)
};

// The timing daemon's view of the clock, as the node reports it.
struct clock_state {
    std::string gmid;  // "xx-xx-xx-xx-xx-xx-xx-xx", "" when unknown
    bool locked = false;
};

// Stable name-based identifier: the same seed and name give the same UUID on every start.
std::string stable_uuid(const std::string& seed, const std::string& name);
// "020000.fffe.000001" (the timing daemon's clock identity) to "02-00-00-ff-fe-00-00-01";
// "" when the text is not a clock identity.
std::string clock_identity_to_gmid(const std::string& id);

enum class resource_type { node, device, receiver };

struct subscription {
    std::optional<std::string> sender_id;
    bool active = false;
};

class resources {
  public:
    // `caps` gives the receiver capabilities (caps object without "version") of a channel.
    resources(node_identity id, std::function<json(channel_id)> caps, tai_time start);

    const std::string& node_id() const { return node_id_; }
    const std::string& device_id() const { return device_id_; }
    const std::string& receiver_id(std::size_t i) const { return receiver_ids_[i]; }
    // Index of the receiver with this id; nullopt when there is none.
    std::optional<std::size_t> receiver_index(const std::string& id) const;
    const node_identity& identity() const { return id_; }

    json node_json() const;
    json device_json() const;
    json receiver_json(std::size_t i) const;

    // Records an activation or a clock change; the resource gets the version `now` (later than
    // any it had), and the observer (registration) hears of it.
    void set_subscription(std::size_t i, const subscription& s, tai_time now);
    void set_clock(const clock_state& c, tai_time now);
    void on_change(std::function<void(resource_type, std::size_t)> fn);

  private:
    tai_time bump(tai_time& version, tai_time now);

    node_identity id_;
    std::function<json(channel_id)> caps_;
    std::string node_id_, device_id_;
    std::array<std::string, kChannels.size()> receiver_ids_;
    tai_time node_version_, device_version_, caps_version_;
    std::array<tai_time, kChannels.size()> receiver_versions_;
    std::array<subscription, kChannels.size()> subscriptions_;
    clock_state clock_;
    std::function<void(resource_type, std::size_t)> observer_;
    mutable std::mutex mu_;
};

}  // namespace nexo::nmos
