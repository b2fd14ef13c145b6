#include "video_meter.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace nexo::sim {
namespace {

constexpr size_t kRtpHeaderLen = 12;
constexpr size_t kEsnLen = 2;
constexpr size_t kSegmentHeaderLen = 6;
constexpr uint32_t kVideoClock = 90000;

// Pixel groups the meter knows: bytes per group, pixels per group, and what the detector
// reports for them. Ratios bytes/pixels are all distinct, so one pair of segments names one row.
struct pgroup_row {
    uint32_t bytes;
    uint32_t pixels;
    uint32_t cspace;
    uint32_t bpc_code;  // 0: 8, 1: 10, 2: 12, 3: 16 bits
};

constexpr std::array<pgroup_row, 7> kPgroups = {{
    {4, 2, kCspaceYcr422, 0},  // 4:2:2 8-bit
    {5, 2, kCspaceYcr422, 1},  // 4:2:2 10-bit
    {3, 1, kCspaceRgb, 0},     // RGB 8-bit (also what 4:2:2 12-bit looks like)
    {15, 4, kCspaceRgb, 1},    // RGB 10-bit
    {8, 2, kCspaceYcr422, 3},  // 4:2:2 16-bit
    {9, 2, kCspaceRgb, 2},     // RGB 12-bit
    {6, 1, kCspaceRgb, 3},     // RGB 16-bit
}};

// Frame rates of the detector's rate codes, code = row.
struct rate_row {
    uint32_t num;
    uint32_t den;
};

constexpr std::array<rate_row, 13> kRates = {{
    {24000, 1001},
    {24, 1},
    {25, 1},
    {30000, 1001},
    {30, 1},
    {48000, 1001},
    {48, 1},
    {50, 1},
    {60000, 1001},
    {60, 1},
    {100, 1},
    {120000, 1001},
    {120, 1},
}};

// 23.98 and 24 are 0.1 % apart; a single 90 kHz step of 59.94 (1501 ticks) is 0.03 % off.
constexpr double kRateTolerance = 0.0005;

}  // namespace

bool parse_rtp(const uint8_t* data, size_t len, rtp_info& out) {
    if (len < kRtpHeaderLen || (data[0] >> 6) != 2) {
        return false;
    }
    size_t off = kRtpHeaderLen + 4 * static_cast<size_t>(data[0] & 0x0f);
    if (off > len) {
        return false;
    }
    if ((data[0] & 0x10) != 0) {
        if (off + 4 > len) {
            return false;
        }
        off += 4 + 4 * static_cast<size_t>(read_be16(data + off + 2));
        if (off > len) {
            return false;
        }
    }
    size_t end = len;
    if ((data[0] & 0x20) != 0) {
        const size_t pad = data[len - 1];
        if (pad == 0 || pad > end - off) {
            return false;
        }
        end -= pad;
    }
    out.marker = (data[1] & 0x80) != 0;
    out.payload_type = data[1] & 0x7f;
    out.seq = read_be16(data + 2);
    out.timestamp = read_be32(data + 4);
    out.payload_offset = off;
    out.payload_len = end - off;
    return true;
}

uint32_t rate_code(double hz) {
    uint32_t best = kRateUnknown;
    double best_err = kRateTolerance;
    for (size_t i = 0; i < kRates.size(); ++i) {
        const double r = static_cast<double>(kRates[i].num) / kRates[i].den;
        const double err = std::fabs(hz - r) / r;
        if (err <= best_err) {
            best = static_cast<uint32_t>(i);
            best_err = err;
        }
    }
    return best;
}

void video_meter::reset() {
    *this = video_meter{};
}

void video_meter::start_over(bool keep_pgroup) {
    video_meter fresh;
    if (keep_pgroup) {
        fresh.pgroup_ = pgroup_;
    }
    fresh.packets_ = packets_;
    fresh.malformed_ = malformed_;
    fresh.frames_ = frames_;
    fresh.have_seq_ = have_seq_;
    fresh.next_seq_ = next_seq_;
    // The contradiction came from the new stream's packets: its timestamp is the new stream's.
    fresh.have_ts_ = have_ts_;
    fresh.ts_ = ts_;
    *this = fresh;
}

void video_meter::feed(const uint8_t* data, size_t len) {
    ++packets_;
    rtp_info rtp;
    if (!parse_rtp(data, len, rtp) || rtp.payload_len < kEsnLen + kSegmentHeaderLen) {
        ++malformed_;
        cur_.clean = false;
        prev_valid_ = false;
        return;
    }
    const uint8_t* p = data + rtp.payload_offset;
    const size_t plen = rtp.payload_len;

    // The segment headers come first, then the segments' bytes in the same order; a packet
    // whose segments do not fit is dropped whole.
    struct seg {
        uint16_t line, offset, length;
        bool field;
    };
    std::array<seg, 64> segs;
    size_t nseg = 0;
    size_t pos = kEsnLen;
    size_t bytes = 0;
    for (;;) {
        if (pos + kSegmentHeaderLen > plen || nseg == segs.size()) {
            ++malformed_;
            cur_.clean = false;
            prev_valid_ = false;
            return;
        }
        const uint16_t length = read_be16(p + pos);
        const uint16_t line = read_be16(p + pos + 2);
        const uint16_t offset = read_be16(p + pos + 4);
        segs[nseg++] = {static_cast<uint16_t>(line & 0x7fff),
                        static_cast<uint16_t>(offset & 0x7fff), length, (line & 0x8000) != 0};
        bytes += length;
        pos += kSegmentHeaderLen;
        if ((offset & 0x8000) == 0) {
            break;
        }
    }
    if (bytes > plen - pos) {
        ++malformed_;
        cur_.clean = false;
        prev_valid_ = false;
        return;
    }

    // The 16-bit sequence number is enough to see a gap; not every sender counts the extended
    // part up when it wraps.
    const bool gap = have_seq_ && rtp.seq != next_seq_;
    have_seq_ = true;
    next_seq_ = static_cast<uint16_t>(rtp.seq + 1);
    if (gap) {
        prev_valid_ = false;
    }

    const bool new_ts = !have_ts_ || rtp.timestamp != ts_;
    if (new_ts || after_marker_) {
        if (new_ts && have_ts_) {
            timestamp_step(rtp.timestamp - ts_);
        }
        if (!new_ts && !gap) {
            shared_ts_ = true;
        }
        have_ts_ = true;
        ts_ = rtp.timestamp;
        cur_ = frame_state{};
        cur_.clean = after_marker_ && !gap;
    } else if (gap) {
        cur_.clean = false;
    }

    for (size_t i = 0; i < nseg; ++i) {
        if (!segment(segs[i].line, segs[i].field, segs[i].offset, segs[i].length)) {
            start_over(false);
            after_marker_ = rtp.marker;
            return;
        }
    }
    if (rtp.marker) {
        end_of_frame();
    }
    after_marker_ = rtp.marker;
}

bool video_meter::segment(uint16_t line, bool field, uint16_t offset, uint16_t length) {
    if (prev_valid_ && prev_line_ == line && prev_field_ == field && offset > prev_offset_) {
        const uint32_t pixels = offset - prev_offset_;
        for (size_t i = 0; i < kPgroups.size(); ++i) {
            if (uint32_t{prev_length_} * kPgroups[i].pixels == pixels * kPgroups[i].bytes) {
                if (pgroup_ >= 0 && pgroup_ != static_cast<int>(i)) {
                    return false;  // another sender's pixels
                }
                if (pgroup_ < 0) {
                    // Segments of this frame before this one were not measured.
                    pgroup_ = static_cast<int>(i);
                    cur_.clean = false;
                }
                break;
            }
        }
    }
    if (pgroup_ >= 0) {
        const pgroup_row& g = kPgroups[static_cast<size_t>(pgroup_)];
        cur_.width = std::max(cur_.width, offset + uint32_t{length} * g.pixels / g.bytes);
    }
    if (offset == 0) {
        ++cur_.lines;
    }
    cur_.field = field;
    interlaced_ = interlaced_ || field;
    prev_valid_ = true;
    prev_line_ = line;
    prev_field_ = field;
    prev_offset_ = offset;
    prev_length_ = length;
    return true;
}

void video_meter::end_of_frame() {
    if (!cur_.clean || pgroup_ < 0 || cur_.lines == 0) {
        last_parity_ = -1;
        return;
    }
    const int f = cur_.field ? 1 : 0;
    // A whole frame of another raster, or a second progressive frame in a row after fields
    // were seen: the stream has changed. Measuring starts again with the next frame.
    const bool other_raster =
        lines_[f] != 0 && (lines_[f] != cur_.lines || width_[f] != cur_.width);
    if (other_raster || (interlaced_ && f == 0 && last_parity_ == 0)) {
        start_over(true);
        return;
    }
    lines_[f] = cur_.lines;
    width_[f] = cur_.width;
    ++agreed_[f];
    last_parity_ = f;
    ++frames_;
    cur_.clean = false;
}

void video_meter::timestamp_step(uint32_t step) {
    steps_[step_pos_] = step;
    step_pos_ = (step_pos_ + 1) % kSteps;
    nsteps_ = std::min(nsteps_ + 1, kSteps);
}

bool video_meter::complete() const {
    if (pgroup_ < 0 || nsteps_ < 2) {
        return false;
    }
    if (interlaced_) {
        return agreed_[0] >= 2 && agreed_[1] >= 2 && width_[0] == width_[1];
    }
    return agreed_[0] >= 2;
}

detected_format video_meter::format() const {
    if (!complete()) {
        return {};
    }
    const pgroup_row& g = kPgroups[static_cast<size_t>(pgroup_)];
    detected_format f;
    f.width = width_[0];
    f.height = interlaced_ ? lines_[0] + lines_[1] : lines_[0];
    f.cspace = g.cspace;
    f.bpc = g.bpc_code;
    f.trnsp = interlaced_ ? kTrnspInterlaced : kTrnspProgressive;
    // A lost frame doubles a step and a zero step is no step at all: average the steps near the
    // smallest (59.94 alternates 1501 and 1502 ticks).
    uint32_t smallest = UINT32_MAX;
    for (int i = 0; i < nsteps_; ++i) {
        if (steps_[i] != 0) {
            smallest = std::min(smallest, steps_[i]);
        }
    }
    uint64_t sum = 0;
    int n = 0;
    for (int i = 0; i < nsteps_; ++i) {
        if (steps_[i] != 0 && steps_[i] <= smallest + smallest / 8) {
            sum += steps_[i];
            ++n;
        }
    }
    // Fields that share their frame's timestamp step once a frame: twice the step rate.
    const double per_step = interlaced_ && shared_ts_ ? 2.0 : 1.0;
    f.rate =
        n == 0 ? kRateUnknown : rate_code(per_step * kVideoClock * n / static_cast<double>(sum));
    return f;
}

}  // namespace nexo::sim
