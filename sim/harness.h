// Harness for end-to-end runs: starts the real nexo binary, reaps it although it detaches,
// captures its standard error, and talks to it as the control client does.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace nexo::sim {

// Path of the nexo binary of this build tree (compiled in), overridable with $NEXO_BINARY.
std::string nexo_binary();

struct daemon_options {
    std::vector<std::string> args;   // command-line arguments after argv[0]
    std::vector<std::string> env;    // extra "NAME=value" entries (e.g. fpga::preload_env())
    mode_t umask = 022;              // umask the daemon is started with
    std::string binary;              // default nexo_binary()
    // Called on the stderr reader thread with every complete line (without its newline) that
    // the program writes to standard error or standard output.
    std::function<void(const std::string&)> on_stderr_line;
};

// Children of this process, whichever of its threads forked them or was chosen as the new
// parent of an orphan (this process as a child subreaper). Zombies included.
std::vector<pid_t> child_pids();

class daemon_process {
public:
    daemon_process();
    ~daemon_process();  // SIGKILLs and reaps a daemon still running
    daemon_process(const daemon_process&) = delete;
    daemon_process& operator=(const daemon_process&) = delete;

    // Starts the program. This process becomes a child subreaper, so that the detached daemon is
    // re-parented here. Returns true when a detached daemon is running; false when the program
    // exited without detaching (then exit_code() tells how).
    bool start(const daemon_options& opts);

    pid_t pid() const;             // the detached daemon, -1 if none
    bool running() const;
    // Sends sig and waits for the exit; returns the exit code (128+signal when killed, -1 on
    // timeout, then SIGKILL).
    int stop(int sig = 15, std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // Waits for the process to end by itself; -1 on timeout.
    int wait(std::chrono::milliseconds timeout);
    // Exit code once the daemon (or the undetached program) has ended; -1 before.
    int exit_code() const;

    // Everything written so far to standard error (standard output goes to the same pipe).
    std::string stderr_text() const;
    bool wait_stderr(const std::string& needle, std::chrono::milliseconds timeout) const;

    // Waits until the daemon has installed a handler for sig (from /proc/<pid>/status), so that
    // sig reaches its handler instead of killing it; false on timeout or when it has ended.
    bool wait_handler(int sig, std::chrono::milliseconds timeout) const;

    // Descriptors the running daemon holds: targets of /proc/<pid>/fd/* links, in fd order.
    std::vector<std::string> open_fds() const;

private:
    struct impl;
    std::unique_ptr<impl> p_;
};

// Control-client side of link 1: writes <dir>/nexo_wr.p and reads <dir>/nexo_rd.p.
class control_client {
public:
    explicit control_client(std::string dir = "/var/run");
    ~control_client();
    // Sends one line (a newline is added when missing), returns the reply line with its
    // newline, or "" when none arrived within the timeout.
    std::string request(const std::string& line,
                        std::chrono::milliseconds timeout = std::chrono::milliseconds(800));
    // Writes raw bytes in one write.
    void write_raw(const std::string& bytes);
    // Reads whatever arrives within the timeout (stops early after a newline when
    // until_newline is set).
    std::string read(std::chrono::milliseconds timeout, bool until_newline = true);
    // Discards anything waiting in the reply pipe.
    void drain();
    // Closes the write end (the daemon sees a hang-up); the next write reopens it.
    void hang_up();

private:
    struct impl;
    std::unique_ptr<impl> p_;
};

// The whole simulated board: fpga, both peers, the daemon and a control client, started in
// that order. For tests and for nexo-sim.
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
