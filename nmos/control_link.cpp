// The pipe transport. Its rules mirror nexoctl's: the daemon has one reply pipe, so a client
// holds the shared lock for the whole exchange and until the daemon has reopened its request
// pipe after our hang-up, or the next client's line could be discarded with the pipe.
#include "control_link.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

#include "unique_fd.h"

namespace nexo::nmos {

namespace {

using steady = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds kReopenWait{100};
constexpr milliseconds kLockWait{30000};

bool is_fifo(int fd) {
    struct stat st {};
    return ::fstat(fd, &st) == 0 && S_ISFIFO(st.st_mode);
}

link_reply failure(std::string why) {
    link_reply r;
    r.what = link_reply::status::no_daemon;
    r.why = std::move(why);
    return r;
}

}  // namespace

struct pipe_control_link::impl {
    std::string request_path, reply_path, lock_path;
    milliseconds timeout;
    unique_fd lock;

    bool take_lock();
    void wait_for_reopen(unique_fd request) const;
};

bool pipe_control_link::impl::take_lock() {
    if (!lock.valid()) {
        lock.reset(::open(lock_path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0644));
        if (!lock.valid()) {
            return true;  // as nexoctl: go on unserialised rather than not at all
        }
        (void)::fchmod(lock.get(), 0644);
    }
    // Polled, so that a client stopped while holding the lock cannot block us for ever.
    auto deadline = steady::now() + kLockWait;
    while (::flock(lock.get(), LOCK_EX | LOCK_NB) != 0) {
        if ((errno != EWOULDBLOCK && errno != EINTR) || steady::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(milliseconds{2});
    }
    return true;
}

void pipe_control_link::impl::wait_for_reopen(unique_fd request) const {
    unique_fd watch(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (!watch.valid() || ::inotify_add_watch(watch.get(), request_path.c_str(), IN_OPEN) < 0) {
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

pipe_control_link::pipe_control_link(std::string dir, milliseconds timeout)
    : p_(std::make_unique<impl>()) {
    p_->request_path = dir + "/nexo_wr.p";
    p_->reply_path = dir + "/nexo_rd.p";
    p_->lock_path = dir + "/nexoctl.lock";
    p_->timeout = timeout;
}

pipe_control_link::~pipe_control_link() = default;

link_reply pipe_control_link::exchange(const std::string& line) {
    std::lock_guard guard(mu_);
    if (line.find('\n') != std::string::npos || line.size() + 1 > PIPE_BUF) {
        return failure("command line not sendable");
    }
    if (!p_->take_lock()) {
        return failure("another control client holds " + p_->lock_path);
    }
    struct unlock {
        int fd;
        ~unlock() {
            if (fd >= 0) {
                ::flock(fd, LOCK_UN);
            }
        }
    } unlocker{p_->lock.get()};

    // Non-blocking: fails with ENXIO at once when no daemon reads the pipe.
    unique_fd request(::open(p_->request_path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
    if (!request.valid()) {
        return failure(errno == ENXIO ? "the nexo daemon is not running"
                                      : p_->request_path + ": " + std::strerror(errno));
    }
    unique_fd replies(::open(p_->reply_path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!replies.valid()) {
        return failure(p_->reply_path + ": " + std::strerror(errno));
    }
    if (!is_fifo(request.get()) || !is_fifo(replies.get())) {
        return failure("the control pipes are not named pipes");
    }

    // A reply that arrived after its client gave up is still queued and would be taken as ours.
    char buf[512];
    while (::read(replies.get(), buf, sizeof buf) > 0) {
    }

    std::string bytes = line + "\n";
    if (::write(request.get(), bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
        return failure(std::string("write to the daemon failed: ") + std::strerror(errno));
    }

    std::string got;
    auto deadline = steady::now() + p_->timeout;
    while (got.find('\n') == std::string::npos) {
        auto left = std::chrono::ceil<milliseconds>(deadline - steady::now());
        if (left.count() <= 0) {
            break;
        }
        pollfd pfd{replies.get(), POLLIN, 0};
        int ready = ::poll(&pfd, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            break;
        }
        ssize_t n = ::read(replies.get(), buf, sizeof buf);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            continue;
        }
        if (n <= 0) {
            break;  // end of file: the daemon is gone
        }
        got.append(buf, static_cast<std::size_t>(n));
    }
    p_->wait_for_reopen(std::move(request));

    link_reply r;
    if (got.empty()) {
        r.what = link_reply::status::no_reply;
        return r;
    }
    r.what = link_reply::status::reply;
    r.line = got.substr(0, got.find('\n'));
    return r;
}

}  // namespace nexo::nmos
