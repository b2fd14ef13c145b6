// The node's connection logic against a scripted daemon: the exact lines an activation sends,
// in their order, and what a refusal part way sends back.
#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "board_control.h"
#include "connection.h"
#include "http_api.h"
#include "resources.h"

namespace {

using namespace nexo::nmos;

const std::map<std::string, std::string> kAnswers = {
    {"GET RX_NET_IF_NAME 0", "RGET RX_NET_IF_NAME 0 eth1"},
    {"GET RX_IP_DEST 20:0 eth1", "RGET RX_IP_DEST 20:0 eth1 R 239.9.9.9 5000 96 1260"},
    {"GET RX_IP_SRC 20:0 eth1", "RGET RX_IP_SRC 20:0 eth1 R 0.0.0.0 0 96"},
    {"GET RX_STR_ENA 20:0", "RGET RX_STR_ENA 20:0 ON"},
    {"GET RX_IP_IF_ENA 20:0", "RGET RX_IP_IF_ENA 20:0 eth1/1"},
    {"GET PTP_TIME", "RGET PTP_TIME 1000 5"},
};

// The other channels as a fresh daemon answers for them (the activation reads them to find a
// stream another channel would lose).
std::string fresh_channel(const std::string& line) {
    std::istringstream in(line);
    std::string get, keyword, chan;
    in >> get >> keyword >> chan;
    if (keyword == "RX_IP_DEST" || keyword == "RX_IP_SRC") {
        return "RGET " + keyword + " " + chan + " eth1 U 0.0.0.0 0 0";
    }
    if (keyword == "RX_STR_ENA") {
        return "RGET RX_STR_ENA " + chan + " OFF";
    }
    if (keyword == "RX_IP_IF_ENA") {
        return "RGET RX_IP_IF_ENA " + chan + " eth1/0";
    }
    return "ERROR";
}

// Answers the queries of channel 20:0 as a fresh daemon does, accepts every SET but the one
// starting with `refuse`, and records the SET lines.
struct scripted_daemon : control_link {
    std::vector<std::string> sets;
    std::string refuse;

    link_reply exchange(const std::string& line) override {
        link_reply r;
        r.what = link_reply::status::reply;
        if (line.rfind("SET ", 0) == 0) {
            sets.push_back(line);
            r.line = !refuse.empty() && line.rfind(refuse, 0) == 0 ? "ERROR" : "RSET OK";
        } else if (auto a = kAnswers.find(line); a != kAnswers.end()) {
            r.line = a->second;
        } else {
            r.line = fresh_channel(line);
        }
        return r;
    }
};

// A node on channel 20:0 of the scripted daemon.
struct node {
    scripted_daemon d;
    board_control b{d};
    resources res{{"host", "label", "eth1", "192.0.2.10", "02-00-00-00-00-10", "", 3212},
                  [](const channel_def&) { return json::object(); },
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

const json kGroup = {
    {"master_enable", true},
    {"transport_params", {{{"multicast_ip", "239.1.1.1"}, {"source_ip", "192.0.2.1"}}}}};

INSTANTIATE_TEST_SUITE_P(
    cases, connection_activation,
    testing::Values(
        // Addresses first, the channel switched on last; the payload type the daemon holds
        // is kept, "auto" is port 5004.
        activation_case{"multicast_on",
                        kGroup,
                        "",
                        200,
                        {"SET RX_IP_SRC 20:0 eth1 R 192.0.2.1 0 96",
                         "SET RX_IP_DEST 20:0 eth1 R 239.1.1.1 5004 96",
                         "SET RX_IP_IF_ENA 20:0 eth1/1", "SET RX_STR_ENA 20:0 ON"}},
        // Parked: off before anything changes; no group means the board's own address.
        activation_case{
            "parked_unicast",
            {{"master_enable", false}, {"transport_params", {{{"destination_port", 6000}}}}},
            "",
            200,
            {"SET RX_STR_ENA 20:0 OFF", "SET RX_IP_SRC 20:0 eth1 R 0.0.0.0 0 96",
             "SET RX_IP_DEST 20:0 eth1 R self 6000 96", "SET RX_IP_IF_ENA 20:0 eth1/1"}},
        activation_case{
            "rtp_disabled",
            {{"master_enable", true},
             {"transport_params", {{{"multicast_ip", "239.1.1.1"}, {"rtp_enabled", false}}}}},
            "",
            200,
            {"SET RX_STR_ENA 20:0 OFF", "SET RX_IP_SRC 20:0 eth1 R 0.0.0.0 0 96",
             "SET RX_IP_DEST 20:0 eth1 R 239.1.1.1 5004 96", "SET RX_IP_IF_ENA 20:0 eth1/0"}},
        // Refused part way: what the channel had is set again, as it was read.
        activation_case{"refused_dest",
                        kGroup,
                        "SET RX_IP_DEST",
                        500,
                        {"SET RX_IP_SRC 20:0 eth1 R 192.0.2.1 0 96",
                         "SET RX_IP_DEST 20:0 eth1 R 239.1.1.1 5004 96",
                         "SET RX_IP_SRC 20:0 eth1 R 0.0.0.0 0 96",
                         "SET RX_IP_DEST 20:0 eth1 R 239.9.9.9 5000 96 1260",
                         "SET RX_IP_IF_ENA 20:0 eth1/1", "SET RX_STR_ENA 20:0 ON"}}),
    [](const testing::TestParamInfo<activation_case>& i) { return i.param.name; });

TEST(board_replies, parse_what_the_daemon_writes_and_nothing_else) {
    struct row {
        const char* line;
        bool ok;
        const char* ip;
        unsigned port, pt, size;
    };
    const row rows[] = {
        {"RGET RX_IP_DEST 20:0 eth1 R 239.1.1.1 1000 96 1260", true, "239.1.1.1", 1000, 96, 1260},
        {"RGET RX_IP_DEST 20:1 eth1 R 239.1.1.1 1000 96", false, "", 0, 0, 0},
        {"RGET RX_IP_SRC 20:0 eth1 R 239.1.1.1 1000 96", false, "", 0, 0, 0},
        {"RGET RX_IP_DEST 20:0 eth1 R 239.1.1.1 70000x 96", false, "", 0, 0, 0},
        {"ERROR", false, "", 0, 0, 0},
    };
    for (const row& r : rows) {
        auto a = parse_address_reply(r.line, "RX_IP_DEST", "20:0");
        ASSERT_EQ(a.has_value(), r.ok) << r.line;
        if (a) {
            EXPECT_EQ(a->ip, r.ip);
            EXPECT_EQ(a->port, r.port);
            EXPECT_EQ(a->proto_arg, r.pt);
            EXPECT_EQ(a->payload_size, r.size);
        }
    }
    EXPECT_EQ(parse_ptp_time_reply("RGET PTP_TIME 1796485425 775975781"),
              (tai_time{1796485425, 775975781}));
    EXPECT_FALSE(parse_ptp_time_reply("RGET PTP_TIME 1 1000000000"));
    EXPECT_FALSE(tai_time::parse("12"));
    EXPECT_FALSE(tai_time::parse("-1:0"));
    EXPECT_EQ(tai_time::parse("0:200000000"), (tai_time{0, 200000000}));
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
    };
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
