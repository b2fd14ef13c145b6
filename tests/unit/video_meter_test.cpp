// The video meter on packet captures of a real RFC 4175 sender (GStreamer's rtpvrawpay, tiny
// rasters and a small MTU so that lines span several packets), and on damaged copies of them.
#include "video_meter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

namespace nexo::sim {
namespace {

using packet = std::vector<uint8_t>;

// Captures: one RTP packet per line, in hex, as they came off the wire.
// 16x4 4:2:2 8-bit, 25 frames/s, five frames.
constexpr const char* k_uyvy_p25 = R"(
8060719d889d1f48a357ed60000000140000000080eb80eb10d292d2a6aa10aa369122918091806a
8060719e889d1f48a357ed600000000c0000000a926ae751a551af29f0296e29
8060719f889d1f48a357ed60000000140001000080eb80eb10d292d2a6aa10aa369122918091806a
806071a0889d1f48a357ed600000000c0001000a926ae751a551af29f0296e29
806071a1889d1f48a357ed600000001400020000f0296e2980108010ca6ade6a80108010931048aa
806071a2889d1f48a357ed600000000c0002000a93aa4810801080eb80eb80eb
806071a3889d1f48a357ed600000001400030000c610151080eb80ebb6eba310eb10c61080008010
80e071a4889d1f48a357ed600000000c0003000a80208020801080cd80138067
806071a5889d2d58a357ed60000000140000000080eb80eb10d292d2a6aa10aa369122918091806a
806071a6889d2d58a357ed600000000c0000000a926ae751a551af29f0296e29
806071a7889d2d58a357ed60000000140001000080eb80eb10d292d2a6aa10aa369122918091806a
806071a8889d2d58a357ed600000000c0001000a926ae751a551af29f0296e29
806071a9889d2d58a357ed600000001400020000f0296e2980108010ca6ade6a80108010931048aa
806071aa889d2d58a357ed600000000c0002000a93aa4810801080eb80eb80eb
806071ab889d2d58a357ed600000001400030000c610151080eb80ebb6eba310eb10c61080008010
80e071ac889d2d58a357ed600000000c0003000a8020802080a2802b80a58029
806071ad889d3b68a357ed60000000140000000080eb80eb10d292d2a6aa10aa369122918091806a
806071ae889d3b68a357ed600000000c0000000a926ae751a551af29f0296e29
806071af889d3b68a357ed60000000140001000080eb80eb10d292d2a6aa10aa369122918091806a
806071b0889d3b68a357ed600000000c0001000a926ae751a551af29f0296e29
806071b1889d3b68a357ed600000001400020000f0296e2980108010ca6ade6a80108010931048aa
806071b2889d3b68a357ed600000000c0002000a93aa4810801080eb80eb80eb
806071b3889d3b68a357ed600000001400030000c610151080eb80ebb6eba310eb10c61080008010
80e071b4889d3b68a357ed600000000c0003000a80208020805d80cb80d580a4
806071b5889d4978a357ed60000000140000000080eb80eb10d292d2a6aa10aa369122918091806a
806071b6889d4978a357ed600000000c0000000a926ae751a551af29f0296e29
806071b7889d4978a357ed60000000140001000080eb80eb10d292d2a6aa10aa369122918091806a
806071b8889d4978a357ed600000000c0001000a926ae751a551af29f0296e29
806071b9889d4978a357ed600000001400020000f0296e2980108010ca6ade6a80108010931048aa
806071ba889d4978a357ed600000000c0002000a93aa4810801080eb80eb80eb
806071bb889d4978a357ed600000001400030000c610151080eb80ebb6eba310eb10c61080008010
80e071bc889d4978a357ed600000000c0003000a802080208027802a80628020
806071bd889d5788a357ed60000000140000000080eb80eb10d292d2a6aa10aa369122918091806a
806071be889d5788a357ed600000000c0000000a926ae751a551af29f0296e29
806071bf889d5788a357ed60000000140001000080eb80eb10d292d2a6aa10aa369122918091806a
806071c0889d5788a357ed600000000c0001000a926ae751a551af29f0296e29
806071c1889d5788a357ed600000001400020000f0296e2980108010ca6ade6a80108010931048aa
806071c2889d5788a357ed600000000c0002000a93aa4810801080eb80eb80eb
806071c3889d5788a357ed600000001400030000c610151080eb80ebb6eba310eb10c61080008010
80e071c4889d5788a357ed600000000c0003000a8020802080708078806d80e9)";

// 16x8 4:2:2 8-bit interlaced, 25 frames/s (50 fields), four frames.
constexpr const char* k_uyvy_i25 = R"(
80603357983236b857b87ce30000001c0000000080eb80eb10d292d2a6aa10aa369122918091806a926ae751a551af29
80603358983236b857b87ce3000000040000800e001000020000f0296e2980eb80eb10d292d2a6aa10aa36912291
80603359983236b857b87ce300000010000280080004000400008091806a926ae751a551af29f0296e2980eb80eb
8060335a983236b857b87ce30000001c0004000210d292d2a6aa10aa369122918091806a926ae751a551af29f0296e29
8060335b983236b857b87ce30000001c00060000c610151080eb80ebb6eba310eb10c6108000801080208020801080cd
80e0335c983236b857b87ce3000000040006000e80138067
8060335d98323dc057b87ce30000001c8001000080eb80eb10d292d2a6aa10aa369122918091806a926ae751a551af29
8060335e98323dc057b87ce3000000048001800e001080030000f0296e2980eb80eb10d292d2a6aa10aa36912291
8060335f98323dc057b87ce300000010800380080004800500008091806a926ae751a551af29f0296e29f0296e29
8060336098323dc057b87ce30000001c8005000280108010ca6ade6a80108010931048aa93aa4810801080eb80eb80eb
8060336198323dc057b87ce30000001c80070000c610151080eb80ebb6eba310eb10c610800080108020802080a2802b
80e0336298323dc057b87ce3000000048007000e80a58029
80603363983244c857b87ce30000001c0000000080eb80eb10d292d2a6aa10aa369122918091806a926ae751a551af29
80603364983244c857b87ce3000000040000800e001000020000f0296e2980eb80eb10d292d2a6aa10aa36912291
80603365983244c857b87ce300000010000280080004000400008091806a926ae751a551af29f0296e2980eb80eb
80603366983244c857b87ce30000001c0004000210d292d2a6aa10aa369122918091806a926ae751a551af29f0296e29
80603367983244c857b87ce30000001c00060000c610151080eb80ebb6eba310eb10c6108000801080208020805d80cb
80e03368983244c857b87ce3000000040006000e80d580a4
8060336998324bd057b87ce30000001c8001000080eb80eb10d292d2a6aa10aa369122918091806a926ae751a551af29
8060336a98324bd057b87ce3000000048001800e001080030000f0296e2980eb80eb10d292d2a6aa10aa36912291
8060336b98324bd057b87ce300000010800380080004800500008091806a926ae751a551af29f0296e29f0296e29
8060336c98324bd057b87ce30000001c8005000280108010ca6ade6a80108010931048aa93aa4810801080eb80eb80eb
8060336d98324bd057b87ce30000001c80070000c610151080eb80ebb6eba310eb10c61080008010802080208027802a
80e0336e98324bd057b87ce3000000048007000e80628020
8060336f983252d857b87ce30000001c0000000080eb80eb10d292d2a6aa10aa369122918091806a926ae751a551af29
80603370983252d857b87ce3000000040000800e001000020000f0296e2980eb80eb10d292d2a6aa10aa36912291
80603371983252d857b87ce300000010000280080004000400008091806a926ae751a551af29f0296e2980eb80eb
80603372983252d857b87ce30000001c0004000210d292d2a6aa10aa369122918091806a926ae751a551af29f0296e29
80603373983252d857b87ce30000001c00060000c610151080eb80ebb6eba310eb10c610800080108020802080708078
80e03374983252d857b87ce3000000040006000e806d80e9
80603375983259e057b87ce30000001c8001000080eb80eb10d292d2a6aa10aa369122918091806a926ae751a551af29
80603376983259e057b87ce3000000048001800e001080030000f0296e2980eb80eb10d292d2a6aa10aa36912291
80603377983259e057b87ce300000010800380080004800500008091806a926ae751a551af29f0296e29f0296e29
80603378983259e057b87ce30000001c8005000280108010ca6ade6a80108010931048aa93aa4810801080eb80eb80eb
80603379983259e057b87ce30000001c80070000c610151080eb80ebb6eba310eb10c6108000801080208020801e80eb
80e0337a983259e057b87ce3000000048007000e802580a6
8060337b983260e857b87ce30000001c0000000080eb80eb10d292d2a6aa10aa369122918091806a926ae751a551af29
8060337c983260e857b87ce3000000040000800e001000020000f0296e2980eb80eb10d292d2a6aa10aa36912291
8060337d983260e857b87ce300000010000280080004000400008091806a926ae751a551af29f0296e2980eb80eb
8060337e983260e857b87ce30000001c0004000210d292d2a6aa10aa369122918091806a926ae751a551af29f0296e29
8060337f983260e857b87ce30000001c00060000c610151080eb80ebb6eba310eb10c610800080108020802080628029
80e03380983260e857b87ce3000000040006000e801380a4
80603381983267f057b87ce30000001c8001000080eb80eb10d292d2a6aa10aa369122918091806a926ae751a551af29
80603382983267f057b87ce3000000048001800e001080030000f0296e2980eb80eb10d292d2a6aa10aa36912291
80603383983267f057b87ce300000010800380080004800500008091806a926ae751a551af29f0296e29f0296e29
80603384983267f057b87ce30000001c8005000280108010ca6ade6a80108010931048aa93aa4810801080eb80eb80eb
80603385983267f057b87ce30000001c80070000c610151080eb80ebb6eba310eb10c610800080108020802080ab8029
80e03386983267f057b87ce3000000048007000e80128035)";

// 8x4 RGB 8-bit, 59.94 frames/s, five frames.
constexpr const char* k_rgb_p5994 = R"(
8060511bd1dad57e14a49f7b0000001200000000ffffffffff0000ffff00ff00ff00ffff0000
8060511cd1dad57e14a49f7b00000006000080060006000100000000ff0000ffffffffffff00
8060511dd1dad57e14a49f7b000000120001000200ffff00ff00ff00ffff00000000ff0000ff
8060511ed1dad57e14a49f7b00000012000200000000ff000000ff00ff00000000ffff000000
8060511fd1dad57e14a49f7b0000000600028006000600030000ffffffffffff000080ffffff
80e05120d1dad57e14a49f7b00000012000300020080ff0080ff000000131313000000dcdcdc
80605121d1dadb5b14a49f7b0000001200000000ffffffffff0000ffff00ff00ff00ffff0000
80605122d1dadb5b14a49f7b00000006000080060006000100000000ff0000ffffffffffff00
80605123d1dadb5b14a49f7b000000120001000200ffff00ff00ff00ffff00000000ff0000ff
80605124d1dadb5b14a49f7b00000012000200000000ff000000ff00ff00000000ffff000000
80605125d1dadb5b14a49f7b0000000600028006000600030000ffffffffffff000080ffffff
80e05126d1dadb5b14a49f7b00000012000300020080ff0080ff000000131313040404656565
80605127d1dae13814a49f7b0000001200000000ffffffffff0000ffff00ff00ff00ffff0000
80605128d1dae13814a49f7b00000006000080060006000100000000ff0000ffffffffffff00
80605129d1dae13814a49f7b000000120001000200ffff00ff00ff00ffff00000000ff0000ff
8060512ad1dae13814a49f7b00000012000200000000ff000000ff00ff00000000ffff000000
8060512bd1dae13814a49f7b0000000600028006000600030000ffffffffffff000080ffffff
80e0512cd1dae13814a49f7b00000012000300020080ff0080ff000000131313aaaaaa1f1f1f
8060512dd1dae71614a49f7b0000001200000000ffffffffff0000ffff00ff00ff00ffff0000
8060512ed1dae71614a49f7b00000006000080060006000100000000ff0000ffffffffffff00
8060512fd1dae71614a49f7b000000120001000200ffff00ff00ff00ffff00000000ff0000ff
80605130d1dae71614a49f7b00000012000200000000ff000000ff00ff00000000ffff000000
80605131d1dae71614a49f7b0000000600028006000600030000ffffffffffff000080ffffff
80e05132d1dae71614a49f7b00000012000300020080ff0080ff000000131313adadad1d1d1d
80605133d1daecf314a49f7b0000001200000000ffffffffff0000ffff00ff00ff00ffff0000
80605134d1daecf314a49f7b00000006000080060006000100000000ff0000ffffffffffff00
80605135d1daecf314a49f7b000000120001000200ffff00ff00ff00ffff00000000ff0000ff
80605136d1daecf314a49f7b00000012000200000000ff000000ff00ff00000000ffff000000
80605137d1daecf314a49f7b0000000600028006000600030000ffffffffffff000080ffffff
80e05138d1daecf314a49f7b00000012000300020080ff0080ff0000001313135a5a5adadada)";

std::vector<packet> capture(const char* text) {
    std::istringstream in(text);
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
    const char* text;
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
        for (const packet& p : capture(c.text)) {
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
            for (const packet& p : capture(a.text)) {
                feed(m, p);
            }
            ASSERT_TRUE(m.complete());
            for (const packet& p : capture(b.text)) {
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
        const std::vector<packet> packets = capture(c.text);
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
