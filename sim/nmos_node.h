// nmos_node: runs nexo-nmos beside the daemon of the simulated board, and optionally makes its
// port reachable from the machine outside the sandbox.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

namespace nexo::sim {

// Path of the nexo-nmos binary of this build tree (compiled in), overridable with
// $NEXO_NMOS_BINARY.
std::string nmos_binary();

// A listening TCP socket on the outside machine's network, to be opened before
// sandbox_enter() (a socket stays in the namespace it was made in). -1 after printing why.
int outside_listener(int port);

// Forwards every connection accepted on `outside_fd` (from outside_listener, owned from here
// on) to `port` at `address` as seen from this namespace (its loopback by default), until
// destroyed.
class port_forward {
  public:
    port_forward(int outside_fd, int port, std::string address = "127.0.0.1");
    ~port_forward();
    port_forward(const port_forward&) = delete;
    port_forward& operator=(const port_forward&) = delete;

  private:
    struct impl;
    std::unique_ptr<impl> p_;
};

class nmos_node {
  public:
    nmos_node();
    ~nmos_node();  // stops the node (SIGTERM, then SIGKILL) and the forwarding
    nmos_node(const nmos_node&) = delete;
    nmos_node& operator=(const nmos_node&) = delete;

    // Starts nexo-nmos on `port` inside the sandbox with the daemon's pipes in /run, plus
    // `extra` arguments and those in $NEXO_NMOS_ARGS (blank-separated), and waits until it answers
    // HTTP. With `outside_fd` (from outside_listener), connections to it are forwarded to the node.
    // False when it did not come up within a few seconds (its output is in output()).
    bool start(int port, const std::vector<std::string>& extra = {}, int outside_fd = -1);
    // SIGTERM and wait; returns the exit code (128+signal when killed, -1 on timeout).
    int stop();
    pid_t pid() const;
    std::string output() const;  // what the node wrote to stdout and stderr

  private:
    struct impl;
    std::unique_ptr<impl> p_;
};

}  // namespace nexo::sim
