// Runs the real nexo binary (or any program that detaches as it does) for the end-to-end tests
// and nexo-sim: starts it, finds and reaps the detached daemon, captures its standard error.
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
    std::vector<std::string> args;  // command-line arguments after argv[0]
    std::vector<std::string> env;   // extra "NAME=value" entries (e.g. fpga::preload_env())
    mode_t umask = 022;             // umask the daemon is started with
    std::string binary;             // default nexo_binary()
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

    pid_t pid() const;  // the detached daemon, -1 if none
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

}  // namespace nexo::sim
