// registration: puts the node, its device and its receivers into a registry, keeps them alive
// with a heartbeat every 5 s, registers again when the registry has forgotten the node, and
// moves on to the next registry when one stops answering.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "resources.h"

namespace nexo::nmos {

class registration {
  public:
    // `registries`: base URLs (http://host:port), first = highest priority.
    registration(resources& r, std::vector<std::string> registries,
                 std::chrono::milliseconds heartbeat = std::chrono::seconds(5));
    ~registration();  // stops; the node is removed from the registry it is in
    registration(const registration&) = delete;
    registration& operator=(const registration&) = delete;

    // A resource changed: send its new state to the registry.
    void changed(resource_type t, std::size_t i);

  private:
    void run();
    bool register_all(const std::string& base);
    bool post(const std::string& base, const std::string& type, const json& data);
    // Heartbeat: 200 fine, 404 forgotten, anything else the registry is lost.
    int heartbeat(const std::string& base);
    void remove(const std::string& base);

    resources& res_;
    std::vector<std::string> registries_;
    std::chrono::milliseconds interval_;
    std::mutex mu_;
    std::condition_variable cv_;
    std::deque<std::pair<resource_type, std::size_t>> updates_;
    bool stop_ = false;
    std::thread thread_;
};

}  // namespace nexo::nmos
