#include "control_client.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>

#include <cerrno>
#include <thread>
#include <utility>

#include "control_exchange.h"
#include "fifo.h"
#include "line_reader.h"
#include "unique_fd.h"

namespace nexo::sim {

namespace {

using steady = std::chrono::steady_clock;
using std::chrono::milliseconds;

int remaining_ms(steady::time_point deadline) {
    auto left = std::chrono::ceil<milliseconds>(deadline - steady::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

struct control_client::impl {
    std::string request_path;  // <dir>/nexo_wr.p, the daemon's read pipe of link 1
    std::string reply_path;    // <dir>/nexo_rd.p, the daemon's write pipe of link 1
    unique_fd wr;
    unique_fd rd;
    client::line_reader replies;  // on rd, holding bytes read past the last line handed out

    bool open_wr() {
        if (!wr.valid()) {
            // Fails with ENXIO while the daemon does not hold its read end open.
            wr = client::open_fifo_writer(request_path);
        }
        return wr.valid();
    }

    bool open_rd() {
        if (!rd.valid()) {
            // Read-write, so that the pipe never reports end of file while the daemon has its
            // write end closed.
            rd = client::open_fifo_rw(reply_path, O_NONBLOCK);
            replies.reset(rd.get());
        }
        return rd.valid();
    }
};

control_client::control_client(std::string dir) : dir_(dir), p_(std::make_unique<impl>()) {
    p_->request_path = dir + "/" + client::kControlPipes.daemon_reads;
    p_->reply_path = dir + "/" + client::kControlPipes.daemon_writes;
}

control_client::~control_client() = default;

std::string control_client::request(const std::string& line, milliseconds timeout) {
    // Open the reply side first: the daemon may answer before write() returns.
    p_->open_rd();
    write_raw(line.empty() || line.back() != '\n' ? line + "\n" : line);
    return read(timeout, true);
}

void control_client::write_raw(const std::string& bytes) {
    if (!p_->open_wr()) {
        return;
    }
    // A daemon that has gone away must not kill the test with SIGPIPE; its pipe is reopened
    // for the next write.
    if (!client::write_all_no_sigpipe(p_->wr.get(), bytes) && errno == EPIPE) {
        p_->wr.reset();
    }
}

std::string control_client::read(milliseconds timeout, bool until_newline) {
    if (!p_->open_rd()) {
        std::this_thread::sleep_for(timeout);
        return p_->replies.take_held();
    }
    const auto deadline = steady::now() + timeout;
    std::string got;
    for (;;) {
        std::string_view line = p_->replies.next(remaining_ms(deadline));
        if (line.empty()) {
            break;
        }
        got += line;
        if (until_newline) {
            return got;
        }
    }
    return got + p_->replies.take_held();
}

void control_client::drain() {
    p_->replies.take_held();
    if (p_->open_rd()) {
        p_->replies.discard();
    }
}

void control_client::hang_up() {
    p_->wr.reset();
}

std::string control_client::request_and_hang_up(const std::string& line) {
    // Well beyond the daemon's 500 ms relay: on a loaded machine a line relayed to a peer can
    // be answered after a test's usual wait for a reply.
    std::string reply = request(line, std::chrono::milliseconds(1500));
    unique_fd watch(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (!watch.valid() || ::inotify_add_watch(watch.get(), p_->request_path.c_str(), IN_OPEN) < 0) {
        hang_up();
        return reply;
    }
    hang_up();
    pollfd pfd{watch.get(), POLLIN, 0};
    while (::poll(&pfd, 1, 1000) < 0 && errno == EINTR) {
    }
    return reply;
}

std::string control_client::locked_request(const std::string& line) {
    hang_up();  // a request pipe held open here would keep the exchange waiting for its hang-up
    client::control_exchange exchange(dir_, std::chrono::milliseconds(1500),
                                      [](const std::string&) {});
    std::string reply;
    int r = exchange.exchange(line, &reply);
    return r == client::kReply || r == client::kErrorReply ? reply + "\n" : std::string();
}

}  // namespace nexo::sim
