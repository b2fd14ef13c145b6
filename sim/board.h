// The whole simulated board: fpga, both peers, the daemon and a control client, started in
// that order. For the end-to-end tests and for nexo-sim.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "control_client.h"
#include "daemon_process.h"

namespace nexo::sim {

struct board_options {
    daemon_options daemon;
    std::vector<std::string> omit_nodes;
    bool start_peers = true;
    bool start_daemon = true;
    // Real streams on the wire: the far end becomes a switch (switch_fabric.h), the board waits
    // until it forwards joined groups, and a wire tap (wire_tap.h) makes the filter and the
    // format detectors act on the packets. Costs the switch's settle time (several seconds).
    bool streams = false;
};

class fpga;
class peer_sim;
class wire_tap;

class board {
  public:
    explicit board(board_options opts = {});
    ~board();
    board(const board&) = delete;
    board& operator=(const board&) = delete;

    fpga& dev();
    peer_sim& timing();
    peer_sim& media();
    daemon_process& daemon();
    control_client& client();
    wire_tap* tap();       // null unless board_options::streams
    bool started() const;  // the daemon is up and its pipes exist (and the switch forwards)

  private:
    struct impl;
    std::unique_ptr<impl> p_;
};

}  // namespace nexo::sim
