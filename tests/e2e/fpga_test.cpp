// The emulated FPGA as a program under the preload sees it: real ioctls from ioctl_probe.
#include "fpga.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <sstream>
#include <string>
#include <vector>

#include "sandbox.h"

namespace nexo::sim {
namespace {

constexpr const char* kFilter = "/dev/zeb-ip-filter-0";
const std::string kOk = "0 0 ";  // a request that succeeded

// One request for ioctl_probe: the number, the argument (none, null, value:N or record bytes in
// hex) and the buffer's length.
struct call {
    uint32_t request;
    const char* arg;
    int buflen;
};

// Runs ioctl_probe on one node with the fpga's preload entries in its environment; the lines it
// prints, then "exit N" unless it exited 0.
std::vector<std::string> probe(const fpga& f, const std::string& node,
                               const std::vector<call>& calls) {
    std::vector<std::string> argv = f.preload_env();
    argv.insert(argv.begin(), "env");
    argv.insert(argv.end(), {IOCTL_PROBE_PATH, node});
    for (const call& c : calls) {
        argv.insert(argv.end(), {std::to_string(c.request), c.arg, std::to_string(c.buflen)});
    }
    std::string out;
    const int status = run(argv, &out);
    std::vector<std::string> lines;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    if (status != 0) {
        lines.push_back("exit " + std::to_string(status));
    }
    return lines;
}

std::string hex(const auto& bytes) {
    std::string s;
    for (uint8_t b : bytes) {
        s.append({"0123456789abcdef"[b >> 4], "0123456789abcdef"[b & 15]});
    }
    return s;
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
    const char* kDet1 = "/dev/rtp-vid-fmt-det-1";
    struct row {
        const char* node;
        call c;
        std::string reply;      // what the probe prints
        std::string jin, jout;  // journal bytes
    } rows[] = {
        {kFilter, {kFiltGetChanNbr, "-", 4}, "0 0 10eeeeee", "", "10"},
        {kFilter, {kFiltSetEna, "0307", 4}, "0 0 0307eeee", "0307", ""},
        {kFilter, {kFiltGetEna, "03aa", 4}, "0 0 0307eeee", "03aa", "0307"},
        {kFilter, {kFiltGetEna, "04aa", 4}, "0 0 0400eeee", "04aa", "0400"},
        {kFilter, {kFiltSetCfg, kCfg5, 24}, kOk + kCfg5 + "eeeeeeee", kCfg5, ""},
        {kFilter, {kFiltReset, "none", 0}, "0 0 -", "", ""},
        {"/dev/axis2vid-1", {kVidOutSetFmt, kOutFmt, 16}, kOk + kOutFmt + "eeeeeeee", kOutFmt, ""},
        {kDet1, {kFmtDetGetState, "-", 8}, "0 0 03000000eeeeeeee", "", "03000000"},
        {kDet1, {kFmtDetGetFmt, "-", 28}, kOk + kDetFmt + "eeeeeeee", "", kDetFmt},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.reply);
        if (r.c.request == kFiltReset) {
            EXPECT_EQ(hex(f.filter(5).cfg), kCfg5);
        }
        f.clear_journal();
        EXPECT_EQ(probe(f, r.node, {r.c}), std::vector<std::string>{r.reply});
        std::vector<ioctl_record> j = f.journal();
        ASSERT_EQ(j.size(), 1u);
        EXPECT_EQ(j[0].node + " " + hex(j[0].in) + " " + hex(j[0].out),
                  std::string(r.node) + " " + r.jin + " " + r.jout);
        EXPECT_TRUE(j[0].request == r.c.request && j[0].value == 0 && j[0].error == 0);
    }
    // The reset cleared what rows 2 and 5 stored.
    EXPECT_EQ(f.filter(3).enable, 0);
    EXPECT_FALSE(f.filter(5).cfg_written);
    EXPECT_EQ(hex(f.formatter(1)), kOutFmt);
}

TEST(fpga, detector_enable_takes_the_value_itself) {
    fpga f;
    const call read_state{kFmtDetGetState, "-", 4};
    // Each row: optional state set beforehand, the enable value, then the state read back.
    struct row {
        int preset;  // -1: leave the state alone
        uint64_t value;
        std::vector<std::string> replies;  // of the enable and of the state read
        bool enabled;
    } rows[] = {
        {-1, 1, {"0 0 -", "0 0 01000000"}, true},     // DISABLED -> BUSY
        {3, 1, {"0 0 -", "0 0 03000000"}, true},      // a detected format survives re-enabling
        {-1, 0, {"0 0 -", "0 0 00000000"}, false},    // BUSY -> DISABLED
        {-1, 2, {"-1 22 -", "0 0 00000000"}, false},  // e.g. an address instead of 0 or 1
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.value);
        if (r.preset >= 0) {
            f.set_detector(2, static_cast<uint32_t>(r.preset));
        }
        f.clear_journal();
        const std::string value = "value:" + std::to_string(r.value);
        const call enable{kFmtDetEna, value.c_str(), 0};
        EXPECT_EQ(probe(f, "/dev/rtp-vid-fmt-det-2", {enable, read_state}), r.replies);
        EXPECT_EQ(f.detector_enabled(2), r.enabled);
        std::vector<ioctl_record> j = f.journal();
        EXPECT_TRUE(j.size() == 2 && j[0].value == r.value && j[0].in.empty() && j[0].out.empty());
    }
}

TEST(fpga, fail_next_fails_count_times_then_recovers) {
    fpga f;
    // A failed request leaves the caller's buffer as it was.
    struct row {
        const char* node;
        call c;
        int err;
        std::string failed, ok;  // buffer after a failure; the reply once the faults are used up
    } rows[] = {
        {kFilter, {kFiltGetChanNbr, "-", 1}, EIO, "ee", "0 0 10"},
        {kFilter, {kFiltSetCfg, kCfg5, 20}, EBUSY, kCfg5, kOk + kCfg5},
        {"/dev/axis2vid-3", {kVidOutSetFmt, kOutFmt, 12}, ENODEV, kOutFmt, kOk + kOutFmt},
        {"/dev/rtp-vid-fmt-det-0", {kFmtDetEna, "value:1", 0}, EAGAIN, "-", "0 0 -"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.ok);
        f.fail_next(r.c.request, 2, r.err);
        f.clear_journal();
        const std::string failed = "-1 " + std::to_string(r.err) + " " + r.failed;
        EXPECT_EQ(probe(f, r.node, {r.c, r.c, r.c}),
                  (std::vector<std::string>{failed, failed, r.ok}));
        std::vector<ioctl_record> j = f.journal();
        ASSERT_EQ(j.size(), 3u);
        EXPECT_TRUE(j[1].error == r.err && j[1].out.empty() && j[2].error == 0);
    }
    // Only the third, successful write reached the models.
    EXPECT_TRUE(f.formatter_written(3));
    EXPECT_TRUE(f.detector_enabled(0));
}

TEST(fpga, unknown_requests_answer_enotty_and_omitted_nodes_are_absent) {
    fpga f({"/dev/axis2vid-2", "/dev/rtp-vid-fmt-det-0"});
    struct row {
        const char* node;
        uint32_t request;  // unknown, or another block's
        std::vector<std::string> lines;
    } rows[] = {
        {kFilter, kVidOutSetFmt, {"-1 25 -"}},
        {kFilter, 0x80014501, {"-1 25 -"}},  // numbered with the record's real size, not 8
        {"/dev/axis2vid-0", kFiltReset, {"-1 25 -"}},
        {"/dev/rtp-vid-fmt-det-3", 0x1234, {"-1 25 -"}},
        {"/dev/axis2vid-2", 0x1234, {"open 2", "exit 3"}},
        {"/dev/rtp-vid-fmt-det-0", 0x1234, {"open 2", "exit 3"}},
    };
    for (const row& r : rows) {
        EXPECT_EQ(probe(f, r.node, {{r.request, "none", 0}}), r.lines) << r.node;
    }
    EXPECT_EQ(f.journal().size(), 4u);
}

}  // namespace
}  // namespace nexo::sim
