// Receiver health: the statuses observed from the daemon's answers and the interface's state,
// and the monitor's reporting rules over time.
#include "rx_health.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "scratch_dir.h"

namespace nexo::client {
namespace {

using namespace std::chrono_literals;
using clock_t_ = rx_monitor::clock;

// --- observing ---------------------------------------------------------------------------

channel_state video(bool on, const std::string& det_state, const std::string& det_format,
                    const std::string& configured = "YCR422 10 I 1920 1080 50") {
    channel_state s;
    s.config.channel = {20, 1};
    s.enabled = on;
    s.format_text = configured;
    s.config.video = video_format_from_text(configured);
    s.auto_detect_state = det_state;
    s.auto_detect_format = det_format;
    return s;
}

board_health good_board() {
    board_health b;
    b.interface = "eth1";
    b.link = nc_link_status::all_up;
    b.link_message = "eth1 is up";
    b.synchronization = nc_synchronization_status::healthy;
    b.synchronization_message = "locked";
    b.synchronization_source = "02-00-00-ff-fe-00-00-01";
    return b;
}

TEST(rx_health, channel_statuses_from_detector_and_configuration) {
    using cs = nc_connection_status;
    using ss = nc_stream_status;
    struct row {
        const char* what;
        channel_state state;
        cs connection;
        ss stream;
        const char* stream_words;  // must appear in the stream message
    };
    channel_state audio;
    audio.config.channel = {30, 2};
    audio.enabled = true;
    channel_state anc_off;
    anc_off.config.channel = {40, 0};
    const std::string fmt = "YCR422 10 I 1920 1080 50";
    // clang-format off
    const row rows[] = {
        {"off", video(false, "FORMAT_DETECTED", fmt), cs::inactive, ss::inactive, "channel off"},
        {"matching", video(true, "FORMAT_DETECTED", fmt), cs::healthy, ss::healthy, "configured format YCR422 10 I 1920 1080 50"},
        {"mismatch names both", video(true, "FORMAT_DETECTED", "YCR422 10 P 1280 720 50"), cs::healthy, ss::unhealthy,
         "receiving YCR422 10 P 1280 720 50 but configured for YCR422 10 I 1920 1080 50"},
        // 4:4:4 YCbCr is measured as RGB of the same depth: not a mismatch.
        {"indistinguishable", video(true, "FORMAT_DETECTED", "RGB 10 P 1920 1080 50", "YCR444 10 P 1920 1080 50"),
         cs::healthy, ss::healthy, "configured format"},
        {"measuring", video(true, "STREAM_DETECTED", ""), cs::partially_healthy, ss::partially_healthy, "being measured"},
        {"no signal", video(true, "BUSY", "RGB 8 P 0 0 23.98"), cs::unhealthy, ss::unhealthy, "no stream"},
        {"detector off", video(true, "DISABLED", ""), cs::partially_healthy, ss::partially_healthy, "detector is off"},
        {"audio has no detector", audio, cs::partially_healthy, ss::partially_healthy, "no detector on audio"},
        {"ancillary off", anc_off, cs::inactive, ss::inactive, "channel off"},
    };
    // clang-format on
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        rx_observation o = observe_channel(r.state, good_board());
        EXPECT_EQ(o.connection, r.connection) << o.connection_message;
        EXPECT_EQ(o.stream, r.stream) << o.stream_message;
        EXPECT_NE(o.stream_message.find(r.stream_words), std::string::npos) << o.stream_message;
        EXPECT_FALSE(o.connection_message.empty());
        EXPECT_EQ(o.synchronization_source, "02-00-00-ff-fe-00-00-01");
    }
}

TEST(rx_health, overall_is_inactive_when_off_else_the_worst_domain) {
    using l = nc_link_status;
    using c = nc_connection_status;
    using y = nc_synchronization_status;
    using s = nc_stream_status;
    using o = nc_overall_status;
    struct row {
        l link;
        c conn;
        y sync;
        s stream;
        o want;
    };
    const row rows[] = {
        {l::all_down, c::inactive, y::unhealthy, s::inactive, o::inactive},
        {l::all_up, c::healthy, y::healthy, s::healthy, o::healthy},
        {l::all_up, c::healthy, y::not_used, s::healthy, o::healthy},
        {l::some_down, c::healthy, y::healthy, s::healthy, o::partially_healthy},
        {l::all_up, c::partially_healthy, y::unhealthy, s::healthy, o::unhealthy},
        {l::all_up, c::healthy, y::healthy, s::unhealthy, o::unhealthy},
    };
    for (const row& r : rows) {
        EXPECT_EQ(overall_status(r.link, r.conn, r.sync, r.stream), r.want)
            << to_string(r.link) << " " << to_string(r.conn) << " " << to_string(r.sync) << " "
            << to_string(r.stream);
    }
}

// A scripted daemon: answers by line, counts what was asked.
struct scripted {
    std::map<std::string, link_reply> answers;
    std::vector<std::string> asked;
    function_link link{[this](const std::string& line) {
        asked.push_back(line);
        auto it = answers.find(line);
        return it != answers.end() ? it->second : link_reply{link_status::error, "ERROR"};
    }};
    void answer(const std::string& line, const std::string& reply) {
        answers[line] = {link_status::ok, reply};
    }
};

// A stand-in for /sys/class/net.
struct sys_dir : test::scratch_dir {
    void write(const std::string& iface, const std::string& file, const std::string& text) {
        std::filesystem::create_directories(*this / iface);
        std::ofstream(*this / iface + "/" + file) << text << "\n";
    }
};

TEST(rx_health, observe_all_reads_the_board_once_and_each_channel_lightly) {
    sys_dir sys;
    sys.write("eth1", "operstate", "up");
    scripted d;
    d.answer("GET RX_NET_IF_NAME 0", "RGET RX_NET_IF_NAME 0 eth1");
    d.answer("GET PTP_LOCK_STATE", "RGET PTP_LOCK_STATE LOCKED");
    d.answer("GET PTP_CLK_ID", "RGET PTP_CLK_ID 020000.fffe.000001");
    for (const channel_id& ch : all_channels()) {
        bool on = ch.name() == "20:0" || ch.name() == "30:0";
        d.answer("GET RX_STR_ENA " + ch.name(),
                 "RGET RX_STR_ENA " + ch.name() + (on ? " ON" : " OFF"));
    }
    d.answer("GET RX_VID_FMT 20:0", "RGET RX_VID_FMT 20:0 YCR422 10 I 1920 1080 50");
    d.answer("GET RX_FMT_AUTO_DET_STATE 20:0", "RGET RX_FMT_AUTO_DET_STATE 20:0 FORMAT_DETECTED");
    d.answer("GET RX_FMT_AUTO_DET_FMT 20:0", "RGET RX_FMT_AUTO_DET_FMT 20:0 RGB 8 P 1280 720 25");

    observe_result r = observe_all(d.link, {sys.path});
    ASSERT_FALSE(r.failed) << to_string(*r.failed);
    ASSERT_EQ(r.channels.size(), 12u);
    // Board: interface name, lock state, grandmaster; then one line per channel and three
    // more for the active video channel.
    EXPECT_EQ(d.asked.size(), 3u + 12u + 3u);
    const rx_observation& v = r.channels[0];
    EXPECT_EQ(v.link, nc_link_status::all_up);
    EXPECT_EQ(v.synchronization, nc_synchronization_status::healthy);
    EXPECT_EQ(v.synchronization_source, "02-00-00-ff-fe-00-00-01");
    EXPECT_EQ(v.stream, nc_stream_status::unhealthy);
    EXPECT_EQ(overall_status(v), nc_overall_status::unhealthy);
    EXPECT_NE(overall_message(v).find("stream: receiving RGB 8 P 1280 720 25"), std::string::npos)
        << overall_message(v);
    EXPECT_EQ(r.channels[4].channel.name(), "30:0");
    EXPECT_EQ(r.channels[4].connection, nc_connection_status::partially_healthy);
    EXPECT_EQ(overall_status(r.channels[1]), nc_overall_status::inactive);
}

TEST(rx_health, board_health_from_interface_and_timing_daemon) {
    struct row {
        const char* what;
        const char* operstate;  // nullptr: no such interface
        const char* carrier;
        link_reply lock;
        nc_link_status link;
        nc_synchronization_status sync;
        const char* source;
        bool fails = false;
    };
    using L = nc_link_status;
    using Y = nc_synchronization_status;
    const link_reply locked{link_status::ok, "RGET PTP_LOCK_STATE LOCKED"};
    const link_reply unlocked{link_status::ok, "RGET PTP_LOCK_STATE UNLOCKED"};
    const link_reply garbled{link_status::ok, "RGET PTP_CLK_ID x"};
    const link_reply silent{link_status::no_reply, ""};
    const link_reply away{link_status::failure, ""};
    const char* gm = "02-00-00-ff-fe-00-00-01";
    const row rows[] = {
        {"up and locked", "up", nullptr, locked, L::all_up, Y::healthy, gm},
        {"down", "down", nullptr, locked, L::all_down, Y::healthy, gm},
        {"unknown with carrier", "unknown", "1", locked, L::all_up, Y::healthy, gm},
        {"unknown without carrier", "unknown", "0", locked, L::all_down, Y::healthy, gm},
        {"absent", nullptr, nullptr, locked, L::all_down, Y::healthy, gm},
        {"unlocked", "up", nullptr, unlocked, L::all_up, Y::unhealthy, ""},
        {"timing daemon silent", "up", nullptr, silent, L::all_up, Y::unhealthy, ""},
        {"garbled", "up", nullptr, garbled, L::all_up, Y::unhealthy, ""},
        {"daemon away", "up", nullptr, away, L::all_up, Y::unhealthy, "", true},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        sys_dir sys;
        if (r.operstate != nullptr) {
            sys.write("eth1", "operstate", r.operstate);
        }
        if (r.carrier != nullptr) {
            sys.write("eth1", "carrier", r.carrier);
        }
        scripted d;
        d.answers["GET PTP_LOCK_STATE"] = r.lock;
        d.answer("GET PTP_CLK_ID", "RGET PTP_CLK_ID 020000.FFFE.000001");
        std::optional<link_failure> failed;
        auto b = read_board_health(d.link, "eth1", {sys.path}, &failed);
        ASSERT_EQ(!b, r.fails);
        if (!b) {
            EXPECT_EQ(failed->line, "GET PTP_LOCK_STATE");
            continue;
        }
        EXPECT_EQ(b->link, r.link) << b->link_message;
        EXPECT_NE(b->link_message.find("eth1"), std::string::npos);
        EXPECT_EQ(b->synchronization, r.sync) << b->synchronization_message;
        EXPECT_EQ(b->synchronization_source, r.source);
    }
    // The daemon's interface name never reaches outside the directory.
    sys_dir sys;
    sys.write("eth1", "operstate", "up");
    scripted d;
    std::optional<link_failure> failed;
    for (const char* name : {"../eth1", "..", ""}) {
        auto b = read_board_health(d.link, name, {sys / "x"}, &failed);
        ASSERT_TRUE(b);
        EXPECT_EQ(b->link, nc_link_status::all_down) << name;
    }
}

// --- the monitor --------------------------------------------------------------------------

rx_observation healthy_video() {
    rx_observation o =
        observe_channel(video(true, "FORMAT_DETECTED", "YCR422 10 I 1920 1080 50"), good_board());
    return o;
}

// A step of a monitor scenario: at second `t`, change the observation (or act), then expect.
struct step {
    double t;
    std::function<void(rx_observation&)> act;
    std::function<void(const rx_reported&)> expect;
    int line;
};

void run(rx_monitor& m, rx_observation o, const std::vector<step>& steps) {
    const clock_t_::time_point t0{};
    for (const step& s : steps) {
        SCOPED_TRACE("step at line " + std::to_string(s.line));
        auto now =
            t0 + std::chrono::duration_cast<clock_t_::duration>(std::chrono::duration<double>(s.t));
        if (s.act) {
            s.act(o);
        }
        m.update(o, now);
        s.expect(m.reported());
    }
}

void link_down(rx_observation& o) {
    o.link = nc_link_status::all_down;
    o.link_message = "eth1 is down (down)";
}
void link_up(rx_observation& o) {
    o.link = nc_link_status::all_up;
    o.link_message = "eth1 is up";
}
void no_signal(rx_observation& o) {
    o.connection = nc_connection_status::unhealthy;
    o.connection_message = "no signal";
}
void switch_off(rx_observation& o) {
    o.active = false;
    o.connection = nc_connection_status::inactive;
    o.connection_message = "channel off";
    o.stream = nc_stream_status::inactive;
    o.stream_message = "channel off";
}
void switch_on_silent(rx_observation& o) {
    o = healthy_video();
    no_signal(o);
    o.stream = nc_stream_status::unhealthy;
    o.stream_message = "no stream to check";
}

TEST(rx_monitor, worse_at_once_better_only_after_the_delay_held) {
    using l = nc_link_status;
    rx_monitor m;
    auto link_is = [](l want, uint64_t transitions, nc_overall_status overall) {
        return [=](const rx_reported& r) {
            EXPECT_EQ(r.link, want);
            EXPECT_EQ(r.link_transitions, transitions);
            EXPECT_EQ(r.overall, overall);
        };
    };
    using o = nc_overall_status;
    run(m, healthy_video(),
        {
            {0, nullptr, link_is(l::all_up, 0, o::healthy), __LINE__},
            {1, link_down, link_is(l::all_down, 1, o::unhealthy), __LINE__},
            {2, link_up, link_is(l::all_down, 1, o::unhealthy), __LINE__},
            {4.9, nullptr, link_is(l::all_down, 1, o::unhealthy), __LINE__},
            {5, nullptr, link_is(l::all_up, 1, o::healthy), __LINE__},
            // A flap restarts the wait.
            {6, link_down, link_is(l::all_down, 2, o::unhealthy), __LINE__},
            {7, link_up, link_is(l::all_down, 2, o::unhealthy), __LINE__},
            {8, link_down, link_is(l::all_down, 2, o::unhealthy), __LINE__},
            {9, link_up, link_is(l::all_down, 2, o::unhealthy), __LINE__},
            {11.5, nullptr, link_is(l::all_down, 2, o::unhealthy), __LINE__},
            {12, nullptr, link_is(l::all_up, 2, o::healthy), __LINE__},
        });
    EXPECT_EQ(m.reported().link_message, "eth1 is up");
}

TEST(rx_monitor, activation_reports_healthy_and_holds_worse_states_for_the_delay) {
    using c = nc_connection_status;
    using o = nc_overall_status;
    rx_observation off = healthy_video();
    switch_off(off);
    auto is = [](c conn, o overall, uint64_t transitions, bool message) {
        return [=](const rx_reported& r) {
            EXPECT_EQ(r.connection, conn);
            EXPECT_EQ(r.overall, overall);
            EXPECT_EQ(r.connection_transitions, transitions);
            EXPECT_EQ(r.connection_message.has_value(), message);
        };
    };
    rx_monitor m;
    run(m, off,
        {
            {0, nullptr, is(c::inactive, o::inactive, 0, true), __LINE__},
            {1, switch_on_silent, is(c::healthy, o::healthy, 0, false), __LINE__},
            {3.9, nullptr, is(c::healthy, o::healthy, 0, false), __LINE__},
            {4, nullptr, is(c::unhealthy, o::unhealthy, 1, true), __LINE__},
            // Off: Inactive at once, not counted.
            {4.5, switch_off, is(c::inactive, o::inactive, 1, true), __LINE__},
            // On again: the counters and messages start afresh.
            {5, switch_on_silent, is(c::healthy, o::healthy, 0, false), __LINE__},
            // Off during the hold: Inactive at once, never Unhealthy.
            {6, switch_off, is(c::inactive, o::inactive, 0, true), __LINE__},
            {9, nullptr, is(c::inactive, o::inactive, 0, true), __LINE__},
        });
}

TEST(rx_monitor, counters_and_messages_reset_by_call_or_by_activation_when_asked) {
    const clock_t_::time_point t0{};
    rx_monitor m;
    rx_observation o = healthy_video();
    m.update(o, t0);
    no_signal(o);
    m.update(o, t0 + 1s);
    ASSERT_EQ(m.reported().connection_transitions, 1u);

    auto changed = m.reset_counters_and_messages();
    const rx_reported& r = m.reported();
    EXPECT_EQ(r.connection_transitions, 0u);
    EXPECT_FALSE(r.connection_message || r.link_message || r.stream_message ||
                 r.synchronization_message || r.overall_message);
    EXPECT_EQ(r.connection, nc_connection_status::unhealthy);  // statuses stay
    EXPECT_NE(std::find(changed.begin(), changed.end(), rx_property::connection_status_message),
              changed.end());
    // The same observation again does not bring the messages back; a new one does.
    m.update(o, t0 + 2s);
    EXPECT_FALSE(m.reported().connection_message);
    o.connection_message = "no signal at all";
    m.update(o, t0 + 3s);
    EXPECT_EQ(m.reported().connection_message, "no signal at all");

    // Without automatic reset an activation keeps the counters.
    auto c = m.set_auto_reset_counters_and_messages(false);
    EXPECT_EQ(c, std::vector<rx_property>{rx_property::auto_reset_counters_and_messages});
    m.reset_counters_and_messages();
    link_down(o);
    m.update(o, t0 + 4s);
    m.activated(t0 + 5s);
    EXPECT_EQ(m.reported().link_transitions, 1u);
    EXPECT_EQ(m.reported().connection, nc_connection_status::healthy);
    m.set_auto_reset_counters_and_messages(true);
    m.activated(t0 + 6s);
    EXPECT_EQ(m.reported().link_transitions, 0u);
}

TEST(rx_monitor, grandmaster_change_is_partial_until_held) {
    using y = nc_synchronization_status;
    auto sync_is = [](y want, uint64_t transitions, const char* source) {
        return [=](const rx_reported& r) {
            EXPECT_EQ(r.synchronization, want);
            EXPECT_EQ(r.synchronization_transitions, transitions);
            EXPECT_EQ(r.synchronization_source.value_or(""), source);
        };
    };
    auto new_gm = [](rx_observation& o) { o.synchronization_source = "02-00-00-ff-fe-00-00-02"; };
    auto unlock = [](rx_observation& o) {
        o.synchronization = y::unhealthy;
        o.synchronization_message = "not locked";
        o.synchronization_source.clear();
    };
    auto relock = [](rx_observation& o) {
        o.synchronization = y::healthy;
        o.synchronization_message = "locked";
        o.synchronization_source = "02-00-00-ff-fe-00-00-02";
    };
    rx_monitor m;
    run(m, healthy_video(),
        {
            {0, nullptr, sync_is(y::healthy, 0, "02-00-00-ff-fe-00-00-01"), __LINE__},
            {1, new_gm, sync_is(y::partially_healthy, 1, "02-00-00-ff-fe-00-00-02"), __LINE__},
            {3.5, nullptr, sync_is(y::partially_healthy, 1, "02-00-00-ff-fe-00-00-02"), __LINE__},
            {4, nullptr, sync_is(y::healthy, 1, "02-00-00-ff-fe-00-00-02"), __LINE__},
            // Losing lock and finding the same grandmaster again is no change of source.
            {5, unlock, sync_is(y::unhealthy, 2, ""), __LINE__},
            {6, relock, sync_is(y::unhealthy, 2, "02-00-00-ff-fe-00-00-02"), __LINE__},
            {9, nullptr, sync_is(y::healthy, 2, "02-00-00-ff-fe-00-00-02"), __LINE__},
        });
}

TEST(rx_monitor, delay_setting_and_due_time) {
    const clock_t_::time_point t0{};
    rx_monitor m;
    // Set before anything is observed: the reported values stay valid ones.
    m.set_status_reporting_delay(3, t0);
    m.reset_counters_and_messages();
    EXPECT_EQ(m.reported(), rx_reported{});
    rx_observation o = healthy_video();
    EXPECT_FALSE(m.update(o, t0).empty());  // everything is new
    EXPECT_TRUE(m.update(o, t0 + 1s).empty());
    link_down(o);
    m.update(o, t0 + 1s);
    link_up(o);
    m.update(o, t0 + 2s);
    EXPECT_EQ(m.next_due(), t0 + 5s);
    EXPECT_TRUE(m.tick(t0 + 4s).empty());
    // Shortening the delay lets a held status through at once; 0 means no delay at all.
    auto changed = m.set_status_reporting_delay(0, t0 + 4s);
    EXPECT_EQ(m.reported().link, nc_link_status::all_up);
    EXPECT_EQ(changed.front(), rx_property::overall_status);
    EXPECT_NE(std::find(changed.begin(), changed.end(), rx_property::status_reporting_delay),
              changed.end());
    EXPECT_FALSE(m.next_due());
}

}  // namespace
}  // namespace nexo::client
