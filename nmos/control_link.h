// control_link: how the node talks to the daemon — one command line out, one reply line back,
// over the control pipes, taking turns with nexoctl and every other client.
#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <string>

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

// The daemon's control pipes DIR/nexo_wr.p and DIR/nexo_rd.p, serialised with the other
// clients through DIR/nexoctl.lock exactly as nexoctl does (flock held from before the write
// until the daemon has reopened its request pipe; a stale reply is drained before each line).
// Thread-safe: the node's request threads take turns on an internal mutex as well.
class pipe_control_link : public control_link {
  public:
    explicit pipe_control_link(std::string dir,
                               std::chrono::milliseconds timeout = std::chrono::milliseconds(700));
    ~pipe_control_link() override;
    link_reply exchange(const std::string& line) override;

  private:
    struct impl;
    std::unique_ptr<impl> p_;
    std::mutex mu_;
};

}  // namespace nexo::nmos
