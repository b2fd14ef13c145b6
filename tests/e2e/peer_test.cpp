// The simulated peer daemons, driven from the daemon's side of real FIFOs in a scratch directory.
#include "peer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "unique_fd.h"

namespace nexo::sim {
namespace {

using namespace std::chrono_literals;
using std::chrono::milliseconds;
using steady = std::chrono::steady_clock;

// A directory for one test's pipes, removed with everything in it afterwards.
class scratch_dir {
  public:
    scratch_dir() {
        char name[] = "/tmp/nexo-peer-XXXXXX";
        path_ = ::mkdtemp(name) != nullptr ? name : "";
    }
    ~scratch_dir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

// The daemon's end of a link, opened as the daemon opens it: its read pipe read-only and
// non-blocking (so it sees the peer hang up), its write pipe read-write and non-blocking.
class daemon_end {
  public:
    daemon_end(const std::string& dir, peer_kind kind) {
        bool timing = kind == peer_kind::timing;
        rd_path_ = dir + (timing ? "/ST2059_rd.p" : "/smpte2110r.p");
        wr_path_ = dir + (timing ? "/ST2059_wr.p" : "/smpte2110w.p");
        reopen();
        wr_.reset(::open(wr_path_.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
    }

    bool ok() const { return rd_.valid() && wr_.valid(); }
    int read_fd() const { return rd_.get(); }

    void reopen() { rd_.reset(::open(rd_path_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)); }

    void send(const std::string& bytes) {
        ASSERT_EQ(::write(wr_.get(), bytes.data(), bytes.size()),
                  static_cast<ssize_t>(bytes.size()));
    }

    // What one read() returns once something arrives (the daemon's exchange reads a reply this
    // way), or "" after the timeout.
    std::string read_once(milliseconds timeout) {
        pollfd pfd{rd_.get(), POLLIN, 0};
        if (::poll(&pfd, 1, static_cast<int>(timeout.count())) <= 0 ||
            (pfd.revents & POLLIN) == 0) {
            return "";
        }
        char buf[4096];
        ssize_t n = ::read(rd_.get(), buf, sizeof buf);
        return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
    }

    // Everything that arrives within the window.
    std::string collect(milliseconds window) {
        std::string all;
        auto deadline = steady::now() + window;
        while (steady::now() < deadline) {
            auto left = std::chrono::ceil<milliseconds>(deadline - steady::now());
            all += read_once(left);
        }
        return all;
    }

    // Sends a request and returns what the first read brings back.
    std::string ask(const std::string& request, milliseconds timeout = 1000ms) {
        send(request + "\n");
        return read_once(timeout);
    }

  private:
    std::string rd_path_;
    std::string wr_path_;
    unique_fd rd_;
    unique_fd wr_;
};

// A started peer and the daemon's end of its link; the peer creates the pipes.
struct linked_peer {
    linked_peer(const std::string& dir, peer_kind kind)
        : peer(kind, dir), daemon(started(peer, dir), kind) {}
    static const std::string& started(peer_sim& p, const std::string& dir) {
        p.start();
        return dir;
    }
    peer_sim peer;
    daemon_end daemon;
};

TEST(peer_sim, answers_each_request_with_one_line) {
    struct row {
        peer_kind kind;
        const char* request;
        const char* reply;  // the exact bytes; nullptr: no answer at all
    };
    const peer_kind T = peer_kind::timing;
    const peer_kind M = peer_kind::media;
    const row rows[] = {
        {T, "GET 2059_FRA", "RGET 2059_FRA 30000 1001\n"},
        {T, "GET PTP_LOCK_STATE", "RGET PTP_LOCK_STATE LOCKED\n"},
        {T, "SET PSG_FRQ 2 30000 1001", "RSET PSG_FRQ 2 30000 1001 OK\n"},
        {T, "SET RCG_FRQ 255 48000 1", "RSET RCG_FRQ 255 48000 1 OK\n"},
        {T, "SET TCG_DROP_FRAME 0 S", "RSET TCG_DROP_FRAME 0 S OK\n"},
        {T, "SET TCG_RESYNC 1", "RSET TCG_RESYNC 1 OK\n"},
        {T, "SET PSG_FRQ 2 30000", "ERROR\n"},
        {T, "SET 2059_FRA 25 0", "ERROR\n"},
        {T, "GET ST2110_DEC_MC_OPMODE 20:0", "ERROR\n"},  // the other peer's keyword
        {M, "GET ST2110_DEC_MC_OPMODE 20:0", "RGET ST2110_DEC_MC_OPMODE 20:0 PASSTHROUGH\n"},
        {M, "SET ST2110_DEC_MC_OPMODE 20:0 MCT_ALIGN",
         "RSET ST2110_DEC_MC_OPMODE 20:0 MCT_ALIGN OK\n"},
        {M, "SET ST2110_DEC_MC_OPMODE 20:0 FAST", "ERROR\n"},
        {M, "SET ST2110_DEC_MC_OPMODE 20:0", "ERROR\n"},
        {M, "GET ST2110_ENC_DEF_TR_OFFSET YCR422 10 P 1920 1080 59.94",
         "RGET ST2110_ENC_DEF_TR_OFFSET 1000\n"},
        {M, "GET ST2110_ENC_DEF_TR_OFFSET 20:0", "RGET ST2110_ENC_DEF_TR_OFFSET 20:0 1000\n"},
        {M, "GET ST2110_DEC_STREAM_SYNC 20:0", "RGET ST2110_DEC_STREAM_SYNC 20:0 1\n"},
        {M, "GET ST2110_DEC_PLAYOUT_DELAY 20:0", "RGET ST2110_DEC_PLAYOUT_DELAY 20:0 1000\n"},
        {M, "GET ST2110_DEC_MEDIA_DELAY_STATS 20:0",
         "RGET ST2110_DEC_MEDIA_DELAY_STATS 20:0 120 80 160 40 1000\n"},
        {M, "GET ST2110_ENC_NET_PARAMS 20:0",
         "RGET ST2110_ENC_NET_PARAMS 20:0 R 239.1.1.1 5000 96 1260\n"},
        {M, "GET ST2110_21_VID_PKT_SCHED 20:0", "RGET ST2110_21_VID_PKT_SCHED 20:0 GAPPED\n"},
        {M, "SET ST2110_DEC_CHAN_ENA 20:0 ON", "RSET ST2110_DEC_CHAN_ENA 20:0 ON OK\n"},
        {M, "SET ST2110_DEC_PLAYOUT_DELAY 20:0 -5", "RSET ST2110_DEC_PLAYOUT_DELAY 20:0 -5 OK\n"},
        {M, "SET ST2110_DEC_VID_FMT 20:1 YCR422 10 I 720 576 25",
         "RSET ST2110_DEC_VID_FMT 20:1 YCR422 10 I 720 576 25 OK\n"},
        {M, "GET 2059_FRA", "ERROR\n"},
        // Not requests, or not of the table: matched exactly and case-sensitively.
        {M, "", "ERROR\n"},
        {M, "HELLO", "ERROR\n"},
        {M, "GET", "ERROR\n"},
        {M, "GET NOTHING", "ERROR\n"},
        {M, "get ST2110_DEC_MC_OPMODE 20:0", "ERROR\n"},
        {M, "GET st2110_dec_mc_opmode 20:0", "ERROR\n"},
        {M, "GET ST2110_DEC_MC_OPMODE_X 20:0", "ERROR\n"},
        {M, "PUT ST2110_DEC_MC_OPMODE 20:0", "ERROR\n"},
        {M, "\x01\xff GET", "ERROR\n"},
        // An alert from the daemon is never answered.
        {M, "ALRT 2059_FRA_CHANGED", nullptr},
        {T, "ALRT SYNC_FAULT", nullptr},
    };
    scratch_dir dir;
    linked_peer timing(dir.path(), T);
    linked_peer media(dir.path(), M);
    ASSERT_TRUE(timing.daemon.ok() && media.daemon.ok());

    for (const row& r : rows) {
        SCOPED_TRACE(r.request);
        daemon_end& d = r.kind == T ? timing.daemon : media.daemon;
        d.send(std::string(r.request) + "\n");
        std::string got = r.reply != nullptr ? d.read_once(1000ms) : "";
        // Listening a little longer shows that nothing more came.
        got += d.collect(r.reply != nullptr ? 40ms : 100ms);
        EXPECT_EQ(got, r.reply != nullptr ? r.reply : "");
    }
    std::vector<std::string> log = media.peer.log();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back(), "ALRT 2059_FRA_CHANGED");
}

TEST(peer_sim, answers_every_keyword_and_reads_it_back) {
    // The address words a request of the keyword carries: a channel for the media-transport
    // daemon, a generator for the timing daemon's generator keywords.
    auto address_of = [](peer_kind kind, const std::string& keyword) -> std::string {
        if (kind == peer_kind::media) {
            return " 20:1";
        }
        for (const char* g : {"PSG_FRQ", "RCG_FRQ", "TCG_PSG", "TCG_DROP_FRAME", "TCG_RESYNC"}) {
            if (keyword == g) {
                return " 1";
            }
        }
        return "";
    };
    scratch_dir dir;
    for (peer_kind kind : {peer_kind::timing, peer_kind::media}) {
        linked_peer link(dir.path(), kind);
        ASSERT_TRUE(link.daemon.ok());
        const auto& keywords = peer_sim::keywords(kind);
        EXPECT_EQ(keywords.size(), kind == peer_kind::timing ? 72u : 42u);
        for (const std::string& kw : keywords) {
            SCOPED_TRACE(kw);
            std::string head = kw + address_of(kind, kw);
            std::string got = link.daemon.ask("GET " + head);
            ASSERT_TRUE(got.starts_with("RGET " + head + " ")) << got;
            ASSERT_TRUE(got.ends_with("\n") && got.find('\n') == got.size() - 1) << got;
            std::string fields = got.substr(5 + head.size() + 1);
            fields.pop_back();

            // Setting what was read is accepted, and reads back.
            EXPECT_EQ(link.daemon.ask("SET " + head + " " + fields),
                      "RSET " + head + " " + fields + " OK\n");
            if (kw != "PTP_TIME") {
                EXPECT_EQ(link.daemon.ask("GET " + head), got);
            }
        }
    }
}

TEST(peer_sim, state_reads_back_per_channel_and_generator) {
    struct step {
        peer_kind kind;
        const char* request;
        const char* reply;
    };
    const peer_kind T = peer_kind::timing;
    const peer_kind M = peer_kind::media;
    const step steps[] = {
        {M, "SET ST2110_DEC_MC_OPMODE 20:0 TIMED_ALIGN",
         "RSET ST2110_DEC_MC_OPMODE 20:0 TIMED_ALIGN OK\n"},
        {M, "GET ST2110_DEC_MC_OPMODE 20:0", "RGET ST2110_DEC_MC_OPMODE 20:0 TIMED_ALIGN\n"},
        {M, "GET ST2110_DEC_MC_OPMODE 20:1", "RGET ST2110_DEC_MC_OPMODE 20:1 PASSTHROUGH\n"},
        {M, "SET ST2110_DEC_MC_OPMODE 20:0 BOGUS", "ERROR\n"},
        {M, "GET ST2110_DEC_MC_OPMODE 20:0", "RGET ST2110_DEC_MC_OPMODE 20:0 TIMED_ALIGN\n"},
        {M, "SET ST2110_DEC_PLAYOUT_DELAY 20:2 -40", "RSET ST2110_DEC_PLAYOUT_DELAY 20:2 -40 OK\n"},
        {M, "GET ST2110_DEC_PLAYOUT_DELAY 20:2", "RGET ST2110_DEC_PLAYOUT_DELAY 20:2 -40\n"},
        {T, "GET 2059_FRA", "RGET 2059_FRA 30000 1001\n"},
        {T, "SET 2059_FRA 25 1", "RSET 2059_FRA 25 1 OK\n"},
        {T, "GET 2059_FRA", "RGET 2059_FRA 25 1\n"},
        {T, "SET PSG_FRQ 2 60000 1001", "RSET PSG_FRQ 2 60000 1001 OK\n"},
        {T, "GET PSG_FRQ 2", "RGET PSG_FRQ 2 60000 1001\n"},
        {T, "GET PSG_FRQ 3", "RGET PSG_FRQ 3 30000 1001\n"},
    };
    scratch_dir dir;
    linked_peer timing(dir.path(), T);
    linked_peer media(dir.path(), M);
    for (const step& s : steps) {
        SCOPED_TRACE(s.request);
        EXPECT_EQ((s.kind == T ? timing : media).daemon.ask(s.request), s.reply);
    }
}

TEST(peer_sim, ptp_time_is_the_clock) {
    scratch_dir dir;
    linked_peer link(dir.path(), peer_kind::timing);
    std::string got = link.daemon.ask("GET PTP_TIME");
    long long s = 0;
    long ns = -1;
    char end = 0;
    ASSERT_EQ(std::sscanf(got.c_str(), "RGET PTP_TIME %lld %ld%c", &s, &ns, &end), 3) << got;
    EXPECT_EQ(end, '\n');
    EXPECT_NEAR(static_cast<double>(s), static_cast<double>(std::time(nullptr)), 5.0);
    EXPECT_TRUE(ns >= 0 && ns < 1000000000) << ns;
}

TEST(peer_sim, rules_script_the_replies) {
    struct scripted {
        const char* name;
        peer_rule rule;
        std::vector<const char*> requests;  // sent one after the other
        // What each read() brings, in order: every line is expected in a read of its own.
        std::vector<const char*> reads;
        milliseconds not_before{0};  // the first read comes no earlier
    };
    using act = peer_rule::action;
    const scripted cases[] = {
        {"reply",
         {.what = act::reply, .reply = "RGET 2059_FRA 60000 1001"},
         {"GET 2059_FRA"},
         {"RGET 2059_FRA 60000 1001\n"}},
        {"error", {.what = act::error}, {"SET 2059_FRA 25 1"}, {"ERROR\n"}},
        {"silent", {.what = act::silent}, {"GET 2059_FRA"}, {}},
        {"delay", {.delay = 150ms}, {"GET 2059_FRA"}, {"RGET 2059_FRA 30000 1001\n"}, 150ms},
        {"alert before, each line its own read",
         {.alert_before = "2059_FRA_CHANGED 25 1", .alert_repeat = 2},
         {"GET 2059_FRA"},
         {"ALRT 2059_FRA_CHANGED 25 1\n", "ALRT 2059_FRA_CHANGED 25 1\n",
          "RGET 2059_FRA 30000 1001\n"}},
        {"alert then silence",
         {.what = act::silent, .alert_before = "SYNC_FAULT"},
         {"GET 2059_FRA"},
         {"ALRT SYNC_FAULT\n"}},
        {"times",
         {.what = act::error, .times = 2},
         {"GET 2059_FRA", "GET 2059_FRA", "GET 2059_FRA"},
         {"ERROR\n", "ERROR\n", "RGET 2059_FRA 30000 1001\n"}},
        {"times zero never applies",
         {.what = act::error, .times = 0},
         {"GET 2059_FRA"},
         {"RGET 2059_FRA 30000 1001\n"}},
    };
    scratch_dir dir;
    linked_peer link(dir.path(), peer_kind::timing);
    for (const scripted& c : cases) {
        SCOPED_TRACE(c.name);
        link.peer.clear_rules();
        link.peer.set_rule("2059_FRA", c.rule);
        // Another keyword is not affected.
        EXPECT_EQ(link.daemon.ask("GET PTP_LOCK_STATE"), "RGET PTP_LOCK_STATE LOCKED\n");

        std::vector<std::string> reads;
        auto sent = steady::now();
        steady::time_point first{};
        for (const char* request : c.requests) {
            link.daemon.send(std::string(request) + "\n");
            // Each request's lines, before the next request goes out; the first may be late.
            milliseconds quiet = 400ms;
            for (std::string got; !(got = link.daemon.read_once(quiet)).empty(); quiet = 100ms) {
                if (reads.empty()) {
                    first = steady::now();
                }
                reads.push_back(got);
            }
        }
        EXPECT_EQ(reads, std::vector<std::string>(c.reads.begin(), c.reads.end()));
        if (!reads.empty()) {
            EXPECT_GE(first - sent, c.not_before);
        }
    }
}

TEST(peer_sim, delayed_reply_holds_back_later_replies_but_not_reading) {
    scratch_dir dir;
    linked_peer link(dir.path(), peer_kind::media);
    link.peer.set_rule("ST2110_DEC_CHAN_ENA", {.delay = 300ms});
    auto sent = steady::now();
    link.daemon.send("SET ST2110_DEC_CHAN_ENA 20:0 ON\n");
    link.daemon.send("GET ST2110_DEC_STREAM_SYNC 20:0\n");
    // The second request is read at once, though its reply waits behind the first.
    EXPECT_TRUE(link.peer.wait_for_line("GET ST2110_DEC_STREAM_SYNC 20:0", 200ms));
    EXPECT_EQ(link.daemon.read_once(1000ms), "RSET ST2110_DEC_CHAN_ENA 20:0 ON OK\n");
    EXPECT_GE(steady::now() - sent, 300ms);
    EXPECT_EQ(link.daemon.read_once(1000ms), "RGET ST2110_DEC_STREAM_SYNC 20:0 1\n");
}

TEST(peer_sim, lines_are_split_on_newlines_whatever_the_reads) {
    scratch_dir dir;
    linked_peer link(dir.path(), peer_kind::media);
    std::vector<std::string> seen;
    link.peer.on_line([&seen](const std::string& line) { seen.push_back(line); });

    // Two requests in one write: two replies.
    link.daemon.send("GET ST2110_DEC_CHAN_ENA 20:0\nGET ST2110_DEC_CHAN_ENA 30:1\n");
    EXPECT_EQ(link.daemon.collect(300ms),
              "RGET ST2110_DEC_CHAN_ENA 20:0 OFF\nRGET ST2110_DEC_CHAN_ENA 30:1 OFF\n");
    // One request over three writes: one reply, once the newline has come.
    link.daemon.send("GET ST2110_DEC_");
    link.daemon.send("CHAN_ENA 40");
    EXPECT_EQ(link.daemon.read_once(100ms), "");
    link.daemon.send(":2\n");
    EXPECT_EQ(link.daemon.read_once(1000ms), "RGET ST2110_DEC_CHAN_ENA 40:2 OFF\n");

    const std::vector<std::string> expected = {
        "GET ST2110_DEC_CHAN_ENA 20:0",
        "GET ST2110_DEC_CHAN_ENA 30:1",
        "GET ST2110_DEC_CHAN_ENA 40:2",
    };
    EXPECT_EQ(link.peer.log(), expected);
    link.peer.stop();  // the observer's vector is read below
    EXPECT_EQ(seen, expected);
}

TEST(peer_sim, sends_alerts_and_raw_lines) {
    scratch_dir dir;
    linked_peer link(dir.path(), peer_kind::timing);
    link.peer.send_alert("2059_TAF_CHANGED");
    EXPECT_EQ(link.daemon.read_once(1000ms), "ALRT 2059_TAF_CHANGED\n");
    link.peer.send_line("RGET PTP_LOCK_STATE UNLOCKED\n");
    EXPECT_EQ(link.daemon.read_once(1000ms), "RGET PTP_LOCK_STATE UNLOCKED\n");
    // Two lines passed together reach the daemon in one read.
    link.peer.send_line("ALRT SYNC_FAULT\nRGET 2059_FRA 25 1");
    EXPECT_EQ(link.daemon.read_once(1000ms), "ALRT SYNC_FAULT\nRGET 2059_FRA 25 1\n");
}

TEST(peer_sim, hang_up_is_seen_by_the_daemon_and_come_back_answers_again) {
    scratch_dir dir;
    linked_peer link(dir.path(), peer_kind::media);
    EXPECT_EQ(link.daemon.ask("GET ST2110_DEC_STREAM_SYNC 20:0"),
              "RGET ST2110_DEC_STREAM_SYNC 20:0 1\n");

    link.peer.hang_up();
    pollfd pfd{link.daemon.read_fd(), POLLIN, 0};
    ASSERT_EQ(::poll(&pfd, 1, 1000), 1);
    EXPECT_NE(pfd.revents & POLLHUP, 0);
    // The daemon closes and reopens its read pipe; with no writer it waits quietly.
    link.daemon.reopen();
    pfd = {link.daemon.read_fd(), POLLIN, 0};
    EXPECT_EQ(::poll(&pfd, 1, 100), 0);

    // Requests are still read, but their replies are lost.
    link.daemon.send("GET ST2110_DEC_STREAM_SYNC 20:1\n");
    EXPECT_TRUE(link.peer.wait_for_line("GET ST2110_DEC_STREAM_SYNC 20:1", 1000ms));
    link.peer.come_back();
    EXPECT_EQ(link.daemon.read_once(150ms), "");
    EXPECT_EQ(link.daemon.ask("GET ST2110_DEC_STREAM_SYNC 20:2"),
              "RGET ST2110_DEC_STREAM_SYNC 20:2 1\n");
}

TEST(peer_sim, creates_missing_fifos_0660_and_takes_existing_ones) {
    enum class before { nothing, fifo_0600, regular_file };
    struct row {
        const char* name;
        before existing;
        bool starts;
        mode_t mode;  // of the daemon's read pipe afterwards
    };
    const row rows[] = {
        {"created despite umask 077", before::nothing, true, 0660},
        {"existing FIFO used as it is", before::fifo_0600, true, 0600},
        {"not a FIFO", before::regular_file, false, 0},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        scratch_dir dir;
        const std::string rd = dir.path() + "/ST2059_rd.p";
        if (r.existing == before::fifo_0600) {
            ASSERT_EQ(::mkfifo(rd.c_str(), 0600), 0);
        } else if (r.existing == before::regular_file) {
            unique_fd f(::open(rd.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
            ASSERT_TRUE(f.valid());
        }
        peer_sim peer(peer_kind::timing, dir.path());
        mode_t old = ::umask(077);
        bool started = true;
        try {
            peer.start();
        } catch (const std::system_error&) {
            started = false;
        }
        ::umask(old);
        EXPECT_EQ(started, r.starts);
        if (!started) {
            continue;
        }
        for (const std::string& path : {rd, dir.path() + "/ST2059_wr.p"}) {
            struct stat st {};
            ASSERT_EQ(::stat(path.c_str(), &st), 0) << path;
            EXPECT_TRUE(S_ISFIFO(st.st_mode)) << path;
            EXPECT_EQ(st.st_mode & 0777, path == rd ? r.mode : 0660) << path;
        }
        daemon_end d(dir.path(), peer_kind::timing);
        EXPECT_EQ(d.ask("GET PTP_LOCK_STATE"), "RGET PTP_LOCK_STATE LOCKED\n");
    }
}

TEST(peer_sim, stops_promptly_with_a_reply_pending) {
    scratch_dir dir;
    linked_peer link(dir.path(), peer_kind::timing);
    link.peer.set_rule("2059_FRA", {.delay = 10s});
    link.daemon.send("GET 2059_FRA\n");
    ASSERT_TRUE(link.peer.wait_for_line("GET 2059_FRA", 1000ms));
    auto t0 = steady::now();
    link.peer.stop();
    EXPECT_LT(steady::now() - t0, 200ms);
    EXPECT_EQ(link.daemon.read_once(100ms), "");

    // And it starts again on the same pipes.
    link.peer.start();
    EXPECT_EQ(link.daemon.ask("GET PTP_LOCK_STATE"), "RGET PTP_LOCK_STATE LOCKED\n");
}

}  // namespace
}  // namespace nexo::sim
