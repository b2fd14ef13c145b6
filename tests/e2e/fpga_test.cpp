// The emulated FPGA as a program under the preload sees it: real ioctls from ioctl_probe.
#include "fpga.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

extern char** environ;

namespace nexo::sim {
namespace {

constexpr const char* kFilter = "/dev/zeb-ip-filter-0";

struct probe_run {
    int status = -1;  // exit code of ioctl_probe
    std::vector<std::string> lines;
};

// Runs ioctl_probe on one node with the given request triples, with this process's environment
// plus the fpga's preload entries.
probe_run probe(const fpga& f, const std::string& node, const std::vector<std::string>& reqs) {
    std::vector<std::string> env_store = f.preload_env();
    for (char** e = environ; *e != nullptr; ++e) {
        std::string entry = *e;
        if (entry.rfind("LD_PRELOAD=", 0) != 0 && entry.rfind("UMOCKDEV_DIR=", 0) != 0) {
            env_store.push_back(entry);
        }
    }
    std::vector<std::string> argv_store = {IOCTL_PROBE_PATH, node};
    argv_store.insert(argv_store.end(), reqs.begin(), reqs.end());
    std::vector<char*> argv, envp;
    for (std::string& s : argv_store) {
        argv.push_back(s.data());
    }
    argv.push_back(nullptr);
    for (std::string& s : env_store) {
        envp.push_back(s.data());
    }
    envp.push_back(nullptr);

    probe_run run;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe: " << errno;
        return run;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    std::string out;
    char buf[512];
    ssize_t n;
    while (rc == 0 && (n = read(fds[0], buf, sizeof buf)) != 0) {
        if (n > 0) {
            out.append(buf, static_cast<size_t>(n));
        } else if (errno != EINTR) {
            break;
        }
    }
    close(fds[0]);
    if (rc != 0) {
        ADD_FAILURE() << "posix_spawn: " << rc;
        return run;
    }
    int status = 0;
    waitpid(pid, &status, 0);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    size_t start = 0;
    for (size_t nl; (nl = out.find('\n', start)) != std::string::npos; start = nl + 1) {
        run.lines.push_back(out.substr(start, nl - start));
    }
    return run;
}

std::string hex(const std::vector<uint8_t>& v) {
    std::string s;
    for (uint8_t b : v) {
        char two[3];
        std::snprintf(two, sizeof two, "%02x", b);
        s += two;
    }
    return s;
}

template <size_t N>
std::string hex(const std::array<uint8_t, N>& a) {
    return hex(std::vector<uint8_t>(a.begin(), a.end()));
}

std::string req_hex(uint32_t r) {
    char s[16];
    std::snprintf(s, sizeof s, "0x%x", r);
    return s;
}

// The probe's buffer as the caller filled it: the record's bytes, then 0xee up to buflen ("-"
// when no buffer is passed). A failed or refused request leaves it so.
std::string untouched(const std::string& arg, int buflen) {
    if (arg == "none" || arg == "null" || arg.rfind("value:", 0) == 0) {
        return "-";
    }
    const std::string bytes = arg == "-" ? "" : arg;
    return bytes + std::string(2 * static_cast<size_t>(buflen) - bytes.size(), 'e');
}

// 20-byte configuration of filter channel 5: source 10.0.0.5:5004, destination
// 239.1.1.1:20000, flags 0xf.
constexpr const char* kCfg5 = "05000a0000058c13ef010101204e00000f000000";
// Output format 1920x1080 interlaced.
constexpr const char* kOutFmt = "800700003804000001000000";
// Detected format 1920x1080, colour code 2, bits code 1, transport 0, rate code 8.
constexpr const char* kDetFmt = "800700003804000002000000010000000000000008000000";

TEST(fpga, requests_move_exactly_their_record_lengths) {
    fpga f;
    f.set_detector(1, 3, {1920, 1080, 2, 1, 0, 8});
    // Every buffer is longer than its record: the trailing 0xee bytes show where the device
    // stopped writing, and the journal shows how much it read. The rows run in order: row 3
    // reads back the enable byte that row 2 wrote (kept as written, not reduced to 1), row 4 a
    // channel never written, and the reset clears both.
    struct row {
        const char* node;
        uint32_t request;
        std::string arg;
        int buflen;
        std::string reply;      // what the probe prints
        std::string jin, jout;  // journal bytes
    } rows[] = {
        {kFilter, kFiltGetChanNbr, "-", 4, "0 0 10eeeeee", "", "10"},
        {kFilter, kFiltSetEna, "0307", 4, "0 0 0307eeee", "0307", ""},
        {kFilter, kFiltGetEna, "03aa", 4, "0 0 0307eeee", "03aa", "0307"},
        {kFilter, kFiltGetEna, "04aa", 4, "0 0 0400eeee", "04aa", "0400"},
        {kFilter, kFiltSetCfg, kCfg5, 24, std::string("0 0 ") + kCfg5 + "eeeeeeee", kCfg5, ""},
        {kFilter, kFiltReset, "none", 0, "0 0 -", "", ""},
        {"/dev/axis2vid-1", kVidOutSetFmt, kOutFmt, 16, std::string("0 0 ") + kOutFmt + "eeeeeeee",
         kOutFmt, ""},
        {"/dev/rtp-vid-fmt-det-1", kFmtDetGetState, "-", 8, "0 0 03000000eeeeeeee", "", "03000000"},
        {"/dev/rtp-vid-fmt-det-1", kFmtDetGetFmt, "-", 28,
         std::string("0 0 ") + kDetFmt + "eeeeeeee", "", kDetFmt},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(req_hex(r.request) + " on " + r.node);
        probe_run run = probe(f, r.node, {req_hex(r.request), r.arg, std::to_string(r.buflen)});
        ASSERT_EQ(run.status, 0);
        ASSERT_EQ(run.lines.size(), 1u);
        EXPECT_EQ(run.lines[0], r.reply);
        std::vector<ioctl_record> j = f.journal();
        ASSERT_EQ(j.size(), 1u);
        EXPECT_EQ(j[0].node, r.node);
        EXPECT_EQ(j[0].request, r.request);
        EXPECT_EQ(hex(j[0].in), r.jin);
        EXPECT_EQ(hex(j[0].out), r.jout);
        EXPECT_EQ(j[0].value, 0u);
        EXPECT_EQ(j[0].error, 0);
        f.clear_journal();
        if (r.request == kFiltSetCfg) {
            EXPECT_EQ(hex(f.filter(5).cfg), kCfg5);
            EXPECT_TRUE(f.filter(5).cfg_written);
        }
    }
    // The reset cleared what rows 2 and 5 stored.
    EXPECT_EQ(f.filter(3).enable, 0);
    EXPECT_FALSE(f.filter(5).cfg_written);
    EXPECT_EQ(hex(f.formatter(1)), kOutFmt);
    EXPECT_TRUE(f.formatter_written(1));
    EXPECT_FALSE(f.formatter_written(0));
}

TEST(fpga, detector_enable_takes_the_value_itself) {
    fpga f;
    const std::string node = "/dev/rtp-vid-fmt-det-2";
    const std::string ena = req_hex(kFmtDetEna), state = req_hex(kFmtDetGetState);
    // Each row: optional state set beforehand, the enable value, then the state read back.
    struct row {
        int preset;  // -1: leave the state alone
        const char* value;
        std::string reply;  // enable reply and state reply
        bool enabled;
    } rows[] = {
        {-1, "value:1", "0 0 -|0 0 01000000", true},     // DISABLED -> BUSY
        {3, "value:1", "0 0 -|0 0 03000000", true},      // a detected format survives re-enabling
        {-1, "value:0", "0 0 -|0 0 00000000", false},    // BUSY -> DISABLED
        {2, "value:0", "0 0 -|0 0 00000000", false},     // and so is a detected stream
        {-1, "value:2", "-1 22 -|0 0 00000000", false},  // e.g. an address instead of 0 or 1
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.value);
        if (r.preset >= 0) {
            f.set_detector(2, static_cast<uint32_t>(r.preset));
        }
        f.clear_journal();
        probe_run run = probe(f, node, {ena, r.value, "0", state, "-", "4"});
        ASSERT_EQ(run.status, 0);
        ASSERT_EQ(run.lines.size(), 2u);
        EXPECT_EQ(run.lines[0] + "|" + run.lines[1], r.reply);
        EXPECT_EQ(f.detector_enabled(2), r.enabled);
        std::vector<ioctl_record> j = f.journal();
        ASSERT_EQ(j.size(), 2u);
        EXPECT_EQ(j[0].value, std::strtoull(r.value + 6, nullptr, 0));
        EXPECT_TRUE(j[0].in.empty());
        EXPECT_TRUE(j[0].out.empty());
    }
    EXPECT_FALSE(f.detector_enabled(0));
}

TEST(fpga, fail_next_fails_count_times_then_recovers) {
    fpga f;
    f.set_detector(0, 3, {1280, 720, 0, 0, 0, 9});
    struct row {
        const char* node;
        uint32_t request;
        std::string arg;
        int buflen;
        int err;
        std::string ok;  // reply once the faults are used up
    } rows[] = {
        {kFilter, kFiltGetChanNbr, "-", 1, EIO, "0 0 10"},
        {kFilter, kFiltSetCfg, kCfg5, 20, EBUSY, std::string("0 0 ") + kCfg5},
        {kFilter, kFiltReset, "none", 0, EIO, "0 0 -"},
        {"/dev/axis2vid-3", kVidOutSetFmt, kOutFmt, 12, ENODEV, std::string("0 0 ") + kOutFmt},
        {"/dev/rtp-vid-fmt-det-0", kFmtDetEna, "value:1", 0, EAGAIN, "0 0 -"},
        {"/dev/rtp-vid-fmt-det-0", kFmtDetGetFmt, "-", 24, EIO,
         "0 0 00050000d002000000000000000000000000000009000000"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(req_hex(r.request));
        f.fail_next(r.request, 2, r.err);
        const std::string one[] = {req_hex(r.request), r.arg, std::to_string(r.buflen)};
        std::vector<std::string> reqs;
        for (int k = 0; k < 3; ++k) {
            reqs.insert(reqs.end(), std::begin(one), std::end(one));
        }
        probe_run run = probe(f, r.node, reqs);
        ASSERT_EQ(run.status, 0);
        ASSERT_EQ(run.lines.size(), 3u);
        const std::string failed = "-1 " + std::to_string(r.err) + " " + untouched(r.arg, r.buflen);
        EXPECT_EQ(run.lines[0], failed);
        EXPECT_EQ(run.lines[1], failed);
        EXPECT_EQ(run.lines[2], r.ok);
        std::vector<ioctl_record> j = f.journal();
        ASSERT_EQ(j.size(), 3u);
        EXPECT_EQ(j[0].error, r.err);
        EXPECT_EQ(j[1].error, r.err);
        EXPECT_EQ(j[2].error, 0);
        EXPECT_TRUE(j[1].out.empty());
        f.clear_journal();
    }
    // Only the third, successful write reached the models.
    EXPECT_TRUE(f.formatter_written(3));
    EXPECT_TRUE(f.detector_enabled(0));
}

TEST(fpga, refused_requests_change_nothing) {
    fpga f;
    f.set_filter_channel_count(4);
    const std::string cfg4 = std::string("04") + (kCfg5 + 2);
    struct row {
        const char* node;
        uint32_t request;
        std::string arg;
        int err;
    } rows[] = {
        // Requests of another block: each node answers only its own.
        {kFilter, kVidOutSetFmt, kOutFmt, ENOTTY},
        {"/dev/axis2vid-0", kFiltReset, "none", ENOTTY},
        {"/dev/rtp-vid-fmt-det-3", kFiltGetChanNbr, "-", ENOTTY},
        // Requests numbered with the record's real size instead of 8.
        {"/dev/rtp-vid-fmt-det-3", 0x80045602, "-", ENOTTY},
        {kFilter, 0x80014501, "-", ENOTTY},
        // Filter channels from the channel count on do not exist.
        {kFilter, kFiltSetEna, "0401", EINVAL},
        {kFilter, kFiltSetCfg, cfg4, EINVAL},
        {kFilter, kFiltGetEna, "ffaa", EINVAL},
        // A record request without a record.
        {kFilter, kFiltSetCfg, "null", EFAULT},
        {"/dev/rtp-vid-fmt-det-3", kFmtDetGetFmt, "null", EFAULT},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(req_hex(r.request) + " on " + r.node);
        probe_run run = probe(f, r.node, {req_hex(r.request), r.arg, "24"});
        ASSERT_EQ(run.status, 0);
        EXPECT_EQ(run.lines, std::vector<std::string>{"-1 " + std::to_string(r.err) + " " +
                                                      untouched(r.arg, 24)});
        std::vector<ioctl_record> j = f.journal();
        ASSERT_EQ(j.size(), 1u);
        EXPECT_EQ(j[0].node, r.node);
        EXPECT_EQ(j[0].request, r.request);
        EXPECT_EQ(j[0].error, r.err);
        EXPECT_TRUE(j[0].out.empty());
        f.clear_journal();
    }
    EXPECT_FALSE(f.filter(4).cfg_written);
    EXPECT_EQ(f.filter(4).enable, 0);
    EXPECT_FALSE(f.formatter_written(0));
    // The last channel below the count is there.
    probe_run run =
        probe(f, kFilter, {req_hex(kFiltGetChanNbr), "-", "1", req_hex(kFiltSetEna), "0301", "2"});
    EXPECT_EQ(run.lines, (std::vector<std::string>{"0 0 04", "0 0 0301"}));
    EXPECT_EQ(f.filter(3).enable, 1);
}

TEST(fpga, omitted_nodes_are_absent) {
    fpga f({"/dev/axis2vid-2", "/dev/rtp-vid-fmt-det-0"});
    const char* nodes[] = {kFilter,
                           "/dev/axis2vid-0",
                           "/dev/axis2vid-1",
                           "/dev/axis2vid-2",
                           "/dev/axis2vid-3",
                           "/dev/rtp-vid-fmt-det-0",
                           "/dev/rtp-vid-fmt-det-1",
                           "/dev/rtp-vid-fmt-det-2",
                           "/dev/rtp-vid-fmt-det-3"};
    for (const char* node : nodes) {
        SCOPED_TRACE(node);
        bool omitted =
            std::string(node) == "/dev/axis2vid-2" || std::string(node) == "/dev/rtp-vid-fmt-det-0";
        // An unknown request: every present node answers it, whatever its block.
        probe_run run = probe(f, node, {"0x1234", "none", "0"});
        if (omitted) {
            EXPECT_EQ(run.status, 3);
            EXPECT_EQ(run.lines, std::vector<std::string>{"open 2"});
        } else {
            EXPECT_EQ(run.status, 0);
            EXPECT_EQ(run.lines, std::vector<std::string>{"-1 25 -"});
        }
    }
    EXPECT_TRUE(f.wait_journal(7, std::chrono::milliseconds(0)));
    EXPECT_EQ(f.journal().size(), 7u);
}

}  // namespace
}  // namespace nexo::sim
