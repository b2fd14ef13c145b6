// The daemon's spine, driven as its peers drive it: start-up and its exit codes, the pipes,
// routing of control lines, relays, pass-through of peer lines, alerts and shutdown.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <random>
#include <string>
#include <thread>

#include "board.h"
#include "daemon_process.h"
#include "fpga.h"
#include "peer.h"
#include "sandbox.h"

namespace nexo::sim {
namespace {

using namespace std::chrono_literals;
using act = peer_rule::action;

constexpr const char* kBanner =
    "nexo : 28/05/2020 : ATTENTION : LOADING OF DEFAULT CONFIG BYPASSED.\n";
constexpr const char* kPipes[] = {"/var/run/ST2059_rd.p",  "/var/run/ST2059_wr.p",
                                  "/var/run/nexo_wr.p",    "/var/run/nexo_rd.p",
                                  "/var/run/smpte2110r.p", "/var/run/smpte2110w.p"};

bool exists(const char* path) {
    struct stat st;
    return ::lstat(path, &st) == 0;
}

// Waits until the daemon sleeps in poll(): it has then finished what it was doing when it last
// woke, reopenings included (a pipe left hung up would not let it sleep).
bool wait_asleep_in_poll(const daemon_process& d, std::chrono::milliseconds timeout) {
    const std::string path = "/proc/" + std::to_string(d.pid()) + "/syscall";
    auto end = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        long nr = -1;  // "running" while it is not in a system call
        std::ifstream(path) >> nr;
#ifdef SYS_poll
        if (nr == SYS_poll) {
            return true;
        }
#endif
        if (nr == SYS_ppoll) {
            return true;
        }
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(5ms);
    }
}

// A started board, for the tests that need nothing done before the daemon starts.
struct on_board : testing::Test {
    board b;
    void SetUp() override { ASSERT_TRUE(b.started()) << b.daemon().stderr_text(); }
};
using relay = on_board;
using peer_lines = on_board;
using client = on_board;
using peers = on_board;
using alerts = on_board;
using robustness = on_board;

// --- Start-up ------------------------------------------------------------------------------

class start_options : public testing::TestWithParam<std::vector<std::string>> {};

TEST_P(start_options, detach_keep_stderr_and_serve) {
    board_options o;
    o.daemon.args = GetParam();
    o.daemon.umask = 077;  // the pipes are 0660 whatever the umask
    board b(o);
    ASSERT_TRUE(b.started()) << b.daemon().stderr_text();
    for (const char* p : kPipes) {
        struct stat st;
        ASSERT_EQ(::stat(p, &st), 0) << p;
        EXPECT_TRUE(S_ISFIFO(st.st_mode)) << p;
        EXPECT_EQ(st.st_mode & 07777, 0660u) << p;
    }
    EXPECT_TRUE(b.daemon().wait_stderr(kBanner, 2s));
    EXPECT_EQ(b.daemon().stderr_text(), kBanner);
    std::string r = b.client().request("GET PTP_TIME");
    EXPECT_TRUE(r.starts_with("RGET PTP_TIME ")) << r;
    // Alerts are logged whatever the options said.
    b.timing().send_alert("SYNC_FAULT");
    EXPECT_TRUE(b.daemon().wait_stderr("Received alert \"SYNC_FAULT\"\n", 2s));
    ASSERT_TRUE(b.daemon().wait_handler(SIGTERM, 2s));
    EXPECT_EQ(b.daemon().stop(SIGTERM), 0);
}

INSTANTIATE_TEST_SUITE_P(options, start_options,
                         testing::Values(std::vector<std::string>{},
                                         std::vector<std::string>{"-d", "-v"},
                                         std::vector<std::string>{"-f", "/no/such/file.cfg"},
                                         std::vector<std::string>{"-dvf", "/etc/nexo.cfg"}));

// Options that end the daemon at once exit 0 before any pipe exists; a missing device node or
// a missing eth1 exits 3 after the pipes are made.
struct quick_exit {
    std::vector<std::string> args;
    std::vector<std::string> missing_nodes;
    int code;
    bool diagnostic;
};

class start_refused : public testing::TestWithParam<quick_exit> {};

TEST_P(start_refused, exits_with_its_code) {
    const quick_exit& c = GetParam();
    if (c.args.empty() && c.missing_nodes.empty()) {
        ASSERT_EQ(ip({"link", "del", "eth1"}), 0);
    }
    fpga dev(c.missing_nodes);
    daemon_process d;
    daemon_options o;
    o.args = c.args;
    o.env = dev.preload_env();
    EXPECT_FALSE(d.start(o));
    EXPECT_EQ(d.exit_code(), c.code);
    for (const char* p : kPipes) {
        EXPECT_EQ(exists(p), c.code == 3) << p;
    }
    EXPECT_EQ(d.stderr_text().empty(), !c.diagnostic) << d.stderr_text();
}

INSTANTIATE_TEST_SUITE_P(options, start_refused,
                         testing::Values(quick_exit{{"-?"}, {}, 0, false},
                                         quick_exit{{"-d", "-h"}, {}, 0, false},
                                         quick_exit{{"-x"}, {}, 0, true},
                                         quick_exit{{"-f"}, {}, 0, true},
                                         quick_exit{{}, {}, 3, false},  // no eth1
                                         quick_exit{{}, {"/dev/zeb-ip-filter-0"}, 3, false},
                                         quick_exit{{}, {"/dev/axis2vid-2"}, 3, false},
                                         quick_exit{{}, {"/dev/rtp-vid-fmt-det-3"}, 3, false}));

TEST(start_up, uses_existing_fifos_and_discards_what_waits_in_them) {
    // A peer that came first: its FIFO exists, with a line the daemon must never see.
    ASSERT_EQ(::mkfifo("/var/run/ST2059_rd.p", 0600), 0);
    int w = ::open("/var/run/ST2059_rd.p", O_RDWR | O_NONBLOCK);
    ASSERT_GE(w, 0);
    ASSERT_EQ(::write(w, "RGET STALE 1\n", 13), 13);
    board b;
    ASSERT_TRUE(b.started());
    struct stat st;
    ASSERT_EQ(::stat("/var/run/ST2059_rd.p", &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);  // used as it was
    EXPECT_EQ(b.client().read(700ms), "");
    ::close(w);
}

TEST(start_up, without_eth1_address_still_runs) {
    ASSERT_EQ(ip({"addr", "flush", "dev", "eth1"}), 0);
    board b;
    ASSERT_TRUE(b.started()) << b.daemon().stderr_text();
    EXPECT_EQ(b.client().request("GET RX_IP_SRC 20:0 eth1"),
              "RGET RX_IP_SRC 20:0 eth1 U self 0 0\n");
}

TEST(shutdown, sigint_and_sigterm_end_the_loop_with_zero) {
    for (int sig : {SIGTERM, SIGINT}) {
        board b;
        ASSERT_TRUE(b.started());
        ASSERT_TRUE(b.daemon().wait_handler(sig, 2s));
        std::vector<std::string> fds = b.daemon().open_fds();
        int fifos = 0;
        for (const std::string& f : fds) {
            fifos += f.find(".p") != std::string::npos ? 1 : 0;
        }
        EXPECT_EQ(fifos, 6);
        // The daemon idles in poll; the signal ends it within that iteration.
        auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(b.daemon().stop(sig), 0) << b.daemon().stderr_text();
        EXPECT_LT(std::chrono::steady_clock::now() - t0, 1s);
    }
}

// --- Routing -------------------------------------------------------------------------------

struct route_case {
    const char* line;
    enum { timing, media, local, error } where;
};

class routing : public on_board, public testing::WithParamInterface<route_case> {};

TEST_P(routing, goes_to_its_link_unchanged) {
    const route_case& c = GetParam();
    std::string r = b.client().request(c.line);
    switch (c.where) {
        case route_case::timing:
            EXPECT_TRUE(b.timing().wait_for_line(c.line, 1s)) << c.line;
            EXPECT_TRUE(r.starts_with("R") || r == "ERROR\n") << r;
            EXPECT_TRUE(b.media().log().empty());
            break;
        case route_case::media:
            EXPECT_TRUE(b.media().wait_for_line(c.line, 1s)) << c.line;
            EXPECT_TRUE(b.timing().log().empty());
            break;
        case route_case::local:
            EXPECT_TRUE(r.starts_with("RGET ") || r.starts_with("RSET ")) << r;
            EXPECT_TRUE(b.timing().log().empty());
            EXPECT_TRUE(b.media().log().empty());
            break;
        case route_case::error:
            EXPECT_EQ(r, "ERROR\n") << c.line;
            EXPECT_TRUE(b.timing().log().empty());
            EXPECT_TRUE(b.media().log().empty());
            break;
    }
}

INSTANTIATE_TEST_SUITE_P(
    lines, routing,
    testing::Values(route_case{"GET PTP_TIME", route_case::timing},
                    route_case{"get ptp_time", route_case::timing},
                    route_case{"FOO PTP_TIME", route_case::timing},
                    route_case{"SET PSG_FRQ 2 30000 1001", route_case::timing},
                    route_case{"SET ST2110_DEC_CHAN_ENA 20:0 ON", route_case::media},
                    route_case{"GET\tst2110_dec_mc_opmode 20:0", route_case::media},
                    route_case{"GET RX_STR_ENA 20:0", route_case::local},
                    route_case{"GET ", route_case::error},
                    route_case{"GET NOTHING", route_case::error},
                    route_case{"PTP_TIME", route_case::error},
                    // Routed to the interpreter by case-insensitive prefix, refused there.
                    route_case{"GET rx_str_ena 20:0", route_case::error},
                    route_case{"GET RX_STR_ENA 20:9", route_case::error},
                    route_case{"SET RX_STR_ENA 20:0 on x", route_case::error}));

TEST_F(relay, passes_the_reply_back_with_a_newline) {
    b.timing().set_rule("2059_FRA", {.what = act::reply, .reply = "RGET 2059_FRA 25 1"});
    EXPECT_EQ(b.client().request("GET 2059_FRA"), "RGET 2059_FRA 25 1\n");
    b.media().set_rule("ST2110_DEC_CHANNELS", {.what = act::reply, .reply = "ERROR"});
    EXPECT_EQ(b.client().request("GET ST2110_DEC_CHANNELS"), "ERROR\n");
}

TEST_F(relay, late_reply_arrives_later_as_a_peer_line) {
    b.timing().set_rule("PTP_TIME",
                        {.what = act::reply, .reply = "RGET PTP_TIME 1 2", .delay = 800ms});
    EXPECT_EQ(b.client().request("GET PTP_TIME", 650ms), "");
    EXPECT_EQ(b.client().read(1500ms), "RGET PTP_TIME 1 2\n");
}

TEST_F(relay, silent_peer_leaves_the_client_without_answer) {
    b.media().set_rule("ST2110_DEC_RTP_STATS", {.what = act::silent});
    EXPECT_EQ(b.client().request("GET ST2110_DEC_RTP_STATS 20:0", 900ms), "");
    // The loop goes on.
    EXPECT_TRUE(b.client().request("GET PTP_TIME").starts_with("RGET PTP_TIME "));
}

TEST_F(peer_lines, over_long_line_is_dropped_without_a_reply) {
    // Nothing of either line is acted on: no alert, nothing for the client, no ERROR back.
    b.timing().send_line("ALRT 2059_FRA_CHANGED " + std::string(300, 'x'));
    b.timing().send_line("RGET AFTER 1");
    EXPECT_EQ(b.client().read(2s), "RGET AFTER 1\n");
    b.media().send_line("RGET SOMETHING " + std::string(300, 'y'));
    b.media().send_line("RGET AFTER 2");
    EXPECT_EQ(b.client().read(2s), "RGET AFTER 2\n");
    EXPECT_TRUE(b.timing().log().empty());
    EXPECT_TRUE(b.media().log().empty());
    EXPECT_EQ(b.daemon().stderr_text(), kBanner);
}

TEST_F(client, two_lines_are_both_handled_unless_the_first_is_an_error) {
    b.client().write_raw("GET RX_STR_ENA 20:0\nGET RX_STR_ENA 20:1\n");
    EXPECT_EQ(b.client().read(1s), "RGET RX_STR_ENA 20:0 OFF\n");
    EXPECT_EQ(b.client().read(1s), "RGET RX_STR_ENA 20:1 OFF\n");
    b.client().write_raw("GET NOTHING\nGET PTP_TIME\n");
    EXPECT_EQ(b.client().read(1s), "ERROR\n");
    EXPECT_EQ(b.client().read(700ms), "");
    EXPECT_TRUE(b.timing().log().empty());
}

TEST_F(client, writes_one_line_and_closes) {
    b.client().write_raw("GET PTP_TIME\n");
    b.client().hang_up();
    EXPECT_TRUE(b.client().read(1s).starts_with("RGET PTP_TIME "));
    // The pipe is reopened right after the reply; a writer that came in between would lose its
    // line to the reopening, so the next one waits for it.
    ASSERT_TRUE(wait_asleep_in_poll(b.daemon(), 5s));
    EXPECT_EQ(b.client().request("GET RX_STR_ENA 40:3"), "RGET RX_STR_ENA 40:3 OFF\n");
}

TEST_F(client, writes_several_lines_and_closes) {
    // Only the first line is handled; the rest goes with the reopening. The daemon is kept busy
    // in a relay to a silent peer meanwhile (500 ms), so that it finds lines and hang-up at once.
    b.timing().set_rule("PTP_TIME", {.what = act::silent});
    b.client().write_raw("GET PTP_TIME\n");
    ASSERT_TRUE(b.timing().wait_for_line("GET PTP_TIME", 1s));
    b.client().write_raw("GET RX_STR_ENA 20:0\nGET RX_STR_ENA 20:1\nGET RX_STR_ENA 20:2\n");
    b.client().hang_up();
    EXPECT_EQ(b.client().read(1500ms), "RGET RX_STR_ENA 20:0 OFF\n");
    EXPECT_EQ(b.client().read(700ms), "");
    // The next writer is served.
    EXPECT_EQ(b.client().request("GET RX_STR_ENA 40:3"), "RGET RX_STR_ENA 40:3 OFF\n");
}

TEST_F(client, over_long_line_gets_one_error_and_nothing_of_it_runs) {
    std::string longline = "GET PTP_TIME " + std::string(300, 'x');
    b.client().write_raw(longline.substr(0, 280));
    EXPECT_EQ(b.client().read(1s), "ERROR\n");
    b.client().write_raw(longline.substr(280) + "\n");
    EXPECT_EQ(b.client().read(700ms), "");
    EXPECT_TRUE(b.timing().log().empty());
    EXPECT_EQ(b.client().request("GET RX_STR_ENA 20:0"), "RGET RX_STR_ENA 20:0 OFF\n");
}

TEST_F(peers, hang_up_and_return) {
    b.timing().hang_up();
    // The daemon sees the hang-up, at the latest, together with the next control line, and
    // reopens the pipe before it sleeps again: once that line is answered, the peer may return.
    EXPECT_EQ(b.client().request("GET RX_STR_ENA 20:0"), "RGET RX_STR_ENA 20:0 OFF\n");
    b.timing().come_back();
    EXPECT_TRUE(b.client().request("GET PTP_TIME").starts_with("RGET PTP_TIME "));
}

// --- Alerts --------------------------------------------------------------------------------

TEST_F(alerts, known_alert_goes_to_the_media_transport_daemon_only) {
    b.timing().send_alert("2059_FRA_CHANGED");
    EXPECT_TRUE(b.media().wait_for_line("ALRT 2059_FRA_CHANGED", 1s));
    EXPECT_TRUE(b.daemon().wait_stderr("Received alert \"2059_FRA_CHANGED\"\n", 1s));
    b.media().send_alert("SYNC_FAULT 20:1");
    EXPECT_TRUE(b.media().wait_for_line("ALRT SYNC_FAULT 20:1", 1s));
    EXPECT_EQ(b.client().read(300ms), "");
}

TEST_F(alerts, unknown_alert_is_logged_and_dropped) {
    b.timing().send_alert("PTP_LOCK_STATE LOCKED");
    EXPECT_TRUE(b.daemon().wait_stderr("Received alert \"PTP_LOCK_STATE LOCKED\"\n", 1s));
    EXPECT_FALSE(
        b.media().wait_for([](const std::string& l) { return l.starts_with("ALRT"); }, 300ms));
    EXPECT_EQ(b.client().read(100ms), "");
}

TEST_F(alerts, deferred_during_an_exchange_run_once_after_it) {
    // The reply must reach the daemon within 200 ms of the last alert, but not so soon that it
    // shares a read with it: 75 ms leaves both sides a wide margin.
    b.media().set_rule("ST2110_DEC_NET_PARAMS",
                       {.delay = 75ms, .alert_before = "SYNC_FAULT", .alert_repeat = 3});
    EXPECT_EQ(b.client().request("SET RX_IP_DEST 20:0 eth1 r 239.1.1.1 0x3e8 96"),
              "RSET RX_IP_DEST 20:0 eth1 OK\n");
    // Deferred alerts run before the next line is read, so they all precede this request.
    EXPECT_TRUE(b.client().request("GET ST2110_DEC_MC_OPMODE 20:0").starts_with("RGET "));
    int forwarded = 0;
    bool after_request = false;
    bool seen_request = false;
    for (const std::string& l : b.media().log()) {
        if (l.starts_with("SET ST2110_DEC_NET_PARAMS")) {
            seen_request = true;
        }
        if (l == "ALRT SYNC_FAULT") {
            ++forwarded;
            after_request = seen_request;
        }
    }
    EXPECT_EQ(forwarded, 1) << testing::PrintToString(b.media().log()) << b.daemon().stderr_text();
    EXPECT_TRUE(after_request);
}

// --- Robustness ----------------------------------------------------------------------------

TEST_F(robustness, ten_thousand_mixed_lines_then_a_relay) {
    std::mt19937 rng(2110);
    const std::string good[] = {"GET RX_STR_ENA 20:0\n",
                                "GET PTP_TIME\n",
                                "GET NOTHING\n",
                                "SET RX_RECONS_DELAY 30:1 20000\n",
                                "GET RX_IP_DEST 20:0 eth1\n",
                                "SET ST2110_DEC_CHAN_ENA 20:0 ON\n",
                                "GET\n",
                                "\n",
                                "SET RX_IP_IF_ENA 20:0 eth1/1  eth1/0\n"};
    for (int i = 0; i < 10000; ++i) {
        std::string line;
        switch (rng() % 4) {
            case 0:
            case 1:
                line = good[rng() % std::size(good)];
                break;
            case 2: {  // binary
                size_t n = rng() % 80;
                for (size_t k = 0; k < n; ++k) {
                    line.push_back(static_cast<char>(rng() % 256));
                }
                line.push_back('\n');
                break;
            }
            default:  // over-long
                line = "GET PTP_TIME " + std::string(250 + rng() % 300, 'z') + "\n";
                break;
        }
        b.client().write_raw(line);
        if (i % 16 == 0) {
            b.client().drain();
        }
    }
    // Once a line written after them is answered, the daemon is through with all of them. An
    // error reply may discard that line with the rest of the queue: then it is written again.
    const std::string mark = "RGET RX_STR_ENA 40:3 OFF\n";
    bool marked = false;
    for (int i = 0; i < 20 && !marked; ++i) {
        b.client().write_raw("GET RX_STR_ENA 40:3\n");
        for (std::string got; !marked && !(got = b.client().read(2s)).empty();) {
            marked = got.find(mark) != std::string::npos;
        }
    }
    ASSERT_TRUE(marked);
    std::string r = b.client().request("GET PTP_TIME", 2s);
    EXPECT_TRUE(r.starts_with("RGET PTP_TIME ")) << r;
    ASSERT_TRUE(b.daemon().running());
    EXPECT_EQ(b.daemon().stop(SIGTERM, 10s), 0) << b.daemon().stderr_text().substr(0, 2000);
}

}  // namespace
}  // namespace nexo::sim
