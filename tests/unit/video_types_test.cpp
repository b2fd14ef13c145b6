// The video standard catalogue: its rows, the lookups that ask the timing daemon for the
// ST 2059 frame rate, and the conversions between codes, names, rates, clocks and formats.
#include "video_types.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "smpte-2059-if.h"
#include "test_ctx.h"

namespace nexo {
namespace {

std::string show(const vid_std& s) {
    char buf[48];
    std::snprintf(buf, sizeof buf, "%u/%u/%u/0x%02x", s.frame_type, s.rate, s.subsampling, s.flags);
    return buf;
}

std::string show(const freq& f) {
    return std::to_string(f.num) + "/" + std::to_string(f.den);
}

const vid_std& row(int i) {
    return supported_video_std_table[static_cast<std::size_t>(i)];
}

TEST(video_types, names_of_catalogue_rows) {
    ASSERT_EQ(get_nbr_supported_video_stds(), 33);
    struct {
        int32_t index;
        const char *name, *data_rate, *subsampling;
    } cases[] = {
        {-1, "undefined", "", ""},
        {33, "undefined", "", ""},
        {0, "625i/25", "SD-SDI", "4.2.2"},
        {11, "1080i/29.97", "HD-SDI", "4.2.2"},
        {23, "1080i/29.97", "3G-SDI", "4.4.4"},
        {29, "1080p2059", "", "4.2.2"},
        {31, "1080i/2059", "", "4.4.4"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.index);
        EXPECT_STREQ(get_name_of_standard(c.index), c.name);
        EXPECT_STREQ(get_data_rate_name_of_standard(get_vid_std_ptr(c.index)), c.data_rate);
        EXPECT_STREQ(get_subsampling_name_of_standard(get_vid_std_ptr(c.index)), c.subsampling);
    }
    // Codes without a name.
    vid_std unnamed = {7, 8, 2, 0x07};
    EXPECT_STREQ(get_data_rate_name_of_standard(&unnamed), "");
    EXPECT_STREQ(get_subsampling_name_of_standard(&unnamed), "");
}

TEST(video_types, get_vid_std_asks_the_timing_daemon_only_for_2059_rows) {
    const std::string R = "RGET 2059_FRA ";
    struct {
        int32_t index;
        std::string reply;
        int32_t rc;
        vid_std out;
    } cases[] = {
        {18, R + "25 1", 0, row(18)},
        {33, "", -22, {}},
        {29, R + "60000 1001", 0, row(19)},
        {29, R + "60", -61, row(29)},
        // What the failing step had changed stays in out.
        {29, R + "48 1", -124, {4, 0, 0, 0x40}},
        {29, R + "72 1", -124, {4, 9, 0, 0x40}},
        {29, R + "60 0", -124, {4, 0, 0, 0x40}},
        // 720p 4.4.4 exists only at 23.98; 1080i has no 50 frame rate.
        {30, R + "25 1", -124, {2, 3, 1, 0x40}},
        {28, R + "50 1", -124, {3, 6, 0, 0x62}},
        // A reply of another kind, or none within 100 ms.
        {29, "RSET 2059_FRA 60 1", -61, row(29)},
        {29, "", -61, row(29)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.index) + " " + c.reply);
        test::test_ctx t;
        t.feed(0, c.reply.empty() ? "" : c.reply + "\n");
        vid_std out = {};
        EXPECT_EQ(get_vid_std(t.ctx, c.index, &out), c.rc);
        EXPECT_EQ(show(out), show(c.out));
        // Only the rows that follow ST 2059 ask.
        EXPECT_EQ(t.written(0), c.index >= 25 && c.index < 33 ? "GET 2059_FRA\n" : "");
    }
    test::test_ctx t;
    EXPECT_EQ(get_vid_std(t.ctx, 29, nullptr), -22);
    EXPECT_EQ(t.written(0), "");
}

TEST(video_types, frame_rate_and_clock_of_standard) {
    // "rc frame-rate clock:clock-frequency promille-less clock-promille-less sd"; a failure
    // leaves the rate as it was, "-" is a clock without a frequency.
    struct {
        vid_std standard;
        const char* expected;
    } cases[] = {
        // SD-SDI at 29.97 still runs on the integer clock.
        {row(0), "0 25000/1000 0:148500000/1 0 0 1"},
        {row(1), "0 30000/1001 0:148500000/1 1 0 1"},
        {row(2), "0 24000/1001 3:74250000000/1001 1 1 0"},
        {row(25), "-2 1/1 -1:- 0 0 1"},
        {row(19), "0 60000/1001 1:148500000000/1001 1 1 0"},
        {{4, 255, 0, 0x02}, "-2 1/1 2:74250000/1 0 0 0"},
        {{4, 9, 0, 0x00}, "0 72000/1000 0:148500000/1 0 0 0"},
        {{5, 7, 0, 0x16}, "0 60000/1001 5:- 1 1 0"},
        {{5, 8, 0, 0x06}, "0 60000/1000 4:- 0 0 0"},
    };
    for (const auto& [st, expected] : cases) {
        freq f = {1, 1}, clock_f = {};
        const int32_t rc = get_frame_rate_of_standard(&st, &f), clock = vid_std_to_clock_freq(&st);
        const bool known = video_clock_to_frequency(static_cast<uint32_t>(clock), &clock_f) == 0;
        std::string got = std::to_string(rc) + " " + show(f) + " " + std::to_string(clock) + ":" +
                          (known ? show(clock_f) : "-");
        for (int32_t v : {vid_std_is_promille_less(&st), vid_std_clock_is_promille_less(&st),
                          vid_std_is_sd(&st)}) {
            got += ' ';
            got += std::to_string(v);
        }
        EXPECT_EQ(got, expected) << show(st);
    }
    freq f = {};
    EXPECT_EQ(get_frame_rate_of_standard(nullptr, &f), -22);
    EXPECT_EQ(get_frame_rate_of_standard(&row(0), nullptr), -22);
    EXPECT_EQ(video_clock_to_frequency(0, nullptr), -22);
}

TEST(video_types, names_codes_and_frame_rate_types) {
    EXPECT_EQ(rate_string_to_rate("29.97"), 4u);
    EXPECT_EQ(rate_string_to_rate("29.970"), 255u);
    EXPECT_EQ(rate_string_to_rate(nullptr), 255u);
    EXPECT_EQ(framestring_to_frametype("1080P"), 255u);
    EXPECT_EQ(subsampling_string_to_subsampling("4:4:4"), 255u);
    EXPECT_STREQ(framerate_to_string(0), "2059");
    EXPECT_STREQ(framerate_to_string(10), "");
    EXPECT_STREQ(frametype_to_string(-256), "");
    // The frequency is reduced to a frame rate code without being changed.
    struct {
        freq f;
        uint32_t code;
    } rates[] = {
        {{60000, 1001}, 7}, {{50000, 1000}, 6}, {{120, 2}, 8},
        {{72, 1}, 255},     {{0, 0}, 255},      {{48, 1}, 255},
    };
    for (const auto& c : rates) {
        freq given = c.f;
        EXPECT_EQ(frequency_to_fr_type(&given), c.code) << show(c.f);
        EXPECT_EQ(show(given), show(c.f));
    }
}

TEST(video_types, st2110_20_to_vid_std) {
    constexpr uint32_t kRgb = 0, kYcr = 2, kNone = 0xFFFFFFFF, kI = 0, kP = 1;
    // "rc standard frequency", the standard starting as 99/99/99/0xff.
    struct {
        vid_fmt fmt;
        const char* expected;
    } cases[] = {
        {{kYcr, 10, kI, 1920, 1080, 60000, 1001}, "0 3/4/0/0x32 30000/1001"},
        {{kYcr, 10, kP, 1920, 1080, 60, 1}, "0 4/8/0/0x03 60/1"},
        {{kYcr, 10, kI, 1920, 1080, 50, 1}, "0 3/3/0/0x22 25/1"},
        {{kYcr, 10, kP, 3840, 2160, 60000, 1001}, "0 5/7/0/0x16 60000/1001"},
        // Halving drops the remainder.
        {{kYcr, 10, kI, 1920, 1080, 60001, 1001}, "0 3/4/0/0x32 30000/1001"},
        // A rate without a code still fills the standard and counts as fast.
        {{kYcr, 10, kP, 1920, 1080, 48, 1}, "-3 4/255/0/0x03 48/1"},
        {{kYcr, 10, kP, 1920, 1080, 1, 3}, "-3 4/255/0/0x13 1/3"},
        // Colour space codes beyond the table keep the caller's subsampling.
        {{7, 10, kP, 1280, 720, 50, 1}, "0 2/6/99/0x02 50/1"},
        // The frequency and the flags are written before the colour space is checked, the
        // rate code before the height.
        {{kRgb, 10, kP, 1920, 1080, 50, 1}, "-1 99/99/99/0x00 50/1"},
        {{kNone, 10, kI, 1920, 1080, 50, 1}, "-1 99/99/99/0x20 25/1"},
        {{kYcr, 10, kP, 720, 576, 50, 1}, "-2 99/6/0/0x00 50/1"},
    };
    for (const auto& c : cases) {
        vid_std st = {99, 99, 99, 0xFF};
        freq f = {};
        int32_t rc = st2110_20_to_vid_std(&c.fmt, &st, &f);
        EXPECT_EQ(std::to_string(rc) + " " + show(st) + " " + show(f), c.expected) << &c - cases;
    }
}

}  // namespace
}  // namespace nexo
