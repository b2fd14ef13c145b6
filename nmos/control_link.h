// control_link: the node's way to the daemon — the client library's daemon_link over the
// control pipes, taking turns with nexoctl and every other client.
#pragma once

#include <chrono>
#include <mutex>
#include <string>

#include "chan_io.h"
#include "control_exchange.h"

namespace nexo::nmos {

// The daemon's control pipes in DIR, through the exchange the control client uses: serialised
// with nexoctl and every other client by the lock file beside the pipes. Outside a session
// nothing is kept between exchanges, so a daemon that went away and came back is simply found
// again. Thread-safe: the node's request threads take turns line by line on an internal mutex.
// While any thread holds a session, every thread's lines go over the session's open pipe; the
// last session to end hangs up.
class pipe_control_link : public client::daemon_link {
  public:
    explicit pipe_control_link(std::string dir,
                               std::chrono::milliseconds timeout = std::chrono::milliseconds(700));
    client::link_reply exchange(const std::string& line) override;
    void begin_session() override;
    void end_session() override;

  private:
    std::mutex mu_;
    int sessions_ = 0;  // sessions begun and not yet ended
    std::string why_;   // the last complaint of the exchange below, for a failure's text
    client::control_exchange exchange_;
};

}  // namespace nexo::nmos
