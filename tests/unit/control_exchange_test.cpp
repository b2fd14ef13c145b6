// The control exchange against a stand-in daemon on real FIFOs in a private directory: the
// bytes it writes, what it returns and the stale reply it drops (nexoctl's tests cover the lock
// file). Also the FIFO creation the programs around the daemon share.
#include "control_exchange.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "fifo.h"
#include "scratch_dir.h"
#include "unique_fd.h"

namespace nexo::client {
namespace {

using std::chrono::milliseconds;

// A fresh directory with the control link's FIFOs, and the daemon's ends of them held open
// read-write. answer() answers the next line the way the daemon would, on a thread of its own.
struct stand_in {
    stand_in() {
        EXPECT_EQ(make_fifo(dir + "/" + kControlPipes.daemon_reads), 0);
        EXPECT_EQ(make_fifo(dir + "/" + kControlPipes.daemon_writes), 0);
        requests = open_fifo_rw(dir + "/" + kControlPipes.daemon_reads, O_NONBLOCK);
        replies = open_fifo_rw(dir + "/" + kControlPipes.daemon_writes, O_NONBLOCK);
    }
    ~stand_in() {
        if (daemon.joinable()) {
            daemon.join();
        }
    }

    // Answers the lines as they come, the k-th with replies[k], each once the whole line is in.
    void answer_each(std::vector<std::string> answers) {
        got.clear();
        daemon = std::thread([this, answers = std::move(answers)] {
            char buf[512];
            pollfd pfd{requests.get(), POLLIN, 0};
            for (const std::string& reply : answers) {
                while (std::count(got.begin(), got.end(), '\n') < &reply - answers.data() + 1 &&
                       ::poll(&pfd, 1, 5000) > 0) {
                    ssize_t n = ::read(requests.get(), buf, sizeof buf);
                    if (n > 0) {
                        got.append(buf, static_cast<size_t>(n));
                    }
                }
                (void)!::write(replies.get(), reply.data(), reply.size());
            }
        });
    }
    // Once a whole line has come (or 5 s have passed), writes reply unless it is null.
    void answer(const char* reply) { answer_each({reply != nullptr ? reply : ""}); }
    std::string received() {
        daemon.join();
        return got;
    }

    test::scratch_dir scratch;
    const std::string& dir = scratch.path;
    unique_fd requests;
    unique_fd replies;
    std::thread daemon;
    std::string got;
};

TEST(control_exchange, sends_one_line_and_returns_its_reply) {
    const struct {
        const char* line;
        const char* stale;   // already waiting in the reply pipe
        const char* answer;  // nullptr: the daemon stays silent
        int rc;
        const char* reply;
    } rows[] = {
        {"GET RX_STR_ENA 20:0", "", "RGET RX_STR_ENA 20:0 OFF\n", kReply,
         "RGET RX_STR_ENA 20:0 OFF"},
        // A relay's late reply left in the pipe is not taken for this line's.
        {"GET PTP_TIME", "RGET PTP_TIME 1 2\n", "RGET PTP_TIME 3 4\n", kReply, "RGET PTP_TIME 3 4"},
        {"GET NOTHING", "", "ERROR\n", kErrorReply, "ERROR"},
        {"GET SILENCE", "", nullptr, kNoReply, ""},
        // An empty line is a reply all the same.
        {"GET EMPTY", "", "\n", kReply, ""},
        // Only the first line of what comes is the reply.
        {"GET TWO", "", "RGET TWO 1\nRGET TWO 2\n", kReply, "RGET TWO 1"},
        // A peer's alert relayed before the reply is not the reply, nor is one alone.
        {"GET PTP_TIME", "", "ALRT 2059_FRA_CHANGED\nRGET PTP_TIME 3 4\n", kReply,
         "RGET PTP_TIME 3 4"},
        {"GET PTP_TIME", "", "ALRT 2059_FRA_CHANGED\n", kNoReply, ""},
        {"GET ALRTX", "", "ALRTX\n", kReply, "ALRTX"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.line);
        stand_in daemon;
        std::vector<std::string> said;
        // Where a reply comes, the timeout is one a loaded machine always meets; only the
        // silent cases wait for it to run out.
        const bool whole_reply = r.rc != kNoReply;
        control_exchange c(daemon.dir, milliseconds(whole_reply ? 10000 : 150),
                           [&said](const std::string& m) { said.push_back(m); });
        (void)!::write(daemon.replies.get(), r.stale, std::strlen(r.stale));
        daemon.answer(r.answer);
        std::string reply = "left over";
        EXPECT_EQ(c.exchange(r.line, &reply), r.rc);
        EXPECT_EQ(reply, r.reply);
        EXPECT_EQ(daemon.received(), std::string(r.line) + "\n");
        EXPECT_TRUE(said.empty()) << said.front();
    }
}

// The lock is the file at the lock path: once it is replaced, a client holding the new one keeps
// the exchange waiting, as it keeps every other client waiting.
TEST(control_exchange, locks_the_file_now_at_the_lock_path) {
    stand_in daemon;
    control_exchange c(daemon.dir, milliseconds(10000), [](const std::string&) {});
    std::string reply;
    daemon.answer("RGET A 1\n");
    ASSERT_EQ(c.exchange("GET A", &reply), kReply);
    daemon.received();

    const std::string lock = daemon.dir + "/" + kLockName;
    ASSERT_EQ(::unlink(lock.c_str()), 0);
    unique_fd other(::open(lock.c_str(), O_RDONLY | O_CREAT | O_EXCL, 0644));
    ASSERT_TRUE(other.valid());
    ASSERT_EQ(::flock(other.get(), LOCK_EX), 0);

    std::atomic<bool> done{false};
    daemon.answer("RGET B 1\n");
    std::thread client([&] {
        std::string got;
        EXPECT_EQ(c.exchange("GET B", &got), kReply);
        done = true;
    });
    std::this_thread::sleep_for(milliseconds(300));
    EXPECT_FALSE(done);  // waiting for the new lock, not served through the old one
    ::flock(other.get(), LOCK_UN);
    client.join();
    EXPECT_EQ(daemon.received(), "GET B\n");
}

// A session: the lines go over one opening of the request pipe, each written after the reply to
// the one before, the bytes the same as one exchange each; the lock is held throughout and the
// pipe hung up once, at the end.
TEST(control_exchange, session_keeps_one_opening_and_the_lock_for_its_lines) {
    stand_in daemon;
    const std::string request = daemon.dir + "/" + kControlPipes.daemon_reads;
    unique_fd watch(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    ASSERT_GE(::inotify_add_watch(watch.get(), request.c_str(), IN_OPEN | IN_CLOSE_WRITE), 0);
    std::vector<std::string> said;
    control_exchange c(daemon.dir, milliseconds(10000),
                       [&said](const std::string& m) { said.push_back(m); });

    ASSERT_EQ(c.begin_session(), kReply);
    daemon.answer_each({"RGET A 1\n", "ERROR\n", "ALRT X\nRGET C 3\n"});
    const struct {
        const char* line;
        int rc;
        const char* reply;
    } rows[] = {{"GET A", kReply, "RGET A 1"},
                {"SET B 2", kErrorReply, "ERROR"},
                {"GET C", kReply, "RGET C 3"}};
    for (const auto& r : rows) {
        std::string reply;
        EXPECT_EQ(c.exchange(r.line, &reply), r.rc) << r.line;
        EXPECT_EQ(reply, r.reply);
    }
    EXPECT_EQ(daemon.received(), "GET A\nSET B 2\nGET C\n");
    unique_fd other(::open((daemon.dir + "/" + kLockName).c_str(), O_RDONLY));
    ASSERT_TRUE(other.valid());
    EXPECT_NE(::flock(other.get(), LOCK_EX | LOCK_NB), 0);  // another client waits its turn
    c.end_session();
    EXPECT_EQ(::flock(other.get(), LOCK_EX | LOCK_NB), 0);

    int opens = 0;
    int hangups = 0;
    alignas(inotify_event) char buf[4096];
    for (ssize_t n; (n = ::read(watch.get(), buf, sizeof buf)) > 0;) {
        for (ssize_t at = 0; at < n;) {
            const auto* e = reinterpret_cast<const inotify_event*>(buf + at);
            opens += (e->mask & IN_OPEN) != 0;
            hangups += (e->mask & IN_CLOSE_WRITE) != 0;
            at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
        }
    }
    EXPECT_EQ(opens, 1);
    EXPECT_EQ(hangups, 1);
    EXPECT_TRUE(said.empty()) << said.front();
}

TEST(control_exchange, refuses_lines_it_cannot_send_whole) {
    stand_in daemon;
    std::vector<std::string> said;
    control_exchange c(daemon.dir, milliseconds(100),
                       [&said](const std::string& m) { said.push_back(m); });
    std::string reply;
    for (const std::string& line : {std::string("GET A\nGET B"), std::string(PIPE_BUF, 'X')}) {
        EXPECT_EQ(c.exchange(line, &reply), kFailure);
    }
    EXPECT_EQ(said.size(), 2u);
    char buf[16];
    EXPECT_EQ(::read(daemon.requests.get(), buf, sizeof buf), -1);  // nothing was written
}

TEST(fifo, make_fifo_creates_with_its_mode_and_leaves_what_is_there) {
    const test::scratch_dir dir;
    const std::string fifo = dir / "f.p";
    const std::string file = dir / "plain";
    unique_fd(::open(file.c_str(), O_CREAT | O_WRONLY, 0600));
    const mode_t old_mask = ::umask(077);
    EXPECT_EQ(make_fifo(fifo, 0660), 0);
    ::umask(old_mask);
    struct stat st {};
    ASSERT_EQ(::stat(fifo.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0660u);
    ::chmod(fifo.c_str(), 0600);
    EXPECT_EQ(make_fifo(fifo, 0660), 0);
    ASSERT_EQ(::stat(fifo.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(make_fifo(file, 0660), EEXIST);
}

}  // namespace
}  // namespace nexo::client
