// nexo-bench: what a line costs on the daemon's pipe links, measured against the bare pipe,
// and a check that the main loop allocates nothing per line.
//
//   nexo-bench [--iterations N] [--warmup N] [--round N] [--pipelined N] [--cpu N]
//              [--emulated-nodes]
//   nexo-bench --count-allocs [--shim PATH]
//
// Runs in the sandbox (private /run, so the FIFOs are its own) on the emulated board and starts
// the daemon from nexo_binary() ($NEXO_BINARY overrides). The timing daemon is a minimal echo
// peer, a child process that answers every "GET <keyword> ..." line at once with
// "RGET <keyword> 1". All descriptors stay open for the whole run.
//
// Every process of a measurement (this client, the daemon, the peers, the baselines) is pinned
// to one CPU, so that no figure depends on where the scheduler puts whom: a wake-up across CPUs
// costs more than a system call on these machines. The kinds are interleaved in short rounds
// within one run, so that a change of load hits them all alike. The serving children are
// scheduled as the daemon is: at its nice value, each in a session of its own.
//
// Latency: the median and p99 (microseconds, CLOCK_MONOTONIC) of N round trips, after a warm-up
// round, of
//   (a) a GET answered by a bare poll-based echo process over two FIFOs: the floor of a line
//       that the daemon answers itself;
//   (b) a GET that the daemon answers itself;
//   (c) a GET through a bare poll-based forwarder to an echo process and back: the floor of a
//       relay, three processes and four FIFOs as in (d);
//   (d) a GET that the daemon relays to the timing daemon (an echo process) and back;
// with the CPU time the serving processes spent per line (from /proc/PID/schedstat: the echo;
// the daemon; forwarder and echo; daemon and echo), and the ratios b/a and d/c at the median.
// Pipelined: 10,000 GETs written back to back (at most 1,000 unanswered, so that no reply
// finds the reply pipe full), lines per second of the daemon against the echo of (a), the
// median of three interleaved runs.
//
// --count-allocs loads the malloc_count shim ahead of the umockdev preload into the daemon,
// which must then be a build without sanitizers, sends 1,000 lines of every kind, snapshots the
// shim's counts (SIGUSR1), sends 10,000 more lines of the kinds that get a reply, snapshots
// again and prints the difference.
//
// Exit status: 0; 1 when the sandbox, the board or the daemon could not be set up; 2 when a
// round trip failed (no reply, or the wrong one), the shim did not report, or the daemon did
// not exit with 0 on SIGTERM; 3 when --count-allocs saw the 10,000 lines allocate; 130 after
// SIGINT or SIGTERM, the daemon stopped all the same.
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "daemon_process.h"
#include "fifo.h"
#include "fpga.h"
#include "line_reader.h"
#include "sandbox.h"
#include "unique_fd.h"

namespace {

using nexo::unique_fd;
using nexo::client::line_reader;
using nexo::client::write_all;

constexpr const char* kClientWr = "/var/run/nexo_wr.p";    // the daemon reads it
constexpr const char* kClientRd = "/var/run/nexo_rd.p";    // the daemon writes it
constexpr const char* kTimingWr = "/var/run/ST2059_wr.p";  // the daemon writes it
constexpr const char* kTimingRd = "/var/run/ST2059_rd.p";  // the daemon reads it
constexpr const char* kMediaWr = "/var/run/smpte2110w.p";  // the daemon writes it
// The baselines' FIFOs: the echo's, and the forwarder's towards the client and its peer.
constexpr const char* kPing = "/var/run/nexo-bench-ping.p";
constexpr const char* kPong = "/var/run/nexo-bench-pong.p";
constexpr const char* kFwdIn = "/var/run/nexo-bench-fwd-in.p";
constexpr const char* kFwdOut = "/var/run/nexo-bench-fwd-out.p";
constexpr const char* kFwdPeerWr = "/var/run/nexo-bench-fwd-peer-wr.p";
constexpr const char* kFwdPeerRd = "/var/run/nexo-bench-fwd-peer-rd.p";

// What the daemon adds to its nice value at start.
constexpr int kDaemonNice = 10;

// Longer than any wait of the daemon's own (a relay gives up after 500 ms).
constexpr int kReplyTimeoutMs = 2000;

constexpr std::string_view kLocalGet = "GET RX_STR_ENA 20:0\n";
constexpr std::string_view kLocalReply = "RGET RX_STR_ENA 20:0 ";
constexpr std::string_view kRelayedGet = "GET PTP_TIME\n";
constexpr std::string_view kRelayedReply = "RGET PTP_TIME 1\n";
constexpr std::string_view kUnroutable = "GET NOTHING\n";
constexpr std::string_view kError = "ERROR\n";
constexpr std::string_view kAlert = "ALRT 2059_FRA_CHANGED\n";

// Set by SIGINT and SIGTERM: the run ends at the next round trip and the daemon is stopped, as
// it would otherwise stay behind in the sandbox.
volatile sig_atomic_t interrupted = 0;

void on_interrupt(int) {
    interrupted = 1;
}

// The exit status of a run that could not go on.
int failed() {
    return interrupted ? 130 : 2;
}

int64_t now_ns() {
    timespec ts;
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

bool make_fifo(const char* path) {
    if (int err = nexo::client::make_fifo(path); err != 0) {
        std::fprintf(stderr, "nexo-bench: cannot create %s: %s\n", path, std::strerror(err));
        return false;
    }
    return true;
}

// Read-write, so that the FIFO never reports end of file and opening never waits for the
// other side; blocking, so that a reader sleeps in read() or poll() like any peer.
unique_fd open_fifo(const char* path) {
    unique_fd fd = nexo::client::open_fifo_rw(path);
    if (!fd.valid()) {
        std::fprintf(stderr, "nexo-bench: cannot open %s: %s\n", path, std::strerror(errno));
    }
    return fd;
}

// The loop of the serving children: waits in poll, reads what is queued, as the daemon does,
// and hands each complete line (without its newline) to on_line. They run in children forked
// from a process that may have threads, so they make no call that is not async-signal-safe:
// open, poll, read, write, _exit.
template <typename F>
[[noreturn]] void serve_lines(int rd, F on_line) {
    char in[4096];
    size_t len = 0;
    for (;;) {
        pollfd pfd{rd, POLLIN, 0};
        if (::poll(&pfd, 1, -1) <= 0) {
            continue;
        }
        ssize_t n = ::read(rd, in + len, sizeof in - len);
        if (n <= 0) {
            continue;
        }
        len += static_cast<size_t>(n);
        size_t start = 0;
        for (;;) {
            auto* nl = static_cast<char*>(std::memchr(in + start, '\n', len - start));
            if (nl == nullptr) {
                break;
            }
            on_line(in + start, static_cast<size_t>(nl - (in + start)));
            start = static_cast<size_t>(nl - in) + 1;
        }
        std::memmove(in, in + start, len - start);
        len -= start;
        if (len == sizeof in) {
            len = 0;  // a line that cannot be a request; no peer would answer it either
        }
    }
}

// The echo peer: answers "GET <keyword>..." with "RGET <keyword> 1\n" and ignores every other
// line, one write per reply.
[[noreturn]] void echo_peer(const char* rd_path, const char* wr_path) {
    int rd = ::open(rd_path, O_RDWR | O_NONBLOCK);
    int wr = ::open(wr_path, O_RDWR);
    if (rd < 0 || wr < 0) {
        ::_exit(1);
    }
    serve_lines(rd, [wr](const char* line, size_t line_len) {
        if (line_len < 4 || std::memcmp(line, "GET ", 4) != 0) {
            return;
        }
        char out[128];
        size_t kw = 4;
        while (kw < line_len && line[kw] != ' ' && kw - 4 < sizeof out - 16) {
            ++kw;
        }
        size_t o = 0;
        std::memcpy(out, "RGET ", 5);
        o += 5;
        std::memcpy(out + o, line + 4, kw - 4);
        o += kw - 4;
        std::memcpy(out + o, " 1\n", 3);
        o += 3;
        ssize_t w = ::write(wr, out, o);
        (void)w;
    });
}

// The bare forwarder: the daemon's relay and nothing else. For each line from the client it
// writes the line to the peer, waits up to 500 ms in poll for the peer's reply, reads it once
// and writes it to the client: the same system calls as the daemon's relay.
[[noreturn]] void forwarder(const char* in_path, const char* out_path, const char* peer_wr_path,
                            const char* peer_rd_path) {
    int in = ::open(in_path, O_RDWR | O_NONBLOCK);
    int out = ::open(out_path, O_RDWR);
    int peer_wr = ::open(peer_wr_path, O_RDWR);
    int peer_rd = ::open(peer_rd_path, O_RDWR | O_NONBLOCK);
    if (in < 0 || out < 0 || peer_wr < 0 || peer_rd < 0) {
        ::_exit(1);
    }
    serve_lines(in, [=](const char* line, size_t line_len) {
        char reply[256];
        ssize_t w = ::write(peer_wr, line, line_len + 1);  // with its newline
        pollfd p{peer_rd, POLLIN, 0};
        if (w > 0 && ::poll(&p, 1, 500) > 0) {
            ssize_t r = ::read(peer_rd, reply, sizeof reply);
            if (r > 0) {
                w = ::write(out, reply, static_cast<size_t>(r));
            }
        }
        (void)w;
    });
}

// A child process running echo_peer; it dies with us.
class echo_child {
  public:
    echo_child() = default;
    echo_child(const echo_child&) = delete;
    echo_child& operator=(const echo_child&) = delete;
    ~echo_child() { stop(); }

    bool start(const char* rd_path, const char* wr_path) {
        return spawn([&] { echo_peer(rd_path, wr_path); });
    }

    // Runs body, which never returns, in a child process.
    template <typename F>
    bool spawn(F body) {
        pid_ = ::fork();
        if (pid_ < 0) {
            std::fprintf(stderr, "nexo-bench: fork: %s\n", std::strerror(errno));
            return false;
        }
        if (pid_ == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            // Scheduled as the daemon is: it lowers its priority by 10 and, detaching, starts a
            // session of its own, which with autogrouping is also a scheduling group of its
            // own. A baseline that shared the client's group, or kept its priority, would be
            // scheduled differently from the daemon against the client and against other load.
            ::setsid();
            ssize_t ignored = ::nice(kDaemonNice);
            (void)ignored;
            body();
        }
        return true;
    }

    pid_t pid() const { return pid_; }

    void stop() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
            }
            pid_ = -1;
        }
    }

  private:
    pid_t pid_ = -1;
};

// One request and its reply, which must begin with expect.
bool round_trip(int wr, line_reader& rd, std::string_view request, std::string_view expect) {
    if (interrupted) {
        std::fprintf(stderr, "nexo-bench: interrupted\n");
        return false;
    }
    if (!write_all(wr, request)) {
        std::fprintf(stderr, "nexo-bench: write failed: %s\n", std::strerror(errno));
        return false;
    }
    std::string_view reply = rd.next(kReplyTimeoutMs);
    if (reply.substr(0, expect.size()) != expect) {
        std::string shown =
            request.size() > 40 ? std::string(request.substr(0, 40)) + "..." : std::string(request);
        std::fprintf(stderr, "nexo-bench: for \"%.*s\" expected \"%.*s...\", got \"%.*s\"\n",
                     static_cast<int>(shown.size() - (shown.back() == '\n')), shown.data(),
                     static_cast<int>(expect.size()), expect.data(), static_cast<int>(reply.size()),
                     reply.data());
        return false;
    }
    return true;
}

int64_t percentile_ns(const std::vector<int64_t>& sorted, double p) {
    // Nearest rank: the smallest sample with at least p of them at or below it.
    auto k = static_cast<size_t>(std::ceil(p * static_cast<double>(sorted.size())));
    return sorted[std::max<size_t>(k, 1) - 1];
}

// CPU time the process has run so far, in ns: the first field of /proc/PID/schedstat, which
// counts its main thread (all the serving processes have one thread).
uint64_t cpu_ns(pid_t pid) {
    return std::strtoull(
        nexo::sim::read_file("/proc/" + std::to_string(pid) + "/schedstat").c_str(), nullptr, 10);
}

// One kind of round trip: where the request goes, what the reply begins with, which processes
// serve it, and what the timed rounds found.
struct trip_kind {
    const char* name;
    int wr;
    line_reader* rd;
    std::string_view request;
    std::string_view expect;
    std::vector<pid_t> servers;
    std::vector<int64_t> samples;
    uint64_t cpu = 0;  // ns the servers ran during the timed round trips

    uint64_t servers_cpu() const {
        uint64_t sum = 0;
        for (pid_t p : servers) {
            sum += cpu_ns(p);
        }
        return sum;
    }

    // n round trips one after the other; timed ones are recorded. False after a failure.
    bool run(int n, bool timed) {
        const uint64_t cpu0 = timed ? servers_cpu() : 0;
        for (int i = 0; i < n; ++i) {
            const int64_t t0 = now_ns();
            if (!round_trip(wr, *rd, request, expect)) {
                return false;
            }
            if (timed) {
                samples.push_back(now_ns() - t0);
            }
        }
        if (timed) {
            cpu += servers_cpu() - cpu0;
        }
        return true;
    }

    double median_us() const { return static_cast<double>(percentile_ns(samples, 0.5)) / 1000; }
    double p99_us() const { return static_cast<double>(percentile_ns(samples, 0.99)) / 1000; }
    double cpu_per_line_us() const {
        return static_cast<double>(cpu) / 1000 / static_cast<double>(samples.size());
    }
};

// Requests written back to back, replies read as they come, never more than kWindow of them
// unanswered. Lines per second; 0 after a failure.
double pipelined(int wr, line_reader& rd, std::string_view request, std::string_view expect,
                 int n) {
    constexpr int kWindow = 1000;
    constexpr int kBatch = 50;  // requests per write
    std::string batch;
    for (int i = 0; i < kBatch; ++i) {
        batch += request;
    }
    int sent = 0;
    int answered = 0;
    const int64_t t0 = now_ns();
    while (answered < n) {
        while (sent < n && sent - answered + kBatch <= kWindow) {
            const int k = std::min(kBatch, n - sent);
            if (!write_all(wr, std::string_view(batch).substr(0, request.size() * k))) {
                return 0;
            }
            sent += k;
        }
        std::string_view reply = rd.next(kReplyTimeoutMs);
        if (reply.substr(0, expect.size()) != expect) {
            std::fprintf(stderr,
                         "nexo-bench: pipelined reply %d: expected \"%.*s...\", got \"%.*s\"\n",
                         answered, static_cast<int>(expect.size()), expect.data(),
                         static_cast<int>(reply.size()), reply.data());
            return 0;
        }
        ++answered;
    }
    return n / (static_cast<double>(now_ns() - t0) / 1e9);
}

int online_cpus() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (::sched_getaffinity(0, sizeof set, &set) != 0) {
        return static_cast<int>(::sysconf(_SC_NPROCESSORS_ONLN));
    }
    return CPU_COUNT(&set);
}

// Pins this thread, and so every process and thread started from it from now on, to one CPU:
// cpu, or the last one it may use when cpu is negative. The CPU, or -1 after a failure.
int pin_to_cpu(int cpu) {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (cpu < 0) {
        if (::sched_getaffinity(0, sizeof set, &set) != 0) {
            return -1;
        }
        for (int c = CPU_SETSIZE - 1; c >= 0; --c) {
            if (CPU_ISSET(c, &set)) {
                cpu = c;
                break;
            }
        }
        CPU_ZERO(&set);
    }
    CPU_SET(cpu, &set);
    if (::sched_setaffinity(0, sizeof set, &set) != 0) {
        std::fprintf(stderr, "nexo-bench: cannot pin to CPU %d: %s\n", cpu, std::strerror(errno));
        return -1;
    }
    return cpu;
}

std::string first_line(const std::string& text) {
    return text.substr(0, text.find('\n'));
}

bool maps_contain(pid_t pid, const char* needle) {
    return nexo::sim::read_file("/proc/" + std::to_string(pid) + "/maps").find(needle) !=
           std::string::npos;
}

// Device nodes as the board has them: character devices the daemon opens without the umockdev
// preload, whose wrappers mask signals around every read and write and would be measured with
// the daemon. Timed lines make no ioctl, so the null device stands in for every FPGA block. A
// tmpfs over /dev inside the sandbox's mount namespace keeps the host's /dev untouched.
bool plain_board_nodes() {
    if (::mount("tmpfs", "/dev", "tmpfs", MS_NOSUID, "mode=755") != 0) {
        std::fprintf(stderr, "nexo-bench: cannot mount a private /dev: %s\n", std::strerror(errno));
        return false;
    }
    const char* const nodes[] = {"/dev/null",
                                 "/dev/zeb-ip-filter-0",
                                 "/dev/axis2vid-0",
                                 "/dev/axis2vid-1",
                                 "/dev/axis2vid-2",
                                 "/dev/axis2vid-3",
                                 "/dev/rtp-vid-fmt-det-0",
                                 "/dev/rtp-vid-fmt-det-1",
                                 "/dev/rtp-vid-fmt-det-2",
                                 "/dev/rtp-vid-fmt-det-3"};
    for (const char* n : nodes) {
        if (::mknod(n, S_IFCHR | 0666, ::makedev(1, 3)) != 0) {
            std::fprintf(stderr, "nexo-bench: cannot create %s: %s\n", n, std::strerror(errno));
            return false;
        }
    }
    return true;
}

// The daemon on the emulated board, started with SIGTERM hooked (it hooks it only once
// detached; a SIGTERM before that would kill it outright).
bool start_daemon(nexo::sim::daemon_process& daemon, std::vector<std::string> env) {
    nexo::sim::daemon_options opts;
    opts.env = std::move(env);
    if (!daemon.start(opts) || !daemon.wait_handler(SIGTERM, std::chrono::seconds(5))) {
        std::fprintf(stderr, "nexo-bench: the daemon %s did not start (exit code %d):\n%s",
                     nexo::sim::nexo_binary().c_str(), daemon.exit_code(),
                     daemon.stderr_text().c_str());
        return false;
    }
    return true;
}

// SIGTERM and a clean exit; false (after saying why) otherwise.
bool stop_daemon(nexo::sim::daemon_process& daemon) {
    const int code = daemon.stop(SIGTERM);
    if (code != 0) {
        std::fprintf(stderr, "nexo-bench: the daemon exited with %d on SIGTERM:\n%s", code,
                     daemon.stderr_text().c_str());
        return false;
    }
    return true;
}

// The client's side of link 1, both ends held open for the whole run.
struct client_link {
    unique_fd wr;
    unique_fd rd;

    bool open() {
        // The daemon holds its read end, so this does not wait.
        wr.reset(::open(kClientWr, O_WRONLY | O_CLOEXEC));
        rd = open_fifo(kClientRd);
        if (!wr.valid()) {
            std::fprintf(stderr, "nexo-bench: cannot open %s: %s\n", kClientWr,
                         std::strerror(errno));
        }
        return wr.valid() && rd.valid();
    }
};

struct latency_options {
    int iterations = 20000;  // timed round trips of each kind
    int warmup = 1000;       // untimed round trips of each kind first
    int round = 200;         // round trips of one kind before the next kind's turn
    int pipelined = 10000;   // lines per pipelined run, 0 for none
    int cpu = -1;            // the CPU everything runs on; -1: the last one allowed
    bool emulated = false;
};

int run_latency(const latency_options& o) {
    const int nproc = online_cpus();
    const int cpu = pin_to_cpu(o.cpu);
    if (cpu < 0) {
        return 1;
    }
    std::printf("nexo-bench: nproc %d, everything pinned to CPU %d, load average %s\n", nproc, cpu,
                first_line(nexo::sim::read_file("/proc/loadavg")).c_str());
    std::printf(
        "round trips: %d timed of each kind after %d warm-up, kinds taking turns every %d\n\n",
        o.iterations, o.warmup, o.round);

    // Every serving process is forked before the board starts its threads.
    for (const char* f :
         {kPing, kPong, kFwdIn, kFwdOut, kFwdPeerWr, kFwdPeerRd, kTimingWr, kTimingRd}) {
        if (!make_fifo(f)) {
            return 1;
        }
    }
    echo_child echo;
    echo_child fwd;
    echo_child fwd_peer;
    echo_child peer;
    if (!echo.start(kPing, kPong) || !fwd_peer.start(kFwdPeerWr, kFwdPeerRd) ||
        !fwd.spawn([] { forwarder(kFwdIn, kFwdOut, kFwdPeerWr, kFwdPeerRd); }) ||
        !peer.start(kTimingWr, kTimingRd)) {
        return 1;
    }
    unique_fd ping = open_fifo(kPing);
    unique_fd pong = open_fifo(kPong);
    unique_fd fwd_in = open_fifo(kFwdIn);
    unique_fd fwd_out = open_fifo(kFwdOut);
    if (!ping.valid() || !pong.valid() || !fwd_in.valid() || !fwd_out.valid()) {
        return 1;
    }
    std::unique_ptr<nexo::sim::fpga> dev;
    std::vector<std::string> env;
    if (o.emulated) {
        dev = std::make_unique<nexo::sim::fpga>();
        env = dev->preload_env();
    } else if (!plain_board_nodes()) {
        return 1;
    }
    nexo::sim::daemon_process daemon;
    if (!start_daemon(daemon, env)) {
        return 1;
    }
    std::printf("device nodes: %s\n", o.emulated ? "emulated (umockdev preload)"
                                                 : "plain character devices, as on the board");
    std::printf("daemon: %s (pid %d)\n", nexo::sim::nexo_binary().c_str(), daemon.pid());
    if (maps_contain(daemon.pid(), "libasan")) {
        std::printf(
            "WARNING: this daemon is built with sanitizers; its figures are not the "
            "daemon's.\n");
    }
    std::printf(
        "Figures that mean something come from a release build (the sanitized one is\n"
        "several times slower):\n"
        "  cmake --preset release && cmake --build --preset release\n"
        "  build/release/bench/nexo-bench\n\n");

    client_link client;
    if (!client.open()) {
        daemon.stop(SIGTERM);
        return 1;
    }
    line_reader echo_rd(pong.get());
    line_reader fwd_rd(fwd_out.get());
    line_reader rd(client.rd.get());
    constexpr std::string_view kEchoReply = "RGET RX_STR_ENA 1\n";
    std::array<trip_kind, 4> kinds = {{
        {"(a) GET answered by a poll-based echo",
         ping.get(),
         &echo_rd,
         kLocalGet,
         kEchoReply,
         {echo.pid()},
         {},
         0},
        {"(b) GET answered by the daemon",
         client.wr.get(),
         &rd,
         kLocalGet,
         kLocalReply,
         {daemon.pid()},
         {},
         0},
        {"(c) GET through a bare forwarder + echo",
         fwd_in.get(),
         &fwd_rd,
         kRelayedGet,
         kRelayedReply,
         {fwd.pid(), fwd_peer.pid()},
         {},
         0},
        {"(d) GET relayed by the daemon + echo",
         client.wr.get(),
         &rd,
         kRelayedGet,
         kRelayedReply,
         {daemon.pid(), peer.pid()},
         {},
         0},
    }};
    bool ok = true;
    for (trip_kind& k : kinds) {
        ok = ok && k.run(o.warmup, false);
    }
    for (int done = 0; ok && done < o.iterations; done += o.round) {
        for (trip_kind& k : kinds) {
            ok = ok && k.run(std::min(o.round, o.iterations - done), true);
        }
    }
    // Pipelined runs, echo and daemon taking turns.
    std::vector<double> echo_rate;
    std::vector<double> daemon_rate;
    for (int i = 0; ok && o.pipelined > 0 && i < 3; ++i) {
        echo_rate.push_back(pipelined(ping.get(), echo_rd, kLocalGet, kEchoReply, o.pipelined));
        daemon_rate.push_back(pipelined(client.wr.get(), rd, kLocalGet, kLocalReply, o.pipelined));
        ok = echo_rate.back() > 0 && daemon_rate.back() > 0;
    }
    const bool stopped = stop_daemon(daemon);
    if (!ok) {
        return failed();
    }

    std::printf("%-44s %10s %10s %14s\n", "", "median us", "p99 us", "CPU us/line");
    for (trip_kind& k : kinds) {
        std::sort(k.samples.begin(), k.samples.end());
        std::printf("%-44s %10.1f %10.1f %14.1f\n", k.name, k.median_us(), k.p99_us(),
                    k.cpu_per_line_us());
    }
    const double b_a = kinds[1].median_us() / kinds[0].median_us();
    const double d_c = kinds[3].median_us() / kinds[2].median_us();
    std::printf("\nb/a = %.2f (goal <= 1.1)%s   CPU per line %.2f\n", b_a,
                b_a > 1.1 ? "  ABOVE GOAL" : "",
                kinds[1].cpu_per_line_us() / kinds[0].cpu_per_line_us());
    std::printf("d/c = %.2f (goal <= 1.05)%s   CPU per line %.2f\n", d_c,
                d_c > 1.05 ? "  ABOVE GOAL" : "",
                kinds[3].cpu_per_line_us() / kinds[2].cpu_per_line_us());
    if (!echo_rate.empty()) {
        std::sort(echo_rate.begin(), echo_rate.end());
        std::sort(daemon_rate.begin(), daemon_rate.end());
        const double e = echo_rate[echo_rate.size() / 2];
        const double d = daemon_rate[daemon_rate.size() / 2];
        std::printf(
            "pipelined, %d GETs (median of %zu): echo %.0f lines/s, daemon %.0f lines/s, "
            "ratio %.2f (goal >= 0.4)%s\n",
            o.pipelined, echo_rate.size(), e, d, d / e, d / e < 0.4 ? "  BELOW GOAL" : "");
    }
    return stopped ? 0 : 2;
}

// --- Allocation count --------------------------------------------------------------------------

struct alloc_counts {
    uint64_t malloc = 0, calloc = 0, realloc = 0, free = 0, memalign = 0;

    uint64_t allocations() const { return malloc + calloc + realloc + memalign; }
    alloc_counts operator-(const alloc_counts& o) const {
        return {malloc - o.malloc, calloc - o.calloc, realloc - o.realloc, free - o.free,
                memalign - o.memalign};
    }
};

constexpr std::string_view kReportTag = "malloc_count: ";

size_t count_reports(const std::string& text) {
    size_t n = 0;
    for (size_t at = text.find(kReportTag); at != std::string::npos;
         at = text.find(kReportTag, at + 1)) {
        ++n;
    }
    return n;
}

// Asks the shim in the daemon for its counts and waits for the report line.
bool snapshot(const nexo::sim::daemon_process& daemon, alloc_counts* out) {
    const size_t before = count_reports(daemon.stderr_text());
    ::kill(daemon.pid(), SIGUSR1);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    for (;;) {
        const std::string text = daemon.stderr_text();
        if (count_reports(text) > before) {
            const size_t at = text.rfind(kReportTag);
            unsigned long long v[5];
            if (std::sscanf(text.c_str() + at,
                            "malloc_count: pid=%*d malloc=%llu calloc=%llu realloc=%llu "
                            "free=%llu memalign=%llu",
                            &v[0], &v[1], &v[2], &v[3], &v[4]) != 5) {
                break;
            }
            *out = {v[0], v[1], v[2], v[3], v[4]};
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::fprintf(stderr, "nexo-bench: no report from the malloc_count shim\n");
    return false;
}

// lines: how many lines the counts are for, 0 for none (start-up).
void print_counts(const char* what, const alloc_counts& c, int lines) {
    std::printf("%-34s malloc %6" PRIu64 "  calloc %4" PRIu64 "  realloc %4" PRIu64
                "  memalign %4" PRIu64 "  free %6" PRIu64,
                what, c.malloc, c.calloc, c.realloc, c.memalign, c.free);
    if (lines > 0) {
        std::printf("  -> %.4f allocations per line", static_cast<double>(c.allocations()) / lines);
    }
    std::printf("\n");
}

constexpr std::string_view kPreloadVar = "LD_PRELOAD=";

// The board's "LD_PRELOAD=..." entry with the shim put in front. A sanitizer runtime, which a
// sanitized build of this tool puts first, is left out: the daemon must be a plain build, whose
// allocations the shim, and not the sanitizer, gets to see.
std::string preload_with_shim(std::string_view entry, const std::string& shim) {
    std::string preload = std::string(kPreloadVar) + shim;
    std::string_view rest = entry.substr(kPreloadVar.size());
    while (!rest.empty()) {
        const size_t colon = rest.find(':');
        std::string_view lib = rest.substr(0, colon);
        if (!lib.empty() && lib.find("libasan") == std::string_view::npos) {
            preload += ':';
            preload += lib;
        }
        rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
    }
    return preload;
}

enum class line_kind { local_get, relayed_get, unroutable, too_long, alert };

int run_count_allocs(const std::string& shim) {
    if (::access(shim.c_str(), R_OK) != 0) {
        std::fprintf(stderr, "nexo-bench: cannot read the shim %s\n", shim.c_str());
        return 1;
    }
    echo_child peer;
    if (!make_fifo(kTimingWr) || !make_fifo(kTimingRd) || !make_fifo(kMediaWr) ||
        !peer.start(kTimingWr, kTimingRd)) {
        return 1;
    }
    // Alerts go into the timing link beside the peer's replies; each is one write far below
    // PIPE_BUF, so the two never interleave.
    unique_fd alert_wr = open_fifo(kTimingRd);
    // The daemon passes every alert on to the media-transport daemon: seeing it there tells
    // that the daemon is done with it.
    unique_fd media_rd = open_fifo(kMediaWr);
    if (!alert_wr.valid() || !media_rd.valid()) {
        return 1;
    }

    nexo::sim::fpga dev;
    std::vector<std::string> env;
    for (const std::string& e : dev.preload_env()) {
        env.push_back(e.starts_with(kPreloadVar) ? preload_with_shim(e, shim) : e);
    }
    nexo::sim::daemon_process daemon;
    if (!start_daemon(daemon, env)) {
        std::fprintf(stderr,
                     "nexo-bench: --count-allocs needs a daemon built without "
                     "sanitizers (the release preset)\n");
        return 1;
    }
    std::printf("daemon: %s (pid %d)\n", nexo::sim::nexo_binary().c_str(), daemon.pid());
    if (!maps_contain(daemon.pid(), "malloc_count")) {
        std::fprintf(stderr, "nexo-bench: the shim is not loaded in the daemon\n");
        daemon.stop(SIGTERM);
        return 1;
    }
    client_link client;
    if (!client.open()) {
        daemon.stop(SIGTERM);
        return 1;
    }
    line_reader rd(client.rd.get());
    line_reader media(media_rd.get());
    const std::string too_long = "GET " + std::string(300, 'X') + "\n";

    auto send = [&](line_kind kind) {
        switch (kind) {
            case line_kind::local_get:
                return round_trip(client.wr.get(), rd, kLocalGet, kLocalReply);
            case line_kind::relayed_get:
                return round_trip(client.wr.get(), rd, kRelayedGet, kRelayedReply);
            case line_kind::unroutable:
                return round_trip(client.wr.get(), rd, kUnroutable, kError);
            case line_kind::too_long:
                return round_trip(client.wr.get(), rd, too_long, kError);
            case line_kind::alert:
                return round_trip(alert_wr.get(), media, kAlert, kAlert);
        }
        return false;
    };
    constexpr std::array kAllKinds = {line_kind::local_get, line_kind::relayed_get,
                                      line_kind::unroutable, line_kind::too_long, line_kind::alert};
    constexpr std::array kReplyKinds = {line_kind::local_get, line_kind::relayed_get,
                                        line_kind::unroutable, line_kind::too_long};
    constexpr int kFirstLines = 1000;
    constexpr int kMoreLines = 10000;

    alloc_counts at_start;
    alloc_counts after_first;
    alloc_counts after_more;
    bool ok = snapshot(daemon, &at_start);
    for (int i = 0; ok && i < kFirstLines; ++i) {
        ok = send(kAllKinds[static_cast<size_t>(i) % kAllKinds.size()]);
    }
    ok = ok && snapshot(daemon, &after_first);
    for (int i = 0; ok && i < kMoreLines; ++i) {
        ok = send(kReplyKinds[static_cast<size_t>(i) % kReplyKinds.size()]);
    }
    ok = ok && snapshot(daemon, &after_more);
    const bool stopped = stop_daemon(daemon);
    if (!ok) {
        return failed();
    }

    std::printf("allocator calls in the daemon (umockdev's preload included):\n");
    print_counts("start-up, before any line", at_start, 0);
    print_counts("1,000 lines, every kind", after_first - at_start, kFirstLines);
    print_counts("10,000 lines, local/relayed/bad", after_more - after_first, kMoreLines);
    const uint64_t per_line = (after_more - after_first).allocations();
    std::printf("%s\n", per_line == 0 ? "the main loop allocated nothing for 10,000 lines"
                                      : "THE MAIN LOOP ALLOCATES PER LINE");
    if (!stopped) {
        return 2;
    }
    return per_line == 0 ? 0 : 3;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Latency of the daemon's pipe links against the bare pipe; allocations per line"};
    latency_options lat;
    bool count_allocs = false;
    std::string shim = NEXO_MALLOC_COUNT_PATH;
    app.add_option("--iterations", lat.iterations, "Timed round trips of each kind")
        ->check(CLI::PositiveNumber)
        ->capture_default_str();
    app.add_option("--warmup", lat.warmup, "Untimed round trips of each kind first")
        ->check(CLI::NonNegativeNumber)
        ->capture_default_str();
    app.add_option("--round", lat.round, "Round trips of one kind before the next one's turn")
        ->check(CLI::PositiveNumber)
        ->capture_default_str();
    app.add_option("--pipelined", lat.pipelined, "Lines per pipelined run, 0 for none")
        ->check(CLI::NonNegativeNumber)
        ->capture_default_str();
    app.add_option("--cpu", lat.cpu, "The CPU to pin everything to (default: the last allowed)")
        ->check(CLI::NonNegativeNumber);
    app.add_flag("--count-allocs", count_allocs,
                 "Count the daemon's allocator calls per line instead of timing");
    app.add_flag("--emulated-nodes", lat.emulated,
                 "Time against the umockdev-emulated nodes instead of plain ones");
    app.add_option("--shim", shim, "The malloc_count preload library")->capture_default_str();
    CLI11_PARSE(app, argc, argv);

    // Parsing starts no thread, so the process is still single-threaded here.
    if (nexo::sim::sandbox_enter() != 0) {
        return 1;
    }
    // A daemon that dies mid-run must show up as a failed write, not kill the tool.
    ::signal(SIGPIPE, SIG_IGN);
    struct sigaction sa = {};
    sa.sa_handler = on_interrupt;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    return count_allocs ? run_count_allocs(shim) : run_latency(lat);
}
