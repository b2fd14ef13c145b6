// Receiver health: the statuses observed from the daemon's answers and the interface's state,
// and the monitor's reporting rules over time.
#include "rx_health.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
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

// A step of a monitor scenario: at second `t`, change the observation (or not), then expect
// the words the scenario shows of what the monitor reports.
struct step {
    double t;
    std::function<void(rx_observation&)> act;
    const char* want;
};

// The values a scenario follows, blank-separated.
template <typename... T>
std::string words(const T&... values) {
    std::ostringstream out;
    ((out << values << ' '), ...);
    std::string s = out.str();
    s.pop_back();
    return s;
}

void run(rx_monitor& m, rx_observation o, std::function<std::string(const rx_reported&)> show,
         const std::vector<step>& steps) {
    for (const step& s : steps) {
        SCOPED_TRACE("at " + std::to_string(s.t) + " s");
        if (s.act) {
            s.act(o);
        }
        m.update(o, clock_t_::time_point{} + std::chrono::duration_cast<clock_t_::duration>(
                                                 std::chrono::duration<double>(s.t)));
        EXPECT_EQ(show(m.reported()), s.want);
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
    rx_monitor m;
    run(m, healthy_video(),
        [](const rx_reported& r) {
            return words(to_string(r.link), r.link_transitions, to_string(r.overall));
        },
        {
            {0, nullptr, "AllUp 0 Healthy"},
            {1, link_down, "AllDown 1 Unhealthy"},
            {2, link_up, "AllDown 1 Unhealthy"},
            {4.9, nullptr, "AllDown 1 Unhealthy"},
            {5, nullptr, "AllUp 1 Healthy"},
            // A flap restarts the wait.
            {6, link_down, "AllDown 2 Unhealthy"},
            {7, link_up, "AllDown 2 Unhealthy"},
            {8, link_down, "AllDown 2 Unhealthy"},
            {9, link_up, "AllDown 2 Unhealthy"},
            {11.5, nullptr, "AllDown 2 Unhealthy"},
            {12, nullptr, "AllUp 2 Healthy"},
        });
    EXPECT_EQ(m.reported().link_message, "eth1 is up");
}

TEST(rx_monitor, activation_reports_healthy_and_holds_worse_states_for_the_delay) {
    rx_observation off = healthy_video();
    switch_off(off);
    rx_monitor m;
    run(m, off,
        [](const rx_reported& r) {
            return words(to_string(r.connection), to_string(r.overall), r.connection_transitions,
                         r.connection_message ? "said" : "-");
        },
        {
            {0, nullptr, "Inactive Inactive 0 said"},
            {1, switch_on_silent, "Healthy Healthy 0 -"},
            {3.9, nullptr, "Healthy Healthy 0 -"},
            {4, nullptr, "Unhealthy Unhealthy 1 said"},
            // Off: Inactive at once, not counted.
            {4.5, switch_off, "Inactive Inactive 1 said"},
            // On again: the counters and messages start afresh.
            {5, switch_on_silent, "Healthy Healthy 0 -"},
            // Off during the hold: Inactive at once, never Unhealthy.
            {6, switch_off, "Inactive Inactive 0 said"},
            {9, nullptr, "Inactive Inactive 0 said"},
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
        [](const rx_reported& r) {
            const std::string source = r.synchronization_source.value_or("");
            return words(to_string(r.synchronization), r.synchronization_transitions,
                         source.empty() ? "-" : source);
        },
        {
            {0, nullptr, "Healthy 0 02-00-00-ff-fe-00-00-01"},
            {1, new_gm, "PartiallyHealthy 1 02-00-00-ff-fe-00-00-02"},
            {3.5, nullptr, "PartiallyHealthy 1 02-00-00-ff-fe-00-00-02"},
            {4, nullptr, "Healthy 1 02-00-00-ff-fe-00-00-02"},
            // Losing lock and finding the same grandmaster again is no change of source.
            {5, unlock, "Unhealthy 2 -"},
            {6, relock, "Unhealthy 2 02-00-00-ff-fe-00-00-02"},
            {9, nullptr, "Healthy 2 02-00-00-ff-fe-00-00-02"},
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
