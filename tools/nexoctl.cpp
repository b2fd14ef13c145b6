// nexoctl: the control client of nexo. Sends command lines to the daemon and prints its replies.
//
//   nexoctl [--pipes DIR] [--timeout MS] [LINE words...]
//
// A line goes into DIR/nexo_wr.p (one write, newline added); the reply is read from
// DIR/nexo_rd.p. With LINE, one exchange. Without it, the lines of standard input when that is
// not a terminal (one output line per input line, empty where no reply came; blank input lines
// are skipped), or an interactive prompt with history and completion of GET/SET and the
// keywords when it is.
//
// Exit status (for several lines the worst of them): 0 a reply, 1 the reply "ERROR", 2 no reply
// within the timeout, 3 a usage or I/O error, among them a daemon that is not running.
//
// The daemon has a single reply pipe, so clients take turns: each exchange holds an flock() on
// DIR/nexoctl.lock from before the write until the daemon has taken the hang-up that follows it.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

// editline's readline.h comes before CLI11: it defines macros that would clash with CLI11's
// templates the other way round.
#if NEXO_HAVE_LIBEDIT
#include <editline/readline.h>
#endif

#include <CLI/CLI.hpp>

#include "ext_cmds.h"
#include "nexoctl_sdp.h"
#include "unique_fd.h"

namespace {

using nexo::unique_fd;
using steady = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int kExitReply = 0;
constexpr int kExitErrorReply = 1;
constexpr int kExitNoReply = 2;
constexpr int kExitFailure = 3;

// How long an exchange waits after closing its end of the request pipe for the daemon to reopen
// its own (see client::exchange()).
constexpr milliseconds kReopenWait{100};
// How long a client waits for the others before giving up on the lock.
constexpr milliseconds kLockWait{30000};

void complain(const std::string& what) {
    std::fprintf(stderr, "nexoctl: %s\n", what.c_str());
}

void complain_errno(const std::string& what) {
    std::fprintf(stderr, "nexoctl: %s: %s\n", what.c_str(), std::strerror(errno));
}

bool is_fifo(int fd) {
    struct stat st {};
    return ::fstat(fd, &st) == 0 && S_ISFIFO(st.st_mode);
}

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

class client {
  public:
    client(std::string dir, milliseconds timeout)
        : request_path_(dir + "/nexo_wr.p"),
          reply_path_(dir + "/nexo_rd.p"),
          lock_path_(dir + "/nexoctl.lock"),
          timeout_(timeout) {}

    // One exchange: returns one of the exit codes; the reply line, without its newline, goes to
    // *reply ("" when none came).
    int exchange(const std::string& line, std::string* reply);

  private:
    bool take_lock();
    void wait_for_reopen(unique_fd request);

    std::string request_path_;
    std::string reply_path_;
    std::string lock_path_;
    milliseconds timeout_;
    unique_fd lock_;
    bool lock_warned_ = false;
};

bool client::take_lock() {
    if (!lock_.valid()) {
        // Read-only is enough for flock(), so that any user who may use the pipes can also
        // open a lock file that root created.
        lock_.reset(::open(lock_path_.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0644));
        if (!lock_.valid()) {
            if (!lock_warned_) {
                complain_errno(lock_path_ + " (going on without serialising clients)");
                lock_warned_ = true;
            }
            return true;
        }
        (void)::fchmod(lock_.get(), 0644);
    }
    // Polled rather than blocking, so that a client stopped while holding the lock cannot keep
    // us waiting for ever.
    auto deadline = steady::now() + kLockWait;
    while (::flock(lock_.get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK && errno != EINTR) {
            complain_errno("flock " + lock_path_);
            return false;
        }
        if (steady::now() >= deadline) {
            complain(lock_path_ + ": another client holds the lock");
            return false;
        }
        std::this_thread::sleep_for(milliseconds{2});
    }
    return true;
}

// Closing the request pipe's write end makes the daemon see a hang-up, close its read end and
// open it again, discarding whatever is in the pipe right after. Were the lock released at once,
// the next client's line could land just then and be lost; so wait (briefly) until the daemon
// has opened the pipe again, plus a moment for the discarding. Another writer holding the pipe
// open means no hang-up, and the wait just runs out.
void client::wait_for_reopen(unique_fd request) {
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

int client::exchange(const std::string& line, std::string* reply) {
    reply->clear();
    if (line.find('\n') != std::string::npos) {
        complain("a command line cannot contain a newline");
        return kExitFailure;
    }
    if (line.size() + 1 > PIPE_BUF) {
        complain("command line too long");
        return kExitFailure;
    }
    if (!take_lock()) {
        return kExitFailure;
    }
    flock_guard locked(lock_.get());

    // Non-blocking: a write-only open fails with ENXIO, instead of waiting, when no daemon has
    // the pipe open for reading.
    unique_fd request(::open(request_path_.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
    if (!request.valid()) {
        if (errno == ENXIO) {
            complain("nexo is not running (nobody reads " + request_path_ + ")");
        } else {
            complain_errno(request_path_);
        }
        return kExitFailure;
    }
    unique_fd replies(::open(reply_path_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!replies.valid()) {
        complain_errno(reply_path_);
        return kExitFailure;
    }
    if (!is_fifo(request.get()) || !is_fifo(replies.get())) {
        complain(request_path_ + " and " + reply_path_ + " must be named pipes");
        return kExitFailure;
    }

    // The daemon holds its reply pipe open, so a reply that came after its client gave up (a
    // relay answered late) is still waiting there and would be taken for ours.
    char buf[512];
    while (::read(replies.get(), buf, sizeof buf) > 0) {
    }

    std::string bytes = line + "\n";
    ssize_t n = ::write(request.get(), bytes.data(), bytes.size());
    if (n != static_cast<ssize_t>(bytes.size())) {
        if (n < 0) {
            complain_errno("write " + request_path_);
        } else {
            complain("short write to " + request_path_);
        }
        return kExitFailure;
    }

    std::string got;
    auto deadline = steady::now() + timeout_;
    bool complete = false;
    while (!complete) {
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
        n = ::read(replies.get(), buf, sizeof buf);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            continue;
        }
        if (n <= 0) {
            break;  // end of file: the daemon is gone
        }
        got.append(buf, static_cast<std::size_t>(n));
        complete = got.find('\n') != std::string::npos;
    }
    wait_for_reopen(std::move(request));

    if (got.empty()) {
        return kExitNoReply;
    }
    *reply = got.substr(0, got.find('\n'));
    return *reply == "ERROR" ? kExitErrorReply : kExitReply;
}

std::string trim(std::string_view s) {
    const char* blanks = " \t\r\n";
    std::size_t first = s.find_first_not_of(blanks);
    if (first == std::string_view::npos) {
        return "";
    }
    return std::string(s.substr(first, s.find_last_not_of(blanks) - first + 1));
}

int run_stdin(client& c) {
    int worst = kExitReply;
    std::string line;
    while (std::getline(std::cin, line)) {
        line = trim(line);
        if (line.empty()) {
            continue;
        }
        std::string reply;
        int rc = c.exchange(line, &reply);
        if (rc == kExitFailure) {
            return rc;
        }
        std::printf("%s\n", reply.c_str());
        std::fflush(stdout);
        worst = std::max(worst, rc);
    }
    return worst;
}

#if NEXO_HAVE_LIBEDIT
// Interactive completion: GET/SET for the first word, a keyword of any link for the second.
std::vector<std::string> completion_candidates;
std::size_t completion_next = 0;

char* completion_entry(const char* text, int state) {
    if (state == 0) {
        completion_next = 0;
    }
    std::string_view prefix(text);
    while (completion_next < completion_candidates.size()) {
        const std::string& word = completion_candidates[completion_next++];
        // Case is ignored, as the daemon ignores it when it routes; the keyword comes back as
        // the tables spell it.
        if (word.size() >= prefix.size() &&
            std::equal(prefix.begin(), prefix.end(), word.begin(), [](char a, char b) {
                return std::toupper(static_cast<unsigned char>(a)) == b;
            })) {
            return ::strdup(word.c_str());
        }
    }
    return nullptr;
}

char** complete(const char* text, int start, int /*end*/) {
    ::rl_attempted_completion_over = 1;  // never fall back to file names
    std::size_t words_before = 0;
    bool in_word = false;
    for (int i = 0; i < start && ::rl_line_buffer[i] != '\0'; ++i) {
        bool blank = ::rl_line_buffer[i] == ' ' || ::rl_line_buffer[i] == '\t';
        if (!blank && !in_word) {
            ++words_before;
        }
        in_word = !blank;
    }
    completion_candidates.clear();
    if (words_before == 0) {
        completion_candidates = {"GET", "SET"};
    } else if (words_before == 1) {
        for (const char* const* table :
             {nexo::st2059_if_cmds, nexo::nexo_cmds, nexo::smpte2110_cmds}) {
            for (; *table != nullptr; ++table) {
                completion_candidates.emplace_back(*table);
            }
        }
    } else {
        return nullptr;
    }
    return ::rl_completion_matches(text, completion_entry);
}

int run_interactive(client& c) {
    std::string history;
    if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
        history = std::string(home) + "/.nexoctl_history";
    }
    ::rl_readline_name = "nexoctl";
    ::rl_attempted_completion_function = complete;
    ::using_history();
    ::stifle_history(1000);
    if (!history.empty()) {
        (void)::read_history(history.c_str());
    }
    while (char* raw = ::readline("nexo> ")) {
        std::string line = trim(raw);
        std::free(raw);
        if (line.empty()) {
            continue;
        }
        if (line == "quit" || line == "exit") {
            break;
        }
        ::add_history(line.c_str());
        std::string reply;
        int rc = c.exchange(line, &reply);
        if (rc == kExitNoReply) {
            complain("no reply");
        } else if (rc != kExitFailure) {
            std::printf("%s\n", reply.c_str());
            std::fflush(stdout);
        }
    }
    if (!history.empty()) {
        (void)::write_history(history.c_str());
    }
    return kExitReply;
}

#else

// Without libedit: a plain prompt, one line at a time.
int run_interactive(client& c) {
    std::string raw;
    for (;;) {
        std::printf("nexo> ");
        std::fflush(stdout);
        if (!std::getline(std::cin, raw)) {
            break;
        }
        std::string line = trim(raw);
        if (line.empty()) {
            continue;
        }
        if (line == "quit" || line == "exit") {
            break;
        }
        std::string reply;
        int rc = c.exchange(line, &reply);
        if (rc == kExitNoReply) {
            complain("no reply");
        } else if (rc != kExitFailure) {
            std::printf("%s\n", reply.c_str());
        }
    }
    return kExitReply;
}
#endif

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Sends command lines to the nexo daemon and prints its replies."};
    std::string dir = "/var/run";
    int timeout_ms = 700;
    app.add_option("--pipes", dir, "Directory of the daemon's pipes")->capture_default_str();
    app.add_option("--timeout", timeout_ms, "Milliseconds to wait for a reply")
        ->check(CLI::Range(1, 3600000))
        ->capture_default_str();
    app.footer(
        "LINE words...  the command line to send, e.g. GET RX_IP_DEST 20:0. Without it, lines\n"
        "are read from standard input (interactive when that is a terminal).\n"
        "Exit status: 0 reply, 1 reply ERROR, 2 no reply, 3 usage or I/O error.\n\n" +
        std::string(nexo::ctl::kSdpHelp));
    // Everything from the first word that is not an option on is the command line, so that
    // its words may look like options (a negative delay, say).
    app.prefix_command();
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        int rc = app.exit(e);
        return rc == 0 ? 0 : kExitFailure;
    }
    // prefix_command() also hands over an unknown option; no command line starts with a dash.
    std::vector<std::string> words = app.remaining();
    if (!words.empty() && words[0].starts_with('-')) {
        complain("unknown option " + words[0] + " (see --help)");
        return kExitFailure;
    }

    // A daemon that goes away mid-write must give EPIPE, not kill us.
    ::signal(SIGPIPE, SIG_IGN);
    client c(dir, milliseconds{timeout_ms});

    if (!words.empty() && nexo::ctl::is_sdp_command(words[0])) {
        nexo::client::function_link link([&c](const std::string& line) {
            nexo::client::link_reply r;
            r.status = static_cast<nexo::client::link_status>(c.exchange(line, &r.text));
            return r;
        });
        return nexo::ctl::run_sdp_command(words, link);
    }

    if (!words.empty()) {
        std::string line;
        for (const auto& w : words) {
            line += line.empty() ? w : " " + w;
        }
        std::string reply;
        int rc = c.exchange(line, &reply);
        if (rc == kExitNoReply) {
            complain("no reply within " + std::to_string(timeout_ms) + " ms");
        } else if (rc != kExitFailure) {
            std::printf("%s\n", reply.c_str());
        }
        return rc;
    }
    if (::isatty(STDIN_FILENO) == 0) {
        return run_stdin(c);
    }
    return run_interactive(c);
}
