// The NMOS node on the simulated board, driven over HTTP as a facility controller drives it:
// what reaches the daemon and its peers, what the APIs report back, and registration.
#include <gtest/gtest.h>
#include <httplib.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "daemon_process.h"
#include "fpga.h"
#include "mdns_responder.h"
#include "nexo.h"
#include "nmos_node.h"
#include "node_fixture.h"
#include "peer.h"
#include "registry.h"
#include "sandbox.h"
#include "unique_fd.h"
#include "wait_until.h"

namespace {

using nexo::sim::nmos_node;
using nexo::sim::node_reply;
using nexo::sim::peer_rule;
using json = nlohmann::json;
using namespace std::chrono_literals;

constexpr int kPort = nexo::sim::kNodePort;
const std::string& kConn = nexo::sim::kConnReceivers;

const char* kVideoSdp =
    "v=0\r\no=- 1 1 IN IP4 192.0.2.1\r\ns=cam\r\nt=0 0\r\n"
    "m=video 5004 RTP/AVP 96\r\nc=IN IP4 239.10.0.1/64\r\n"
    "a=source-filter: incl IN IP4 239.10.0.1 192.0.2.1\r\n"
    "a=rtpmap:96 raw/90000\r\n"
    "a=fmtp:96 sampling=YCbCr-4:2:2; width=1920; height=1080; exactframerate=25; depth=10; "
    "colorimetry=BT709; PM=2110GPM; SSN=ST2110-20:2017; TP=2110TPN\r\n"
    "a=mediaclk:direct=0\r\na=ts-refclk:localmac=02-00-00-00-00-01\r\n";

using nmos_fixture = nexo::sim::node_fixture;

// The receiver switched off at once.
const json kSwitchOff = {{"master_enable", false},
                         {"activation", {{"mode", "activate_immediate"}}}};

std::string with(const std::string& from, const std::string& to) {
    std::string s = kVideoSdp;
    s.replace(s.find(from), from.size(), to);
    return s;
}

// The description, activated at once; with `enable`, the receiver switched on too.
json file_patch(const std::string& sdp, bool enable = false) {
    json patch = {{"transport_file", {{"data", sdp}, {"type", "application/sdp"}}},
                  {"activation", {{"mode", "activate_immediate"}}}};
    if (enable) {
        patch["master_enable"] = true;
    }
    return patch;
}

// One leg's transport parameters, activated at once or only staged.
json leg(json params, bool activate = true) {
    json patch = {{"transport_params", json::array({std::move(params)})}};
    if (activate) {
        patch["activation"] = {{"mode", "activate_immediate"}};
    }
    return patch;
}

json scheduled(const char* mode, const char* time) {
    return {{"activation", {{"mode", mode}, {"requested_time", time}}}};
}

TEST_F(nmos_fixture, staged_transport_file_activates_on_the_daemon_and_reads_back) {
    start();
    std::string rx = receiver();
    node_reply r = call("PATCH", kConn + rx + "staged",
                        {{"sender_id", "0a174530-e3cf-4ebc-8ba3-4d5a4bd3f8c2"},
                         {"master_enable", true},
                         {"transport_file", {{"data", kVideoSdp}, {"type", "application/sdp"}}},
                         {"activation", {{"mode", "activate_immediate"}}}});
    ASSERT_EQ(r.status, 200) << r.body.dump();
    EXPECT_TRUE(r.body["activation"]["activation_time"].is_string());

    // The daemon holds what the description says, and the media-transport daemon got the format.
    EXPECT_EQ(daemon("GET RX_IP_DEST 20:0 eth1"),
              "RGET RX_IP_DEST 20:0 eth1 R 239.10.0.1 5004 96 1260\n");
    EXPECT_EQ(daemon("GET RX_IP_SRC 20:0 eth1").rfind("RGET RX_IP_SRC 20:0 eth1 R 192.0.2.1 ", 0),
              0u);
    EXPECT_EQ(daemon("GET RX_STR_ENA 20:0"), "RGET RX_STR_ENA 20:0 ON\n");
    EXPECT_TRUE(
        b.media().wait_for_line("SET ST2110_DEC_VID_FMT 20:0 YCR422 10 P 1920 1080 25", 1s));

    node_reply active = call("GET", kConn + rx + "active");
    ASSERT_EQ(active.status, 200);
    const json& p = active.body["transport_params"][0];
    EXPECT_EQ(p["multicast_ip"], "239.10.0.1");
    EXPECT_EQ(p["source_ip"], "192.0.2.1");
    EXPECT_EQ(p["destination_port"], 5004);
    EXPECT_EQ(p["interface_ip"], "192.0.2.10");
    EXPECT_EQ(active.body["master_enable"], true);
    EXPECT_EQ(active.body["sender_id"], "0a174530-e3cf-4ebc-8ba3-4d5a4bd3f8c2");

    json receiver = call("GET", "/x-nmos/node/v1.3/receivers/" + rx.substr(0, 36)).body;
    EXPECT_EQ(receiver["subscription"]["sender_id"], "0a174530-e3cf-4ebc-8ba3-4d5a4bd3f8c2");
    EXPECT_EQ(receiver["subscription"]["active"], true);

    // A change made with the control client shows at once: active is read, not remembered.
    ASSERT_EQ(daemon("SET RX_IP_DEST 20:0 eth1 r 239.20.0.2 6000 96"),
              "RSET RX_IP_DEST 20:0 eth1 OK\n");
    active = call("GET", kConn + rx + "active");
    EXPECT_EQ(active.body["transport_params"][0]["multicast_ip"], "239.20.0.2");
    EXPECT_EQ(active.body["transport_params"][0]["destination_port"], 6000);
    EXPECT_TRUE(active.body["sender_id"].is_null());

    // master_enable false switches the channel off.
    r = call("PATCH", kConn + rx + "staged", kSwitchOff);
    ASSERT_EQ(r.status, 200) << r.body.dump();
    EXPECT_EQ(daemon("GET RX_STR_ENA 20:0"), "RGET RX_STR_ENA 20:0 OFF\n");
}

struct refusal_case {
    const char* name;
    json patch;
    const char* attribute;             // must appear in the error
    std::vector<std::string> setup{};  // daemon lines that set other channels first
};

class nmos_refusal : public nmos_fixture, public testing::WithParamInterface<refusal_case> {};

TEST_P(nmos_refusal, leaves_staged_and_the_daemon_unchanged) {
    ASSERT_TRUE(b.started());
    for (const std::string& line : GetParam().setup) {
        ASSERT_EQ(daemon(line).rfind("RSET ", 0), 0u) << line;
    }
    start();
    std::string rx = receiver();
    json staged_before = call("GET", kConn + rx + "staged").body;
    std::string dest_before = daemon("GET RX_IP_DEST 20:0 eth1");
    b.media().clear_log();

    node_reply r = call("PATCH", kConn + rx + "staged", GetParam().patch);
    EXPECT_EQ(r.status, 400);
    EXPECT_NE(r.body["error"].get<std::string>().find(GetParam().attribute), std::string::npos)
        << r.body.dump();
    EXPECT_EQ(call("GET", kConn + rx + "staged").body, staged_before);
    EXPECT_EQ(daemon("GET RX_IP_DEST 20:0 eth1"), dest_before);
    EXPECT_TRUE(b.media().log().empty());
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    cases, nmos_refusal,
    testing::Values(
        refusal_case{"sampling_420", file_patch(with("YCbCr-4:2:2", "YCbCr-4:2:0")), "sampling"},
        refusal_case{"audio_on_video", file_patch(with("raw/90000", "L24/48000/2")), "rtpmap"},
        refusal_case{"frame_size", file_patch(with("width=1920", "width=1921")), "1921x1080"},
        refusal_case{"reserved_group", leg({{"multicast_ip", "224.0.0.5"}}), "multicast_ip"},
        refusal_case{"port", leg({{"destination_port", 0}}, false), "destination_port"},
        refusal_case{"two_legs", {{"transport_params", json::array({json::object(), json::object()})}},
                     "transport_params"},
        refusal_case{"unknown_key", leg({{"fec_enabled", true}}, false), "fec_enabled"},
        // Strings are checked whole: what follows a NUL never reaches the daemon.
        refusal_case{"nul_in_source", leg({{"source_ip", std::string("192.0.2.5\0\n", 11)}}), "source_ip"},
        refusal_case{"nul_in_group", leg({{"multicast_ip", std::string("239.2.2.2\0garbage", 17)}}, false),
                     "multicast_ip"},
        refusal_case{"control_in_description", file_patch(with("s=cam", std::string("s=c\0am\x01", 8))),
                     "transport_file"},
        // Times far beyond any use, which once overflowed and locked every receiver.
        refusal_case{"absolute_overflow", scheduled("activate_scheduled_absolute", "18446744074:0"),
                     "requested_time"},
        refusal_case{"relative_overflow", scheduled("activate_scheduled_relative", "9223372036854775807:0"),
                     "requested_time"},
        refusal_case{"absolute_beyond_a_year", scheduled("activate_scheduled_absolute", "3999999999:0"),
                     "requested_time"},
        // Another channel takes the same group from any source: one of the two would lose it.
        refusal_case{"group_of_another_channel", file_patch(kVideoSdp, true),
                     "20:1 receives 239.10.0.1 from any source",
                     {"SET RX_IP_DEST 20:1 eth1 r 239.10.0.1 5004 96"}}),
    [](const testing::TestParamInfo<refusal_case>& i) { return i.param.name; });
// clang-format on

// The activation time is the timing daemon's: while its clock stands still before the
// requested time nothing happens, however long the host's clock runs on.
TEST_F(nmos_fixture, scheduled_activation_follows_the_timing_daemons_clock) {
    peer_rule before;
    before.what = peer_rule::action::reply;
    before.reply = "RGET PTP_TIME 2000000000 0";
    b.timing().set_rule("PTP_TIME", before);
    start();
    std::string rx = receiver();
    node_reply r = call(
        "PATCH", kConn + rx + "staged",
        {{"master_enable", true},
         {"transport_params", {{{"multicast_ip", "239.30.0.3"}, {"source_ip", "192.0.2.1"}}}},
         {"activation",
          {{"mode", "activate_scheduled_absolute"}, {"requested_time", "2000000000:500000000"}}}});
    ASSERT_EQ(r.status, 202) << r.body.dump();
    EXPECT_EQ(r.body["activation"]["activation_time"], "2000000000:500000000");
    // Read through the node only from here on: the harness's client does not take turns with it.
    auto group = [&] {
        return call("GET", kConn + rx + "active").body["transport_params"][0]["multicast_ip"];
    };
    std::this_thread::sleep_for(1500ms);
    EXPECT_TRUE(group().is_null());
    // A second PATCH is locked out while the activation is pending.
    EXPECT_EQ(call("PATCH", kConn + rx + "staged", {{"master_enable", false}}).status, 423);

    peer_rule after = before;
    after.reply = "RGET PTP_TIME 2000000001 0";
    b.timing().set_rule("PTP_TIME", after);
    bool done = false;
    for (int i = 0; i < 100 && !done; ++i) {
        std::this_thread::sleep_for(100ms);
        done = group() == "239.30.0.3";
    }
    EXPECT_TRUE(done) << node.output();
    json staged = call("GET", kConn + rx + "staged").body;
    EXPECT_TRUE(staged["activation"]["mode"].is_null());
    EXPECT_EQ(call("GET", kConn + rx + "active").body["activation"]["activation_time"],
              "2000000000:500000000");
}

TEST_F(nmos_fixture, answers_503_while_the_daemon_is_away_and_resumes_when_it_is_back) {
    start();
    std::string rx = receiver();
    ASSERT_EQ(b.daemon().stop(), 0);
    node_reply r = call("GET", kConn + rx + "active");
    EXPECT_EQ(r.status, 503);
    EXPECT_EQ(r.body["code"], 503);
    EXPECT_NE(r.body["error"].get<std::string>().find("not available"), std::string::npos);
    EXPECT_NE(r.body["debug"].get<std::string>().find("not running"), std::string::npos)
        << r.body.dump();
    // The discovery API does not need the daemon.
    EXPECT_EQ(call("GET", "/x-nmos/node/v1.3/receivers").status, 200);

    // The daemon comes back on the same board; the same node serves again without a restart.
    nexo::sim::daemon_options again;
    again.env = b.dev().preload_env();
    ASSERT_TRUE(b.daemon().start(again)) << b.daemon().stderr_text();
    ASSERT_TRUE(b.daemon().wait_stderr(nexo::kStartBanner, 5s)) << b.daemon().stderr_text();
    r = call("GET", kConn + rx + "active");
    EXPECT_EQ(r.status, 200) << r.body.dump() << node.output();
    r = call("PATCH", kConn + rx + "staged", file_patch(kVideoSdp, true));
    ASSERT_EQ(r.status, 200) << r.body.dump();
    EXPECT_EQ(daemon("GET RX_STR_ENA 20:0"), "RGET RX_STR_ENA 20:0 ON\n");
}

TEST_F(nmos_fixture, registers_heartbeats_and_registers_again_when_forgotten) {
    nexo::sim::registry registry({.port = 18235});
    start({"--registry", "http://127.0.0.1:18235"});
    ASSERT_TRUE(wait_until([&] { return registry.count("receiver") == 12; }, 10s))
        << registry.count("receiver") << " " << node.output();
    EXPECT_EQ(registry.count("node"), 1);
    EXPECT_EQ(registry.count("device"), 1);
    ASSERT_TRUE(wait_until([&] { return registry.count("heartbeat") >= 1; }, 8s));
    EXPECT_EQ(registry.count("heartbeat with a body"), 0);
    registry.forget(1);
    EXPECT_TRUE(wait_until([&] { return registry.count("receiver") == 24; }, 12s));
    EXPECT_EQ(registry.count("node"), 2);
    EXPECT_EQ(registry.count("delete"), 0);

    // Killed, the node leaves itself behind; started again, it finds itself there (200), takes
    // the stale node out and registers afresh.
    ::kill(node.pid(), SIGKILL);
    nmos_node again;
    ASSERT_TRUE(again.start(kPort, {"--registry", "http://127.0.0.1:18235"})) << again.output();
    EXPECT_TRUE(wait_until([&] { return registry.count("receiver") == 36; }, 12s));
    EXPECT_EQ(registry.count("node"), 4);
    EXPECT_EQ(registry.count("delete"), 1);

    // SIGTERM: a clean exit that takes the node out of the registry.
    EXPECT_EQ(again.stop(), 0);
    EXPECT_EQ(registry.count("delete"), 2);
}

// The service starts the node with --config /etc/nexo/nmos.conf. The file the package ships is
// accepted as it is (its port gives way to the command line's), and an operator's label with
// blanks and list of registries reach the node.
TEST_F(nmos_fixture, takes_its_settings_from_the_configuration_file) {
    ASSERT_TRUE(b.started());
    {
        nmos_node shipped;
        ASSERT_TRUE(shipped.start(kPort, {"--config", NEXO_SOURCE_DIR "/packaging/nmos.conf"}))
            << shipped.output();
        EXPECT_EQ(shipped.stop(), 0);
    }
    nexo::sim::registry registry({.port = 18235});
    std::string conf = "/tmp/nexo-nmos.conf." + std::to_string(::getpid());
    {
        std::ofstream f(conf);
        f << "# an operator's settings\nlabel = \"Studio A receiver\"\n"
          << "registry = [\"http://127.0.0.1:18235\", \"http://127.0.0.1:18236\"]\n"
          << "no-dns-sd = true\n";
    }
    start({"--config", conf});
    ::unlink(conf.c_str());
    EXPECT_EQ(call("GET", "/x-nmos/node/v1.3/self").body.value("label", ""), "Studio A receiver");
    EXPECT_TRUE(wait_until([&] { return registry.count("node") == 1; }, 10s));
}

// A registry taking 1.5 s per resource while the twelve receivers change twice: the heartbeats
// go on between the updates (a registry drops a node after about 12 s without one); sent one
// after the other, the 24 updates alone would take 36 s.
TEST_F(nmos_fixture, heartbeats_go_first_when_the_registry_is_slow) {
    nexo::sim::registry registry({.port = 18240});
    start({"--registry", "http://127.0.0.1:18240"});
    ASSERT_TRUE(wait_until([&] { return registry.count("heartbeat") >= 1; }, 15s));
    registry.slow_down(1500ms);
    json ids = call("GET", kConn).body;
    for (int round = 0; round < 2; ++round) {
        for (const json& id : ids) {
            node_reply r = call("PATCH", kConn + id.get<std::string>() + "staged", kSwitchOff);
            ASSERT_EQ(r.status, 200) << r.body.dump();
        }
    }
    // Twelve updates at 1.5 s, with heartbeats every 5 s between them.
    std::this_thread::sleep_for(20s);
    const auto beats = registry.heartbeat_times();
    ASSERT_GE(beats.size(), 4u);
    for (std::size_t k = 1; k < beats.size(); ++k) {
        EXPECT_LT(beats[k] - beats[k - 1], 10s) << "between heartbeats " << k - 1 << " and " << k;
    }
}

// The value of a TXT key in an announcement ("" when absent).
std::string txt_value(const nexo::sim::mdns_service& s, const std::string& key) {
    for (const std::string& t : s.txt) {
        if (t.rfind(key + "=", 0) == 0) {
            return t.substr(key.size() + 1);
        }
    }
    return "";
}

std::vector<std::string> registry_txt(int pri, const char* proto = "http") {
    return {std::string("api_proto=") + proto, "api_ver=v1.2,v1.3", "api_auth=false",
            "pri=" + std::to_string(pri)};
}

TEST_F(nmos_fixture, finds_registries_by_dns_sd_and_announces_itself_while_it_has_none) {
    // The node comes up first, with neither message bus nor Avahi: it waits for them.
    start();
    nexo::sim::mdns_responder mdns;
    ASSERT_TRUE(mdns.start()) << mdns.log();
    const char* kNode = "_nmos-node._tcp";
    const char* kRegistry = "_nmos-register._tcp";

    // No registry: announced for peer-to-peer discovery, with the resource counters.
    std::vector<nexo::sim::mdns_service> seen;
    ASSERT_TRUE(wait_until([&] { return !(seen = mdns.browse(kNode)).empty(); }, 10s))
        << node.output();
    EXPECT_EQ(seen[0].port, kPort);
    EXPECT_EQ(seen[0].address, nexo::sim::kEth1Addr);
    EXPECT_EQ(txt_value(seen[0], "api_proto"), "http");
    EXPECT_EQ(txt_value(seen[0], "api_ver"), "v1.3");
    EXPECT_EQ(txt_value(seen[0], "api_auth"), "false");
    const std::string rcv = txt_value(seen[0], "ver_rcv");
    ASSERT_EQ(rcv, "0");
    for (const char* k : {"ver_slf", "ver_src", "ver_flw", "ver_dvc", "ver_snd"}) {
        EXPECT_FALSE(txt_value(seen[0], k).empty()) << k;
    }
    // An activation changes a receiver: its counter goes up.
    node_reply r = call("PATCH", kConn + receiver() + "staged", kSwitchOff);
    ASSERT_EQ(r.status, 200) << r.body.dump();
    EXPECT_TRUE(wait_until(
        [&] {
            seen = mdns.browse(kNode);
            return !seen.empty() && txt_value(seen[0], "ver_rcv") == "1";
        },
        10s));

    // Registries appear: one the node cannot use (https) with the best priority, then one of
    // priority 20. The node registers with the latter and withdraws its announcement.
    // On every address: an announcement by DNS-SD resolves to eth1's.
    auto second = std::make_unique<nexo::sim::registry>(
        nexo::sim::registry_options{.address = "0.0.0.0", .port = 18237});
    nexo::sim::registry best({.address = "0.0.0.0", .port = 18236}),
        third({.address = "0.0.0.0", .port = 18238});
    ASSERT_GE(mdns.announce("reg tls", kRegistry, 18239, registry_txt(0, "https")), 0);
    ASSERT_GE(mdns.announce("reg second", kRegistry, 18237, registry_txt(20)), 0);
    // Once each: what changed before (the activation) is part of the registration.
    ASSERT_TRUE(wait_until([&] { return second->count("receiver") >= 12; }, 15s)) << node.output();
    EXPECT_TRUE(wait_until([&] { return mdns.browse(kNode).empty(); }, 10s));

    // Better and worse ones appear; the node stays where it is while that answers, then moves
    // to the best of the others when it stops.
    ASSERT_GE(mdns.announce("reg third", kRegistry, 18238, registry_txt(30)), 0);
    ASSERT_GE(mdns.announce("reg best", kRegistry, 18236, registry_txt(10)), 0);
    ASSERT_TRUE(wait_until([&] { return second->count("heartbeat") >= 1; }, 8s));
    EXPECT_EQ(second->count("receiver"), 12);
    EXPECT_EQ(best.count("node"), 0);
    second.reset();
    EXPECT_TRUE(wait_until([&] { return best.count("receiver") == 12; }, 15s)) << node.output();
    EXPECT_EQ(third.count("node"), 0);
    EXPECT_EQ(node.stop(), 0);
    EXPECT_EQ(best.count("delete"), 1);
}

// What one client sends on a raw connection, and what comes back until the node closes it or
// 20 s pass (the request is followed by a half-close: nothing more comes from this client).
std::string raw_exchange(const std::string& request) {
    nexo::unique_fd fd = nexo::sim::connect_local(kPort);
    if (!fd.valid()) {
        return "no connection";
    }
    for (std::size_t sent = 0; sent < request.size();) {
        ssize_t n = ::send(fd.get(), request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            break;  // the node closed early: what it answered is still to be read
        }
        sent += static_cast<std::size_t>(n);
    }
    ::shutdown(fd.get(), SHUT_WR);
    std::string got;
    char buf[4096];
    pollfd p{fd.get(), POLLIN, 0};
    while (::poll(&p, 1, 20000) > 0) {
        ssize_t n = ::recv(fd.get(), buf, sizeof buf, 0);
        if (n <= 0) {
            break;
        }
        got.append(buf, static_cast<std::size_t>(n));
    }
    return got;
}

// Each request once cost the node without bound (a crash, gigabytes, or a worker for good);
// each is now answered with a refusal, or the connection closed, and the node serves on.
TEST_F(nmos_fixture, refuses_what_would_cost_it_without_bound) {
    start();
    const std::string rx = receiver();
    const std::string staged = kConn + rx + "staged";
    auto request = [](const std::string& method, const std::string& path,
                      const std::string& headers, const std::string& body) {
        return method + " " + path + " HTTP/1.1\r\nHost: node\r\n" + headers +
               "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    };
    std::string many_headers, endless_headers;
    for (int i = 0; i < 1000; ++i) {
        many_headers += "X-" + std::to_string(i) + ": a\r\n";
    }
    for (int i = 0; i < 100000; ++i) {
        endless_headers += "X-" + std::to_string(i) + ": a\r\n";
    }
    const struct {
        const char* name;
        std::string request;
        const char* answer;  // the status line's start; "" for a connection closed unanswered
    } rows[] = {
        {"deep_mode",
         request("PATCH", staged, "",
                 R"({"activation":{"mode":)" + std::string(100000, '[') + "}}"),
         "HTTP/1.1 400"},
        {"deep_target",
         request("PUT", "/x-nmos/node/v1.3/receivers/" + rx.substr(0, 36) + "/target", "",
                 std::string(100000, '[')),
         "HTTP/1.1 400"},
        {"big_body", request("PATCH", staged, "", std::string(2 << 20, ' ')), "HTTP/1.1 413"},
        {"gzip_body", request("PATCH", staged, "Content-Encoding: gzip\r\n", "xxxx"),
         "HTTP/1.1 415"},
        {"many_headers", request("GET", "/x-nmos/node/v1.3/self", many_headers, ""),
         "HTTP/1.1 431"},
        {"endless_headers", request("GET", "/x-nmos/node/v1.3/self", endless_headers, ""), ""},
        {"not_utf8_path", request("GET", "/x-nmos/node/v1.3/devices/%ff%fe", "", ""),
         "HTTP/1.1 404"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        std::string got = raw_exchange(r.request);
        if (*r.answer == 0) {
            EXPECT_EQ(got.find("HTTP/1.1 2"), std::string::npos) << got.substr(0, 200);
        } else {
            EXPECT_EQ(got.rfind(r.answer, 0), 0u) << got.substr(0, 200);
            std::string body = got.substr(got.find("\r\n\r\n") + 4);
            EXPECT_FALSE(json::parse(body, nullptr, false).is_discarded()) << body;
        }
        EXPECT_EQ(call("GET", "/x-nmos/node/v1.3/self").status, 200) << node.output();
    }
}

// Slow and idle connections each hold only themselves: the API answers meanwhile, and the node
// lets go of them once their time is up.
TEST_F(nmos_fixture, slow_and_idle_clients_hold_nothing_but_their_connection) {
    start();
    std::vector<nexo::unique_fd> held;
    for (int i = 0; i < 50; ++i) {
        held.push_back(nexo::sim::connect_local(kPort));
        const char partial[] = "GET /x-nmos/node/v1.3/self HTTP/1.1\r\nHost: n";
        ASSERT_TRUE(held.back().valid());
        ASSERT_GT(::send(held.back().get(), partial, sizeof partial - 1, MSG_NOSIGNAL), 0);
    }
    for (int i = 0; i < 100; ++i) {
        held.push_back(nexo::sim::connect_local(kPort));
    }
    for (int i = 0; i < 10; ++i) {
        httplib::Client probe("127.0.0.1", kPort);
        probe.set_read_timeout(5s);
        auto r = probe.Get("/x-nmos/node/v1.3/self");
        ASSERT_TRUE(r) << i;
        EXPECT_EQ(r->status, 200);
    }
    // Each is closed by the node (after an error answer, or none) within its time, with room
    // to spare.
    for (const nexo::unique_fd& fd : held) {
        pollfd p{fd.get(), POLLIN, 0};
        char buf[512];
        ssize_t n = 1;
        while (n > 0 && ::poll(&p, 1, 30000) == 1) {
            n = ::recv(fd.get(), buf, sizeof buf, 0);
        }
        EXPECT_LE(n, 0);
    }
}

// Zero-padded octets are decimal, as nexoctl and the daemon read them, and the node stores the
// address in its plain form.
TEST_F(nmos_fixture, reads_an_address_as_nexoctl_does) {
    start();
    std::string rx = receiver();
    node_reply r = call(
        "PATCH", kConn + rx + "staged",
        {{"master_enable", true},
         {"transport_params", {{{"multicast_ip", "239.010.000.001"}, {"source_ip", "192.0.2.01"}}}},
         {"activation", {{"mode", "activate_immediate"}}}});
    ASSERT_EQ(r.status, 200) << r.body.dump();
    EXPECT_EQ(r.body["transport_params"][0]["multicast_ip"], "239.10.0.1");
    EXPECT_EQ(
        daemon("GET RX_IP_DEST 20:0 eth1").rfind("RGET RX_IP_DEST 20:0 eth1 R 239.10.0.1 ", 0), 0u);
    EXPECT_EQ(call("GET", kConn + rx + "active").body["sender_id"], nullptr);
}

// A scheduled activation waits without holding anything: the other receivers answer, the same
// receiver's staged answers, and SIGTERM ends the node at once.
TEST_F(nmos_fixture, a_pending_activation_blocks_nothing) {
    start();
    std::string rx = receiver();
    node_reply r = call(
        "PATCH", kConn + rx + "staged",
        {{"master_enable", true},
         {"activation", {{"mode", "activate_scheduled_relative"}, {"requested_time", "3600:0"}}}});
    ASSERT_EQ(r.status, 202) << r.body.dump();
    std::string other = call("GET", kConn).body.at(5).get<std::string>();
    EXPECT_EQ(call("GET", kConn + other + "active").status, 200);
    EXPECT_EQ(call("GET", kConn + rx + "staged").body["activation"]["mode"],
              "activate_scheduled_relative");
    EXPECT_EQ(node.stop(), 0);
}

// manifest_href is fetched only from where the operator allows, and what comes back is never
// quoted to the client.
TEST_F(nmos_fixture, fetches_a_manifest_only_from_where_it_is_allowed) {
    httplib::Server origin;
    origin.Get("/good.sdp", [](const httplib::Request&, httplib::Response& res) {
        res.set_content(kVideoSdp, "application/sdp");
    });
    origin.Get("/secret", [](const httplib::Request&, httplib::Response& res) {
        res.set_content("root:SECRET-LINE\n", "text/plain");
    });
    ASSERT_TRUE(origin.bind_to_port("0.0.0.0", 18099));
    std::thread serving([&] { origin.listen_after_bind(); });
    start({"--manifest-from", "127.0.0.0/8"});
    const std::string target =
        "/x-nmos/node/v1.3/receivers/" + receiver().substr(0, 36) + "/target";
    auto put = [&](const std::string& href) {
        json sender = {{"id", "0a174530-e3cf-4ebc-8ba3-4d5a4bd3f8c2"}, {"manifest_href", href}};
        auto res = http.Put(target.c_str(), sender.dump(), "application/json");
        return res ? std::pair{res->status, res->body} : std::pair{0, std::string()};
    };
    const struct {
        std::string href;
        int status;
    } rows[] = {
        {"http://127.0.0.1:18099/good.sdp", 202},
        {"http://127.0.0.1:18099/secret", 400},
        {std::string("http://") + nexo::sim::kEth1Addr + ":18099/good.sdp", 400},
        {"http://user@127.0.0.1:18099/good.sdp", 400},
    };
    for (const auto& r : rows) {
        auto [status, body] = put(r.href);
        EXPECT_EQ(status, r.status) << r.href << " " << body;
        EXPECT_EQ(body.find("SECRET"), std::string::npos) << body;
    }
    EXPECT_EQ(
        daemon("GET RX_IP_DEST 20:0 eth1").rfind("RGET RX_IP_DEST 20:0 eth1 R 239.10.0.1 ", 0), 0u);
    origin.stop();
    serving.join();
}

}  // namespace
