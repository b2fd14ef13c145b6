// Video meter: measures the raster of an RFC 4175 (uncompressed video over RTP) stream from its
// packets alone, as the board's format detector does.
//
// It reads only what travels in each packet: the RTP marker bit, sequence number and 90 kHz
// timestamp, and the payload headers' line numbers, field bits, pixel offsets and segment
// lengths. From them:
//  - the pixel group (bytes per group of pixels, hence colour sampling and bit depth) from two
//    consecutive segments of one line: the first segment's bytes cover the pixels up to the
//    second segment's offset;
//  - the width from the end of the longest line, the height from the number of lines that
//    start at offset 0 in a frame (in both fields of an interlaced frame);
//  - the scan from the field bit;
//  - the rate from the timestamp steps between frames, or between fields of an interlaced
//    stream, reported as the field rate, as the daemon expects for interlaced formats. Senders
//    stamp interlaced video in two ways: each field with its own timestamp, or both fields with
//    the frame's; a field therefore begins at a new timestamp or right after a marker, and when
//    the fields share a timestamp the steps are frame steps, of half the field rate.
// Only frames received whole (from one marker to the next, no sequence gap) count.
//
// The meter follows the stream it is given, not the first one: packets that contradict what
// was measured (another pixel group, a whole frame of another raster, two progressive frames
// in a row of a stream measured as interlaced) make it start over from the next frame, so that
// it never combines two streams into a raster that neither has.
//
// Limits: 8-bit RGB and 12-bit 4:2:2 have the same pixel group ratio (3 bytes a pixel) and
// read as RGB; YCbCr 4:4:4 reads as RGB of the same depth; 4:2:0 is not measured. A stream
// whose lines never span two segments gives no pixel group and stays unmeasured.
#pragma once

#include <cstddef>
#include <cstdint>

#include "fpga.h"

namespace nexo::sim {

// Detector codes of the detected format record.
inline constexpr uint32_t kCspaceRgb = 0;
inline constexpr uint32_t kCspaceYcr422 = 2;
inline constexpr uint32_t kTrnspProgressive = 0;
inline constexpr uint32_t kTrnspInterlaced = 1;
inline constexpr uint32_t kRateUnknown = 13;

// Big-endian fields of packet headers.
inline uint16_t read_be16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

inline uint32_t read_be32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | p[3];
}

// One RTP packet's header fields that the meter and the filter counters use.
struct rtp_info {
    bool marker = false;
    uint8_t payload_type = 0;
    uint16_t seq = 0;
    uint32_t timestamp = 0;
    size_t payload_offset = 0;  // first byte after the RTP header (CSRCs and extension)
    size_t payload_len = 0;     // without padding
};

// Parses an RTP header (version 2). False for anything shorter or malformed.
bool parse_rtp(const uint8_t* data, size_t len, rtp_info& out);

// Frame rate code of a rate in Hz: the nearest rate of the detector's table within 0.2 %, or
// kRateUnknown.
uint32_t rate_code(double hz);

class video_meter {
  public:
    // Feeds one RTP packet (the whole UDP payload). Malformed packets are counted and ignored.
    void feed(const uint8_t* data, size_t len);
    // Starts over, as after a detector is enabled again.
    void reset();

    // True once the format is known: pixel group, two whole frames (or two fields of each
    // parity) of the same raster, and at least two timestamp steps.
    bool complete() const;
    // The measured format as the detector reports it (zeros until complete()).
    detected_format format() const;

    uint64_t packets() const { return packets_; }
    uint64_t malformed() const { return malformed_; }
    uint64_t frames() const { return frames_; }  // whole frames (fields) measured

  private:
    struct frame_state {
        bool clean = false;  // began right after a marker, no gap so far
        bool field = false;  // field bit of the last segment
        uint32_t lines = 0;  // segments at offset 0
        uint32_t width = 0;  // furthest pixel end seen
    };

    // False when the segment contradicts the measured pixel group.
    bool segment(uint16_t line, bool field, uint16_t offset, uint16_t length);
    void end_of_frame();
    void timestamp_step(uint32_t ts);
    // Forgets the measurement, keeping the counters, the place in the packet sequence and the
    // last timestamp; the pixel group too unless it was the pixel group that changed.
    void start_over(bool keep_pgroup);

    uint64_t packets_ = 0;
    uint64_t malformed_ = 0;
    uint64_t frames_ = 0;

    bool have_seq_ = false;
    uint16_t next_seq_ = 0;
    bool have_ts_ = false;
    uint32_t ts_ = 0;

    // Previous segment, for the pixel group: valid only while the packets follow one another.
    bool prev_valid_ = false;
    uint16_t prev_line_ = 0;
    bool prev_field_ = false;
    uint16_t prev_offset_ = 0;
    uint16_t prev_length_ = 0;
    int pgroup_ = -1;  // row of the pixel group table

    frame_state cur_;
    bool after_marker_ = false;  // the next packet starts a frame (field) from its beginning
    int last_parity_ = -1;       // field bit of the last whole frame, -1 after an unclean one
    bool shared_ts_ = false;     // a field began after a marker without a new timestamp

    // Last whole frame of each field parity (progressive uses [0] only), and how many agreed.
    uint32_t lines_[2] = {0, 0};
    uint32_t width_[2] = {0, 0};
    uint32_t agreed_[2] = {0, 0};
    bool interlaced_ = false;

    // Timestamp steps, a small ring.
    static constexpr int kSteps = 8;
    uint32_t steps_[kSteps] = {};
    int nsteps_ = 0;
    int step_pos_ = 0;
};

}  // namespace nexo::sim
