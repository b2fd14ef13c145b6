// nexoctl against a stand-in daemon on FIFOs in the sandbox's private /run (--pipes): the bytes
// it writes, what it prints and its exit status.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "unique_fd.h"

namespace {

using nexo::unique_fd;

const std::string kCtl = std::string(NEXOCTL_PATH) + " --pipes /run ";

struct outcome {
    int status = -1;
    std::string out, err;
    std::vector<std::string> reads;  // every read() the daemon made, as it came
};

// The daemon's side of the control link (or only the FIFOs, with no daemon running), both ends
// held open read-write so that a client's hang-up is not seen. While a command runs it answers
// each line with "R" + the line ("ERROR" for a line starting ERR, nothing for SILENT).
struct fake_daemon {
    explicit fake_daemon(bool running = true) {
        ::mkfifo("/run/nexo_wr.p", 0660);
        ::mkfifo("/run/nexo_rd.p", 0660);
        if (running) {
            requests.reset(::open("/run/nexo_wr.p", O_RDWR | O_NONBLOCK | O_CLOEXEC));
            replies.reset(::open("/run/nexo_rd.p", O_RDWR | O_NONBLOCK | O_CLOEXEC));
        }
    }

    // Runs a shell command with `input` on its standard input (a file, never a terminal).
    outcome run(const std::string& cmd, const std::string& input = "") {
        std::ofstream("/run/ctl-in") << input;
        outcome o;
        FILE* p = ::popen((cmd + " </run/ctl-in 2>/run/ctl-err").c_str(), "r");
        pollfd fds[2] = {{p != nullptr ? ::fileno(p) : -1, POLLIN, 0}, {requests.get(), POLLIN, 0}};
        char buf[512];
        std::string partial;
        while (p != nullptr && ::poll(fds, 2, -1) > 0) {
            ssize_t n = 0;
            if ((fds[1].revents & POLLIN) != 0 && (n = ::read(fds[1].fd, buf, sizeof buf)) > 0) {
                o.reads.emplace_back(buf, static_cast<size_t>(n));
                partial += o.reads.back();
            }
            for (size_t nl; (nl = partial.find('\n')) != std::string::npos;) {
                std::string line = partial.substr(0, nl);
                partial.erase(0, nl + 1);
                if (line != "SILENT") {
                    std::string reply = line.starts_with("ERR") ? "ERROR\n" : "R" + line + "\n";
                    (void)!::write(replies.get(), reply.data(), reply.size());
                }
            }
            if ((fds[0].revents & (POLLIN | POLLHUP)) != 0) {
                if ((n = ::read(fds[0].fd, buf, sizeof buf)) <= 0) {
                    break;
                }
                o.out.append(buf, static_cast<size_t>(n));
            }
        }
        if (int st = p != nullptr ? ::pclose(p) : -1; WIFEXITED(st)) {
            o.status = WEXITSTATUS(st);
        }
        std::getline(std::ifstream("/run/ctl-err"), o.err, '\0');
        return o;
    }

    unique_fd requests;
    unique_fd replies;
};

TEST(nexoctl, prints_the_reply_and_exits_by_it) {
    const struct {
        std::string args;
        std::string input;
        std::string out;
        int status;
        std::vector<std::string> reads;
    } rows[] = {
        {"GET RX_IP_DEST 20:0", "", "RGET RX_IP_DEST 20:0\n", 0, {"GET RX_IP_DEST 20:0\n"}},
        // Words after the first one that is not an option are the line, dashes and all.
        {"--timeout 300 SET RX_TX_TS_DELAY 20:0 -5",
         "",
         "RSET RX_TX_TS_DELAY 20:0 -5\n",
         0,
         {"SET RX_TX_TS_DELAY 20:0 -5\n"}},
        {"ERR --help", "", "ERROR\n", 1, {"ERR --help\n"}},
        {"--timeout 100 SILENT", "", "", 2, {"SILENT\n"}},
        // Lines from standard input, trimmed, each in one write: one output line each, empty
        // where no reply came; the status is the worst.
        {"--timeout 100",
         "GET A\n\n  SILENT \nERR\r\nGET B\n",
         "RGET A\n\nERROR\nRGET B\n",
         2,
         {"GET A\n", "SILENT\n", "ERR\n", "GET B\n"}},
        {"", "", "", 0, {}},
        {"--timeout 0 GET A", "", "", 3, {}},
        {"--bogus GET A", "", "", 3, {}},
    };
    fake_daemon daemon;
    for (const auto& r : rows) {
        SCOPED_TRACE(r.args + " <<< " + r.input);
        outcome o = daemon.run(kCtl + r.args, r.input);
        EXPECT_EQ(o.status, r.status) << o.err;
        EXPECT_EQ(o.out, r.out);
        EXPECT_EQ(o.reads, r.reads);
    }
}

TEST(nexoctl, fails_when_no_daemon_reads_the_pipe) {
    fake_daemon none(false);
    for (const outcome& o : {none.run(kCtl + "GET A"), none.run(kCtl, "GET A\n")}) {
        EXPECT_EQ(o.status, 3);
        EXPECT_EQ(o.out, "");
        EXPECT_NE(o.err.find("not running"), std::string::npos) << o.err;
    }
}

// Whatever is found at the lock file's path, nexoctl neither follows a link nor changes a mode:
// what is not a regular file is refused with a warning, and the line still goes out.
TEST(nexoctl, lock_file_is_never_followed_nor_changed) {
    constexpr const char* kLock = "/run/nexoctl.lock";
    constexpr const char* kTarget = "/run/secret";
    const struct {
        const char* plant;  // shell that puts something at the lock path beforehand
        bool refused;
        mode_t lock_mode;  // of the file at the lock path afterwards (0: not a regular file)
    } rows[] = {
        {"true", false, 0644},  // nothing: created 0644 although the umask is 077
        {": >/run/nexoctl.lock", false, 0600},
        {"ln -s /run/secret /run/nexoctl.lock", true, 0},
        {"ln -s /run/none /run/nexoctl.lock", true, 0},
        {"mkfifo /run/nexoctl.lock", true, 0},
        {"mkdir /run/nexoctl.lock", true, 0},
    };
    fake_daemon daemon;
    for (const auto& r : rows) {
        SCOPED_TRACE(r.plant);
        // The target and a planted file are made 0600 by the umask; nexoctl runs only if
        // planting worked.
        outcome o =
            daemon.run("umask 077 && rm -rf /run/nexoctl.lock /run/secret && : >/run/secret && " +
                       std::string(r.plant) + " && " + kCtl + "GET A");
        EXPECT_EQ(o.status, 0) << o.err;
        EXPECT_EQ(o.out, "RGET A\n");
        EXPECT_EQ(o.err.find("without serialising clients") != std::string::npos, r.refused)
            << o.err;
        struct stat st {};
        ASSERT_EQ(::lstat(kLock, &st), 0);
        EXPECT_EQ(S_ISREG(st.st_mode) ? st.st_mode & 07777 : 0, r.lock_mode);
        ASSERT_EQ(::stat(kTarget, &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0600u);
        EXPECT_EQ(::access("/run/none", F_OK), -1);  // nothing created through the link
    }
    ::unlink(kLock);
    ::rmdir(kLock);
    ::unlink(kTarget);
}

TEST(nexoctl, concurrent_clients_each_get_their_own_reply) {
    fake_daemon daemon;
    // Each client checks its own reply and status; only mismatches are printed.
    outcome o =
        daemon.run("for c in C0 C1 C2 C3 C4 C5; do (r=$(" + kCtl + "--timeout 2000 GET $c)" +
                   " && [ \"$r\" = \"RGET $c\" ] || echo \"$c: $? $r\") & done; wait");
    EXPECT_EQ(o.out, "") << o.err;
}

}  // namespace
