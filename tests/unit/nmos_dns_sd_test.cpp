// Which announced registries the node uses, in which order, and what it announces itself.
#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>

#include "dns_sd.h"

namespace {

using namespace nexo::nmos;

// A test name from a case's description.
template <typename Case>
std::string case_name(const testing::TestParamInfo<Case>& i) {
    std::string n = i.param.what;
    for (char& ch : n) {
        if (!std::isalnum(static_cast<unsigned char>(ch))) {
            ch = '_';
        }
    }
    return n;
}

struct txt_case {
    const char* what;
    std::vector<std::string> txt;
    bool usable;
    int priority;
    api_security node = {};  // how the node itself serves
};

class registry_txt : public testing::TestWithParam<txt_case> {};

TEST_P(registry_txt, decides_whether_the_node_can_register_there) {
    const txt_case& c = GetParam();
    auto ad = registry_from_txt(c.txt, "192.0.2.7", 8235, c.node);
    ASSERT_EQ(ad.has_value(), c.usable);
    if (ad) {
        EXPECT_EQ(ad->url, c.node.tls ? "https://192.0.2.7:8235" : "http://192.0.2.7:8235");
        EXPECT_EQ(ad->priority, c.priority);
    }
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    announcements, registry_txt,
    testing::Values(
        txt_case{"plain", {"api_proto=http", "api_ver=v1.3", "api_auth=false", "pri=10"}, true, 10},
        txt_case{"several versions, any order", {"pri=0", "api_auth=false", "api_ver=v1.1,v1.2,v1.3", "api_proto=http"}, true, 0},
        txt_case{"blanks after commas", {"api_proto=http", "api_ver=v1.2, v1.3", "pri=100"}, true, 100},
        txt_case{"https only", {"api_proto=https", "api_ver=v1.3", "pri=1"}, false, 0},
        txt_case{"no v1.3", {"api_proto=http", "api_ver=v1.2,v1.30", "pri=1"}, false, 0},
        txt_case{"authorisation", {"api_proto=http", "api_ver=v1.3", "api_auth=true", "pri=1"}, false, 0},
        txt_case{"https for a node on https", {"api_proto=https", "api_ver=v1.3", "pri=1"}, true, 1, {true, false}},
        txt_case{"http for a node on https", {"api_proto=http", "api_ver=v1.3", "pri=1"}, false, 0, {true, false}},
        txt_case{"authorisation for a node with tokens", {"api_proto=http", "api_ver=v1.3", "api_auth=true", "pri=2"}, true, 2, {false, true}},
        txt_case{"no pri", {"api_proto=http", "api_ver=v1.3", "api_auth=false"}, false, 0},
        txt_case{"pri not a number", {"api_proto=http", "api_ver=v1.3", "pri=high"}, false, 0},
        txt_case{"negative pri", {"api_proto=http", "api_ver=v1.3", "pri=-1"}, false, 0},
        txt_case{"key only as a prefix", {"api_protocol=http", "api_ver=v1.3", "pri=1"}, false, 0}),
    case_name<txt_case>);
// clang-format on

struct auth_case {
    const char* what;
    std::vector<std::string> txt;
    const char* issuer;  // "" when the node cannot use the server
    bool node_tls = true;
};

class auth_txt : public testing::TestWithParam<auth_case> {};

// The issuer URL must be exactly what the server's tokens carry in iss: by host name over
// https (the name its certificate carries), by address over http.
TEST_P(auth_txt, gives_the_issuer_the_node_trusts) {
    const auth_case& c = GetParam();
    auto ad =
        auth_server_from_txt(c.txt, "auth.studio.example", "192.0.2.9", 5010, {c.node_tls, true});
    ASSERT_EQ(ad.has_value(), *c.issuer != '\0');
    if (ad) {
        EXPECT_EQ(ad->url, c.issuer);
        EXPECT_EQ(ad->priority, 3);
    }
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    announcements, auth_txt,
    testing::Values(
        auth_case{"https", {"api_proto=https", "api_ver=v1.0", "pri=3"}, "https://auth.studio.example:5010"},
        auth_case{"later versions too", {"api_proto=https", "api_ver=v1.0,v2.0", "pri=3"}, "https://auth.studio.example:5010"},
        auth_case{"http to a node on http", {"api_proto=http", "api_ver=v1.0", "pri=3"}, "http://192.0.2.9:5010", false},
        auth_case{"http to a node on https", {"api_proto=http", "api_ver=v1.0", "pri=3"}, ""},
        auth_case{"no v1.0", {"api_proto=https", "api_ver=v2.0", "pri=3"}, ""},
        auth_case{"no pri", {"api_proto=https", "api_ver=v1.0"}, ""},
        auth_case{"no api_proto", {"api_ver=v1.0", "pri=3"}, ""}),
    case_name<auth_case>);
// clang-format on

TEST(registry_order, highest_priority_first_and_equal_ones_by_their_draw) {
    std::vector<registry_ad> ads = {{"http://a:1", 20, 1},
                                    {"http://b:1", 10, 9},
                                    {"http://c:1", 10, 3},
                                    {"http://d:1", 0, 5},
                                    {"http://c:1", 30, 0}};  // the same registry, seen twice
    EXPECT_EQ(by_priority(ads),
              (std::vector<std::string>{"http://d:1", "http://c:1", "http://b:1", "http://a:1"}));
}

TEST(node_announcement, carries_the_api_and_each_resource_counter) {
    const std::uint8_t versions[6] = {1, 0, 0, 2, 0, 255};
    EXPECT_EQ(node_txt(versions),
              (std::vector<std::string>{"api_proto=http", "api_ver=v1.3", "api_auth=false",
                                        "ver_slf=1", "ver_src=0", "ver_flw=0", "ver_dvc=2",
                                        "ver_snd=0", "ver_rcv=255"}));
    std::vector<std::string> secure = node_txt(versions, {true, true});
    secure.resize(3);
    EXPECT_EQ(secure,
              (std::vector<std::string>{"api_proto=https", "api_ver=v1.3", "api_auth=true"}));
}

}  // namespace
