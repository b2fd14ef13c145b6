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
    // Stops the scheduler: no activation starts after it returns (one under way ends first).
    void stop();
    connection(const connection&) = delete;
    connection& operator=(const connection&) = delete;

    json constraints(std::size_t i) const;
    json staged(std::size_t i) const;
    // Reads the channel back from the daemon; throws daemon_unavailable/daemon_refused. The
    // receiver's subscription in the discovery API is brought in line with what it reads.
    json active(std::size_t i);
    // Reads back (as active() does) every channel whose receiver is shown subscribed; stops at
    // the first the daemon cannot answer.
    void follow_channels();
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
        // From the transport file: the format the channel is set to, and the payload type
        // (0: the channel's own).
        std::optional<client::video_format> video;
        std::optional<client::audio_format> audio;
        unsigned payload_type = 0;
    };
    struct active_state {
        json sender_id;
        json transport_file{{"data", nullptr}, {"type", nullptr}};
        activation act{nullptr, nullptr, nullptr};
        bool master_enable = false;
        std::optional<client::channel_config> applied;  // what the last activation set
        subscription reported;                          // as the discovery API shows it
    };
    struct pending {
        bool armed = false;
        tai_time target;
        std::chrono::steady_clock::time_point check_at;  // when to ask the clock next
    };
    // Marks receiver i as having daemon I/O under way until destroyed; waits for the one
    // before it on the same receiver. Taken with `lk` (on mu_) held; `lk` may be held or not
    // when it ends.
    class in_flight {
      public:
        in_flight(connection& c, std::unique_lock<std::mutex>& lk, std::size_t i);
        ~in_flight();
        in_flight(const in_flight&) = delete;
        in_flight& operator=(const in_flight&) = delete;

      private:
        connection& c_;
        std::unique_lock<std::mutex>& lk_;
        std::size_t i_;
    };

    // The outcome of a receiver's last read of its active parameters, shared with the requests
    // that waited while it was under way: each answer still comes from a read begun after its
    // request arrived, and fifty clients of one receiver cost a read or two, not fifty.
    struct shared_read {
        std::uint64_t begun = 0;   // reads begun, numbered from 1
        std::uint64_t done = 0;    // the number of the last read that ended
        json body;                 // its answer when it succeeded
        std::string error;         // why it failed; "" when it did not
        bool unavailable = false;  // the failure was daemon_unavailable
    };

    // Reads the channel (with lk held on entry, which it lets go for the daemon I/O; held or
    // not on return) and builds the active parameters.
    json read_active(std::size_t i, std::unique_lock<std::mutex>& lk);
    json staged_json(const staged_state& s) const;
    // Checks and merges a patch into a copy of the staged state; "" or the refusal text.
    std::string merge(std::size_t i, const json& patch, staged_state* s) const;
    // Applies the staged state to the daemon; throws daemon_refused or daemon_unavailable on
    // failure, saying what was set back and what could not be.
    // With `at`, the lines that change the channel go when the kernel's TAI clock reaches it
    // (ns), the channel read before.
    void activate(std::size_t i, const staged_state& s, const activation& act,
                  std::optional<std::int64_t> at = std::nullopt);
    void scheduler_loop();

    board_control& board_;
    resources& res_;
    std::function<std::string()> interface_ip_;
    std::array<staged_state, kChannels.size()> staged_;
    std::array<active_state, kChannels.size()> active_;
    std::array<pending, kChannels.size()> pending_;
    std::array<bool, kChannels.size()> busy_{};  // daemon I/O under way for the receiver
    std::array<shared_read, kChannels.size()> reads_;
    // Guards everything above; never held across daemon I/O or while the scheduler waits.
    mutable std::mutex mu_;
    std::condition_variable cv_;               // the schedule changed, or stop
    mutable std::condition_variable idle_cv_;  // a receiver's I/O ended
    bool stop_ = false;
    std::thread scheduler_;
};

}  // namespace nexo::nmos
