// The node's connection logic against a scripted daemon: the exact lines an activation sends,
// in their order, and what a refusal part way sends back.
#include <gtest/gtest.h>

#include <algorithm>
#include <future>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "board_control.h"
#include "connection.h"
#include "fresh_daemon.h"
#include "gate.h"
#include "http_api.h"
#include "http_limits.h"
#include "resources.h"

namespace {

using namespace nexo::nmos;

using nexo::client::link_reply;
using nexo::client::link_status;
using nexo::testing_daemon::fresh_reply;

// Channel 20:0 as configured before the tests change it; everything else as a fresh daemon.
const std::map<std::string, std::string> kAnswers = {
    {"GET RX_IP_DEST 20:0 eth1", "RGET RX_IP_DEST 20:0 eth1 R 239.9.9.9 5000 96 1260"},
    {"GET RX_IP_SRC 20:0 eth1", "RGET RX_IP_SRC 20:0 eth1 R 0.0.0.0 0 96"},
    {"GET RX_STR_ENA 20:0", "RGET RX_STR_ENA 20:0 ON"},
    {"GET RX_IP_IF_ENA 20:0", "RGET RX_IP_IF_ENA 20:0 eth1/1"},
};

// Answers as kAnswers (or `answers`) says, accepts every SET but the one starting with
// `refuse`, and records the SET lines; after `sets_taken` SET lines (when not negative) it is
// gone.
struct scripted_daemon : nexo::client::daemon_link {
    std::vector<std::string> sets;
    std::string refuse;
    std::map<std::string, std::string> answers = kAnswers;
    int sets_taken = -1;

    link_reply exchange(const std::string& line) override {
        if (line.starts_with("SET ")) {
            if (sets_taken >= 0 && static_cast<int>(sets.size()) >= sets_taken) {
                return {link_status::failure, "nexo is not running"};
            }
            sets.push_back(line);
            if (!refuse.empty() && line.starts_with(refuse)) {
                return {link_status::error, "ERROR"};
            }
        }
        auto a = answers.find(line);
        return a != answers.end() ? link_reply{link_status::ok, a->second} : fresh_reply(line);
    }
};

// A node on a stand-in daemon (by default the scripted one, on channel 20:0).
template <typename Daemon = scripted_daemon>
struct node {
    Daemon d;
    board_control b{d};
    resources res{
        {"host", "label", "eth1", "192.0.2.10", "02-00-00-00-00-10", "", 3212, "m", "p", "", "f"},
        [](channel_id) { return json::object(); },
        {1, 0}};
    connection conn{b, res, [] { return std::string("192.0.2.10"); }};
};

struct activation_case {
    const char* name;
    json patch;
    std::string refuse;
    int status;
    std::vector<std::string> sets;
};

class connection_activation : public testing::TestWithParam<activation_case> {};

TEST_P(connection_activation, sends_these_lines_in_this_order) {
    node n;
    n.d.refuse = GetParam().refuse;
    json patch = GetParam().patch;
    patch["activation"] = {{"mode", "activate_immediate"}};
    int status = 0;
    try {
        status = n.conn.patch_staged(0, patch).code;
    } catch (const daemon_refused&) {
        status = 500;
    }
    EXPECT_EQ(status, GetParam().status);
    EXPECT_EQ(n.d.sets, GetParam().sets);
}

// clang-format off
const json kGroup = json::parse(R"({"master_enable": true, "transport_params": [{"multicast_ip": "239.1.1.1", "source_ip": "192.0.2.1"}]})");

INSTANTIATE_TEST_SUITE_P(
    cases, connection_activation,
    testing::Values(
        // Addresses first, the channel switched on last; the payload type the daemon holds
        // is kept, "auto" is port 5004.
        activation_case{"multicast_on", kGroup, "", 200,
            {"SET RX_IP_DEST 20:0 eth1 R 239.1.1.1 5004 96", "SET RX_IP_SRC 20:0 eth1 R 192.0.2.1 0 96",
             "SET RX_IP_IF_ENA 20:0 eth1/1", "SET RX_STR_ENA 20:0 ON"}},
        // Parked: off before anything changes; no group means the board's own address.
        activation_case{"parked_unicast",
            json::parse(R"({"master_enable": false, "transport_params": [{"destination_port": 6000}]})"), "", 200,
            {"SET RX_STR_ENA 20:0 OFF", "SET RX_IP_DEST 20:0 eth1 R self 6000 96",
             "SET RX_IP_SRC 20:0 eth1 R 0.0.0.0 0 96", "SET RX_IP_IF_ENA 20:0 eth1/1"}},
        activation_case{"rtp_disabled",
            json::parse(R"({"master_enable": true, "transport_params": [{"multicast_ip": "239.1.1.1", "rtp_enabled": false}]})"), "", 200,
            {"SET RX_STR_ENA 20:0 OFF", "SET RX_IP_DEST 20:0 eth1 R 239.1.1.1 5004 96",
             "SET RX_IP_SRC 20:0 eth1 R 0.0.0.0 0 96", "SET RX_IP_IF_ENA 20:0 eth1/0"}},
        // Refused part way: what the activation touched is set again, as it was read.
        activation_case{"refused_src", kGroup, "SET RX_IP_SRC 20:0 eth1 R 192.0.2.1", 500,
            {"SET RX_IP_DEST 20:0 eth1 R 239.1.1.1 5004 96", "SET RX_IP_SRC 20:0 eth1 R 192.0.2.1 0 96",
             "SET RX_IP_DEST 20:0 eth1 R 239.9.9.9 5000 96 1260", "SET RX_IP_SRC 20:0 eth1 R 0.0.0.0 0 96"}}),
    [](const testing::TestParamInfo<activation_case>& i) { return i.param.name; });
// clang-format on

TEST(board_replies, parse_what_the_daemon_writes_and_nothing_else) {
    EXPECT_EQ(parse_ptp_time_reply("RGET PTP_TIME 1796485425 775975781"),
              (tai_time{1796485425, 775975781}));
    EXPECT_FALSE(parse_ptp_time_reply("RGET PTP_TIME 1 1000000000"));
    EXPECT_FALSE(parse_ptp_time_reply("RGET PTP_TIME 9223372036854775807 0"));
    // Times from clients: bounded so that no arithmetic on them can overflow.
    struct time_row {
        const char* text;
        std::optional<tai_time> t;
    };
    const time_row times[] = {
        {"12", std::nullopt},
        {"-1:0", std::nullopt},
        {"0:200000000", tai_time{0, 200000000}},
        {"4000000000:999999999", tai_time{4000000000, 999999999}},
        {"4000000001:0", std::nullopt},
        {"18446744074:0", std::nullopt},
        {"9223372036854775807:0", std::nullopt},
        {"99999999999999999999999:0", std::nullopt},
        {"1:1000000000", std::nullopt},
        {"1:", std::nullopt},
        {":1", std::nullopt},
        {"1:2:3", std::nullopt},
    };
    for (const time_row& r : times) {
        EXPECT_EQ(tai_time::parse(r.text), r.t) << r.text;
    }
}

// Answers the queries of every channel as a fresh daemon does and holds each SET of channel
// 20:0 until released, as a daemon stopped part way through an activation would.
struct holding_daemon : nexo::client::daemon_link {
    nexo::test::gate g;
    link_reply exchange(const std::string& line) override {
        if (line.starts_with("SET ") && line.find(" 20:0 ") != std::string::npos) {
            std::unique_lock lk(g.mu);
            g.hold(lk);
        }
        return fresh_reply(line);
    }
};

// Requests to the other receivers go on while one receiver's activation waits for the daemon:
// each receiver's daemon I/O holds that receiver only.
TEST(connection, one_receivers_activation_holds_no_other) {
    node<holding_daemon> n;
    std::thread activating([&] {
        json patch = {{"master_enable", true}, {"activation", {{"mode", "activate_immediate"}}}};
        EXPECT_EQ(n.conn.patch_staged(0, patch).code, 200);
    });
    n.d.g.wait_held();
    auto others = std::async(std::launch::async, [&] {
        for (std::size_t i = 1; i < kChannels.size(); ++i) {
            EXPECT_TRUE(n.conn.staged(i).is_object());
            EXPECT_EQ(n.conn.active(i)["master_enable"], false);
            EXPECT_EQ(n.conn.patch_staged(i, {{"master_enable", true}}).code, 200);
        }
    });
    // Bounded only so that a regression fails instead of hanging the run.
    EXPECT_EQ(others.wait_for(std::chrono::seconds(60)), std::future_status::ready);
    n.d.g.release();
    activating.join();
    others.wait();
    EXPECT_EQ(n.conn.staged(0)["master_enable"], true);
}

// A daemon whose first read of 20:0's destination waits until released, and whose answer for
// it can change meanwhile; counts the reads of it.
struct slow_read_daemon : nexo::client::daemon_link {
    nexo::test::gate g;
    std::string dest = "RGET RX_IP_DEST 20:0 eth1 R 239.1.1.1 5004 96";
    int reads = 0;
    link_reply exchange(const std::string& line) override {
        if (line == "GET RX_IP_DEST 20:0 eth1") {
            std::unique_lock lk(g.mu);
            std::string answer = dest;
            if (++reads == 1) {
                g.hold(lk);
            }
            return {link_status::ok, answer};
        }
        return fresh_reply(line);
    }
};

// GETs of active that arrive while a read of the receiver is under way share the next read,
// never the one under way: a change the daemon made after a request arrived is in its answer.
TEST(connection, active_shares_only_reads_begun_after_the_request) {
    node<slow_read_daemon> n;
    auto first = std::async(std::launch::async, [&] { return n.conn.active(0); });
    n.d.g.wait_held();
    {
        std::lock_guard lk(n.d.g.mu);
        n.d.dest = "RGET RX_IP_DEST 20:0 eth1 R 239.2.2.2 5004 96";
    }
    std::vector<std::future<json>> later;
    for (int k = 0; k < 8; ++k) {
        later.push_back(std::async(std::launch::async, [&] { return n.conn.active(0); }));
    }
    // Not a budget: only time for the requests to arrive while the first read is held.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    n.d.g.release();
    EXPECT_EQ(first.get()["transport_params"][0]["multicast_ip"], "239.1.1.1");
    for (auto& f : later) {
        EXPECT_EQ(f.get()["transport_params"][0]["multicast_ip"], "239.2.2.2");
    }
    std::lock_guard lk(n.d.g.mu);
    EXPECT_GE(n.d.reads, 2);
}

// Many clients at once, each on its own receiver, mixing reads and activations (run under
// ThreadSanitizer by the tsan preset): each ends with what it staged last.
TEST(connection, many_clients_on_different_receivers) {
    node<holding_daemon> n;
    n.d.g.released = true;
    api_router router(n.res, n.conn);
    std::vector<std::thread> clients;
    for (std::size_t i = 0; i < kChannels.size(); ++i) {
        clients.emplace_back([&, i] {
            const std::string base =
                "/x-nmos/connection/v1.1/single/receivers/" + n.res.receiver_id(i) + "/";
            for (int k = 0; k < 20; ++k) {
                json patch = {{"master_enable", k % 2 == 0},
                              {"activation", {{"mode", "activate_immediate"}}}};
                EXPECT_EQ(router.handle("PATCH", base + "staged", patch.dump()).code, 200);
                EXPECT_EQ(router.handle("GET", base + "staged", "").code, 200);
                EXPECT_EQ(router.handle("GET", base + "active", "").code, 200);
                EXPECT_EQ(router.handle("GET", "/x-nmos/node/v1.3/receivers", "").code, 200);
            }
        });
    }
    for (auto& t : clients) {
        t.join();
    }
    for (std::size_t i = 0; i < kChannels.size(); ++i) {
        EXPECT_EQ(n.conn.staged(i)["master_enable"], false) << i;
    }
}

// A daemon gone part way: the answer says which lines it took. Once it is back with the channel
// off, the discovery API's subscription says so as soon as the channel is read back.
TEST(connection, tells_what_a_daemon_lost_part_way_had_taken_and_what_the_channel_is) {
    node n;
    api_router router(n.res, n.conn);
    const std::string staged =
        "/x-nmos/connection/v1.1/single/receivers/" + n.res.receiver_id(0) + "/staged";
    n.d.sets_taken = 2;
    api_result r =
        router.handle("PATCH", staged,
                      R"({"master_enable":true,"transport_params":[{"multicast_ip":"239.1.1.1"}],)"
                      R"("activation":{"mode":"activate_immediate"}})");
    EXPECT_EQ(r.code, 503);
    const std::string debug = r.body["debug"].get<std::string>();
    EXPECT_NE(debug.find("nexo is not running"), std::string::npos) << debug;
    EXPECT_NE(debug.find("(2 of 4 lines taken), so its state is unknown"), std::string::npos)
        << debug;
    EXPECT_EQ(debug.find("restored to"), std::string::npos) << debug;

    n.d.sets_taken = -1;
    r = router.handle("PATCH", staged,
                      R"({"master_enable":true,"activation":{"mode":"activate_immediate"}})");
    ASSERT_EQ(r.code, 200) << r.body.dump();
    EXPECT_EQ(n.res.receiver_json(0)["subscription"]["active"], true);
    // Restarted: the channel is off and its addresses are the daemon's defaults.
    n.d.answers["GET RX_STR_ENA 20:0"] = "RGET RX_STR_ENA 20:0 OFF";
    n.d.answers["GET RX_IP_DEST 20:0 eth1"] = "RGET RX_IP_DEST 20:0 eth1 R 0.0.0.0 0 96";
    n.conn.follow_channels();
    EXPECT_EQ(n.res.receiver_json(0)["subscription"]["active"], false);
    EXPECT_EQ(n.conn.active(0)["master_enable"], false);
}

TEST(json_depth_within, counts_brackets_outside_strings) {
    struct row {
        std::string text;
        bool ok;
    };
    const row rows[] = {
        {"", true},
        {"{\"a\":[1,{\"b\":2}]}", true},
        {std::string(3, '[') + std::string(3, ']'), true},
        {std::string(4, '['), false},
        {"\"[[[[[[\"", true},
        {"[\"\\\"[[[[\"]", true},  // an escaped quote does not end the string
        {"]]]]][[[", true},
        {std::string(300000, '['), false},
    };
    for (const row& r : rows) {
        EXPECT_EQ(json_depth_within(r.text, 3), r.ok) << r.text.substr(0, 40);
    }
}

}  // namespace

namespace {

struct route_case {
    const char* method;
    std::string path;
    std::string body;
    int status;
};

// What a controller gets for each kind of request: listings, resources, 404 for what does not
// exist, 405 for a method a path does not take, 400 for bodies that are not what they must be.
TEST(api_router, answers_each_path_and_method) {
    node n;
    api_router router(n.res, n.conn);
    const std::string rx = n.res.receiver_id(0);
    const std::string single = "/x-nmos/connection/v1.1/single/receivers/";
    const std::string when = R"({"activation":{"mode":"activate_scheduled_)";
    // clang-format off
    const route_case cases[] = {
        {"GET", "/x-nmos/", "", 200},
        {"GET", "/x-nmos/node/v1.3/self", "", 200},
        {"GET", "/x-nmos/node/v1.2/self", "", 404},
        {"GET", "/x-nmos/node/v1.3/senders/" + rx, "", 404},
        {"GET", "/x-nmos/node/v1.3/receivers/" + rx, "", 200},
        {"GET", "/x-nmos/node/v1.3/receivers/nope", "", 404},
        {"POST", "/x-nmos/node/v1.3/receivers/" + rx, "", 405},
        {"GET", single + rx + "/constraints", "", 200},
        {"GET", single + rx + "/transportfile", "", 404},
        {"PUT", single + rx + "/staged", "{}", 405},
        {"PATCH", single + rx + "/staged", "not json", 400},
        {"PATCH", single + rx + "/staged", "{}", 200},
        {"GET", "/x-nmos/connection/v1.1/bulk/receivers", "", 405},
        // Bounded before parsing: nesting (a stack overflow in the parser's copies), size.
        {"PATCH", single + rx + "/staged", R"({"activation":{"mode":)" + std::string(100000, '[') + "}}", 400},
        {"PUT", "/x-nmos/node/v1.3/receivers/" + rx + "/target", std::string(100000, '{'), 400},
        {"POST", "/x-nmos/connection/v1.1/bulk/receivers", std::string(300000, '['), 413},
        {"PATCH", single + rx + "/staged", when + R"(absolute","requested_time":"18446744074:0"}})", 400},
        {"PATCH", single + rx + "/staged", when + R"(relative","requested_time":"40000000:0"}})", 400},
        {"PATCH", single + rx + "/staged", when + R"(absolute","requested_time":"3999999999:0"}})", 400},
        {"PATCH", single + rx + "/staged", R"({"transport_params":[{"source_ip":"192.0.2.5\u0000\n"}]})", 400},
        {"PATCH", single + rx + "/staged", R"({"transport_params":[{"multicast_ip":"239.2.2.2\u0000garbage"}]})", 400},
        {"PATCH", single + rx + "/staged", R"({"transport_file":{"data":"v=0\u0000"}})", 400},
    };
    // clang-format on
    for (const route_case& c : cases) {
        api_result r = router.handle(c.method, c.path, c.body);
        EXPECT_EQ(r.code, c.status) << c.method << " " << c.path;
        if (r.code >= 400) {
            EXPECT_EQ(r.body["code"], r.code) << c.path;
            EXPECT_TRUE(r.body["error"].is_string()) << c.path;
        }
    }
    // Bulk: one result per element, in order, each with its own code.
    api_result bulk =
        router.handle("POST", "/x-nmos/connection/v1.1/bulk/receivers",
                      R"([{"id":")" + rx + R"(","params":{}},{"id":"nope","params":{}}])");
    ASSERT_EQ(bulk.body.size(), 2u);
    EXPECT_EQ(bulk.body[0]["code"], 200);
    EXPECT_EQ(bulk.body[1]["code"], 404);
    EXPECT_TRUE(n.d.sets.empty());  // nothing was activated
}

}  // namespace
