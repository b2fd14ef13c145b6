// The control client's side of link 1 for the end-to-end tests and nexo-sim: writes
// <dir>/nexo_wr.p and reads <dir>/nexo_rd.p, byte for byte as a test asks, without the lock
// and the checks of nexoctl.
#pragma once

#include <chrono>
#include <memory>
#include <string>

namespace nexo::sim {

class control_client {
  public:
    explicit control_client(std::string dir = "/var/run");
    ~control_client();
    control_client(const control_client&) = delete;
    control_client& operator=(const control_client&) = delete;

    // Sends one line (a newline is added when missing), returns the reply line with its
    // newline, or "" when none arrived within the timeout.
    std::string request(const std::string& line,
                        std::chrono::milliseconds timeout = std::chrono::milliseconds(800));
    // Writes raw bytes in one write (lost when no daemon reads the pipe).
    void write_raw(const std::string& bytes);
    // Reads whatever arrives within the timeout (stops early after a newline when
    // until_newline is set). A zero timeout takes what has arrived already.
    std::string read(std::chrono::milliseconds timeout, bool until_newline = true);
    // Discards anything waiting in the reply pipe.
    void drain();
    // Closes the write end (the daemon sees a hang-up); the next write reopens it.
    void hang_up();
    // One line as nexoctl sends it: request(), then a hang-up that the daemon has taken (it has
    // opened its pipe again, or a second has passed) before this returns — a line written
    // while the daemon reopens would be lost with the reopening.
    std::string request_and_hang_up(const std::string& line);
    // One line as nexoctl sends it, lock included: for a test that talks to the daemon while
    // another client (the node's poller) does too, so that neither takes the other's reply.
    // Returns the reply line with its newline, or "" when none came.
    std::string locked_request(const std::string& line);

  private:
    std::string dir_;
    struct impl;
    std::unique_ptr<impl> p_;
};

}  // namespace nexo::sim
