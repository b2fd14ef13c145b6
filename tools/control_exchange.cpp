#include "control_exchange.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <thread>
#include <utility>

#include "fifo.h"
#include "line_reader.h"

namespace nexo::client {

namespace {

using steady = std::chrono::steady_clock;
using std::chrono::milliseconds;

// How long an exchange waits after closing its end of the request pipe for the daemon to reopen
// its own (see wait_for_reopen()).
constexpr milliseconds kReopenWait{100};
// How long a client waits for the others before giving up on the lock.
constexpr milliseconds kLockWait{30000};
constexpr mode_t kLockMode = 0644;
constexpr std::string_view kAlertPrefix = "ALRT ";

// Releases the lock when the exchange ends, however it ends.
class flock_guard {
  public:
    explicit flock_guard(int fd) : fd_(fd) {}
    ~flock_guard() {
        if (fd_ >= 0) {
            ::flock(fd_, LOCK_UN);
        }
    }
    flock_guard(const flock_guard&) = delete;
    flock_guard& operator=(const flock_guard&) = delete;

  private:
    int fd_;
};

// Opens the lock file, creating it when missing. Read-only is enough for flock(), so that any
// user who may use the pipes can also open a lock file that root created. A link planted at its
// name is not followed (ELOOP) and anything but a regular file is refused (EINVAL), so that the
// lock can neither change nor block on someone else's file; O_NONBLOCK keeps a FIFO found there
// from stopping the open.
unique_fd open_lock_file(const std::string& path) {
    constexpr int kFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    for (int attempt = 0; attempt < 3; ++attempt) {
        unique_fd fd(::open(path.c_str(), kFlags | O_CREAT | O_EXCL, kLockMode));
        if (fd.valid()) {
            // Created here: the mode every user needs, whatever the umask.
            (void)::fchmod(fd.get(), kLockMode);
            return fd;
        }
        if (errno != EEXIST) {
            return fd;
        }
        fd.reset(::open(path.c_str(), kFlags));
        if (!fd.valid()) {
            if (errno == ENOENT) {
                continue;  // removed in between: create it after all
            }
            return fd;
        }
        struct stat st {};
        if (::fstat(fd.get(), &st) != 0) {
            return unique_fd();
        }
        if (!S_ISREG(st.st_mode)) {
            errno = EINVAL;
            return unique_fd();
        }
        return fd;
    }
    return unique_fd();
}

}  // namespace

diagnostics stderr_diagnostics(std::string program) {
    return [program = std::move(program)](const std::string& message) {
        std::fprintf(stderr, "%s: %s\n", program.c_str(), message.c_str());
    };
}

control_exchange::control_exchange(std::string dir, milliseconds timeout, diagnostics report)
    : request_path_(dir + "/" + kControlPipes.daemon_reads),
      reply_path_(dir + "/" + kControlPipes.daemon_writes),
      lock_path_(dir + "/" + kLockName),
      timeout_(timeout),
      report_(std::move(report)) {}

bool control_exchange::lock_is_at_path() const {
    struct stat held {};
    struct stat named {};
    return ::fstat(lock_.get(), &held) == 0 && ::lstat(lock_path_.c_str(), &named) == 0 &&
           held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

bool control_exchange::take_lock() {
    // Polled rather than blocking, so that a client stopped while holding the lock cannot keep
    // us waiting for ever.
    auto deadline = steady::now() + kLockWait;
    for (;;) {
        // The lock is the file at the path, whatever became of the one opened before: a lock
        // file removed and created again (by a clean-up, or by hand) is what the other clients
        // lock from then on.
        if (!lock_.valid() || !lock_is_at_path()) {
            lock_ = open_lock_file(lock_path_);
            if (!lock_.valid()) {
                if (!lock_warned_) {
                    const char* why = errno == EINVAL ? "not a regular file" : std::strerror(errno);
                    report_(lock_path_ + " (going on without serialising clients): " + why);
                    lock_warned_ = true;
                }
                return true;
            }
        }
        while (::flock(lock_.get(), LOCK_EX | LOCK_NB) != 0) {
            if (errno != EWOULDBLOCK && errno != EINTR) {
                report_("flock " + lock_path_ + ": " + std::strerror(errno));
                return false;
            }
            if (steady::now() >= deadline) {
                report_(lock_path_ + ": another client holds the lock");
                return false;
            }
            std::this_thread::sleep_for(milliseconds{2});
        }
        // Replaced while we waited: the lock we hold serialises nobody.
        if (lock_is_at_path()) {
            return true;
        }
        ::flock(lock_.get(), LOCK_UN);
        lock_.reset();
    }
}

// Closing the request pipe's write end makes the daemon see a hang-up, close its read end and
// open it again, discarding whatever is in the pipe right after. Were the lock released at once,
// the next client's line could land just then and be lost; so wait (briefly) until the daemon
// has opened the pipe again, plus a moment for the discarding. Another writer holding the pipe
// open means no hang-up, and the wait just runs out.
void control_exchange::wait_for_reopen(unique_fd request) {
    unique_fd watch(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (!watch.valid() || ::inotify_add_watch(watch.get(), request_path_.c_str(), IN_OPEN) < 0) {
        return;
    }
    request.reset();
    pollfd pfd{watch.get(), POLLIN, 0};
    int ready;
    while ((ready = ::poll(&pfd, 1, static_cast<int>(kReopenWait.count()))) < 0 && errno == EINTR) {
    }
    if (ready > 0) {
        std::this_thread::sleep_for(milliseconds{1});
    }
}

unique_fd control_exchange::open_pipes(unique_fd* replies) {
    // A write-only open fails with ENXIO, instead of waiting, when no daemon has the pipe open
    // for reading.
    unique_fd request = open_fifo_writer(request_path_);
    if (!request.valid()) {
        if (errno == ENXIO) {
            report_("nexo is not running (nobody reads " + request_path_ + ")");
        } else {
            report_(request_path_ + ": " + std::strerror(errno));
        }
        return unique_fd();
    }
    replies->reset(::open(reply_path_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!replies->valid()) {
        report_(reply_path_ + ": " + std::strerror(errno));
        return unique_fd();
    }
    if (!is_fifo(request.get()) || !is_fifo(replies->get())) {
        report_(request_path_ + " and " + reply_path_ + " must be named pipes");
        replies->reset();
        return unique_fd();
    }
    return request;
}

int control_exchange::converse(int request, std::string_view line, std::string* reply) {
    // The daemon holds its reply pipe open, so a reply that came after its client gave up (a
    // relay answered late) is still waiting there and would be taken for ours.
    reader_.discard();

    std::string bytes(line);
    bytes += '\n';
    // One write: a line of up to PIPE_BUF bytes reaches the daemon whole or not at all.
    if (!write_all_no_sigpipe(request, bytes)) {
        report_("write " + request_path_ + ": " + std::strerror(errno));
        return kFailure;
    }

    // A peer's alert that the daemon relays is a line of its own, not the reply: it is passed
    // over, within the same timeout.
    const auto reply_deadline = steady::now() + timeout_;
    std::string_view got;
    for (;;) {
        auto left = std::chrono::ceil<milliseconds>(reply_deadline - steady::now());
        got = reader_.next(static_cast<int>(std::max<milliseconds::rep>(0, left.count())));
        if (got.rfind(kAlertPrefix, 0) != 0) {
            break;
        }
    }
    const bool came = !got.empty() || !reader_.held().empty();
    if (got.empty()) {
        got = reader_.held();  // the start of a reply cut short by the timeout or a hang-up
    } else {
        got.remove_suffix(1);
    }
    *reply = got;
    if (!came) {
        return kNoReply;
    }
    return *reply == "ERROR" ? kErrorReply : kReply;
}

int control_exchange::begin_session() {
    if (session_.valid()) {
        return kReply;
    }
    if (!take_lock()) {
        return kFailure;
    }
    session_locked_ = lock_.valid();
    session_ = open_pipes(&replies_);
    if (!session_.valid()) {
        end_session();
        return kFailure;
    }
    reader_.reset(replies_.get());
    return kReply;
}

void control_exchange::end_session() {
    if (session_.valid()) {
        wait_for_reopen(std::move(session_));
    }
    replies_.reset();
    reader_.reset(-1);
    if (session_locked_) {
        ::flock(lock_.get(), LOCK_UN);
        session_locked_ = false;
    }
}

int control_exchange::exchange(std::string_view line, std::string* reply) {
    reply->clear();
    if (line.find('\n') != std::string_view::npos) {
        report_("a command line cannot contain a newline");
        return kFailure;
    }
    if (line.size() + 1 > PIPE_BUF) {
        report_("command line too long");
        return kFailure;
    }
    if (session_.valid()) {
        int rc = converse(session_.get(), line, reply);
        if (rc == kFailure) {
            // The daemon is gone: no hang-up to wait for.
            session_.reset();
            end_session();
        }
        return rc;
    }
    if (!take_lock()) {
        return kFailure;
    }
    flock_guard locked(lock_.get());
    unique_fd request = open_pipes(&replies_);
    if (!request.valid()) {
        return kFailure;
    }
    reader_.reset(replies_.get());
    int rc = converse(request.get(), line, reply);
    if (rc != kFailure) {
        wait_for_reopen(std::move(request));
    }
    reader_.reset(-1);
    replies_.reset();
    return rc;
}

}  // namespace nexo::client
