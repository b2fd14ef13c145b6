// Applying a plan over a scripted control link: the exact order of the lines, what a failure
// part way sends to set the channel back, and what it cannot set back.
#include "chan_io.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "fresh_daemon.h"

namespace nexo::client {
namespace {

// Answers GETs from a table, SETs with "RSET ... OK" unless told otherwise; logs every line.
struct scripted_link : daemon_link {
    std::map<std::string, link_reply> answers;
    std::vector<std::string> sent;
    int sessions = 0;
    int outside = 0;  // lines sent outside any session
    void begin_session() override { ++sessions; }
    void end_session() override { --sessions; }
    link_reply exchange(const std::string& line) override {
        sent.push_back(line);
        outside += sessions == 0;
        if (auto it = answers.find(line); it != answers.end()) {
            return it->second;
        }
        if (line.starts_with("SET ")) {
            return {link_status::ok, "RSET OK"};
        }
        return {link_status::error, "ERROR"};
    }
    std::vector<std::string> sets() const {
        std::vector<std::string> out;
        for (const std::string& l : sent) {
            if (l.starts_with("SET ")) {
                out.push_back(l);
            }
        }
        return out;
    }
};

// 20:1 as the daemon answers after start-up, or after an earlier configuration.
scripted_link channel_20_1(bool configured) {
    scripted_link l;
    auto ok = [](std::string text) { return link_reply{link_status::ok, std::move(text)}; };
    l.answers["GET RX_NET_IF_NAME 0"] = ok("RGET RX_NET_IF_NAME 0 eth1");
    l.answers["GET RX_STR_ENA 20:1"] =
        ok(configured ? "RGET RX_STR_ENA 20:1 ON" : "RGET RX_STR_ENA 20:1 OFF");
    l.answers["GET RX_IP_IF_ENA 20:1"] = ok("RGET RX_IP_IF_ENA 20:1 eth1/1");
    if (configured) {
        l.answers["GET RX_IP_DEST 20:1 eth1"] =
            ok("RGET RX_IP_DEST 20:1 eth1 R 239.5.5.5 5004 96 1400");
        l.answers["GET RX_IP_SRC 20:1 eth1"] = ok("RGET RX_IP_SRC 20:1 eth1 R 10.0.0.1 0 96 1260");
        l.answers["GET RX_VID_FMT 20:1"] = ok("RGET RX_VID_FMT 20:1 YCR422 10 P 1280 720 50");
    } else {
        l.answers["GET RX_IP_DEST 20:1 eth1"] = ok("RGET RX_IP_DEST 20:1 eth1 U 0.0.0.0 0 0");
        l.answers["GET RX_IP_SRC 20:1 eth1"] = ok("RGET RX_IP_SRC 20:1 eth1 U 0.0.0.0 0 0");
        l.answers["GET RX_VID_FMT 20:1"] = ok("RGET RX_VID_FMT 20:1 NONE 0 ? 0 0 NONE");
    }
    return l;
}

channel_plan plan_1080p50() {
    channel_plan p;
    p.config.channel = {20, 1};
    p.config.destination = "239.6.6.6";
    p.config.port = 6000;
    p.config.payload_type = 97;
    p.config.source = "10.0.0.2";
    p.config.video = video_format{"YCR422", 10, 'P', 1920, 1080, "50"};
    return p;
}

TEST(chan_io, apply_keeps_the_payload_size_and_sends_the_plan_in_order) {
    scripted_link l = channel_20_1(true);
    apply_result r = apply_plan(l, plan_1080p50(), {true, false});
    EXPECT_EQ(r.status, link_status::ok);
    EXPECT_EQ(l.sets(), (std::vector<std::string>{
                            "SET RX_IP_DEST 20:1 eth1 R 239.6.6.6 6000 97 1400",
                            "SET RX_IP_SRC 20:1 eth1 R 10.0.0.2 0 97",
                            "SET RX_VID_FMT 20:1 YCR422 10 P 1920 1080 50",
                            "SET RX_IP_IF_ENA 20:1 eth1/1",
                            "SET RX_STR_ENA 20:1 ON",
                        }));
    // A dry run reads and sends no SET.
    scripted_link dry = channel_20_1(true);
    apply_result d = apply_plan(dry, plan_1080p50(), {true, true});
    EXPECT_TRUE(dry.sets().empty());
    EXPECT_EQ(d.lines.size(), 5u);
}

// A format the detector reports as another one is applied as described, with a warning while
// automatic detection would replace it.
TEST(chan_io, apply_warns_when_the_detector_would_replace_the_format) {
    struct row {
        video_format format;
        const char* auto_detect;  // the daemon's answer; nullptr: ERROR
        const char* warns;        // nullptr: no warning
    };
    const row rows[] = {
        {{"YCR444", 10, 'P', 1920, 1080, "50"}, "ON", "YCR444 10 P 1920 1080 50 from RGB 10 P"},
        {{"YCR422", 12, 'I', 1920, 1080, "50"}, "ON", "YCR422 12 I 1920 1080 50 from RGB 8 I"},
        {{"YCR444", 10, 'P', 1920, 1080, "50"}, "OFF", nullptr},
        {{"YCR444", 10, 'P', 1920, 1080, "50"}, nullptr, nullptr},
        {{"RGB", 8, 'P', 1920, 1080, "50"}, "ON", nullptr},
        {{"YCR422", 10, 'P', 1920, 1080, "50"}, "ON", nullptr},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(to_string(r.format) + " " + (r.auto_detect ? r.auto_detect : "ERROR"));
        scripted_link l = channel_20_1(true);
        if (r.auto_detect != nullptr) {
            l.answers["GET RX_FMT_AUTO_DET_ENA 20:1"] = {
                link_status::ok, std::string("RGET RX_FMT_AUTO_DET_ENA 20:1 ") + r.auto_detect};
        }
        channel_plan p = plan_1080p50();
        p.config.video = r.format;
        apply_result a = apply_plan(l, p, {false, false});
        EXPECT_EQ(a.status, link_status::ok);
        EXPECT_EQ(l.sets().at(2), "SET RX_VID_FMT 20:1 " + to_string(r.format));
        if (r.warns == nullptr) {
            EXPECT_TRUE(a.messages.empty()) << a.messages.front();
        } else {
            ASSERT_EQ(a.messages.size(), 1u);
            EXPECT_NE(a.messages[0].find(r.warns), std::string::npos) << a.messages[0];
            EXPECT_NE(a.messages[0].find("SET RX_FMT_AUTO_DET_ENA 20:1 off"), std::string::npos);
        }
    }
}

TEST(chan_io, failure_part_way_sets_back_what_was_touched) {
    struct row {
        bool configured;
        std::string failing;  // the SET the daemon refuses
        link_status how;
        std::vector<std::string> restore;  // SETs after the failing one
        bool restored;
        std::string says;               // in the messages
        std::string refused_back = "";  // a SET of the way back the daemon refuses too
    };
    const std::string dest = "SET RX_IP_DEST 20:1 eth1 R 239.6.6.6 6000 97 1400";
    const std::string src = "SET RX_IP_SRC 20:1 eth1 R 10.0.0.2 0 97";
    const std::string fmt = "SET RX_VID_FMT 20:1 YCR422 10 P 1920 1080 50";
    // The way back, from a configured and from a fresh channel.
    const std::string dest0 = "SET RX_IP_DEST 20:1 eth1 R 239.5.5.5 5004 96 1400";
    const std::string src0 = "SET RX_IP_SRC 20:1 eth1 R 10.0.0.1 0 96";
    const std::string fmt0 = "SET RX_VID_FMT 20:1 YCR422 10 P 1280 720 50";
    const std::string fresh_src0 = "SET RX_IP_SRC 20:1 eth1 U 0.0.0.0 0 0";
    const std::string restored = "channel 20:1 was restored to what it held before";
    const std::string not_restored = "channel 20:1 could not be fully restored";
    const std::string never_set =
        "RX_VID_FMT of channel 20:1 was never set, so it cannot be set back";
    // clang-format off
    const row rows[] = {
        {true, fmt, link_status::error, {dest0, src0, fmt0}, true, restored},
        {true, src, link_status::no_reply, {dest0, src0}, true, restored},
        // A fresh channel: its destination and format were never set and cannot be set back.
        {false, fmt, link_status::error, {fresh_src0}, false, never_set + "; " + not_restored},
        // The way back refused: said, and never called restored.
        {true, dest, link_status::error, {dest0}, false, "restoring failed: " + dest0 + ": ERROR; " + not_restored, dest0},
        // The daemon is gone: nothing more is sent.
        {true, src, link_status::failure, {}, false, "(1 of 3 lines taken), so its state is unknown"},
    };
    // clang-format on
    for (const row& r : rows) {
        SCOPED_TRACE(r.failing);
        scripted_link l = channel_20_1(r.configured);
        l.answers[r.failing] = {r.how, r.how == link_status::error ? "ERROR" : ""};
        if (!r.refused_back.empty()) {
            l.answers[r.refused_back] = {link_status::error, "ERROR"};
        }
        apply_result a = apply_plan(l, plan_1080p50(), {false, false});
        EXPECT_EQ(a.status, r.how);
        EXPECT_EQ(a.restored, r.restored);
        std::vector<std::string> sets = l.sets();
        auto at = std::find(sets.begin(), sets.end(), r.failing);
        ASSERT_NE(at, sets.end());
        EXPECT_EQ(std::vector<std::string>(at + 1, sets.end()), r.restore);
        std::string said;
        for (const std::string& m : a.messages) {
            said += (said.empty() ? "" : "; ") + m;
        }
        EXPECT_NE(said.find(r.says), std::string::npos) << said;
        EXPECT_EQ(l.outside, 0);
    }
}

// The node's way of applying: the interface and the switches given, a payload type only when the
// plan has none. Every line on the pipe, reads included, all in one session.
TEST(chan_io, apply_with_the_callers_switches_sends_exactly_these_lines) {
    struct row {
        switching switches;
        uint32_t default_payload_type;
        bool configured;
        std::vector<std::string> sent;
    };
    const std::vector<std::string> reads = {"GET RX_IP_DEST 20:1 eth1", "GET RX_IP_SRC 20:1 eth1",
                                            "GET RX_STR_ENA 20:1", "GET RX_IP_IF_ENA 20:1"};
    auto with = [&](std::vector<std::string> sets) {
        std::vector<std::string> all = reads;
        all.insert(all.end(), sets.begin(), sets.end());
        return all;
    };
    const row rows[] = {
        {switching::off, 100, true,
         with({"SET RX_STR_ENA 20:1 OFF", "SET RX_IP_DEST 20:1 eth1 R 239.6.6.6 6000 96 1400",
               "SET RX_IP_SRC 20:1 eth1 R 10.0.0.2 0 96", "SET RX_IP_IF_ENA 20:1 eth1/1"})},
        {switching::all_off, 100, false,
         with({"SET RX_STR_ENA 20:1 OFF", "SET RX_IP_DEST 20:1 eth1 R 239.6.6.6 6000 100",
               "SET RX_IP_SRC 20:1 eth1 R 10.0.0.2 0 100", "SET RX_IP_IF_ENA 20:1 eth1/0"})},
        {switching::on, 0, false,
         with({"SET RX_IP_DEST 20:1 eth1 R 239.6.6.6 6000 0",
               "SET RX_IP_SRC 20:1 eth1 R 10.0.0.2 0 0", "SET RX_IP_IF_ENA 20:1 eth1/1",
               "SET RX_STR_ENA 20:1 ON"})},
    };
    for (const row& r : rows) {
        scripted_link l = channel_20_1(r.configured);
        channel_plan p = plan_1080p50();
        p.config.video.reset();  // no format: none is read to set back
        p.config.payload_type = 0;
        apply_options o;
        o.switches = r.switches;
        o.interface = "eth1";
        o.default_payload_type = r.default_payload_type;
        apply_result a = apply_plan(l, p, o);
        EXPECT_EQ(a.status, link_status::ok);
        EXPECT_EQ(l.sent, r.sent) << static_cast<int>(r.switches);
        EXPECT_EQ(l.outside, 0);
    }
}

// Only a channel on want's destination can conflict, so only its source is asked for.
TEST(chan_io, conflict_check_reads_a_source_only_beside_the_same_destination) {
    std::vector<std::string> sent;
    function_link l([&sent](const std::string& line) {
        sent.push_back(line);
        if (line == "GET RX_IP_DEST 20:1 eth1") {
            return link_reply{link_status::ok, "RGET RX_IP_DEST 20:1 eth1 R 239.5.5.5 5004 96"};
        }
        if (line == "GET RX_IP_SRC 20:1 eth1") {
            return link_reply{link_status::ok, "RGET RX_IP_SRC 20:1 eth1 R 10.0.0.1 0 96"};
        }
        return testing_daemon::fresh_reply(line);
    });
    channel_config want;
    want.channel = {30, 0};
    want.destination = "239.5.5.5";
    want.port = 5004;
    conflict_check c = check_conflicts(l, want);
    EXPECT_FALSE(c.failed);
    ASSERT_TRUE(c.conflict);
    EXPECT_EQ(c.conflict->rfind("20:1 receives 239.5.5.5 from 10.0.0.1 only", 0), 0u)
        << *c.conflict;
    EXPECT_EQ(sent.size(), 12u);
    EXPECT_EQ(std::count_if(sent.begin(), sent.end(),
                            [](const std::string& s) { return s.starts_with("GET RX_IP_SRC"); }),
              1);
}

// What a configured channel describes is read back by the round trips through nexoctl.
TEST(chan_io, reads_no_description_of_a_fresh_channel_nor_from_a_wrong_answer) {
    // Nothing set yet: no description, and why.
    scripted_link fresh = channel_20_1(false);
    get_result none = read_channel_sdp(fresh, {20, 1});
    EXPECT_FALSE(none.sdp);
    EXPECT_NE(none.error.find("no destination"), std::string::npos);
    // A reply that is not the answer to the question is a failure, not a value.
    scripted_link l = channel_20_1(true);
    l.answers["GET RX_VID_FMT 20:1"] = {link_status::ok, "RGET PTP_TIME 1 2"};
    EXPECT_TRUE(read_channel(l, {20, 1}).failed);
}

}  // namespace
}  // namespace nexo::client
