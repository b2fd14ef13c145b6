#include "harness.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <iterator>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <set>
#include <thread>

#include "fpga.h"
#include "nexo.h"
#include "peer.h"
#include "switch_fabric.h"
#include "unique_fd.h"
#include "wire_tap.h"

extern char** environ;

namespace nexo::sim {

namespace {

using clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// How long the program's first process may take to detach (an ASan build under the umockdev
// preload opens nine emulated nodes first) before it counts as hung.
constexpr milliseconds kDetachTimeout{10000};
// How long to wait, after the daemon has been reaped, for the rest of its output to drain from
// the pipe. Only a grandchild still holding the pipe open makes this run out.
constexpr milliseconds kOutputSettle{500};
constexpr milliseconds kPollStep{5};

// The daemon's six FIFOs; each link has one the daemon reads and one it writes.
constexpr const char* kFifos[] = {"ST2059_rd.p", "ST2059_wr.p",  "nexo_wr.p",
                                  "nexo_rd.p",   "smpte2110r.p", "smpte2110w.p"};

int decode_status(int status) {
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    if (WIFSIGNALED(status)) {
        return 128 + WTERMSIG(status);
    }
    return -1;
}

std::string readlink_str(const std::string& path) {
    char buf[4096];
    ssize_t n = ::readlink(path.c_str(), buf, sizeof buf);
    return n < 0 ? std::string() : std::string(buf, static_cast<size_t>(n));
}

std::string env_name(const std::string& entry) {
    return entry.substr(0, entry.find('='));
}

}  // namespace

std::string nexo_binary() {
    const char* env = std::getenv("NEXO_BINARY");
    if (env != nullptr && env[0] != '\0') {
        return env;
    }
    return NEXO_BINARY_PATH;
}

std::vector<pid_t> child_pids() {
    std::vector<pid_t> pids;
    DIR* d = ::opendir("/proc/self/task");
    if (d == nullptr) {
        return pids;
    }
    while (const dirent* e = ::readdir(d)) {
        if (e->d_name[0] == '.') {
            continue;
        }
        std::ifstream in(std::string("/proc/self/task/") + e->d_name + "/children");
        pid_t pid;
        while (in >> pid) {
            pids.push_back(pid);
        }
    }
    ::closedir(d);
    std::sort(pids.begin(), pids.end());
    pids.erase(std::unique(pids.begin(), pids.end()), pids.end());
    return pids;
}

// ---------------------------------------------------------------------------------------------
// daemon_process

struct daemon_process::impl {
    pid_t pid = -1;
    int code = -1;

    // Output capture. The reader thread owns out_rd; the rest is shared under mu.
    unique_fd out_rd;
    unique_fd stop_fd;  // eventfd: tells the reader to drain what is left and end
    std::thread reader;
    mutable std::mutex mu;
    mutable std::condition_variable cv;
    std::string text;
    size_t line_start = 0;  // start of the line not yet handed to on_line
    bool eof = false;
    std::function<void(const std::string&)> on_line;

    void append(const char* data, size_t n, bool flush_partial) {
        std::vector<std::string> lines;
        {
            std::lock_guard<std::mutex> lock(mu);
            text.append(data, n);
            for (;;) {
                size_t nl = text.find('\n', line_start);
                if (nl == std::string::npos) {
                    break;
                }
                lines.push_back(text.substr(line_start, nl - line_start));
                line_start = nl + 1;
            }
            if (flush_partial && line_start < text.size()) {
                lines.push_back(text.substr(line_start));
                line_start = text.size();
            }
        }
        cv.notify_all();
        // Outside the lock: the callback may well ask for stderr_text().
        if (on_line) {
            for (const auto& l : lines) {
                on_line(l);
            }
        }
    }

    void read_loop() {
        pollfd fds[2] = {{out_rd.get(), POLLIN, 0}, {stop_fd.get(), POLLIN, 0}};
        char buf[4096];
        bool stopping = false;
        for (;;) {
            if (!stopping) {
                int r = ::poll(fds, 2, -1);
                if (r < 0) {
                    if (errno == EINTR) {
                        continue;
                    }
                    break;
                }
                stopping = (fds[1].revents & POLLIN) != 0;
            }
            ssize_t n = ::read(out_rd.get(), buf, sizeof buf);
            if (n > 0) {
                append(buf, static_cast<size_t>(n), false);
                continue;
            }
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0 && errno == EAGAIN && !stopping) {
                continue;
            }
            break;  // end of file, or asked to stop and nothing left
        }
        append("", 0, true);
        {
            std::lock_guard<std::mutex> lock(mu);
            eof = true;
        }
        cv.notify_all();
    }

    void stop_reader() {
        if (reader.joinable()) {
            uint64_t one = 1;
            (void)!::write(stop_fd.get(), &one, sizeof one);
            reader.join();
        }
        out_rd.reset();
        stop_fd.reset();
    }

    // The daemon is gone: give the reader a moment to take the last bytes from the pipe, so
    // that stderr_text() after stop() holds the daemon's farewell.
    void settle_output() {
        std::unique_lock<std::mutex> lock(mu);
        cv.wait_for(lock, kOutputSettle, [this] { return eof; });
    }

    // Reaps the process if it has ended; true when it has (or there is none). settle: wait for
    // its output to drain (not for the first process, whose detached child keeps the pipe).
    bool try_reap(int options, bool settle = true) {
        if (pid < 0) {
            return true;
        }
        int status = 0;
        pid_t r;
        do {
            r = ::waitpid(pid, &status, options);
        } while (r < 0 && errno == EINTR);
        if (r == 0) {
            return false;
        }
        code = r == pid ? decode_status(status) : -1;
        pid = -1;
        if (settle) {
            settle_output();
        }
        return true;
    }

    // Polls for the end of the process until the deadline; true when it has ended.
    bool reap_until(clock::time_point deadline, bool settle = true) {
        for (;;) {
            if (try_reap(WNOHANG, settle)) {
                return true;
            }
            if (clock::now() >= deadline) {
                return false;
            }
            std::this_thread::sleep_for(kPollStep);
        }
    }
};

daemon_process::daemon_process() : p_(std::make_unique<impl>()) {}

daemon_process::~daemon_process() {
    if (p_->pid > 0) {
        ::kill(p_->pid, SIGKILL);
        p_->try_reap(0);
    }
    p_->stop_reader();
}

bool daemon_process::start(const daemon_options& opts) {
    if (running()) {
        return false;
    }
    p_->stop_reader();
    {
        std::lock_guard<std::mutex> lock(p_->mu);
        p_->text.clear();
        p_->line_start = 0;
        p_->eof = false;
    }
    p_->code = -1;
    p_->on_line = opts.on_stderr_line;

    // The daemon's first process exits right after forking; as a subreaper we inherit the
    // detached child instead of init, and so can find it, signal it and collect its status.
    if (::prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) {
        return false;
    }

    // Everything is prepared before fork: the child of a threaded process may only make
    // async-signal-safe calls.
    const std::string path = opts.binary.empty() ? nexo_binary() : opts.binary;
    std::vector<std::string> argv{path};
    argv.insert(argv.end(), opts.args.begin(), opts.args.end());
    std::vector<std::string> envs;
    for (char** e = environ; *e != nullptr; ++e) {
        std::string entry = *e;
        bool replaced = std::any_of(opts.env.begin(), opts.env.end(), [&](const std::string& o) {
            return env_name(o) == env_name(entry);
        });
        if (!replaced) {
            envs.push_back(std::move(entry));
        }
    }
    // Of several extra entries with one name, the last wins (getenv would take the first).
    for (auto it = opts.env.begin(); it != opts.env.end(); ++it) {
        bool overridden = std::any_of(std::next(it), opts.env.end(), [&](const std::string& o) {
            return env_name(o) == env_name(*it);
        });
        if (!overridden) {
            envs.push_back(*it);
        }
    }
    std::vector<char*> argp;
    std::vector<char*> envp;
    for (auto& a : argv) {
        argp.push_back(a.data());
    }
    argp.push_back(nullptr);
    for (auto& e : envs) {
        envp.push_back(e.data());
    }
    envp.push_back(nullptr);

    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) {
        return false;
    }
    unique_fd out_rd(out[0]);
    unique_fd out_wr(out[1]);
    unique_fd stop_fd(::eventfd(0, EFD_CLOEXEC));
    unique_fd devnull(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    if (!stop_fd.valid() || !devnull.valid()) {
        return false;
    }
    ::fcntl(out_rd.get(), F_SETFL, O_NONBLOCK);
    const mode_t mask = opts.umask;
    const std::vector<pid_t> before = child_pids();

    pid_t first = ::fork();
    if (first < 0) {
        return false;
    }
    if (first == 0) {
        ::dup2(devnull.get(), 0);
        ::dup2(out_wr.get(), 1);
        ::dup2(out_wr.get(), 2);
        // Descriptors of this process (peer FIFOs, the testbed's sockets) must not show up
        // among the daemon's.
        ::close_range(3, ~0U, 0);
        // A blocked or ignored signal would survive exec and change how the daemon behaves.
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        for (int sig = 1; sig < NSIG; ++sig) {
            ::signal(sig, SIG_DFL);
        }
        ::umask(mask);
        ::execve(argp[0], argp.data(), envp.data());
        static const char msg[] = "harness: cannot execute the program\n";
        (void)!::write(2, msg, sizeof msg - 1);
        ::_exit(127);
    }
    out_wr.reset();
    p_->out_rd = std::move(out_rd);
    p_->stop_fd = std::move(stop_fd);
    p_->reader = std::thread([this] { p_->read_loop(); });

    // Wait for the first process: it exits once the daemon has detached (or on failure).
    p_->pid = first;
    if (!p_->reap_until(clock::now() + kDetachTimeout, false)) {
        static const char msg[] = "harness: the program did not detach in time; killed\n";
        p_->append(msg, sizeof msg - 1, false);
        ::kill(first, SIGKILL);
        p_->try_reap(0);
        return false;
    }
    const int first_code = p_->code;

    // The detached daemon was re-parented to us when the first process exited, before that
    // exit could be reaped, so it is among our children now.
    std::vector<pid_t> fresh;
    for (pid_t c : child_pids()) {
        if (c != first && !std::binary_search(before.begin(), before.end(), c)) {
            fresh.push_back(c);
        }
    }
    if (fresh.empty()) {
        p_->code = first_code;
        p_->settle_output();
        return false;
    }
    pid_t daemon = fresh.front();
    if (fresh.size() > 1) {
        // Another thread of ours started something meanwhile: take the one running our binary.
        char real[PATH_MAX];
        std::string target = ::realpath(path.c_str(), real) != nullptr ? real : path;
        for (pid_t c : fresh) {
            if (readlink_str("/proc/" + std::to_string(c) + "/exe") == target) {
                daemon = c;
                break;
            }
        }
    }
    p_->pid = daemon;
    p_->code = -1;
    return true;
}

pid_t daemon_process::pid() const {
    return p_->pid;
}

bool daemon_process::running() const {
    return !p_->try_reap(WNOHANG);
}

int daemon_process::stop(int sig, milliseconds timeout) {
    if (!running()) {
        return p_->code;
    }
    ::kill(p_->pid, sig);
    if (p_->reap_until(clock::now() + timeout)) {
        return p_->code;
    }
    ::kill(p_->pid, SIGKILL);
    p_->try_reap(0);
    return -1;
}

int daemon_process::wait(milliseconds timeout) {
    if (p_->reap_until(clock::now() + timeout)) {
        return p_->code;
    }
    return -1;
}

int daemon_process::exit_code() const {
    return p_->code;
}

std::string daemon_process::stderr_text() const {
    std::lock_guard<std::mutex> lock(p_->mu);
    return p_->text;
}

bool daemon_process::wait_stderr(const std::string& needle, milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(p_->mu);
    return p_->cv.wait_for(lock, timeout, [&] {
        return p_->text.find(needle) != std::string::npos || p_->eof;
    }) && p_->text.find(needle) != std::string::npos;
}

bool daemon_process::wait_handler(int sig, milliseconds timeout) const {
    const auto deadline = clock::now() + timeout;
    const uint64_t bit = uint64_t{1} << (sig - 1);
    for (;;) {
        if (!running()) {
            return false;
        }
        std::ifstream in("/proc/" + std::to_string(p_->pid) + "/status");
        std::string line;
        while (std::getline(in, line)) {
            if (line.rfind("SigCgt:", 0) == 0) {
                if ((std::strtoull(line.c_str() + 7, nullptr, 16) & bit) != 0) {
                    return true;
                }
            }
        }
        if (clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(kPollStep);
    }
}

std::vector<std::string> daemon_process::open_fds() const {
    std::vector<std::string> targets;
    if (p_->pid < 0) {
        return targets;
    }
    const std::string dir = "/proc/" + std::to_string(p_->pid) + "/fd";
    std::vector<int> fds;
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr) {
        return targets;
    }
    while (const dirent* e = ::readdir(d)) {
        if (e->d_name[0] != '.') {
            fds.push_back(std::atoi(e->d_name));
        }
    }
    ::closedir(d);
    std::sort(fds.begin(), fds.end());
    for (int fd : fds) {
        targets.push_back(readlink_str(dir + "/" + std::to_string(fd)));
    }
    return targets;
}

// ---------------------------------------------------------------------------------------------
// control_client

struct control_client::impl {
    std::string dir;
    unique_fd wr;         // <dir>/nexo_wr.p, the daemon's read pipe of link 1
    unique_fd rd;         // <dir>/nexo_rd.p, the daemon's write pipe of link 1
    std::string pending;  // bytes read past the last line handed out

    bool open_wr() {
        if (!wr.valid()) {
            // Fails with ENXIO while the daemon does not hold its read end open.
            wr.reset(::open((dir + "/nexo_wr.p").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
        }
        return wr.valid();
    }

    bool open_rd() {
        if (!rd.valid()) {
            // Read-write, so that the pipe never reports end of file while the daemon has its
            // write end closed.
            rd.reset(::open((dir + "/nexo_rd.p").c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
        }
        return rd.valid();
    }

    void read_available() {
        char buf[4096];
        for (;;) {
            ssize_t n = ::read(rd.get(), buf, sizeof buf);
            if (n > 0) {
                pending.append(buf, static_cast<size_t>(n));
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else {
                return;
            }
        }
    }
};

control_client::control_client(std::string dir) : p_(std::make_unique<impl>()) {
    p_->dir = std::move(dir);
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
    // A daemon that has gone away would raise SIGPIPE and kill the test: block it for this
    // thread around the write and swallow the one the write raised.
    sigset_t pipe_set;
    sigset_t old;
    sigemptyset(&pipe_set);
    sigaddset(&pipe_set, SIGPIPE);
    ::pthread_sigmask(SIG_BLOCK, &pipe_set, &old);
    ssize_t n;
    do {
        n = ::write(p_->wr.get(), bytes.data(), bytes.size());
    } while (n < 0 && errno == EINTR);
    if (n < 0 && errno == EPIPE) {
        const timespec zero{};
        ::sigtimedwait(&pipe_set, nullptr, &zero);
        p_->wr.reset();
    }
    ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

std::string control_client::read(milliseconds timeout, bool until_newline) {
    const auto deadline = clock::now() + timeout;
    std::string& pending = p_->pending;
    if (!p_->open_rd()) {
        std::this_thread::sleep_for(timeout);
        std::string all;
        all.swap(pending);
        return all;
    }
    for (;;) {
        if (until_newline) {
            size_t nl = pending.find('\n');
            if (nl != std::string::npos) {
                std::string line = pending.substr(0, nl + 1);
                pending.erase(0, nl + 1);
                return line;
            }
        }
        auto left = std::chrono::duration_cast<milliseconds>(deadline - clock::now());
        if (left.count() <= 0) {
            break;
        }
        pollfd pfd{p_->rd.get(), POLLIN, 0};
        int r = ::poll(&pfd, 1, static_cast<int>(left.count()));
        if (r > 0) {
            p_->read_available();
        } else if (r < 0 && errno != EINTR) {
            break;
        }
    }
    std::string all;
    all.swap(pending);
    return all;
}

void control_client::drain() {
    p_->pending.clear();
    if (p_->open_rd()) {
        p_->read_available();
        p_->pending.clear();
    }
}

void control_client::hang_up() {
    p_->wr.reset();
}

// ---------------------------------------------------------------------------------------------
// board

struct board::impl {
    std::unique_ptr<fpga> dev;
    std::unique_ptr<peer_sim> timing;
    std::unique_ptr<peer_sim> media;
    daemon_process daemon;
    std::unique_ptr<control_client> client;
    std::unique_ptr<wire_tap> tap;
    bool started = false;
};

namespace {

bool fifos_exist(const std::string& dir) {
    for (const char* name : kFifos) {
        struct stat st;
        if (::stat((dir + "/" + name).c_str(), &st) != 0 || !S_ISFIFO(st.st_mode)) {
            return false;
        }
    }
    return true;
}

}  // namespace

board::board(board_options opts) : p_(std::make_unique<impl>()) {
    const std::string dir = "/var/run";
    // The switch first: it settles while the rest starts.
    const bool switch_ok = !opts.streams || switch_enable() == 0;
    p_->dev = std::make_unique<fpga>(opts.omit_nodes);
    p_->timing = std::make_unique<peer_sim>(peer_kind::timing, dir);
    p_->media = std::make_unique<peer_sim>(peer_kind::media, dir);
    if (opts.start_peers) {
        p_->timing->start();
        p_->media->start();
    }
    p_->client = std::make_unique<control_client>(dir);
    if (!opts.start_daemon) {
        return;
    }
    daemon_options d = opts.daemon;
    std::vector<std::string> env = p_->dev->preload_env();
    env.insert(env.end(), d.env.begin(), d.env.end());  // later entries win
    d.env = std::move(env);
    if (!p_->daemon.start(d)) {
        return;
    }
    // The daemon opens its pipes before it detaches, so they should be there already. It hooks
    // SIGINT and SIGTERM after detaching and then sets its running flag once more, so a signal
    // is only sure to stop it once the banner that follows is out.
    const auto deadline = clock::now() + std::chrono::seconds(5);
    while (!fifos_exist(dir) && clock::now() < deadline) {
        std::this_thread::sleep_for(kPollStep);
    }
    p_->started = fifos_exist(dir) && p_->daemon.wait_stderr(kStartBanner, std::chrono::seconds(5));
    p_->started = p_->started && switch_ok;
    if (p_->started && opts.streams) {
        p_->tap = std::make_unique<wire_tap>(*p_->dev);
        std::string error;
        p_->started = switch_wait_settled() && p_->tap->start("eth1", &error);
    }
}

board::~board() {
    p_->tap.reset();
    p_->client.reset();
    if (p_->daemon.running()) {
        p_->daemon.stop(SIGTERM);
    }
    if (p_->media) {
        p_->media->stop();
    }
    if (p_->timing) {
        p_->timing->stop();
    }
    p_->media.reset();
    p_->timing.reset();
    p_->dev.reset();
}

fpga& board::dev() {
    return *p_->dev;
}
peer_sim& board::timing() {
    return *p_->timing;
}
peer_sim& board::media() {
    return *p_->media;
}
daemon_process& board::daemon() {
    return p_->daemon;
}
control_client& board::client() {
    return *p_->client;
}
wire_tap* board::tap() {
    return p_->tap.get();
}
bool board::started() const {
    return p_->started;
}

}  // namespace nexo::sim
