// ncp_service: the control protocol as the node runs it — the control model built from the
// node's resources, its WebSocket server on a thread of its own, and the poller that keeps the
// receiver monitors in step with the board.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "board_control.h"
#include "http_api.h"
#include "ncp_model.h"
#include "ncp_server.h"
#include "resources.h"
#include "rx_health.h"

namespace nexo::nmos::ncp {

// The daemon link shared by the node's requests and the monitors' poller, with the requests
// first: a poller exchange waits until no request has used the link for a short quiet spell, so
// that an activation's run of lines is not stretched by monitoring (a poller kept waiting
// longer than `patience` goes ahead anyway).
class yielding_link {
  public:
    explicit yielding_link(client::daemon_link& inner,
                           std::chrono::milliseconds quiet = std::chrono::milliseconds(100),
                           std::chrono::milliseconds patience = std::chrono::milliseconds(2000));
    client::daemon_link& foreground() { return fg_; }
    client::daemon_link& background() { return bg_; }

  private:
    // A request's session counts as one exchange under way from its beginning to its end, so
    // the poller does not slip its lines between an activation's.
    struct fg_link : client::daemon_link {
        yielding_link& o;
        explicit fg_link(yielding_link& y) : o(y) {}
        client::link_reply exchange(const std::string& line) override;
        void begin_session() override;
        void end_session() override;
    };
    struct bg_link : client::daemon_link {
        yielding_link& o;
        explicit bg_link(yielding_link& y) : o(y) {}
        client::link_reply exchange(const std::string& line) override;
        void begin_session() override { o.inner_.begin_session(); }
        void end_session() override { o.inner_.end_session(); }
    };
    void enter();
    void leave();
    client::daemon_link& inner_;
    std::chrono::milliseconds quiet_, patience_;
    std::mutex mu_;
    std::condition_variable cv_;
    int active_ = 0;  // request exchanges under way
    std::chrono::steady_clock::time_point last_{};
    fg_link fg_{*this};
    bg_link bg_{*this};
};

struct service_options {
    std::string bind_host = "0.0.0.0";
    int port = 3213;
    std::string version;                   // the product's, for the device manager
    std::function<bool(ssl_ctx_st&)> tls;  // empty: plain ws://
    request_gate gate;                     // empty: no access control
    server_limits limits;
    // Rounds of reading the board for the monitors: each round is one set of exchanges with
    // the daemon (the interface, the timing daemon, every channel's state and detector).
    std::chrono::milliseconds poll_interval{330};
    client::observe_options observe;
};

class service {
  public:
    service(client::daemon_link& link, const resources& res, const node_identity& id,
            service_options opt);
    ~service();

    // Binds the port and starts serving and polling; false with `why` when the port cannot
    // be had.
    bool start(std::string* why);
    // Stops the server, then the poller.
    void stop();

    // Receiver `rx` was activated (new transport parameters, or switched on): its monitor
    // starts its activation period at the next round, which comes at once. Any thread.
    void activated(std::size_t rx);

    model& control_model() { return *model_; }

  private:
    void poll_loop();
    // One round: observe the board, feed every monitor, publish what changed.
    void poll_round();
    monitor_hooks hooks();

    service_options opt_;
    client::daemon_link& link_;
    std::unique_ptr<model> model_;
    std::unique_ptr<server> server_;
    std::thread serving_;

    // The monitors, fed by the poller and by clients' settings (through the model's hooks).
    std::mutex mon_mu_;
    std::array<client::rx_monitor, kChannels.size()> monitors_;

    std::mutex poll_mu_;
    std::condition_variable poll_cv_;
    bool stop_polling_ = false;
    std::array<bool, kChannels.size()> activations_{};
    std::thread polling_;
};

}  // namespace nexo::nmos::ncp
