// The video meter on packet captures of a real RFC 4175 sender (GStreamer's rtpvrawpay, tiny
// rasters and a small MTU so that lines span several packets), and on damaged copies of them.
#include "video_meter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

namespace nexo::sim {
namespace {

using packet = std::vector<uint8_t>;

// Captures in files beside the tests: one RTP packet per line, in hex, as they came off the wire.
// 16x4 4:2:2 8-bit, 25 frames/s, five frames.
const char* const k_uyvy_p25 = "uyvy-16x4p25.hex";

// 16x8 4:2:2 8-bit interlaced, 25 frames/s (50 fields), four frames.
const char* const k_uyvy_i25 = "uyvy-16x8i25.hex";

// 8x4 RGB 8-bit, 59.94 frames/s, five frames.
const char* const k_rgb_p5994 = "rgb-8x4p5994.hex";

std::vector<packet> capture(const char* name) {
    std::ifstream in(std::string(NEXO_UNIT_CAPTURES) + "/" + name);
    EXPECT_TRUE(in.is_open()) << name;
    std::vector<packet> out;
    for (std::string h; in >> h;) {
        packet& p = out.emplace_back();
        for (size_t i = 0; i + 1 < h.size(); i += 2) {
            p.push_back(static_cast<uint8_t>(std::stoi(h.substr(i, 2), nullptr, 16)));
        }
    }
    return out;
}

// Feeds an exact-size heap copy, so that a read past the end is caught.
void feed(video_meter& m, const packet& p) {
    std::vector<uint8_t> copy(p.begin(), p.end());
    m.feed(copy.data(), copy.size());
}

std::string show(const detected_format& f) {
    return std::to_string(f.width) + "x" + std::to_string(f.height) + " cs" +
           std::to_string(f.cspace) + " bpc" + std::to_string(f.bpc) + " t" +
           std::to_string(f.trnsp) + " r" + std::to_string(f.rate);
}

struct capture_case {
    const char* name;
    const char* file;
    detected_format want;
};

// Rate codes: 2 = 25, 7 = 50, 8 = 59.94. The interlaced stream reports its field rate. The
// 10-bit layout is measured from a real sender by the stream tests.
const capture_case kCaptures[] = {
    {"4:2:2 8-bit 16x4p25", k_uyvy_p25, {16, 4, kCspaceYcr422, 0, kTrnspProgressive, 2}},
    {"4:2:2 8-bit 16x8i25", k_uyvy_i25, {16, 8, kCspaceYcr422, 0, kTrnspInterlaced, 7}},
    {"RGB 8-bit 8x4p59.94", k_rgb_p5994, {8, 4, kCspaceRgb, 0, kTrnspProgressive, 8}},
};

// Each capture as sent, and with CSRCs, a header extension and padding moving the payload.
TEST(video_meter, measures_real_sender_captures) {
    for (const capture_case& c : kCaptures) {
        SCOPED_TRACE(c.name);
        video_meter m;
        video_meter moved;
        int markers = 0;
        for (const packet& p : capture(c.file)) {
            // The first frame is joined midway and the second is the first whole one: nothing
            // is known before a second whole frame (field of each parity) has agreed.
            EXPECT_FALSE(m.complete() && markers < 3) << "after " << markers << " markers";
            feed(m, p);
            markers += (p[1] & 0x80) != 0;
            packet q(p.begin(), p.begin() + 12);
            q[0] = static_cast<uint8_t>(q[0] | 0x20 | 0x10 | 2);      // padding, extension, 2 CSRCs
            q.insert(q.end(), 8, 0xcc);                               // the CSRCs
            q.insert(q.end(), {0xbe, 0xde, 0x00, 0x01, 1, 2, 3, 4});  // one extension word
            q.insert(q.end(), p.begin() + 12, p.end());
            q.insert(q.end(), {0, 0, 0, 4});  // four bytes of padding
            feed(moved, q);
        }
        ASSERT_TRUE(m.complete());
        EXPECT_EQ(show(m.format()), show(c.want));
        EXPECT_EQ(m.malformed(), 0u);
        ASSERT_TRUE(moved.complete());
        EXPECT_EQ(show(moved.format()), show(c.want));
    }
}

// This sender numbers an interlaced frame's lines 0..7 across both fields (field 0 the even
// lines); others number each field's lines from 0. The height must come out the same.
TEST(video_meter, counts_field_lines_whichever_way_they_are_numbered) {
    video_meter m;
    for (packet p : capture(k_uyvy_i25)) {
        for (size_t pos = 14;; pos += 6) {
            const unsigned line = (p[pos + 2] & 0x7f) << 8 | p[pos + 3];
            p[pos + 2] = static_cast<uint8_t>((p[pos + 2] & 0x80) | (line / 2) >> 8);
            p[pos + 3] = static_cast<uint8_t>(line / 2);
            if ((p[pos + 4] & 0x80) == 0) {
                break;
            }
        }
        feed(m, p);
    }
    ASSERT_TRUE(m.complete());
    EXPECT_EQ(show(m.format()), show(kCaptures[1].want));
}

// Another sender stamps both fields with the frame's timestamp and tells them apart by the field
// bit and the marker alone: the same raster and the same field rate.
TEST(video_meter, measures_fields_that_share_their_frames_timestamp) {
    video_meter m;
    uint8_t frame_ts[4] = {};
    for (packet p : capture(k_uyvy_i25)) {
        const bool second_field = (p[16] & 0x80) != 0;  // field bit of the first segment
        if (second_field) {
            std::copy(frame_ts, frame_ts + 4, p.begin() + 4);
        } else {
            std::copy(p.begin() + 4, p.begin() + 8, frame_ts);
        }
        feed(m, p);
    }
    ASSERT_TRUE(m.complete());
    EXPECT_EQ(show(m.format()), show(kCaptures[1].want));
}

// One detector, one stream after another (the channel switched to another sender without being
// switched off): every format it reports on the way is one of the two streams', and in the end
// the second's. Sequence numbers and timestamps jump at the switch as they do between senders.
TEST(video_meter, follows_a_switch_to_another_stream) {
    for (const capture_case& a : kCaptures) {
        for (const capture_case& b : kCaptures) {
            if (&a == &b) {
                continue;
            }
            SCOPED_TRACE(std::string(a.name) + " then " + b.name);
            video_meter m;
            for (const packet& p : capture(a.file)) {
                feed(m, p);
            }
            ASSERT_TRUE(m.complete());
            for (const packet& p : capture(b.file)) {
                feed(m, p);
                if (m.complete()) {
                    const std::string got = show(m.format());
                    EXPECT_TRUE(got == show(a.want) || got == show(b.want)) << got;
                }
            }
            ASSERT_TRUE(m.complete());
            EXPECT_EQ(show(m.format()), show(b.want));
        }
    }
}

// Whichever single packet is lost, the frames around it are left out and the rest still give
// the right format, never a wrong one. Truncated and corrupted packets among good ones: no read
// outside a packet, nothing counted from a packet whose segments do not fit.
TEST(video_meter, survives_lost_and_damaged_packets) {
    for (const capture_case& c : kCaptures) {
        const std::vector<packet> packets = capture(c.file);
        for (size_t lost = 0; lost < packets.size(); ++lost) {
            SCOPED_TRACE(std::string(c.name) + " without packet " + std::to_string(lost));
            video_meter m;
            for (size_t i = 0; i < packets.size(); ++i) {
                if (i != lost) {
                    feed(m, packets[i]);
                }
            }
            ASSERT_TRUE(m.complete());
            EXPECT_EQ(show(m.format()), show(c.want));
        }
        SCOPED_TRACE(c.name);
        video_meter m;
        for (const packet& p : packets) {
            for (size_t len = 0; len < p.size(); ++len) {
                feed(m, packet(p.begin(), p.begin() + static_cast<long>(len)));
            }
            for (size_t i = 0; i < p.size(); ++i) {
                packet q = p;
                q[i] = static_cast<uint8_t>(q[i] ^ 0xff);
                feed(m, q);
            }
        }
        EXPECT_GT(m.malformed(), 0u);
    }
    // Shorter than an RTP header, a payload header and one segment header.
    const packet first = capture(k_uyvy_p25)[0];
    video_meter fresh;
    for (size_t len = 0; len < 20; ++len) {
        feed(fresh, packet(first.begin(), first.begin() + static_cast<long>(len)));
    }
    EXPECT_EQ(fresh.malformed(), 20u);
    EXPECT_FALSE(fresh.complete());
}

TEST(video_meter, rate_codes_of_measured_rates) {
    struct row {
        double hz;
        uint32_t code;
    };
    const row rows[] = {
        {90000.0 / 3754, 0},    // one step of 23.98
        {90000.0 / 1501, 8},    // 59.94, 0.03 % fast
        {90000.0 / 3003, 3},    // 29.97
        {90000.0 / 1500.2, 9},  // 60, 0.013 % slow
        {120.0, 12},           {29.0, kRateUnknown}, {0.0, kRateUnknown},
    };
    for (const row& r : rows) {
        EXPECT_EQ(rate_code(r.hz), r.code) << r.hz;
    }
}

}  // namespace
}  // namespace nexo::sim
