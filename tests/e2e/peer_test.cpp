// The simulated peer daemons, driven from the daemon's side of real FIFOs in the sandbox's /run.
#include "peer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "unique_fd.h"

namespace nexo::sim {
namespace {

using namespace std::chrono_literals;
using std::chrono::milliseconds;
using steady = std::chrono::steady_clock;

// A started peer and the daemon's end of its link in the sandbox's private /run, opened as the
// daemon opens it: the read pipe read-only and non-blocking (so it sees the peer hang up), the
// write pipe read-write.
struct link {
    explicit link(peer_kind kind, const std::string& dir = "/run") : peer(kind, dir) {
        peer.start();
        bool timing = kind == peer_kind::timing;
        rd.reset(::open((dir + (timing ? "/ST2059_rd.p" : "/smpte2110r.p")).c_str(),
                        O_RDONLY | O_NONBLOCK | O_CLOEXEC));
        wr.reset(::open((dir + (timing ? "/ST2059_wr.p" : "/smpte2110w.p")).c_str(),
                        O_RDWR | O_NONBLOCK | O_CLOEXEC));
    }

    void send(const std::string& line) {
        std::string bytes = line + "\n";
        ASSERT_EQ(::write(wr.get(), bytes.data(), bytes.size()),
                  static_cast<ssize_t>(bytes.size()));
    }

    // What one read() returns once something arrives (the daemon reads a reply this way), or
    // "" after the timeout.
    std::string read_once(milliseconds timeout) {
        pollfd pfd{rd.get(), POLLIN, 0};
        if (::poll(&pfd, 1, static_cast<int>(timeout.count())) <= 0 ||
            (pfd.revents & POLLIN) == 0) {
            return "";
        }
        char buf[4096];
        ssize_t n = ::read(rd.get(), buf, sizeof buf);
        return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
    }

    // Every read until the pipe has been quiet for `quiet` (the first may take `first`).
    std::vector<std::string> reads(milliseconds first, milliseconds quiet) {
        std::vector<std::string> all;
        for (std::string got; !(got = read_once(first)).empty(); first = quiet) {
            all.push_back(got);
        }
        return all;
    }

    peer_sim peer;
    unique_fd rd;
    unique_fd wr;
};

TEST(peer_sim, answers_each_request_with_exactly_one_line_and_reads_state_back) {
    struct row {
        peer_kind kind;
        const char* request;
        const char* reply;  // the exact bytes of the only read; "": no answer at all
    };
    const peer_kind T = peer_kind::timing;
    const peer_kind M = peer_kind::media;
    const row rows[] = {
        {T, "GET 2059_FRA", "RGET 2059_FRA 30000 1001\n"},
        {T, "SET 2059_FRA 25 1", "RSET 2059_FRA 25 1 OK\n"},
        {T, "GET 2059_FRA", "RGET 2059_FRA 25 1\n"},
        {T, "SET PSG_FRQ 2 30000", "ERROR\n"},
        {T, "GET ST2110_DEC_MC_OPMODE 20:0", "ERROR\n"},  // the other peer's keyword
        {M, "SET ST2110_DEC_MC_OPMODE 20:0 TIMED_ALIGN",
         "RSET ST2110_DEC_MC_OPMODE 20:0 TIMED_ALIGN OK\n"},
        {M, "SET ST2110_DEC_MC_OPMODE 20:0 FAST", "ERROR\n"},
        {M, "GET ST2110_DEC_MC_OPMODE 20:0", "RGET ST2110_DEC_MC_OPMODE 20:0 TIMED_ALIGN\n"},
        {M, "SET ST2110_DEC_PLAYOUT_DELAY 20:2 -40", "RSET ST2110_DEC_PLAYOUT_DELAY 20:2 -40 OK\n"},
        {M, "GET ST2110_DEC_PLAYOUT_DELAY 20:2", "RGET ST2110_DEC_PLAYOUT_DELAY 20:2 -40\n"},
        // Not requests, or not of the table: matched exactly and case-sensitively.
        {M, "GET ST2110_DEC_MC_OPMODE_X 20:0", "ERROR\n"},
        // An alert from the daemon is never answered.
        {M, "ALRT 2059_FRA_CHANGED", ""},
    };
    link timing(T);
    link media(M);
    for (const row& r : rows) {
        SCOPED_TRACE(r.request);
        link& l = r.kind == T ? timing : media;
        l.send(r.request);
        bool answered = *r.reply != '\0';
        EXPECT_EQ(l.reads(answered ? 1000ms : 100ms, 40ms),
                  answered ? std::vector<std::string>{r.reply} : std::vector<std::string>{});
    }
    EXPECT_EQ(media.peer.log().back(), "ALRT 2059_FRA_CHANGED");
}

// The rule the daemon's tests lean on most: alerts as the request arrives, each in a read of
// its own, then the reply late, for as many requests as the rule says and for its keyword only.
TEST(peer_sim, a_rule_scripts_alerts_and_a_late_reply) {
    link l(peer_kind::timing);
    l.peer.set_rule("2059_FRA", {.what = peer_rule::action::error,
                                 .delay = 150ms,
                                 .alert_before = "2059_FRA_CHANGED 25 1",
                                 .alert_repeat = 2,
                                 .times = 1});
    l.send("GET PTP_LOCK_STATE");
    EXPECT_EQ(l.read_once(1000ms), "RGET PTP_LOCK_STATE LOCKED\n");
    auto sent = steady::now();
    l.send("GET 2059_FRA");
    EXPECT_EQ(l.read_once(1000ms), "ALRT 2059_FRA_CHANGED 25 1\n");
    EXPECT_EQ(l.read_once(1000ms), "ALRT 2059_FRA_CHANGED 25 1\n");
    EXPECT_EQ(l.read_once(1000ms), "ERROR\n");
    EXPECT_GE(steady::now() - sent, 150ms);
    l.send("GET 2059_FRA");
    EXPECT_EQ(l.reads(1000ms, 100ms), std::vector<std::string>{"RGET 2059_FRA 30000 1001\n"});
}

}  // namespace
}  // namespace nexo::sim
