// Wire tap: the board's receive path acting on the real packets that reach eth1.
//
// A capture (AF_PACKET) on eth1 in the sandbox hands every incoming IPv4 datagram to the
// decapsulation filter model (decap_filter.h) with the filter table exactly as the daemon
// programmed it through the emulated filter node, and the packets of filter channels 0..3 to
// the video meters of format detectors 0..3 (the board wires filter channel N of a video
// channel to detector N). Every 20 ms each enabled detector reports through the emulated
// detector node, from what its meter saw:
//   no packets yet            BUSY (1), no signal
//   packets, format not known STREAM_DETECTED (2), measuring
//   format measured           FORMAT_DETECTED (3) with the measured format record
//   no packet for 250 ms      BUSY again with an empty format record (the stream is lost), and
//                             measuring starts over when packets come back
// A disabled detector is left alone (the node model answers DISABLED) and its meter starts
// over when it is enabled again, or when the record of its filter channel changes (the
// channel now takes another stream). Nothing of the senders' settings reaches the detectors, and
// on a board with a tap the tap owns the enabled detectors' state (fpga::set_detector() is
// overwritten within 20 ms).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "decap_filter.h"
#include "fpga.h"

namespace nexo::sim {

inline constexpr uint32_t kDetDisabled = 0;
inline constexpr uint32_t kDetBusy = 1;
inline constexpr uint32_t kDetStreamDetected = 2;
inline constexpr uint32_t kDetFormatDetected = 3;

struct detector_view {
    bool enabled = false;
    uint32_t state = 0;  // what the tap last reported
    detected_format fmt;
    uint64_t packets = 0;  // fed to the meter since it last started over
    uint64_t frames = 0;   // whole frames (fields) measured
};

struct tap_stats {
    std::vector<filter_rule> rules;          // the table as the tap applies it
    std::vector<channel_counters> channels;  // per filter channel
    uint64_t dropped = 0;                    // IPv4/UDP that matched no enabled channel
    uint64_t not_udp = 0;                    // other IPv4 (IGMP, fragments, ...)
    uint64_t socket_drops = 0;               // lost by the capture itself (it fell behind)
    detector_view detectors[4];
};

class wire_tap {
  public:
    explicit wire_tap(fpga& dev);
    ~wire_tap();  // stops the capture
    wire_tap(const wire_tap&) = delete;
    wire_tap& operator=(const wire_tap&) = delete;

    // Opens the capture on the interface and starts its thread. False with *error set when the
    // capture cannot be opened (needs CAP_NET_RAW in the sandbox).
    bool start(const std::string& iface = "eth1", std::string* error = nullptr);
    void stop();

    tap_stats stats() const;
    void clear_counters();

  private:
    struct impl;
    std::unique_ptr<impl> p_;
};

// The statistics as text, one line per filter channel that saw a packet or is enabled, then
// the drops and the detectors.
std::string format_stats(const tap_stats& s);

}  // namespace nexo::sim
