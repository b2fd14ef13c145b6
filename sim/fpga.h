// Simulated FPGA: the nine device nodes of the board emulated with umockdev.
//
// Creating a `fpga` creates a umockdev testbed (which sets UMOCKDEV_DIR in this process's
// environment) with the nodes
//   /dev/zeb-ip-filter-0, /dev/axis2vid-0..3, /dev/rtp-vid-fmt-det-0..3
// and attaches a device model to each. A program started from this process with
// preload_env() in its environment (and UMOCKDEV_DIR inherited) sees the nodes and its ioctls
// are answered by the models, on umockdev's worker thread. All accessors are thread-safe.
//
// Request numbers (size field 8 although the records are 1, 2, 12, 20 or 24 bytes):
//   filter 'E': 0x80084501 read channel count (1 byte), 0x4500 reset (no argument),
//               0x40084502 write channel configuration (20 bytes), 0x40084504 set enable
//               (2 bytes: channel, enable), 0xC0084505 read enable (2 bytes, byte 1 written)
//   formatter 'A': 0x40084100 write output format (12 bytes: width, height, scan; u32 LE)
//   detector 'V': 0x40015600 enable (the value itself, not an address), 0x80085602 read state
//               (u32), 0x80085603 read detected format (24 bytes: six u32)
// Any other request answers ENOTTY.
//
// The models: the filter keeps each channel's last configuration and enable byte; a channel
// number not below the channel count answers EINVAL, and the reset clears every channel. Each
// formatter keeps the last record written. Enabling a DISABLED (0) detector makes it BUSY (1),
// disabling makes it DISABLED; values other than 0 and 1 answer EINVAL. A null record address
// answers EFAULT; any other bad address makes the preload abort the calling program (umockdev
// reads the record from it), so it cannot be answered with EFAULT.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace nexo::sim {

inline constexpr uint32_t kFiltGetChanNbr = 0x80084501;
inline constexpr uint32_t kFiltReset = 0x4500;
inline constexpr uint32_t kFiltSetCfg = 0x40084502;
inline constexpr uint32_t kFiltSetEna = 0x40084504;
inline constexpr uint32_t kFiltGetEna = 0xC0084505;
inline constexpr uint32_t kVidOutSetFmt = 0x40084100;
inline constexpr uint32_t kFmtDetEna = 0x40015600;
inline constexpr uint32_t kFmtDetGetState = 0x80085602;
inline constexpr uint32_t kFmtDetGetFmt = 0x80085603;

// One request as the model saw it.
struct ioctl_record {
    std::string node;  // "/dev/zeb-ip-filter-0", ...
    uint32_t request = 0;
    std::vector<uint8_t> in;   // record bytes passed by the caller (empty for value/no arg)
    uint64_t value = 0;        // the argument itself for by-value requests (detector enable),
                               // the raw argument word for requests the node does not model
    std::vector<uint8_t> out;  // record written back to the caller (read requests; for the
                               // read-enable request both bytes, byte 0 unchanged)
    int error = 0;             // errno answered, 0 on success
};

// Detected format record of a detector, six u32 in this order.
struct detected_format {
    uint32_t width = 0, height = 0, cspace = 0, bpc = 0, trnsp = 0, rate = 0;
};

struct filter_channel {
    std::array<uint8_t, 20> cfg{};  // last configuration record written
    bool cfg_written = false;
    uint8_t enable = 0;  // last enable byte written
};

class fpga {
  public:
    // omit: node paths not to create (e.g. "/dev/axis2vid-2") to test a missing device.
    explicit fpga(std::vector<std::string> omit = {});
    ~fpga();
    fpga(const fpga&) = delete;
    fpga& operator=(const fpga&) = delete;

    // Environment entries the daemon needs: "LD_PRELOAD=..." (ASan runtime first when this
    // build is sanitized) and "UMOCKDEV_DIR=...".
    std::vector<std::string> preload_env() const;

    // Journal of every request, in order.
    std::vector<ioctl_record> journal() const;
    void clear_journal();
    // Waits until the journal holds at least n records; false on timeout.
    bool wait_journal(size_t n, std::chrono::milliseconds timeout) const;

    // Fault injection: the next `count` requests with this number (on any node) fail with err.
    void fail_next(uint32_t request, int count, int err);

    // Filter model.
    void set_filter_channel_count(uint8_t n);  // default 16
    filter_channel filter(uint8_t chan) const;
    // Sets a filter channel's enable byte as if a program had switched it earlier (for instance
    // a daemon that ran before); not journalled.
    void set_filter_enable(uint8_t chan, uint8_t enable);
    // The filter channels in use (index below the channel count), and a number that changes
    // whenever a channel's configuration or enable changes, so that a packet path can keep a
    // copy and refresh it only then.
    std::vector<filter_channel> filter_table() const;
    uint64_t filter_generation() const;

    // Formatter model: last 12-byte record written, and whether one was.
    std::array<uint8_t, 12> formatter(int i) const;
    bool formatter_written(int i) const;

    // Detector model.
    bool detector_enabled(int i) const;
    void set_detector(int i, uint32_t state, detected_format fmt = {});
    // What a detector that measures packets reports: applied only while the detector is
    // enabled (disabling it makes it DISABLED whatever it measured). Returns whether it is.
    bool report_detector(int i, uint32_t state, detected_format fmt);

  private:
    struct impl;
    std::unique_ptr<impl> p_;
};

}  // namespace nexo::sim
