// The simulated peer daemons, driven from the daemon's side of real FIFOs in the sandbox's /run.
#include "peer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
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
        rd_path = dir + (timing ? "/ST2059_rd.p" : "/smpte2110r.p");
        reopen();
        wr.reset(::open((dir + (timing ? "/ST2059_wr.p" : "/smpte2110w.p")).c_str(),
                        O_RDWR | O_NONBLOCK | O_CLOEXEC));
    }

    void reopen() { rd.reset(::open(rd_path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)); }

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
    std::string rd_path;
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
        {T, "SET PSG_FRQ 2 60000 1001", "RSET PSG_FRQ 2 60000 1001 OK\n"},
        {T, "GET PSG_FRQ 2", "RGET PSG_FRQ 2 60000 1001\n"},
        {T, "GET PSG_FRQ 3", "RGET PSG_FRQ 3 30000 1001\n"},
        {T, "SET PSG_FRQ 2 30000", "ERROR\n"},
        {T, "GET ST2110_DEC_MC_OPMODE 20:0", "ERROR\n"},  // the other peer's keyword
        {M, "SET ST2110_DEC_MC_OPMODE 20:0 TIMED_ALIGN",
         "RSET ST2110_DEC_MC_OPMODE 20:0 TIMED_ALIGN OK\n"},
        {M, "SET ST2110_DEC_MC_OPMODE 20:0 FAST", "ERROR\n"},
        {M, "GET ST2110_DEC_MC_OPMODE 20:0", "RGET ST2110_DEC_MC_OPMODE 20:0 TIMED_ALIGN\n"},
        {M, "GET ST2110_DEC_MC_OPMODE 20:1", "RGET ST2110_DEC_MC_OPMODE 20:1 PASSTHROUGH\n"},
        {M, "GET ST2110_ENC_NET_PARAMS 20:0",
         "RGET ST2110_ENC_NET_PARAMS 20:0 R 239.1.1.1 5000 96 1260\n"},
        {M, "SET ST2110_DEC_PLAYOUT_DELAY 20:2 -40", "RSET ST2110_DEC_PLAYOUT_DELAY 20:2 -40 OK\n"},
        {M, "GET ST2110_DEC_PLAYOUT_DELAY 20:2", "RGET ST2110_DEC_PLAYOUT_DELAY 20:2 -40\n"},
        // Not requests, or not of the table: matched exactly and case-sensitively.
        {M, "", "ERROR\n"},
        {M, "GET ST2110_DEC_MC_OPMODE_X 20:0", "ERROR\n"},
        {M, "\x01\xff GET", "ERROR\n"},
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

TEST(peer_sim, rules_script_the_replies) {
    struct scripted {
        const char* name;
        peer_rule rule;
        std::vector<const char*> requests;  // sent one after the other
        std::vector<const char*> reads;     // each line is expected in a read of its own
        milliseconds not_before{0};         // the first read comes no earlier
    };
    using act = peer_rule::action;
    const char* normal = "RGET 2059_FRA 30000 1001\n";
    const scripted cases[] = {
        {"reply",
         {.what = act::reply, .reply = "RGET 2059_FRA 60000 1001"},
         {"GET 2059_FRA"},
         {"RGET 2059_FRA 60000 1001\n"}},
        {"error", {.what = act::error}, {"SET 2059_FRA 25 1"}, {"ERROR\n"}},
        {"silent", {.what = act::silent}, {"GET 2059_FRA"}, {}},
        {"delay", {.delay = 150ms}, {"GET 2059_FRA"}, {normal}, 150ms},
        {"alert before, each line its own read",
         {.alert_before = "2059_FRA_CHANGED 25 1", .alert_repeat = 2},
         {"GET 2059_FRA"},
         {"ALRT 2059_FRA_CHANGED 25 1\n", "ALRT 2059_FRA_CHANGED 25 1\n", normal}},
        {"alert then silence",
         {.what = act::silent, .alert_before = "SYNC_FAULT"},
         {"GET 2059_FRA"},
         {"ALRT SYNC_FAULT\n"}},
        {"times",
         {.what = act::error, .times = 2},
         {"GET 2059_FRA", "GET 2059_FRA", "GET 2059_FRA"},
         {"ERROR\n", "ERROR\n", normal}},
    };
    link l(peer_kind::timing);
    for (const scripted& c : cases) {
        SCOPED_TRACE(c.name);
        l.peer.clear_rules();
        l.peer.set_rule("2059_FRA", c.rule);
        // Another keyword is not affected.
        l.send("GET PTP_LOCK_STATE");
        EXPECT_EQ(l.read_once(1000ms), "RGET PTP_LOCK_STATE LOCKED\n");

        std::vector<std::string> reads;
        auto sent = steady::now();
        for (const char* request : c.requests) {
            l.send(request);
            // Each request's lines, before the next request goes out; the first may be late.
            for (const std::string& got : l.reads(400ms, 100ms)) {
                reads.push_back(got);
                EXPECT_GE(steady::now() - sent, c.not_before);
            }
        }
        EXPECT_EQ(reads, std::vector<std::string>(c.reads.begin(), c.reads.end()));
    }
}

TEST(peer_sim, hang_up_is_seen_by_the_daemon_and_come_back_answers_again) {
    link l(peer_kind::media);
    l.peer.hang_up();
    pollfd pfd{l.rd.get(), POLLIN, 0};
    ASSERT_EQ(::poll(&pfd, 1, 1000), 1);
    EXPECT_NE(pfd.revents & POLLHUP, 0);
    // The daemon closes and reopens its read pipe; with no writer it waits quietly.
    l.reopen();
    pfd = {l.rd.get(), POLLIN, 0};
    EXPECT_EQ(::poll(&pfd, 1, 100), 0);

    // Requests are still read, but their replies are lost.
    l.send("GET ST2110_DEC_STREAM_SYNC 20:1");
    EXPECT_TRUE(l.peer.wait_for_line("GET ST2110_DEC_STREAM_SYNC 20:1", 1000ms));
    std::this_thread::sleep_for(50ms);  // the peer drops the reply just after logging the line
    l.peer.come_back();
    EXPECT_EQ(l.read_once(150ms), "");
    l.send("GET ST2110_DEC_STREAM_SYNC 20:2");
    EXPECT_EQ(l.read_once(1000ms), "RGET ST2110_DEC_STREAM_SYNC 20:2 1\n");
}

}  // namespace
}  // namespace nexo::sim
