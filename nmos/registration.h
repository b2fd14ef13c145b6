// registration: puts the node, its device and its receivers into a registry, keeps them alive
// with a heartbeat every 5 s, registers again when the registry has forgotten the node, and
// moves on to the next registry when one stops answering. The registries are those given on
// the command line, in their order, then those found by DNS-SD, by priority; with none, the
// node waits in peer-to-peer mode until one appears.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "resources.h"

namespace nexo::nmos {

class registration {
  public:
    struct sources {
        std::vector<std::string> fixed;  // base URLs (http://host:port), first = highest priority
        std::function<std::vector<std::string>()> discovered;  // best first; may be empty
        std::function<void(bool registered)> on_state;         // may be empty
        std::string ca_file;  // trust anchors for https registries ("" = the system's)
        // The node's access token for registries ("" for none), and the way to say that a
        // registry refused it; both empty when the node does without tokens.
        std::function<std::string()> token;
        std::function<void()> token_refused;
    };
    registration(resources& r, sources from,
                 std::chrono::milliseconds heartbeat = std::chrono::seconds(5));
    ~registration();  // stops; the node is removed from the registry it is in
    registration(const registration&) = delete;
    registration& operator=(const registration&) = delete;

    // A resource changed: send its new state to the registry.
    void changed(resource_type t, std::size_t i);
    // The discovered registries changed: a node without a registry tries them at once.
    void registries_changed();

  private:
    void run();
    std::vector<std::string> candidates() const;
    void set_state(bool registered);
    bool register_all(const std::string& base);
    // Makes `base` the registry in use: registers there, or, when the node is `known` to the
    // facility's registries, first asks for a heartbeat.
    bool take_up(const std::string& base, bool known);
    // The registry's HTTP status, 0 when it did not answer.
    int post(const std::string& base, const std::string& type, const json& data);
    // Heartbeat: 200 fine, 404 forgotten, anything else the registry is lost.
    int heartbeat(const std::string& base);
    void remove(const std::string& base);

    resources& res_;
    sources from_;
    bool registered_ = false;  // as last told to on_state
    bool poked_ = false;
    std::chrono::milliseconds interval_;
    std::mutex mu_;
    std::condition_variable cv_;
    std::deque<std::pair<resource_type, std::size_t>> updates_;
    bool stop_ = false;
    std::thread thread_;
};

}  // namespace nexo::nmos
