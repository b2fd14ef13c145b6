// nexoctl against a stand-in daemon on FIFOs in a scratch directory (--pipes): the bytes it
// writes, what it prints and its exit status.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "unique_fd.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;
using nexo::unique_fd;

class scratch_dir {
  public:
    scratch_dir() {
        char name[] = "/tmp/nexoctl-XXXXXX";
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

// The daemon's side of the control link, kept to what a client can tell apart: it opens its
// pipes as the daemon does, answers "R" + the line ("ERROR" for a line starting ERR, nothing
// for SILENT, the answer 300 ms late for SLOW), and when the client closes its end it reopens
// the pipe and discards what is queued, as the daemon does.
class fake_daemon {
  public:
    explicit fake_daemon(const std::string& dir)
        : requests_path_(dir + "/nexo_wr.p"), replies_path_(dir + "/nexo_rd.p") {
        ::mkfifo(requests_path_.c_str(), 0660);
        ::mkfifo(replies_path_.c_str(), 0660);
        requests_.reset(::open(requests_path_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
        replies_.reset(::open(replies_path_.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
        thread_ = std::thread([this] { run(); });
    }
    ~fake_daemon() {
        stop_ = true;
        thread_.join();
    }

    // Every read() the daemon made, as it came.
    std::vector<std::string> reads() {
        std::lock_guard lk(mu_);
        return reads_;
    }

  private:
    void run() {
        std::string partial;
        while (!stop_) {
            pollfd pfd{requests_.get(), POLLIN, 0};
            if (::poll(&pfd, 1, 10) <= 0) {
                continue;
            }
            if ((pfd.revents & POLLIN) != 0) {
                char buf[512];
                ssize_t n = ::read(requests_.get(), buf, sizeof buf);
                if (n > 0) {
                    std::string got(buf, static_cast<size_t>(n));
                    {
                        std::lock_guard lk(mu_);
                        reads_.push_back(got);
                    }
                    partial += got;
                    for (size_t nl; (nl = partial.find('\n')) != std::string::npos;) {
                        answer(partial.substr(0, nl));
                        partial.erase(0, nl + 1);
                    }
                }
            }
            if ((pfd.revents & POLLHUP) != 0) {
                requests_.reset(::open(requests_path_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
                char buf[512];
                while (::read(requests_.get(), buf, sizeof buf) > 0) {
                }
                partial.clear();
            }
        }
    }

    void answer(const std::string& line) {
        if (line == "SILENT") {
            return;
        }
        if (line == "SLOW") {
            std::this_thread::sleep_for(300ms);
        }
        std::string reply = line.starts_with("ERR") ? "ERROR\n" : "R" + line + "\n";
        (void)!::write(replies_.get(), reply.data(), reply.size());
    }

    std::string requests_path_;
    std::string replies_path_;
    unique_fd requests_;
    unique_fd replies_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex mu_;
    std::vector<std::string> reads_;
};

struct outcome {
    int status = -1;
    std::string out;
    std::string err;
};

// A running nexoctl with its standard input, output and error on pipes.
class nexoctl {
  public:
    nexoctl(const std::vector<std::string>& args, const std::string& input) {
        int in[2], out[2], err[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 ||
            ::pipe2(err, O_CLOEXEC) != 0) {
            return;
        }
        unique_fd in_rd(in[0]), in_wr(in[1]), out_wr(out[1]), err_wr(err[1]);
        out_.reset(out[0]);
        err_.reset(err[0]);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, in_rd.get(), 0);
        posix_spawn_file_actions_adddup2(&fa, out_wr.get(), 1);
        posix_spawn_file_actions_adddup2(&fa, err_wr.get(), 2);
        std::vector<std::string> argv_s{NEXOCTL_PATH};
        argv_s.insert(argv_s.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& a : argv_s) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        if (::posix_spawn(&pid_, NEXOCTL_PATH, &fa, nullptr, argv.data(), environ) != 0) {
            pid_ = -1;
        }
        posix_spawn_file_actions_destroy(&fa);
        (void)!::write(in_wr.get(), input.data(), input.size());
    }

    outcome wait() {
        outcome o;
        o.out = drain(out_);
        o.err = drain(err_);
        int st = 0;
        if (pid_ > 0 && ::waitpid(pid_, &st, 0) == pid_ && WIFEXITED(st)) {
            o.status = WEXITSTATUS(st);
        }
        return o;
    }

  private:
    static std::string drain(unique_fd& fd) {
        std::string s;
        char buf[1024];
        ssize_t n;
        while ((n = ::read(fd.get(), buf, sizeof buf)) > 0) {
            s.append(buf, static_cast<size_t>(n));
        }
        return s;
    }

    pid_t pid_ = -1;
    unique_fd out_;
    unique_fd err_;
};

outcome run(const std::string& dir, std::vector<std::string> args, const std::string& input = "") {
    args.insert(args.begin(), {"--pipes", dir});
    return nexoctl(args, input).wait();
}

TEST(nexoctl, prints_the_reply_and_exits_by_it) {
    struct row {
        std::vector<std::string> args;
        std::string input;  // standard input (never a terminal here)
        std::string out;
        int status;
        std::string received;  // the daemon's last read; "" not checked
    };
    const row rows[] = {
        {{"GET", "RX_IP_DEST", "20:0"}, "", "RGET RX_IP_DEST 20:0\n", 0, "GET RX_IP_DEST 20:0\n"},
        // Words after the first one that is not an option are the line, dashes and all.
        {{"--timeout", "300", "SET", "RX_TX_TS_DELAY", "20:0", "-5"},
         "",
         "RSET RX_TX_TS_DELAY 20:0 -5\n",
         0,
         "SET RX_TX_TS_DELAY 20:0 -5\n"},
        {{"ERR", "--help"}, "", "ERROR\n", 1, "ERR --help\n"},
        {{"--timeout", "100", "SILENT"}, "", "", 2, "SILENT\n"},
        // Lines from standard input: one output line each, empty where no reply came; the
        // status is the worst.
        {{"--timeout", "100"},
         "GET A\n\n  SILENT \nERR\r\nGET B\n",
         "RGET A\n\nERROR\nRGET B\n",
         2,
         ""},
        {{}, "", "", 0, ""},
        {{"--timeout", "0", "GET", "A"}, "", "", 3, ""},
        {{"--timeout", "x", "GET", "A"}, "", "", 3, ""},
        {{"--bogus", "GET", "A"}, "", "", 3, ""},
    };
    scratch_dir dir;
    fake_daemon daemon(dir.path());
    for (const row& r : rows) {
        std::string name;
        for (const auto& a : r.args) {
            name += a + " ";
        }
        SCOPED_TRACE(name + "<<< " + r.input);
        outcome o = run(dir.path(), r.args, r.input);
        EXPECT_EQ(o.status, r.status) << o.err;
        EXPECT_EQ(o.out, r.out);
        if (!r.received.empty()) {
            ASSERT_FALSE(daemon.reads().empty());
            EXPECT_EQ(daemon.reads().back(), r.received);
        }
    }
}

TEST(nexoctl, discards_a_late_reply_before_the_next_line) {
    scratch_dir dir;
    fake_daemon daemon(dir.path());
    EXPECT_EQ(run(dir.path(), {"--timeout", "100", "SLOW"}).status, 2);
    std::this_thread::sleep_for(400ms);  // "RSLOW" now waits in the reply pipe
    outcome o = run(dir.path(), {"GET", "A"});
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.out, "RGET A\n");
}

TEST(nexoctl, fails_when_no_daemon_reads_the_pipe) {
    scratch_dir dir;
    ASSERT_EQ(::mkfifo((dir.path() + "/nexo_wr.p").c_str(), 0660), 0);
    ASSERT_EQ(::mkfifo((dir.path() + "/nexo_rd.p").c_str(), 0660), 0);
    for (const std::string& input : {std::string(), std::string("GET A\n")}) {
        outcome o =
            run(dir.path(),
                input.empty() ? std::vector<std::string>{"GET", "A"} : std::vector<std::string>{},
                input);
        EXPECT_EQ(o.status, 3);
        EXPECT_EQ(o.out, "");
        EXPECT_NE(o.err.find("not running"), std::string::npos) << o.err;
    }
}

TEST(nexoctl, concurrent_clients_each_get_their_own_reply) {
    scratch_dir dir;
    fake_daemon daemon(dir.path());
    constexpr int kClients = 6;
    std::vector<std::unique_ptr<nexoctl>> clients;
    for (int i = 0; i < kClients; ++i) {
        clients.push_back(std::make_unique<nexoctl>(
            std::vector<std::string>{"--pipes", dir.path(), "--timeout", "2000", "GET",
                                     "C" + std::to_string(i)},
            ""));
    }
    for (int i = 0; i < kClients; ++i) {
        outcome o = clients[i]->wait();
        EXPECT_EQ(o.status, 0) << i << ": " << o.err;
        EXPECT_EQ(o.out, "RGET C" + std::to_string(i) + "\n");
    }
}

}  // namespace
