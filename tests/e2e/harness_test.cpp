// The harness as the end-to-end tests rely on it: starting and reaping a program that detaches,
// what the detached program inherits, and nexo-sim running the README's demo script. The whole
// board with the real daemon is exercised by the daemon's own end-to-end tests.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "daemon_process.h"
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

TEST(daemon_process, start_and_stop_outcomes) {
    const struct {
        const char* script;
        bool detaches;
        int code;  // exit code of the program, or of the daemon after stop(SIGTERM)
        const char* output;
    } rows[] = {
        {"echo 'FATAL: no device' >&2; exit 3", false, 3, "FATAL: no device"},
        {"echo on-stdout; exit 0", false, 0, "on-stdout"},
        {"kill -KILL $$", false, 128 + SIGKILL, ""},
        // Detached, stopping cleanly on SIGTERM as the daemon does, or killed by it.
        {"(trap 'echo bye >&2; exit 0' TERM; while :; do sleep 0.05; done) & exit 0", true, 0,
         "bye"},
        {"sleep 30 & exit 0", true, 128 + SIGTERM, ""},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.script);
        sim::daemon_process d;
        ASSERT_EQ(d.start(shell(r.script)), r.detaches);
        EXPECT_EQ(d.running(), r.detaches);
        if (r.detaches) {
            EXPECT_EQ(d.exit_code(), -1);
            const bool catches_term = r.code == 0;
            EXPECT_EQ(d.wait_handler(SIGTERM, catches_term ? 5000ms : 200ms), catches_term);
            EXPECT_EQ(d.stop(SIGTERM), r.code);
        }
        EXPECT_EQ(d.exit_code(), r.code);
        // Whatever the program wrote before it ended is there once start()/stop() return.
        EXPECT_NE(d.stderr_text().find(r.output), std::string::npos) << d.stderr_text();
    }
}

TEST(daemon_process, detached_program_gets_umask_environment_and_no_stray_descriptors) {
    // A descriptor of the test process without close-on-exec: the daemon must not inherit it.
    std::ofstream("/run/harness-marker") << "x";
    unique_fd stray(::open("/run/harness-marker", O_RDONLY));
    ASSERT_TRUE(stray.valid());
    ::setenv("HARNESS_INHERITED", "from-parent", 1);

    sim::daemon_options o = shell(
        "(echo \"umask=$(umask) $HARNESS_INHERITED $HARNESS_ADDED\" >&2;"
        " while :; do sleep 1; done) &");
    o.umask = 077;
    o.env = {"HARNESS_ADDED=added"};
    sim::daemon_process d;
    ASSERT_TRUE(d.start(o));
    EXPECT_TRUE(d.wait_stderr("umask=0077 from-parent added", 5000ms)) << d.stderr_text();
    // The shell holds a copy of its stderr for a moment around the redirected echo.
    std::vector<std::string> fds = d.open_fds();
    for (int i = 0; i < 40 && fds.size() != 3; ++i) {
        std::this_thread::sleep_for(50ms);
        fds = d.open_fds();
    }
    ASSERT_EQ(fds.size(), 3u) << ::testing::PrintToString(fds);
    EXPECT_EQ(fds[0], "/dev/null");
    EXPECT_EQ(fds[1], fds[2]) << "stdout and stderr share the capture pipe";
    EXPECT_EQ(fds[1].rfind("pipe:", 0), 0u) << fds[1];
    ::unsetenv("HARNESS_INHERITED");
}

// The README's scripted demo: a relayed GET answered, an unroutable line refused, and an alert
// from the timing simulator that reaches the media-transport simulator through the daemon.
TEST(nexo_sim, scripted_demo) {
    std::string out;
    const std::string cmd = std::string(NEXO_SIM_PATH) + " --script " + NEXO_DEMO_SCRIPT +
                            " 2>/tmp/nexo-demo.err." + std::to_string(::getpid());
    ASSERT_EQ(sim::run({"sh", "-c", cmd}, &out), 0);
    std::string err = sim::read_file("/tmp/nexo-demo.err." + std::to_string(::getpid()));
    EXPECT_EQ(out.rfind("ERROR\nRGET PTP_TIME ", 0), 0u) << out;
    EXPECT_NE(out.find("\nRGET RX_STR_ENA 20:0 OFF\n"), std::string::npos) << out;
    EXPECT_NE(err.find("ALRT 2059_FRA_CHANGED"), std::string::npos) << err;
}

}  // namespace
