// control_link: how the node talks to the daemon — one command line out, one reply line back,
// over the control pipes, taking turns with nexoctl and every other client.
#pragma once

#include <chrono>
#include <mutex>
#include <string>

#include "control_exchange.h"

namespace nexo::nmos {

// The outcome of one exchange with the daemon.
struct link_reply {
    enum class status {
        reply,     // a line came back (it may be "ERROR")
        no_reply,  // the daemon took the line but did not answer in time
        no_daemon  // nobody reads the request pipe, or the pipes cannot be used
    };
    status what = status::no_daemon;
    std::string line;  // without its newline; "" unless what == reply
    std::string why;   // for no_daemon: what went wrong, for error messages

    bool ok() const { return what == status::reply && line != "ERROR"; }
};

// The one interface the node's logic uses; tests put a scripted daemon behind it.
class control_link {
  public:
    virtual ~control_link() = default;
    virtual link_reply exchange(const std::string& line) = 0;
};

// The daemon's control pipes in DIR, through the exchange the control client uses: serialised
// with nexoctl and every other client by the lock file beside the pipes. Nothing is kept
// between exchanges, so a daemon that went away and came back is simply found again.
// Thread-safe: the node's request threads take turns on an internal mutex.
class pipe_control_link : public control_link {
  public:
    explicit pipe_control_link(std::string dir,
                               std::chrono::milliseconds timeout = std::chrono::milliseconds(700));
    link_reply exchange(const std::string& line) override;

  private:
    std::mutex mu_;
    std::string why_;  // the last complaint of the exchange below, for link_reply::why
    client::control_exchange exchange_;
};

}  // namespace nexo::nmos
