// SET PTP_MASTER_ENA and the external master-mode program: a stand-in takes its place inside
// the sandbox's mount namespace and records how it was started.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <string>

#include "board.h"
#include "control_client.h"
#include "daemon_process.h"
#include "sandbox.h"

namespace nexo::sim {
namespace {

constexpr const char* kStubDir = "/run/master-mode-stub";
constexpr const char* kRecord = "/run/master-mode.record";
constexpr const char* kStatus = "/run/master-mode.status";

// Writes the number of its arguments and each argument on a line of its own, after a pause
// that makes a daemon which does not wait for it answer before the record exists, and exits
// with the status kept in kStatus.
constexpr const char* kStub =
    "#!/bin/sh\n"
    "sleep 0.1\n"
    "{ echo \"$#\"; for a in \"$@\"; do echo \"[$a]\"; done; } >> /run/master-mode.record\n"
    "exit \"$(cat /run/master-mode.status)\"\n";

void write_text(const std::string& path, const std::string& text, mode_t mode = 0644) {
    std::ofstream(path, std::ios::trunc) << text;
    ::chmod(path.c_str(), mode);
}

// Shows the stand-in at /usr/bin/set_master_mode, over a read-only overlay of /usr/bin so that
// everything else there (the stand-in's own shell among it) stays as it is.
class master_mode : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(in_sandbox());
        ::mkdir(kStubDir, 0755);
        write_text(std::string(kStubDir) + "/set_master_mode", kStub, 0755);
        write_text(kStatus, "0\n");
        std::string opts = std::string("lowerdir=") + kStubDir + ":/usr/bin";
        ASSERT_EQ(::mount("overlay", "/usr/bin", "overlay", MS_RDONLY, opts.c_str()), 0)
            << std::strerror(errno);
        mounted_ = true;
    }
    void TearDown() override {
        if (mounted_) {
            ::umount2("/usr/bin", MNT_DETACH);
        }
        ::unlink(kRecord);
    }
    static std::string record() { return read_file(kRecord); }

  private:
    bool mounted_ = false;
};

struct master_case {
    const char* line;
    int status;          // the stand-in's exit status
    const char* reply;   // the daemon's answer
    const char* record;  // what the stand-in recorded
    char flag;           // GET PTP_MASTER_ENA afterwards
};

class master_mode_cases : public master_mode, public testing::WithParamInterface<master_case> {};

// The program always runs, with the line's character as its one argument, before the character
// is judged; only its exit status 0 and a character 0 or 1 make the command succeed. Shell
// metacharacters reach it unchanged: no expansion, no backgrounding, no command separator.
TEST_P(master_mode_cases, runs_the_program_with_one_argument) {
    const master_case& c = GetParam();
    write_text(kStatus, std::to_string(c.status) + "\n");
    board b;
    ASSERT_TRUE(b.started()) << b.daemon().stderr_text();
    EXPECT_EQ(b.client().request(c.line, std::chrono::seconds(3)), c.reply);
    EXPECT_EQ(record(), c.record);
    EXPECT_EQ(b.client().request("GET PTP_MASTER_ENA"),
              std::string("RGET PTP_MASTER_ENA ") + c.flag + "\n");
}

INSTANTIATE_TEST_SUITE_P(
    lines, master_mode_cases,
    testing::Values(
        master_case{"SET PTP_MASTER_ENA 1", 0, "RSET PTP_MASTER_ENA OK\n", "1\n[1]\n", '1'},
        master_case{"SET PTP_MASTER_ENA 0", 0, "RSET PTP_MASTER_ENA OK\n", "1\n[0]\n", '0'},
        master_case{"SET PTP_MASTER_ENA 10", 0, "RSET PTP_MASTER_ENA OK\n", "1\n[1]\n", '1'},
        master_case{"SET PTP_MASTER_ENA 1", 3, "ERROR\n", "1\n[1]\n", '0'},
        master_case{"SET PTP_MASTER_ENA x", 0, "ERROR\n", "1\n[x]\n", '0'},
        master_case{"SET PTP_MASTER_ENA *", 0, "ERROR\n", "1\n[*]\n", '0'},
        master_case{"SET PTP_MASTER_ENA &", 0, "ERROR\n", "1\n[&]\n", '0'},
        master_case{"SET PTP_MASTER_ENA ;", 0, "ERROR\n", "1\n[;]\n", '0'}));

// A refusal leaves the flag as the last accepted command set it.
TEST_F(master_mode, refusal_keeps_the_flag) {
    board b;
    ASSERT_TRUE(b.started()) << b.daemon().stderr_text();
    ASSERT_EQ(b.client().request("SET PTP_MASTER_ENA 1", std::chrono::seconds(3)),
              "RSET PTP_MASTER_ENA OK\n");
    write_text(kStatus, "1\n");
    EXPECT_EQ(b.client().request("SET PTP_MASTER_ENA 0", std::chrono::seconds(3)), "ERROR\n");
    EXPECT_EQ(b.client().request("GET PTP_MASTER_ENA"), "RGET PTP_MASTER_ENA 1\n");
    EXPECT_EQ(record(), "1\n[1]\n1\n[0]\n");
}

// Without the program the command is refused and the daemon carries on.
TEST(master_mode_missing, refused_when_the_program_is_absent) {
    struct stat st;
    ASSERT_NE(::stat("/usr/bin/set_master_mode", &st), 0);
    board b;
    ASSERT_TRUE(b.started()) << b.daemon().stderr_text();
    EXPECT_EQ(b.client().request("SET PTP_MASTER_ENA 1", std::chrono::seconds(3)), "ERROR\n");
    EXPECT_EQ(b.client().request("GET PTP_MASTER_ENA"), "RGET PTP_MASTER_ENA 0\n");
}

}  // namespace
}  // namespace nexo::sim
