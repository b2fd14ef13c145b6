// ncp_service: the control protocol as the node runs it — the control model built from the
// node's resources, its WebSocket server on a thread of its own, and the poller that keeps the
// receiver monitors in step with the board.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "board_control.h"
#include "http_api.h"
#include "ncp_model.h"
#include "ncp_server.h"
#include "resources.h"

namespace nexo::nmos::ncp {

struct service_options {
    std::string bind_host = "0.0.0.0";
    int port = 3213;
    std::string version;                   // the product's, for the device manager
    std::function<bool(ssl_ctx_st&)> tls;  // empty: plain ws://
    request_gate gate;                     // empty: no access control
    server_limits limits;
};

class service {
  public:
    service(control_link& link, const resources& res, const node_identity& id, service_options opt);
    ~service();

    // Binds the port and starts serving and polling; false with `why` when the port cannot
    // be had.
    bool start(std::string* why);
    // Stops the server, then the poller.
    void stop();

    model& control_model() { return *model_; }

  private:
    service_options opt_;
    control_link& link_;
    std::unique_ptr<model> model_;
    std::unique_ptr<server> server_;
    std::thread serving_;
};

}  // namespace nexo::nmos::ncp
