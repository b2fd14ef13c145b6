// connection: the connection-management side of the twelve receivers — staged parameters,
// activation (at once, or at a time of the timing daemon's clock) and the active parameters
// read back from the daemon.
#pragma once

#include <array>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>

#include "board_control.h"
#include "resources.h"

namespace nexo::nmos {

using json = nlohmann::json;

// An HTTP answer: status code and JSON body.
struct api_result {
    int code = 200;
    json body;
};

// The error body of the APIs.
json error_body(int code, const std::string& error, const std::string& debug = "");

class connection {
  public:
    // `interface_ip` gives eth1's current address ("" when none).
    connection(board_control& b, resources& r, std::function<std::string()> interface_ip);
    ~connection();  // stops the scheduler
    connection(const connection&) = delete;
    connection& operator=(const connection&) = delete;

    json constraints(std::size_t i) const;
    json staged(std::size_t i) const;
    // Reads the channel back from the daemon; throws daemon_unavailable/daemon_refused.
    json active(std::size_t i);
    api_result patch_staged(std::size_t i, const json& patch);
    api_result bulk(const json& body);  // POST /bulk/receivers

    // The version stamp for a change, from the timing daemon's clock when it answers.
    tai_time now_for_version();

  private:
    struct activation {
        json mode;            // null or the mode name
        json requested_time;  // null or "s:ns"
        json activation_time;
    };
    struct staged_state {
        json sender_id;  // null or uuid
        bool master_enable = false;
        activation act{nullptr, nullptr, nullptr};
        json transport_file{{"data", nullptr}, {"type", nullptr}};
        json params;  // one leg
        std::vector<std::string> format_lines;
        unsigned payload_type = 0;
    };
    struct active_state {
        json sender_id;
        json transport_file{{"data", nullptr}, {"type", nullptr}};
        activation act{nullptr, nullptr, nullptr};
        bool master_enable = false;
        std::optional<channel_setup> applied;  // what the last activation set
    };
    struct pending {
        bool armed = false;
        tai_time target;
        std::chrono::steady_clock::time_point deadline;
    };

    json staged_json(const staged_state& s) const;
    // Checks and merges a patch into a copy of the staged state; "" or the refusal text.
    std::string merge(std::size_t i, const json& patch, staged_state* s) const;
    // Applies the staged state to the daemon; throws on failure (the channel is restored).
    void activate(std::size_t i, const staged_state& s, const activation& act);
    void scheduler_loop();

    board_control& board_;
    resources& res_;
    std::function<std::string()> interface_ip_;
    std::array<staged_state, kChannels.size()> staged_;
    std::array<active_state, kChannels.size()> active_;
    std::array<pending, kChannels.size()> pending_;
    mutable std::mutex mu_;
    mutable std::mutex apply_mu_;  // one activation at a time; taken before mu_
    std::condition_variable cv_;
    bool stop_ = false;
    std::thread scheduler_;
};

}  // namespace nexo::nmos
