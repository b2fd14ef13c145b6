// The harness as the end-to-end tests rely on it: starting and reaping a program that detaches,
// what the detached program inherits, the control client's line exchange, the whole board with
// the real daemon, and nexo-sim driven as a script.
#include "harness.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "peer.h"
#include "sandbox.h"
#include "unique_fd.h"

namespace {

using namespace std::chrono_literals;
using nexo::unique_fd;
namespace sim = nexo::sim;

sim::daemon_options shell(const std::string& script) {
    sim::daemon_options o;
    o.binary = "/bin/sh";
    o.args = {"-c", script};
    return o;
}

// A detached process that stops cleanly on SIGTERM, as the daemon does.
constexpr const char* kPolite =
    "(trap 'echo bye >&2; exit 0' TERM; echo ready >&2;"
    " while :; do sleep 0.05; done) & exit 0";

TEST(daemon_process, start_and_stop_outcomes) {
    const struct {
        const char* script;
        bool detaches;
        bool catches_term;
        int code;  // exit code of the program, or of the daemon after stop(SIGTERM)
        const char* output;
    } rows[] = {
        {"echo 'usage: x' >&2; exit 0", false, false, 0, "usage: x"},
        {"echo 'FATAL: no device' >&2; exit 3", false, false, 3, "FATAL: no device"},
        {"echo on-stdout; exit 0", false, false, 0, "on-stdout"},
        {"kill -KILL $$", false, false, 128 + SIGKILL, ""},
        {kPolite, true, true, 0, "bye"},
        {"sleep 30 & exit 0", true, false, 128 + SIGTERM, ""},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.script);
        sim::daemon_process d;
        ASSERT_EQ(d.start(shell(r.script)), r.detaches);
        if (r.detaches) {
            ASSERT_GT(d.pid(), 0);
            EXPECT_TRUE(d.running());
            EXPECT_EQ(d.exit_code(), -1);
            EXPECT_EQ(d.wait_handler(SIGTERM, r.catches_term ? 5000ms : 200ms), r.catches_term);
            EXPECT_EQ(d.stop(SIGTERM), r.code);
        } else {
            EXPECT_EQ(d.pid(), -1);
            EXPECT_FALSE(d.running());
        }
        EXPECT_EQ(d.exit_code(), r.code);
        // Whatever the program wrote before it ended is there once start()/stop() return.
        EXPECT_NE(d.stderr_text().find(r.output), std::string::npos) << d.stderr_text();
    }
}

TEST(daemon_process, stop_gives_up_on_a_daemon_that_ignores_the_signal) {
    sim::daemon_process d;
    ASSERT_TRUE(d.start(shell("(trap '' TERM; echo ready >&2; while :; do sleep 0.05; done) &")));
    ASSERT_TRUE(d.wait_stderr("ready", 5000ms));
    const pid_t pid = d.pid();
    EXPECT_EQ(d.stop(SIGTERM, 300ms), -1);
    EXPECT_FALSE(d.running());
    EXPECT_EQ(d.exit_code(), 128 + SIGKILL);
    EXPECT_NE(::kill(pid, 0), 0) << "not reaped";
}

TEST(daemon_process, detached_program_gets_umask_environment_and_no_stray_descriptors) {
    // A descriptor of the test process without close-on-exec: the daemon must not inherit it.
    const std::string marker = "/run/harness-marker";
    std::ofstream(marker) << "x";
    unique_fd stray(::open(marker.c_str(), O_RDONLY));
    ASSERT_TRUE(stray.valid());
    ::setenv("HARNESS_INHERITED", "from-parent", 1);
    ::setenv("HARNESS_REPLACED", "old", 1);

    sim::daemon_options o = shell(
        "(echo \"umask=$(umask) inh=$HARNESS_INHERITED rep=$HARNESS_REPLACED add=$HARNESS_ADDED\""
        " >&2; exec sleep 30) & exit 0");
    o.umask = 077;
    o.env = {"HARNESS_REPLACED=new", "HARNESS_ADDED=yes"};
    std::vector<std::string> lines;
    o.on_stderr_line = [&lines](const std::string& l) { lines.push_back(l); };
    sim::daemon_process d;
    ASSERT_TRUE(d.start(o));
    ASSERT_TRUE(d.wait_stderr("umask=", 5000ms));
    const std::string expected = "umask=0077 inh=from-parent rep=new add=yes";
    EXPECT_NE(d.stderr_text().find(expected), std::string::npos) << d.stderr_text();

    std::vector<std::string> fds = d.open_fds();
    ASSERT_EQ(fds.size(), 3u) << ::testing::PrintToString(fds);
    EXPECT_EQ(fds[0], "/dev/null");
    EXPECT_EQ(fds[1], fds[2]) << "stdout and stderr share the capture pipe";
    EXPECT_EQ(fds[1].rfind("pipe:", 0), 0u) << fds[1];

    EXPECT_EQ(d.stop(SIGTERM), 128 + SIGTERM);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], expected);
    ::unsetenv("HARNESS_INHERITED");
    ::unsetenv("HARNESS_REPLACED");
}

// The daemon's side of link 1, held by the test: it reads what the client writes and writes
// what the client reads.
struct fake_daemon_side {
    std::string dir = "/run/cc-test";
    unique_fd lines;    // reads <dir>/nexo_wr.p
    unique_fd replies;  // writes <dir>/nexo_rd.p

    fake_daemon_side() {
        ::mkdir(dir.c_str(), 0755);
        ::mkfifo((dir + "/nexo_wr.p").c_str(), 0660);
        ::mkfifo((dir + "/nexo_rd.p").c_str(), 0660);
        open_lines();
        replies.reset(::open((dir + "/nexo_rd.p").c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
    }
    void open_lines() {
        lines.reset(::open((dir + "/nexo_wr.p").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    }
    void reply(const std::string& bytes) const {
        ASSERT_EQ(::write(replies.get(), bytes.data(), bytes.size()),
                  static_cast<ssize_t>(bytes.size()));
    }
    // What the client wrote so far; "<eof>" when it has closed its end.
    std::string received() const {
        std::string got;
        char buf[512];
        for (;;) {
            ssize_t n = ::read(lines.get(), buf, sizeof buf);
            if (n > 0) {
                got.append(buf, static_cast<size_t>(n));
            } else {
                return n == 0 ? got + "<eof>" : got;
            }
        }
    }
};

TEST(control_client, exchanges_lines_with_the_daemon_side) {
    fake_daemon_side fake;
    ASSERT_TRUE(fake.lines.valid() && fake.replies.valid());
    sim::control_client client(fake.dir);

    const struct {
        const char* line;
        const char* reply;   // written by the daemon side
        int delay_ms;        // before the reply is written (-1: before the request)
        const char* result;  // request()'s return
        const char* rest;    // what a following read() returns
    } rows[] = {
        {"GET A", "RGET A 1\n", 50, "RGET A 1\n", ""},
        {"GET A\n", "RGET A 2\n", -1, "RGET A 2\n", ""},
        {"GET B", "", 0, "", ""},
        {"GET C", "L1\nL2\n", 0, "L1\n", "L2\n"},
        {"GET D", "partial", 0, "partial", ""},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.line);
        if (r.delay_ms < 0) {
            fake.reply(r.reply);
        }
        std::thread late;
        if (r.delay_ms >= 0 && r.reply[0] != '\0') {
            late = std::thread([&fake, &r] {
                std::this_thread::sleep_for(std::chrono::milliseconds(r.delay_ms));
                fake.reply(r.reply);
            });
        }
        const auto t0 = std::chrono::steady_clock::now();
        std::string got = client.request(r.line, 300ms);
        const auto took = std::chrono::steady_clock::now() - t0;
        if (late.joinable()) {
            late.join();
        }
        EXPECT_EQ(got, r.result);
        // One line, one newline, whatever the caller passed.
        std::string line = r.line;
        EXPECT_EQ(fake.received(), line.back() == '\n' ? line : line + "\n");
        // A complete line returns at once; otherwise the whole timeout passes.
        bool complete = std::strchr(r.reply, '\n') != nullptr;
        EXPECT_EQ(took < 250ms, complete);
        EXPECT_EQ(client.read(50ms), r.rest);
    }

    // drain() throws away what nobody asked for.
    fake.reply("stale\n");
    client.drain();
    EXPECT_EQ(client.request("GET E", 100ms), "");
    EXPECT_EQ(fake.received(), "GET E\n");

    // hang_up() closes the write end: the daemon side sees end of file; the next line reopens.
    client.hang_up();
    EXPECT_EQ(fake.received(), "<eof>");
    fake.open_lines();
    client.write_raw("SET F 1\n");
    EXPECT_EQ(fake.received(), "SET F 1\n");

    // With the daemon side gone, writing must not kill us with SIGPIPE; the line is lost and the
    // client opens the pipe again once there is a reader.
    fake.lines.reset();
    client.write_raw("lost\n");
    fake.open_lines();
    client.write_raw("GET G\n");
    EXPECT_EQ(fake.received(), "GET G\n");
}

TEST(board, runs_the_real_daemon_with_peers_and_stops_it_cleanly) {
    sim::board b;
    ASSERT_TRUE(b.started()) << b.daemon().stderr_text();
    // The detached daemon holds its six pipes (the links have one of each direction).
    std::vector<std::string> fds = b.daemon().open_fds();
    for (const char* fifo : {"/run/ST2059_rd.p", "/run/ST2059_wr.p", "/run/nexo_wr.p",
                             "/run/nexo_rd.p", "/run/smpte2110r.p", "/run/smpte2110w.p"}) {
        EXPECT_NE(std::find(fds.begin(), fds.end(), fifo), fds.end())
            << fifo << " in " << ::testing::PrintToString(fds);
    }
    // A timing keyword goes through the daemon to the timing peer and its reply comes back.
    std::string reply = b.client().request("GET PTP_TIME");
    EXPECT_EQ(reply.rfind("RGET PTP_TIME ", 0), 0u) << reply;
    EXPECT_TRUE(b.timing().wait_for_line("GET PTP_TIME", 1000ms));
    // The board waited for the SIGTERM handler, so SIGTERM is a clean shutdown, not a kill.
    EXPECT_EQ(b.daemon().stop(SIGTERM), 0) << b.daemon().stderr_text();
}

TEST(nexo_sim, batch_modes_print_one_line_per_control_line) {
    char script[] = "/tmp/nexo-sim-script.XXXXXX";
    unique_fd fd(::mkstemp(script));
    ASSERT_TRUE(fd.valid());
    const std::string body = "# comment\n\nGET PTP_TIME\n:alert timing SYNC_FAULT\nGET PTP_TIME\n";
    ASSERT_EQ(::write(fd.get(), body.data(), body.size()), static_cast<ssize_t>(body.size()));
    fd.reset();

    const std::string sim_path = NEXO_SIM_PATH;
    const struct {
        std::vector<std::string> argv;
        int status;
        int lines;  // lines on stdout, each a reply to GET PTP_TIME
    } rows[] = {
        {{sim_path, "-c", "GET PTP_TIME", "-c", ":alert media SYNC_FAULT"}, 0, 1},
        {{sim_path, "--script", script}, 0, 2},
        {{"sh", "-c", "printf 'GET PTP_TIME\\nGET PTP_TIME\\n' | " + sim_path}, 0, 2},
        {{"env", "NEXO_BINARY=/bin/false", sim_path, "-c", "GET PTP_TIME"}, 1, 0},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.argv.back());
        std::string out;
        EXPECT_EQ(sim::run(r.argv, &out), r.status);
        std::istringstream in(out);
        int n = 0;
        for (std::string line; std::getline(in, line); ++n) {
            EXPECT_EQ(line.rfind("RGET PTP_TIME ", 0), 0u) << out;
        }
        EXPECT_EQ(n, r.lines) << out;
    }
    ::unlink(script);
}

}  // namespace
