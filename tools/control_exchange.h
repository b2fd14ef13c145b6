// One control line to the daemon and its reply, as the control client sends it: serialised with
// the other clients by a lock file beside the pipes, after a late reply left in the reply pipe
// has been discarded. nexoctl is built on it; so is any program that drives the daemon.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <string_view>

#include "line_reader.h"
#include "unique_fd.h"

namespace nexo::client {

// What an exchange came to (nexoctl exits with it; for several lines the worst counts).
inline constexpr int kReply = 0;       // a reply line
inline constexpr int kErrorReply = 1;  // the reply "ERROR"
inline constexpr int kNoReply = 2;     // nothing within the timeout
inline constexpr int kFailure = 3;     // a bad line, a daemon not running, unusable pipes or lock

// The name of the lock file in the pipes' directory.
inline constexpr const char* kLockName = "nexoctl.lock";

// Where the messages of an exchange go: one message per call, without a newline.
using diagnostics = std::function<void(const std::string& message)>;

// "<program>: <message>" on standard error.
diagnostics stderr_diagnostics(std::string program);

// One exchange at a time per object. Threads or programs that exchange at once each use an
// object of their own: each opens the lock file itself, which is what serialises them.
class control_exchange {
  public:
    // dir: the directory of the daemon's pipes (its nexo_wr.p, nexo_rd.p) and of the lock file.
    // timeout: how long to wait for a reply; a little above the daemon's 500 ms relay lets a
    // relayed line be answered.
    control_exchange(std::string dir, std::chrono::milliseconds timeout,
                     diagnostics report = stderr_diagnostics("nexoctl"));

    // Sends line (without a newline; one is added) and waits for one reply line. Returns kReply,
    // kErrorReply, kNoReply or kFailure; *reply is the reply line without its newline, or what
    // came of it before the timeout, "" when nothing came. A line beginning with "ALRT " (an
    // alert relayed from a peer) is never taken for the reply. SIGPIPE from a daemon that goes away
    // mid-write does not reach the process: the exchange fails.
    //
    // The exchange holds an exclusive flock() on <dir>/nexoctl.lock from before the write until
    // the daemon has taken the hang-up that follows it (it waits at most 30 s for another client
    // to let go; without a usable lock file it says so once and goes on unserialised). The lock
    // file is created with mode 0644 when missing; a link or anything else but a regular file is
    // never used and an existing file's mode never changed. A lock file replaced at its path is
    // opened again before the next exchange (and while waiting for it).
    int exchange(std::string_view line, std::string* reply);

    // A session: the lock taken and the pipes opened once for the exchanges up to
    // end_session(), each line written after the reply to the one before (the daemon reads an
    // open request pipe line by line), and the hang-up and the wait for the daemon's reopen
    // done once at the end. The bytes on the pipes are those of the same exchanges one by one.
    // Returns kReply, or kFailure (said why) when the lock or the pipes cannot be had; the
    // exchanges then open the pipes each on its own, as without a session. A write that fails
    // within the session (a daemon gone) ends it.
    int begin_session();
    // Hangs up and lets go of the lock; nothing when no session is open.
    void end_session();
    bool in_session() const { return session_.valid(); }

    void set_timeout(std::chrono::milliseconds timeout) { timeout_ = timeout; }
    std::chrono::milliseconds timeout() const { return timeout_; }

  private:
    // Opens both pipes under the lock: the request pipe (returned) and the reply pipe into
    // *reader; an invalid descriptor (said why) when the daemon or the pipes cannot be used.
    unique_fd open_pipes(unique_fd* replies);
    // Writes one line on request and reads its reply from reader; kReply, kErrorReply,
    // kNoReply, or kFailure when the write failed.
    int converse(int request, std::string_view line, std::string* reply);
    bool take_lock();
    // Whether lock_ is still the file at lock_path_ (same device and inode).
    bool lock_is_at_path() const;
    void wait_for_reopen(unique_fd request);

    std::string request_path_;
    std::string reply_path_;
    std::string lock_path_;
    std::chrono::milliseconds timeout_;
    diagnostics report_;
    unique_fd lock_;
    bool lock_warned_ = false;
    line_reader reader_;
    unique_fd replies_;            // the reply pipe while an exchange or a session has it open
    unique_fd session_;            // the request pipe while a session is open
    bool session_locked_ = false;  // the session holds the lock
};

}  // namespace nexo::client
