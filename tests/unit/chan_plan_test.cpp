// From descriptions to daemon lines: what the board can receive becomes exactly the lines that
// configure it, what it cannot is refused naming the attribute, and a channel's configuration
// written as a description plans back to the same configuration.
#include "chan_plan.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "caps.h"
#include "nexo-cmd-parse.h"
#include "video_types.h"

namespace nexo::client {
namespace {

std::string session(const std::string& media) {
    return "v=0\r\no=- 1 1 IN IP4 10.0.0.9\r\ns=test\r\nt=0 0\r\n" + media;
}

std::string video(const std::string& fmtp, const std::string& extra = "") {
    return "m=video 5004 RTP/AVP 96\r\nc=IN IP4 239.1.1.1/64\r\n"
           "a=source-filter: incl IN IP4 239.1.1.1 10.0.0.9\r\n"
           "a=rtpmap:96 raw/90000\r\na=fmtp:96 " +
           fmtp + "\r\n" + extra;
}

const std::string k1080p50 =
    "sampling=YCbCr-4:2:2; width=1920; height=1080; exactframerate=50; depth=10; "
    "colorimetry=BT709; PM=2110GPM; TP=2110TPN; SSN=ST2110-20:2017";

std::string with(std::string base, const std::string& from, const std::string& to) {
    base.replace(base.find(from), from.size(), to);
    return base;
}

std::string audio(const std::string& rtpmap, const std::string& ptime = "a=ptime:1\r\n") {
    return "m=audio 5006 RTP/AVP 97\r\nc=IN IP4 239.1.2.1/64\r\na=rtpmap:97 " + rtpmap + "\r\n" +
           ptime;
}

const std::string kAnc =
    "m=video 5008 RTP/AVP 100\r\nc=IN IP4 239.1.3.1/64\r\n"
    "a=rtpmap:100 smpte291/90000\r\na=fmtp:100 DID_SDID={0x61,0x02}\r\n";

// Plans the description for the channel ("" lets the description choose).
channel_plan plan_of(const std::string& text, const char* channel) {
    auto parsed = parse_sdp(text);
    EXPECT_TRUE(parsed.ok()) << to_string(parsed.error) << "\n" << text;
    if (!parsed.ok()) {
        return {refusal{"parse", "", "", 0}, {}, {}, -1};
    }
    std::optional<channel_id> ch;
    if (channel != nullptr) {
        ch = parse_channel(channel);
    }
    return plan_channel(*parsed.session, ch);
}

TEST(chan_plan, turns_receivable_descriptions_into_daemon_lines) {
    struct row {
        std::string text;
        const char* channel;  // null: let the description choose
        std::vector<std::string> lines;
    };
    const std::string to_20_0 = "SET RX_IP_DEST 20:0 eth1 R 239.1.1.1 5004 96";
    const std::string from_20_0 = "SET RX_IP_SRC 20:0 eth1 R 10.0.0.9 0 96";
    // clang-format off
    const row rows[] = {
        {session(video(k1080p50)), nullptr, {to_20_0, from_20_0, "SET RX_VID_FMT 20:0 YCR422 10 P 1920 1080 50"}},
        // Interlaced: the format text names the field rate.
        {session(video(with(k1080p50, "exactframerate=50", "exactframerate=30000/1001; interlace"))), "20:2",
         {"SET RX_IP_DEST 20:2 eth1 R 239.1.1.1 5004 96", "SET RX_IP_SRC 20:2 eth1 R 10.0.0.9 0 96",
          "SET RX_VID_FMT 20:2 YCR422 10 I 1920 1080 59.94"}},
        {session(video(with(k1080p50, "exactframerate=50", "exactframerate=25; interlace; segmented"))), "20:1",
         {"SET RX_IP_DEST 20:1 eth1 R 239.1.1.1 5004 96", "SET RX_IP_SRC 20:1 eth1 R 10.0.0.9 0 96",
          "SET RX_VID_FMT 20:1 YCR422 10 S 1920 1080 50"}},
        {session(video("sampling=YCbCr-4:2:2; width=1280; height=720; exactframerate=60000/1001; depth=10;")), nullptr,
         {to_20_0, from_20_0, "SET RX_VID_FMT 20:0 YCR422 10 P 1280 720 59.94"}},
        {session(video(with(k1080p50, "YCbCr-4:2:2; width=1920; height=1080; exactframerate=50",
                            "RGB; width=1920; height=1080; exactframerate=24"))), nullptr,
         {to_20_0, from_20_0, "SET RX_VID_FMT 20:0 RGB 10 P 1920 1080 24"}},
        // No source filter: any source.
        {session("m=audio 5006 RTP/AVP 97\r\nc=IN IP4 239.1.2.1/64\r\na=rtpmap:97 L24/48000/8\r\n"), "30:3",
         {"SET RX_IP_DEST 30:3 eth1 R 239.1.2.1 5006 97", "SET RX_IP_SRC 30:3 eth1 R 0.0.0.0 0 97",
          "SET RX_AUD_FMT 30:3 8 L24 48000 1"}},
        {session(audio("L16/96000/2", "a=ptime:4.000\r\n")), nullptr,
         {"SET RX_IP_DEST 30:0 eth1 R 239.1.2.1 5006 97", "SET RX_IP_SRC 30:0 eth1 R 0.0.0.0 0 97",
          "SET RX_AUD_FMT 30:0 2 L16 96000 4"}},
        // A session-level c= and the ancillary section of a three-section file.
        {"v=0\r\no=- 1 1 IN IP4 10.0.0.9\r\ns=x\r\nc=IN IP4 239.9.9.9/32\r\nt=0 0\r\n"
         "m=video 5008 RTP/AVP 100\r\na=rtpmap:100 smpte291/90000\r\n", "40:1",
         {"SET RX_IP_DEST 40:1 eth1 R 239.9.9.9 5008 100", "SET RX_IP_SRC 40:1 eth1 R 0.0.0.0 0 100"}},
        // 525-line interlaced described by its 480 picture lines: the board's 525-line format.
        {session(video(with(k1080p50, "width=1920; height=1080; exactframerate=50",
                            "width=720; height=480; exactframerate=30000/1001; interlace"))), nullptr,
         {to_20_0, from_20_0, "SET RX_VID_FMT 20:0 YCR422 10 I 720 486 59.94"}},
        {session(video(k1080p50) + audio("L24/48000/2") + kAnc), "40:0",
         {"SET RX_IP_DEST 40:0 eth1 R 239.1.3.1 5008 100", "SET RX_IP_SRC 40:0 eth1 R 0.0.0.0 0 100"}},
    };
    // clang-format on
    for (const row& r : rows) {
        channel_plan plan = plan_of(r.text, r.channel);
        ASSERT_FALSE(plan.refused) << to_string(*plan.refused) << "\n" << r.text;
        EXPECT_EQ(config_lines(plan.config, false), r.lines) << r.text;
    }
}

TEST(chan_plan, refuses_what_the_board_cannot_receive) {
    struct row {
        std::string text;
        const char* channel;
        const char* attribute;  // what the refusal names
        const char* value;
        const char* accepted = nullptr;  // what it offers instead begins so
    };
    // clang-format off
    const row rows[] = {
        {session(""), nullptr, "m=", "(none)"},
        // The nearest formats are named, the same scan first.
        {session(video(with(k1080p50, "width=1920; height=1080", "width=1280; height=718"))), nullptr, "a=fmtp",
         "1280x718p@50 YCbCr-4:2:2", "for YCbCr-4:2:2 nearest 1280x720p@50, 1280x720p@60000/1001, 1280x720p@60, "},
        {session(video(with(k1080p50, "exactframerate=50", "exactframerate=50; interlace"))), nullptr, "a=fmtp",
         "1920x1080i@50 YCbCr-4:2:2", "for YCbCr-4:2:2 nearest 1920x1080i@30, 1920x1080i@30000/1001, 1920x1080i@25, "},
        {session(video(with(k1080p50, "exactframerate=50; ", ""))), nullptr, "exactframerate", "(missing)",
         "formats with width, height and exactframerate, for YCbCr-4:2:2 nearest 1920x1080p@"},
        {session(video(k1080p50 + "; TCS=BOGUS")), nullptr, "TCS", "BOGUS", "SDR, PQ, HLG, "},
        {session(video(with(k1080p50, "YCbCr-4:2:2", "YCbCr-4:2:0"))), nullptr, "sampling", "YCbCr-4:2:0"},
        {session(video(with(k1080p50, "depth=10", "depth=16f"))), nullptr, "depth", "16f"},
        {session(video(with(k1080p50, "width=1920", "width=2048"))), nullptr, "a=fmtp", "2048x1080p@50 YCbCr-4:2:2"},
        // 1080p50 is in the catalogue only as 4:2:2.
        {session(video(with(k1080p50, "YCbCr-4:2:2", "YCbCr-4:4:4"))), nullptr, "a=fmtp", "1920x1080p@50 YCbCr-4:4:4"},
        {session(video(with(k1080p50, "BT709", "XYZ"))), nullptr, "colorimetry", "XYZ"},
        {session(video(k1080p50 + "; MAXUDP=9628")), nullptr, "MAXUDP", "9628"},
        {session(with(video(k1080p50), "raw/90000", "jxsv/90000")), nullptr, "a=rtpmap", "jxsv/90000"},
        {session(with(video(k1080p50), "a=rtpmap:96 raw/90000\r\n", "")), nullptr, "a=rtpmap", "none for payload type 96"},
        {session(audio("AM824/48000/2")), nullptr, "a=rtpmap", "AM824/48000"},
        {session(audio("L24/32000/2")), nullptr, "sampling rate", "32000"},
        {session(audio("L24/48000/16", "a=ptime:0.125\r\n")), nullptr, "a=ptime", "0.125"},
        {session(audio("L24/48000/80")), nullptr, "channel count", "80"},
        {session(audio("L24/48000/2")), "20:0", "m=", "audio/L24 (line 5)"},
        {session(with(audio("L24/48000/2"), "RTP/AVP", "RTP/SAVP")), nullptr, "m=", "RTP/SAVP"},
        {session(with(video(k1080p50), "239.1.1.1/64", "224.0.0.5/64")), nullptr, "c=", "224.0.0.5"},
        {session(with(video(k1080p50), "c=IN IP4 239.1.1.1/64", "c=IN IP6 ff0e::1")), nullptr, "c=", "IN IP6"},
        {session(with(video(k1080p50), "c=IN IP4 239.1.1.1/64\r\n", "")), nullptr, "c=", "(missing)"},
        {session(with(video(k1080p50), "10.0.0.9\r\n", "127.0.0.2\r\n")), nullptr, "a=source-filter", "127.0.0.2"},
        {session("m=application 9 TCP/BFCP *\r\n"), nullptr, "m=", "application/? (line 5)"},
    };
    // clang-format on
    for (const row& r : rows) {
        channel_plan plan = plan_of(r.text, r.channel);
        ASSERT_TRUE(plan.refused) << r.text;
        EXPECT_EQ(plan.refused->attribute, r.attribute) << r.text;
        EXPECT_EQ(plan.refused->value, r.value) << r.text;
        EXPECT_FALSE(plan.refused->accepted.empty());
        if (r.accepted != nullptr) {
            EXPECT_TRUE(plan.refused->accepted.starts_with(r.accepted)) << plan.refused->accepted;
        }
    }
}

TEST(chan_plan, applies_the_first_leg_of_a_dup_pair_and_says_so) {
    std::string legs = with(video(k1080p50, "a=mid:S1\r\n"), "", "") +
                       with(video(k1080p50, "a=mid:S2\r\n"), "239.1.1.1", "239.2.2.2");
    // The sections in the other order than the group names them.
    std::string text = session("a=group:DUP S2 S1\r\n" + legs);
    auto parsed = parse_sdp(text);
    ASSERT_TRUE(parsed.ok()) << to_string(parsed.error);
    channel_plan plan = plan_channel(*parsed.session, channel_id{20, 1});
    ASSERT_FALSE(plan.refused);
    EXPECT_EQ(plan.config.destination, "239.2.2.2");
    ASSERT_EQ(plan.notices.size(), 1u);
    EXPECT_NE(plan.notices[0].find("S1"), std::string::npos);
}

TEST(chan_plan, takes_any_source_where_the_filter_names_none_or_several) {
    struct row {
        std::string filter;
        const char* source;
        std::size_t notices;
    };
    const row rows[] = {
        {"a=source-filter: incl IN IP4 239.1.1.1 10.0.0.7\r\n", "10.0.0.7", 0},
        {"a=source-filter:incl IN IP4 * 10.0.0.8\r\n", "10.0.0.8", 0},
        {"a=source-filter: incl IN IP4 239.9.9.9 10.0.0.8\r\n", "0.0.0.0", 0},  // other group
        {"a=source-filter: incl IN IP4 239.1.1.1 10.0.0.7 10.0.0.8\r\n", "0.0.0.0", 1},
        {"a=source-filter: excl IN IP4 239.1.1.1 10.0.0.7\r\n", "0.0.0.0", 1},
    };
    for (const row& r : rows) {
        std::string m =
            with(video(k1080p50), "a=source-filter: incl IN IP4 239.1.1.1 10.0.0.9\r\n", r.filter);
        auto parsed = parse_sdp(session(m));
        ASSERT_TRUE(parsed.ok()) << r.filter;
        channel_plan plan = plan_channel(*parsed.session, std::nullopt);
        ASSERT_FALSE(plan.refused) << r.filter;
        EXPECT_EQ(plan.config.source, r.source) << r.filter;
        EXPECT_EQ(plan.notices.size(), r.notices) << r.filter;
    }
}

// Every picture format of the catalogue, an audio and an ancillary configuration can be
// described, planned and read back; the picture formats agree with the daemon's own conversion
// from an ST 2110-20 format to a standard.
channel_config cfg(uint32_t type, uint32_t index, const char* dst, uint32_t port, const char* src,
                   uint32_t payload_type = 0) {
    channel_config c;
    c.channel = {type, index};
    c.destination = dst;
    c.port = port;
    c.payload_type = payload_type;
    c.source = src;
    return c;
}

TEST(chan_plan, configurations_round_trip) {
    channel_config audio = cfg(30, 2, "239.20.0.1", 5006, "0.0.0.0", 97);
    audio.audio = audio_format{8, "L24", 48000, 1};
    // Unicast: no TTL.
    std::vector<channel_config> configs = {audio, cfg(40, 0, "10.1.2.3", 5008, "10.1.2.4", 100)};
    for (const video_mode& mode : video_modes()) {
        for (const sampling_row& sampling : sampling_table) {
            if (sampling.subsampling != mode.subsampling) {
                continue;
            }
            sdp_rate text_rate = mode.frame_rate;
            text_rate.num *= mode.interlaced ? 2 : 1;
            const char* rate = format_rate_name(text_rate);
            ASSERT_NE(rate, nullptr) << get_name_of_standard(mode.std_index);
            channel_config& c =
                configs.emplace_back(cfg(20, 3, "239.10.0.1", 5000, "192.168.1.20", 98));
            c.video =
                video_format{colorspace_xlate_table[static_cast<std::size_t>(sampling.cspace)].name,
                             10,
                             mode.interlaced ? 'I' : 'P',
                             mode.width,
                             mode.height,
                             rate};
            if (mode.height >= 720) {
                // The conversion knows 4:2:2 (2) only.
                vid_fmt fmt{2u,
                            10,
                            mode.interlaced ? 0u : 1u,
                            static_cast<uint16_t>(mode.width),
                            static_cast<uint16_t>(mode.height),
                            text_rate.num,
                            text_rate.den};
                vid_std standard{};
                freq fr{};
                ASSERT_EQ(st2110_20_to_vid_std(&fmt, &standard, &fr), 0);
                const vid_std* row = get_vid_std_ptr(mode.std_index);
                EXPECT_EQ(standard.frame_type, row->frame_type);
                EXPECT_EQ(standard.rate, row->rate);
            }
        }
    }
    EXPECT_GE(configs.size(), 27u);
    for (const channel_config& c : configs) {
        config_sdp described = config_to_sdp(c);
        ASSERT_TRUE(described.session) << described.error;
        channel_plan plan = plan_channel(*described.session, c.channel);
        ASSERT_FALSE(plan.refused) << to_string(*plan.refused);
        EXPECT_EQ(plan.config, c) << (c.video ? to_string(*c.video) : "");
    }
    EXPECT_FALSE(config_to_sdp(cfg(20, 0, "0.0.0.0", 0, "0.0.0.0")).session);
}

TEST(chan_plan, refuses_a_group_or_stream_another_channel_would_lose) {
    const std::vector<channel_config> others = {
        cfg(20, 0, "239.1.1.1", 5004, "192.0.2.1"),  // source-specific
        cfg(30, 0, "239.1.1.2", 5006, "0.0.0.0"),    // any source
        cfg(40, 0, "10.0.0.9", 5008, "0.0.0.0"),     // unicast
        cfg(20, 3, "0.0.0.0", 0, "0.0.0.0"),         // never set
    };
    struct row {
        channel_config want;
        const char* names;  // nullptr: no conflict
    } rows[] = {
        {cfg(20, 1, "239.1.1.1", 5006, "0.0.0.0"), "20:0 receives 239.1.1.1 from 192.0.2.1 only"},
        {cfg(20, 1, "239.1.1.2", 5004, "192.0.2.3"), "30:0 receives 239.1.1.2 from any source"},
        {cfg(20, 1, "239.1.1.1", 5004, "192.0.2.1"), "20:0 already receives 239.1.1.1:5004"},
        {cfg(30, 1, "10.0.0.9", 5008, "0.0.0.0"), "40:0 already receives 10.0.0.9:5008"},
        // Another source or another port of the same group in the same mode, a unicast
        // destination on another port, the channel's own old configuration, a fresh channel.
        {cfg(20, 1, "239.1.1.1", 5004, "192.0.2.2"), nullptr},
        {cfg(20, 1, "239.1.1.2", 5010, "0.0.0.0"), nullptr},
        {cfg(20, 1, "10.0.0.9", 5010, "0.0.0.0"), nullptr},
        {cfg(20, 0, "239.1.1.1", 5004, "0.0.0.0"), nullptr},
        {cfg(20, 1, "239.9.9.9", 0, "0.0.0.0"), nullptr},
    };
    for (const row& r : rows) {
        auto why = channel_conflict(r.want, others);
        if (r.names == nullptr) {
            EXPECT_FALSE(why) << *why;
        } else {
            ASSERT_TRUE(why) << r.names;
            EXPECT_TRUE(why->starts_with(r.names)) << *why;
        }
    }
}

}  // namespace
}  // namespace nexo::client
