#include "daemon_process.h"

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
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <thread>

#include "unique_fd.h"

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

// This process's environment with the extra entries: an extra entry replaces the inherited one
// of its name, and of several extra entries with one name the last wins (getenv would take the
// first).
std::vector<std::string> merged_environment(const std::vector<std::string>& extra) {
    std::vector<std::string> envs;
    for (char** e = environ; *e != nullptr; ++e) {
        std::string entry = *e;
        bool replaced = std::any_of(extra.begin(), extra.end(), [&](const std::string& o) {
            return env_name(o) == env_name(entry);
        });
        if (!replaced) {
            envs.push_back(std::move(entry));
        }
    }
    for (auto it = extra.begin(); it != extra.end(); ++it) {
        bool overridden = std::any_of(std::next(it), extra.end(), [&](const std::string& o) {
            return env_name(o) == env_name(*it);
        });
        if (!overridden) {
            envs.push_back(*it);
        }
    }
    return envs;
}

// The argument and environment vectors of the program, all built before fork: the child of a
// threaded process may only make async-signal-safe calls.
struct exec_image {
    std::vector<std::string> args;
    std::vector<std::string> envs;
    std::vector<char*> argp;
    std::vector<char*> envp;
    mode_t umask = 022;

    exec_image(const std::string& path, const daemon_options& opts)
        : envs(merged_environment(opts.env)), umask(opts.umask) {
        args.push_back(path);
        args.insert(args.end(), opts.args.begin(), opts.args.end());
        for (auto& a : args) {
            argp.push_back(a.data());
        }
        argp.push_back(nullptr);
        for (auto& e : envs) {
            envp.push_back(e.data());
        }
        envp.push_back(nullptr);
    }
    // argp and envp point into args and envs.
    exec_image(const exec_image&) = delete;
    exec_image& operator=(const exec_image&) = delete;
};

// The descriptors a start needs: the pipe that carries the program's standard output and error
// to the reader thread, the eventfd that stops that thread, and /dev/null for standard input.
struct capture_fds {
    unique_fd out_rd;
    unique_fd out_wr;
    unique_fd stop;
    unique_fd devnull;

    bool open() {
        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0) {
            return false;
        }
        out_rd.reset(out[0]);
        out_wr.reset(out[1]);
        stop.reset(::eventfd(0, EFD_CLOEXEC));
        devnull.reset(::open("/dev/null", O_RDONLY | O_CLOEXEC));
        ::fcntl(out_rd.get(), F_SETFL, O_NONBLOCK);
        return stop.valid() && devnull.valid();
    }
};

// The child's side of the fork: standard descriptors, a clean slate of signals and descriptors,
// the umask, and the program. Async-signal-safe calls only.
[[noreturn]] void exec_child(const exec_image& image, const capture_fds& fds) {
    ::dup2(fds.devnull.get(), 0);
    ::dup2(fds.out_wr.get(), 1);
    ::dup2(fds.out_wr.get(), 2);
    // Descriptors of this process (peer FIFOs, the testbed's sockets) must not show up among
    // the daemon's.
    ::close_range(3, ~0U, 0);
    // A blocked or ignored signal would survive exec and change how the daemon behaves.
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int sig = 1; sig < NSIG; ++sig) {
        ::signal(sig, SIG_DFL);
    }
    ::umask(image.umask);
    ::execve(image.argp[0], image.argp.data(), image.envp.data());
    static const char msg[] = "harness: cannot execute the program\n";
    (void)!::write(2, msg, sizeof msg - 1);
    ::_exit(127);
}

// Of the children that appeared since `before` (the first process aside), the detached daemon:
// the only one, or the one running path when another thread of ours started something
// meanwhile. -1 when there is none.
pid_t find_detached(pid_t first, const std::vector<pid_t>& before, const std::string& path) {
    std::vector<pid_t> fresh;
    for (pid_t c : child_pids()) {
        if (c != first && !std::binary_search(before.begin(), before.end(), c)) {
            fresh.push_back(c);
        }
    }
    if (fresh.empty()) {
        return -1;
    }
    if (fresh.size() > 1) {
        char real[PATH_MAX];
        std::string target = ::realpath(path.c_str(), real) != nullptr ? real : path;
        for (pid_t c : fresh) {
            if (readlink_str("/proc/" + std::to_string(c) + "/exe") == target) {
                return c;
            }
        }
    }
    return fresh.front();
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

    // Forgets what an earlier run left: its output, its exit code.
    void reset_capture(std::function<void(const std::string&)> callback) {
        stop_reader();
        {
            std::lock_guard<std::mutex> lock(mu);
            text.clear();
            line_start = 0;
            eof = false;
        }
        code = -1;
        on_line = std::move(callback);
    }

    void start_reader(unique_fd rd, unique_fd stop) {
        out_rd = std::move(rd);
        stop_fd = std::move(stop);
        reader = std::thread([this] { read_loop(); });
    }

    // Waits for the first process to exit, which it does once the daemon has detached; a
    // first process that takes too long is killed. True when it exited by itself in time.
    bool wait_for_detach() {
        if (reap_until(clock::now() + kDetachTimeout, false)) {
            return true;
        }
        static const char msg[] = "harness: the program did not detach in time; killed\n";
        append(msg, sizeof msg - 1, false);
        ::kill(pid, SIGKILL);
        try_reap(0);
        return false;
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
    p_->reset_capture(opts.on_stderr_line);

    // The daemon's first process exits right after forking; as a subreaper we inherit the
    // detached child instead of init, and so can find it, signal it and collect its status.
    if (::prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) {
        return false;
    }
    const std::string path = opts.binary.empty() ? nexo_binary() : opts.binary;
    const exec_image image(path, opts);
    capture_fds fds;
    if (!fds.open()) {
        return false;
    }
    const std::vector<pid_t> before = child_pids();

    pid_t first = ::fork();
    if (first < 0) {
        return false;
    }
    if (first == 0) {
        exec_child(image, fds);
    }
    // Our copy of the write end must go, or the reader would never see end of file.
    fds.out_wr.reset();
    p_->start_reader(std::move(fds.out_rd), std::move(fds.stop));

    // The first process exits once the daemon has detached (or on failure).
    p_->pid = first;
    if (!p_->wait_for_detach()) {
        return false;
    }
    const int first_code = p_->code;

    // The detached daemon was re-parented to us when the first process exited, before that
    // exit could be reaped, so it is among our children now.
    const pid_t daemon = find_detached(first, before, path);
    if (daemon < 0) {
        p_->code = first_code;
        p_->settle_output();
        return false;
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

}  // namespace nexo::sim
