// Reading and writing session descriptions: what real senders write is read, malformed text is
// refused with the line that is wrong, and a written description reads back the same.
#include "sdp.h"

#include <gtest/gtest.h>

#include <string>

namespace nexo::client {
namespace {

// A 1080i/29.97 sender as the 2017 edition writes it: trailing ';' in fmtp, LF line ends.
constexpr const char* kVideo =
    "v=0\n"
    "o=- 123456 11 IN IP4 192.168.100.2\n"
    "s=Example\n"
    "t=0 0\n"
    "a=group:DUP primary secondary\n"
    "m=video 50000 RTP/AVP 112\n"
    "c=IN IP4 239.100.9.10/32\n"
    "a=source-filter: incl IN IP4 239.100.9.10 192.168.100.2\n"
    "a=rtpmap:112 raw/90000\n"
    "a=fmtp:112 sampling=YCbCr-4:2:2; width=1920; height=1080; exactframerate=30000/1001; "
    "depth=10; TCS=SDR; colorimetry=BT709; PM=2110GPM; SSN=ST2110-20:2017; TP=2110TPN; "
    "interlace; MAXUDP=1460;\n"
    "a=ts-refclk:ptp=IEEE1588-2008:39-A7-94-FF-FE-07-CB-D0:37\n"
    "a=mediaclk:direct=0\n"
    "a=mid:primary\n";

TEST(sdp, reads_every_field_of_a_video_section) {
    auto r = parse_sdp(kVideo);
    ASSERT_TRUE(r.ok()) << to_string(r.error);
    const sdp_session& s = *r.session;
    ASSERT_EQ(s.media.size(), 1u);
    ASSERT_EQ(s.groups.size(), 1u);
    EXPECT_EQ(s.groups[0].semantics, "DUP");
    EXPECT_EQ(s.groups[0].mids, (std::vector<std::string>{"primary", "secondary"}));
    const sdp_media& m = s.media[0];
    EXPECT_EQ(m.line, 6);
    EXPECT_EQ(m.port, 50000u);
    ASSERT_TRUE(m.connection);
    EXPECT_EQ(m.connection->address, "239.100.9.10");
    EXPECT_EQ(m.connection->ttl, 32u);
    ASSERT_EQ(m.source_filters.size(), 1u);
    EXPECT_EQ(m.source_filters[0].sources, (std::vector<std::string>{"192.168.100.2"}));
    ASSERT_NE(m.first_rtpmap(), nullptr);
    EXPECT_EQ(m.first_rtpmap()->encoding, "raw");
    const sdp_format_params& p = m.params;
    EXPECT_EQ(p.sampling, "YCbCr-4:2:2");
    EXPECT_EQ(p.width, 1920u);
    EXPECT_EQ(p.height, 1080u);
    EXPECT_EQ(p.exactframerate, (sdp_rate{30000, 1001}));
    EXPECT_EQ(p.depth, "10");
    EXPECT_TRUE(p.interlace);
    EXPECT_FALSE(p.segmented);
    EXPECT_EQ(p.tp, "2110TPN");
    EXPECT_EQ(p.maxudp, 1460u);
    EXPECT_EQ(m.ts_refclk.size(), 1u);
    EXPECT_EQ(m.mediaclk, "direct=0");
    EXPECT_EQ(m.mid, "primary");
}

std::string with(std::string base, const std::string& from, const std::string& to) {
    base.replace(base.find(from), from.size(), to);
    return base;
}

TEST(sdp, reads_what_senders_vary_on) {
    struct row {
        const char* what;
        std::string text;
    };
    std::string crlf = kVideo;
    for (std::size_t pos = 0; (pos = crlf.find('\n', pos)) != std::string::npos; pos += 2) {
        crlf.insert(pos, 1, '\r');
    }
    std::string folded = with(kVideo, " depth=10;", "\n   depth=10;");
    std::string tight = with(kVideo, "; height", ";height");
    std::string unterminated = kVideo;
    unterminated.pop_back();
    const row rows[] = {
        {"CRLF", crlf},
        {"fmtp folded onto blank-led lines", folded},
        {"';' without a blank", tight},
        {"no final line end", unterminated},
        {"blank lines and unknown lines", std::string(kVideo) + "\nb=AS:100\nx=unknown\na=foo\n"},
    };
    auto base = parse_sdp(kVideo);
    ASSERT_TRUE(base.ok());
    for (const row& r : rows) {
        auto got = parse_sdp(r.text);
        ASSERT_TRUE(got.ok()) << r.what << ": " << to_string(got.error);
        EXPECT_EQ(got.session->media[0].params, base.session->media[0].params) << r.what;
        EXPECT_EQ(got.session->media[0].connection->address, "239.100.9.10") << r.what;
    }
}

TEST(sdp, names_the_line_that_is_wrong) {
    struct row {
        std::string before;  // the lines before the wrong one
        const char* wrong;   // the line as the error shows it
        int line;
    };
    const std::string head = "v=0\no=- 1 1 IN IP4 10.0.0.1\ns=x\nt=0 0\n";
    const std::string video = head + "m=video 5000 RTP/AVP 96\n";
    const std::string audio = head + "m=audio 5000 RTP/AVP 96\n";
    const row rows[] = {
        {"", "this is not an SDP", 1},
        {"", "v=1", 1},
        {"v=0\n", "m=video 5000 RTP/AVP 96", 2},
        {"v=0\n", "o=- 1 1 IN", 2},
        {head, "m=video {{ dst_port }} RTP/AVP 97", 5},
        {head, "m=video 70000 RTP/AVP 97", 5},
        {head, "m=video 5000 RTP/AVP", 5},
        {video, "c=IN IP4 239.1.1.1/x", 6},
        {video, "c=IN IP4", 6},
        {video, "a=rtpmap:96 raw", 6},
        {video, "a=rtpmap:200 raw/90000", 6},
        {audio, "a=rtpmap:96 L24/48000/x", 6},
        {video, "a=fmtp:96 width=wide; height=1080", 6},
        {video, "a=fmtp:96 exactframerate=29.97", 6},
        {video, "a=fmtp:96 depth=ten", 6},
        {video, "a=fmtp:x width=1", 6},
        {audio, "a=ptime:fast", 6},
        {audio, "a=source-filter: both IN IP4 * 1.2.3.4", 6},
        {head, "  leading blanks", 5},
        {head, "V=0", 5},
    };
    for (const row& r : rows) {
        auto got = parse_sdp(r.before + r.wrong + "\n");
        ASSERT_FALSE(got.ok()) << r.wrong;
        EXPECT_EQ(got.error.line, r.line) << r.wrong;
        EXPECT_EQ(got.error.text, r.wrong);
        EXPECT_FALSE(got.error.message.empty());
    }
    auto empty = parse_sdp("");
    ASSERT_FALSE(empty.ok());
    EXPECT_EQ(empty.error.line, 1);
    // A rate written with decimals is told how to write it.
    auto decimal = parse_sdp(video + "a=fmtp:96 exactframerate=59.94\n");
    ASSERT_FALSE(decimal.ok());
    EXPECT_NE(to_string(decimal.error).find("59.94 is written 60000/1001"), std::string::npos)
        << to_string(decimal.error);
}

TEST(sdp, reads_packet_times_and_rates) {
    struct row {
        const char* ptime;
        uint32_t us;
    };
    const row rows[] = {{"1", 1000}, {"0.125", 125}, {"1.000", 1000}, {"4", 4000}, {".25", 250}};
    for (const row& r : rows) {
        std::string text = "v=0\no=- 1 1 IN IP4 1.1.1.1\ns=a\nm=audio 5000 RTP/AVP 97\na=ptime:" +
                           std::string(r.ptime) + "\n";
        auto got = parse_sdp(text);
        ASSERT_TRUE(got.ok()) << r.ptime;
        EXPECT_EQ(got.session->media[0].ptime_us, r.us) << r.ptime;
    }
    EXPECT_EQ(rate_from_string("25"), (sdp_rate{25, 1}));
    EXPECT_EQ(rate_from_string("60000/1001"), (sdp_rate{60000, 1001}));
    for (const char* bad : {"", "0", "25/0", "/1001", "25/", "-25", "25.0"}) {
        EXPECT_FALSE(rate_from_string(bad)) << bad;
    }
}

TEST(sdp, written_description_reads_back_the_same) {
    auto first =
        parse_sdp(std::string(kVideo) +
                  "m=audio 5004 RTP/AVP 97\nc=IN IP4 239.1.1.2/64/2\n"
                  "a=rtpmap:97 L24/48000/8\na=fmtp:97 channel-order=SMPTE2110.(SGRP,SGRP)\n"
                  "a=ptime:0.125\n");
    ASSERT_TRUE(first.ok()) << to_string(first.error);
    std::string text = write_sdp(*first.session);
    auto second = parse_sdp(text);
    ASSERT_TRUE(second.ok()) << to_string(second.error) << "\n" << text;
    EXPECT_EQ(write_sdp(*second.session), text);
    const sdp_media& a = second.session->media[1];
    EXPECT_EQ(a.connection->count, 2u);
    EXPECT_EQ(a.ptime_us, 125u);
    EXPECT_EQ(a.params.channel_order, "SMPTE2110.(SGRP,SGRP)");
    EXPECT_EQ(second.session->media[0].params, first.session->media[0].params);
}

}  // namespace
}  // namespace nexo::client
