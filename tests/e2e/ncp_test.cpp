// The node's control protocol endpoint on the simulated board, driven over WebSocket as a
// facility's monitoring system drives it: the model's objects and descriptors, the errors bad
// commands get, subscriptions and the notifications they bring, and the bounds on what one
// client may cost the others.
#include <utility>
//
#include <gtest/gtest.h>

#include <algorithm>
#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <chrono>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "control_client.h"
#include "fpga.h"
#include "node_fixture.h"
#include "wait_until.h"

namespace {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = net::ip::tcp;
using json = nlohmann::json;
using namespace std::chrono_literals;

constexpr int kNcpPort = 18090;
constexpr const char* kPath = "/x-nmos/ncp/v1.0";

// One WebSocket client of the node. Every wait is bounded: a read that does not complete in
// time gives nullopt and leaves the client unusable.
struct ws_client {
    net::io_context io;
    websocket::stream<beast::tcp_stream> ws{io};
    int handle = 0;
    std::vector<json> heard;  // notifications received and not yet looked for

    bool connect(const std::string& target = kPath) {
        beast::error_code ec;
        beast::get_lowest_layer(ws).connect(
            tcp::endpoint(net::ip::make_address("127.0.0.1"), kNcpPort), ec);
        if (!ec) {
            ws.read_message_max(16 * 1024 * 1024);
            ws.handshake("127.0.0.1:" + std::to_string(kNcpPort), target, ec);
        }
        return !ec;
    }
    bool send(const std::string& text) {
        beast::error_code ec;
        ws.text(true);
        ws.write(net::buffer(text), ec);
        return !ec;
    }
    std::optional<json> next(std::chrono::milliseconds limit = 5s) {
        beast::flat_buffer buf;
        bool done = false;
        beast::error_code result;
        ws.async_read(buf, [&](beast::error_code ec, std::size_t) {
            done = true;
            result = ec;
        });
        io.restart();
        io.run_for(limit);
        if (!done) {
            beast::get_lowest_layer(ws).socket().close();
            io.restart();
            io.run();
            return std::nullopt;
        }
        if (result) {
            return std::nullopt;
        }
        return json::parse(beast::buffers_to_string(buf.data()), nullptr, false);
    }
    // A command message of one command.
    static std::string command_text(int handle, std::uint32_t oid, int level, int index,
                                    const json& args) {
        return json{{"messageType", 0},
                    {"commands",
                     {{{"handle", handle},
                       {"oid", oid},
                       {"methodId", {{"level", level}, {"index", index}}},
                       {"arguments", args}}}}}
            .dump();
    }
    json command(std::uint32_t oid, int level, int index, const json& args) {
        send(command_text(++handle, oid, level, index, args));
        // Notifications may come first; the response is the message with our handle.
        for (int i = 0; i < 50; ++i) {
            auto m = next();
            if (!m) {
                return nullptr;
            }
            if ((*m)["messageType"] == 1 && (*m)["responses"][0]["handle"] == handle) {
                return (*m)["responses"][0]["result"];
            }
        }
        return nullptr;
    }
    json get(std::uint32_t oid, int level, int index) {
        return command(oid, 1, 1, {{"id", {{"level", level}, {"index", index}}}});
    }
    json set(std::uint32_t oid, int level, int index, const json& value) {
        return command(oid, 1, 2, {{"id", {{"level", level}, {"index", index}}}, {"value", value}});
    }
    // The value of the first notification of `property` on `oid` (others are passed over);
    // null when none came within `limit`.
    json notified(std::uint32_t oid, const json& property, std::chrono::milliseconds limit = 5s) {
        auto end = std::chrono::steady_clock::now() + limit;
        for (;;) {
            for (auto it = heard.begin(); it != heard.end(); ++it) {
                if ((*it)["oid"] == oid && (*it)["eventData"]["propertyId"] == property) {
                    json v = (*it)["eventData"]["value"];
                    heard.erase(heard.begin(), it + 1);
                    return v;
                }
            }
            heard.clear();
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                end - std::chrono::steady_clock::now());
            auto m = left.count() > 0 ? next(left) : std::nullopt;
            if (!m) {
                return nullptr;
            }
            if ((*m)["messageType"] == 2) {
                heard = (*m)["notifications"].get<std::vector<json>>();
            }
        }
    }
    json subscribe(const json& oids) {
        send(json{{"messageType", 3}, {"subscriptions", oids}}.dump());
        auto m = next();
        return m ? *m : json(nullptr);
    }
};

struct ncp_fixture : nexo::sim::node_fixture {
    void start() {
        node_fixture::start({"--ncp-port", std::to_string(kNcpPort)});
        // The node is up once its HTTP port answers; the control endpoint opens beside it.
        ASSERT_TRUE(wait_until([] { return ws_client().connect(); }, 5s)) << node.output();
    }
};

TEST_F(ncp_fixture, advertised_endpoint_serves_the_model_with_a_monitor_per_receiver) {
    start();
    json device = call("GET", "/x-nmos/node/v1.3/devices/").body.at(0);
    json ncp;
    for (const auto& c : device["controls"]) {
        if (c["type"] == "urn:x-nmos:control:ncp/v1.0") {
            ncp = c;
        }
    }
    ASSERT_FALSE(ncp.is_null()) << device["controls"].dump();
    EXPECT_EQ(ncp["href"].get<std::string>().rfind("ws://", 0), 0u);
    EXPECT_NE(ncp["href"].get<std::string>().find(":18090/x-nmos/ncp/v1.0"), std::string::npos);

    ws_client c;
    ASSERT_TRUE(c.connect());
    json members = c.command(1, 2, 1, {{"recurse", true}});
    ASSERT_EQ(members["status"], 200) << members.dump();
    // Device manager, class manager, twelve monitors; each monitor names its IS-04 receiver.
    ASSERT_EQ(members["value"].size(), 14u);
    std::vector<std::string> receivers = device["receivers"];
    for (const auto& m : members["value"]) {
        if (m["classId"] != json{1, 2, 2, 1}) {
            continue;
        }
        json tp = c.get(m["oid"], 1, 7);
        ASSERT_EQ(tp["status"], 200);
        const json& res = tp["value"][0]["resource"];
        EXPECT_EQ(tp["value"][0]["contextNamespace"], "x-nmos");
        EXPECT_EQ(res["resourceType"], "receiver");
        EXPECT_NE(std::find(receivers.begin(), receivers.end(), res["id"]), receivers.end());
    }
    // The class manager describes the monitor with everything it inherits.
    json cls = c.command(3, 3, 1, {{"classId", {1, 2, 2, 1}}, {"includeInherited", true}});
    ASSERT_EQ(cls["status"], 200) << cls.dump();
    EXPECT_EQ(cls["value"]["properties"].size(), 8u + 1 + 3 + 14);
    EXPECT_EQ(cls["value"]["methods"].size(), 7u + 3);
}

struct error_case {
    const char* name;
    json message;      // sent as is
    int message_type;  // 1: a command response, 5: an error message
    int status;
};

TEST_F(ncp_fixture, bad_commands_get_the_protocol_errors) {
    start();
    auto cmd = [](json oid, json method, json args, json handle = 1) {
        return json{
            {"messageType", 0},
            {"commands",
             {{{"handle", handle}, {"oid", oid}, {"methodId", method}, {"arguments", args}}}}};
    };
    const json get = {{"level", 1}, {"index", 1}};
    const json set = {{"level", 1}, {"index", 2}};
    const json role = {{"id", {{"level", 1}, {"index", 5}}}};
    const std::vector<error_case> cases = {
        {"unknown oid", cmd(999, get, role), 1, 404},
        {"unknown method", cmd(1, {{"level", 1}, {"index", 99}}, role), 1, 501},
        {"unknown property", cmd(1, get, {{"id", {{"level", 1}, {"index", 99}}}}), 1, 502},
        {"argument of the wrong type", cmd(1, get, {{"id", "role"}}), 1, 417},
        {"missing argument", cmd(1, get, json::object()), 1, 417},
        {"set a read-only property", cmd(1, set, {{"id", role["id"]}, {"value", "x"}}), 1, 405},
        {"set a label to a number",
         cmd(1, set, {{"id", {{"level", 1}, {"index", 6}}}, {"value", 7}}), 1, 417},
        {"sequence index out of range",
         cmd(1, {{"level", 1}, {"index", 3}},
             {{"id", {{"level", 2}, {"index", 2}}}, {"index", 99}}),
         1, 414},
        {"handle out of range", cmd(1, get, role, 999999999), 5, 400},
        {"handle not a number", cmd(1, get, role, "one"), 5, 400},
        {"unknown message type", {{"messageType", 7}}, 5, 400},
        {"no message type", {{"not_a", "command"}}, 5, 400},
        {"not JSON", "{\"messageType\": 0, \"commands\": [", 5, 400},
        {"nested too deep", std::string(100, '[') + std::string(100, ']'), 5, 400},
    };
    ws_client c;
    ASSERT_TRUE(c.connect());
    for (const auto& k : cases) {
        SCOPED_TRACE(k.name);
        c.send(k.message.is_string() ? k.message.get<std::string>() : k.message.dump());
        auto reply = c.next();
        ASSERT_TRUE(reply);
        ASSERT_EQ((*reply)["messageType"], k.message_type) << reply->dump();
        const json& st = k.message_type == 1 ? (*reply)["responses"][0]["result"] : *reply;
        EXPECT_EQ(st["status"], k.status) << reply->dump();
        EXPECT_TRUE(st["errorMessage"].is_string());
    }
    // After all of that the session still answers.
    EXPECT_EQ(c.get(1, 1, 5)["value"], "root");
}

TEST_F(ncp_fixture, subscribers_hear_of_changes_and_others_do_not) {
    start();
    ws_client a, b2, quiet;
    ASSERT_TRUE(a.connect());
    ASSERT_TRUE(b2.connect());
    ASSERT_TRUE(quiet.connect());
    // A list of 10,000 oids comes back as the objects that exist.
    json oids = json::array();
    for (int i = 1; i <= 10000; ++i) {
        oids.push_back(i);
    }
    json r = b2.subscribe(oids);
    ASSERT_EQ(r["messageType"], 4);
    EXPECT_EQ(r["subscriptions"].size(), 15u);
    EXPECT_EQ(a.subscribe({1, 10})["subscriptions"], json({1, 10}));

    ASSERT_EQ(a.set(10, 1, 6, "Camera 3 feed")["status"], 200);
    // The monitor's label, and the root block's member descriptors that carry it. (The
    // monitors' own statuses may be notified too, as the node reads the board.)
    const json label = {{"level", 1}, {"index", 6}};
    EXPECT_EQ(b2.notified(10, label), "Camera 3 feed");
    json members = b2.notified(1, {{"level", 2}, {"index", 2}});
    ASSERT_TRUE(members.is_array());
    EXPECT_EQ(members[2]["userLabel"], "Camera 3 feed");
    EXPECT_EQ(a.notified(10, label), "Camera 3 feed");
    // The client that did not subscribe gets its answer and nothing before it.
    quiet.send(ws_client::command_text(5, 10, 1, 1, {{"id", label}}));
    auto q = quiet.next();
    ASSERT_TRUE(q);
    EXPECT_EQ((*q)["messageType"], 1);
    EXPECT_EQ((*q)["responses"][0]["result"]["value"], "Camera 3 feed");
}

TEST_F(ncp_fixture, greedy_and_idle_clients_cost_only_themselves) {
    start();
    // An oversized message closes that client's connection.
    ws_client big;
    ASSERT_TRUE(big.connect());
    big.send(std::string(300 * 1024, ' '));
    EXPECT_FALSE(big.next());

    // A subscriber that never reads: its queue fills and it is dropped, while the writer's
    // commands keep being answered.
    ws_client deaf, writer;
    ASSERT_TRUE(deaf.connect());
    ASSERT_TRUE(writer.connect());
    ASSERT_EQ(deaf.subscribe({10})["messageType"], 4);
    const std::string label(200 * 1024, 'x');
    for (int i = 0; i < 64; ++i) {
        json r = writer.set(10, 1, 6, label + std::to_string(i));
        ASSERT_EQ(r["status"], 200) << "round " << i;
    }
    EXPECT_TRUE(wait_until(
        [&] { return node.output().find("control client dropped") != std::string::npos; }, 10s))
        << node.output();

    // Upgrade requests elsewhere than the endpoint are refused; many clients at once are served.
    ws_client lost;
    EXPECT_FALSE(lost.connect("/x-nmos/other"));
    std::vector<std::unique_ptr<ws_client>> many;
    for (int i = 0; i < 200; ++i) {
        many.push_back(std::make_unique<ws_client>());
        ASSERT_TRUE(many.back()->connect()) << i;
    }
    for (auto& c : many) {
        ASSERT_EQ(c->get(2, 1, 5)["value"], "DeviceManager");
    }
}

// Receiver 20:1 switched on with a format, as a controller's activation leaves it: its monitor
// follows the format detector through the reporting delay, and subscribers hear of each change.
TEST_F(ncp_fixture, monitor_follows_the_detector_and_notifies_within_the_reporting_rules) {
    ASSERT_TRUE(b.started());
    // Each line hangs up after it, as nexoctl's do, so that the node's exchanges do not wait.
    auto req = [this](const std::string& line) { return b.client().request_and_hang_up(line); };
    ASSERT_EQ(req("SET RX_IP_DEST 20:1 eth1 r 239.1.1.1 5004 96"),
              "RSET RX_IP_DEST 20:1 eth1 OK\n");
    ASSERT_EQ(req("SET RX_VID_FMT 20:1 YCR422 10 P 1920 1080 59.94"), "RSET RX_VID_FMT 20:1 OK\n");
    ASSERT_EQ(req("SET RX_STR_ENA 20:1 on"), "RSET RX_STR_ENA 20:1 OK\n");
    start();
    const std::uint32_t rx = 11;  // 20:1
    const json connection = {{"level", 4}, {"index", 4}};
    const json stream = {{"level", 4}, {"index", 11}};
    ws_client c;
    ASSERT_TRUE(c.connect());
    // Switched on with nothing arriving: no signal.
    ASSERT_TRUE(wait_until([&] { return c.get(rx, 4, 4)["value"] == 3; }, 5s));
    ASSERT_EQ(c.subscribe({rx})["subscriptions"], json({rx}));

    // A better state waits for the reporting delay: with a minute's delay a sender that
    // starts is not reported for the rounds that follow ...
    ASSERT_EQ(c.set(rx, 3, 3, 60)["status"], 200);
    b.dev().set_detector(1, 3, {1920, 1080, 2, 1, 0, 8});
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(c.get(rx, 4, 4)["value"], 3);
    // ... and with the delay down to none it is, as a notification.
    ASSERT_EQ(c.set(rx, 3, 3, 0)["status"], 200);
    EXPECT_EQ(c.notified(rx, connection), 1);

    // A worse state is reported at once: another format than configured.
    b.dev().set_detector(1, 3, {1280, 720, 2, 1, 0, 8});
    // (The stream's earlier change to Healthy may still be queued ahead of it.)
    json now = c.notified(rx, stream);
    while (now == 1) {
        now = c.notified(rx, stream);
    }
    EXPECT_EQ(now, 3);
    json msg = c.get(rx, 4, 12)["value"];
    ASSERT_TRUE(msg.is_string());
    EXPECT_NE(msg.get<std::string>().find("1280 720"), std::string::npos) << msg;
    EXPECT_NE(msg.get<std::string>().find("1920 1080"), std::string::npos) << msg;
    EXPECT_GE(c.get(rx, 4, 13)["value"].get<int>(), 1);
    EXPECT_EQ(c.get(rx, 3, 1)["value"], 3);  // overall: the worst domain

    // Counters and messages reset on request; the board has no packet counters to give.
    ASSERT_EQ(c.command(rx, 4, 3, json::object())["status"], 200);
    EXPECT_EQ(c.get(rx, 4, 13)["value"], 0);
    EXPECT_TRUE(c.get(rx, 4, 12)["value"].is_null());
    EXPECT_EQ(c.command(rx, 4, 1, json::object())["value"], json::array());
}

}  // namespace
