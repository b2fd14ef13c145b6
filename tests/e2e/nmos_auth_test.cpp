// The NMOS node with access control on the simulated board: tokens as a facility's
// Authorization Server issues them, and as an attacker would forge them. A refused request
// leaves the daemon and its peers untouched.
#include <gtest/gtest.h>
#include <httplib.h>
#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>

#include "auth_server.h"
#include "mdns_responder.h"
#include "nmos_node.h"
#include "node_fixture.h"
#include "peer.h"
#include "registry.h"
#include "sandbox.h"
#include "scratch_dir.h"
#include "token_signer.h"
#include "wait_until.h"

namespace {

using nexo::sim::nmos_node;
using nexo::sim::node_reply;
using nexo::sim::signing_key;
using json = nlohmann::json;
using namespace std::chrono_literals;

constexpr int kPort = nexo::sim::kNodePort;
constexpr int kServerPort = 18300;
const std::string kIssuer = "https://auth.studio.example";
const std::string kHost = "nexo-board.studio.example";
const std::string& kConn = nexo::sim::kConnReceivers;

// Keys are slow to make under the sanitizers: once for all tests.
const signing_key& rsa_key() {
    static signing_key k = signing_key::rsa("rsa-1");
    return k;
}
const signing_key& ec_key() {
    static signing_key k = signing_key::ec("ec-1");
    return k;
}
const signing_key& stranger_key() {
    static signing_key k = signing_key::rsa("rsa-1");  // same kid, not published
    return k;
}

std::int64_t now() {
    return std::time(nullptr);
}

json full_rights() {
    return {{"read", {"*"}}, {"write", {"*"}}};
}

json claims_with(json changes, const std::string& issuer = kIssuer) {
    json c = {{"iss", issuer},
              {"sub", "controller"},
              {"aud", kHost},
              {"exp", now() + 300},
              {"iat", now()},
              {"x-nmos-connection", full_rights()},
              {"x-nmos-node", full_rights()}};
    for (auto& [k, v] : changes.items()) {
        if (v.is_null()) {
            c.erase(k);
        } else {
            c[k] = v;
        }
    }
    return c;
}

struct nmos_auth : nexo::sim::node_fixture {
    scratch_dir files;

    // The node with access control, under the name its tokens are for.
    void start(const std::vector<std::string>& args) {
        std::vector<std::string> all = {"--auth", "--hostname", kHost, "--no-dns-sd"};
        all.insert(all.end(), args.begin(), args.end());
        node_fixture::start(all);
    }
    void start_pinned() {
        json jwks = {{"keys", {rsa_key().jwk(), ec_key().jwk()}}};
        start({"--auth-server", kIssuer, "--auth-jwks", write_file("jwks.json", jwks.dump())});
    }
    std::string write_file(const std::string& name, const std::string& text) {
        std::ofstream(files.file(name)) << text;
        return files.file(name);
    }
    // The receiver's id, asked with a token of full rights.
    std::string rx_id(std::size_t i) {
        return receiver(i, rsa_key().sign("RS512", claims_with({}))).substr(0, 36);
    }
    // The status of a GET of the receivers with `token`.
    int get(const std::string& token) { return call("GET", kConn, {}, token).status; }
};

// A PATCH that would retarget channel 20:0 if it got through.
json retarget() {
    return {{"master_enable", true},
            {"transport_params", {{{"multicast_ip", "239.40.0.4"}, {"source_ip", "192.0.2.1"}}}},
            {"activation", {{"mode", "activate_immediate"}}}};
}

struct token_case {
    const char* name;
    std::string token;  // the Authorization header's value after "Bearer "; "-" for no header
    int status;  // 401 names invalid_token (no error without a header), 403 insufficient_scope
};

TEST_F(nmos_auth, tokens_are_checked_before_anything_reaches_the_daemon) {
    start_pinned();
    const std::string rx = rx_id(0);
    const std::string before = daemon("GET RX_IP_DEST 20:0 eth1");
    b.media().clear_log();

    const json base = claims_with({});
    auto rs = [](const json& changes) { return rsa_key().sign("RS512", claims_with(changes)); };
    const token_case cases[] = {
        {"no header", "-", 401},
        {"alg none", nexo::sim::unsigned_token(base), 401},
        {"HS256 keyed with the public key",
         nexo::sim::hs256_token(rsa_key().public_pem(), base, "rsa-1"), 401},
        {"key the server does not publish", stranger_key().sign("RS512", base), 401},
        {"unknown kid", rsa_key().sign("RS256", base, "rsa-9"), 401},
        {"ES256 header on an RSA key", ec_key().sign("ES256", base, "rsa-1"), 401},
        {"expired", rs({{"exp", now() - 120}}), 401},
        {"not yet valid", rs({{"nbf", now() + 600}}), 401},
        {"wrong issuer", rsa_key().sign("RS512", claims_with({}, "https://evil.example")), 401},
        // A sound token for another server: out of this node's scope.
        {"wrong audience", rs({{"aud", "other.example"}}), 403},
        {"wildcard of another domain", rs({{"aud", "https://*.example.org"}}), 403},
        {"no exp", rs({{"exp", nullptr}}), 401},
        {"exp as text", rs({{"exp", "tomorrow"}}), 401},
        {"no aud", rs({{"aud", nullptr}}), 401},
        {"claims not an object", rsa_key().sign("RS512", json::array({1, 2})), 401},
        {"two parts", "eyJhbGciOiJSUzUxMiJ9.e30", 401},
        {"not base64url", "a+b.c/d.e=f", 401},
        {"signature cut short", rsa_key().sign("RS512", base).substr(0, 400), 401},
        {"ES256 signature cut short", ec_key().sign("ES256", base).substr(0, 200), 401},
        // Accepted: every algorithm family, a leeway's worth of clock difference, an audience
        // by wildcard or in a list.
        {"RS512", rsa_key().sign("RS512", base), 200},
        {"PS256", rsa_key().sign("PS256", base), 200},
        {"ES256", ec_key().sign("ES256", base), 200},
        {"expired 10 s ago", rsa_key().sign("RS384", claims_with({{"exp", now() - 10}})), 200},
        {"exp at the end of time", rs({{"exp", INT64_MAX}}), 200},
        {"audience by wildcard", rs({{"aud", "*.studio.example"}}), 200},
        {"audience as a URL", rs({{"aud", {"https://*.studio.example"}}}), 200},
        {"audience in a list", ec_key().sign("ES256", claims_with({{"aud", {"x.example", kHost}}})),
         200},
    };
    for (const token_case& c : cases) {
        SCOPED_TRACE(c.name);
        node_reply r = call("PATCH", kConn + rx + "/staged", {{"master_enable", false}},
                            c.token == "-" ? "" : c.token);
        ASSERT_EQ(r.status, c.status) << r.body.dump();
        if (c.status != 200) {
            // The error code first, as a plain token: "Bearer error=invalid_token, realm=...".
            const std::string first = c.token == "-"    ? "Bearer realm=\"nexo-nmos\""
                                      : c.status == 403 ? "Bearer error=insufficient_scope,"
                                                        : "Bearer error=invalid_token,";
            const std::string challenge = r.header("WWW-Authenticate");
            EXPECT_EQ(challenge.rfind(first, 0), 0u) << challenge;
            EXPECT_NE(challenge.find("realm=\"nexo-nmos\""), std::string::npos);
            EXPECT_EQ(r.body["code"], c.status);
            EXPECT_TRUE(r.body["error"].is_string());
        }
    }
    // None of the refused PATCHes was staged, and the accepted ones only staged.
    EXPECT_EQ(daemon("GET RX_IP_DEST 20:0 eth1"), before);
    EXPECT_TRUE(b.media().log().empty());

    // A token far over any sensible size is dropped unread.
    node_reply big = call("PATCH", kConn + rx + "/staged", retarget(), std::string(64 * 1024, 'a'));
    EXPECT_TRUE(big.status == 400 || big.status == 401) << big.status;
    node_reply r =
        call("PATCH", kConn + rx + "/staged", retarget(), nexo::sim::unsigned_token(base));
    EXPECT_EQ(r.status, 401);
    EXPECT_EQ(daemon("GET RX_IP_DEST 20:0 eth1"), before);
    EXPECT_TRUE(b.media().log().empty());
}

struct coverage_case {
    const char* name;
    json rights;  // claim changes
    const char* method;
    std::string path;
    int status;
};

TEST_F(nmos_auth, claims_grant_read_and_write_per_api_and_path) {
    start_pinned();
    const std::string rx0 = rx_id(0), rx1 = rx_id(1);
    // Claim changes: read-only or one receiver's writes on the connection API, a claim left
    // out, the scope alone.
    const json ro = {{"x-nmos-connection", {{"read", {"*"}}}}};
    const json one = {
        {"x-nmos-connection", {{"read", {"*"}}, {"write", {"single/receivers/" + rx0 + "/*"}}}}};
    const json no_conn = {{"x-nmos-connection", nullptr}}, no_node = {{"x-nmos-node", nullptr}};
    const json none = {{"x-nmos-node", nullptr}, {"x-nmos-connection", nullptr}};
    json scope_only = none;
    scope_only["scope"] = "connection";
    const std::string self = "/x-nmos/node/v1.3/self", staged0 = kConn + rx0 + "/staged";
    // clang-format off
    const coverage_case cases[] = {
        {"read-only token reads", ro, "GET", kConn, 200},
        {"read-only token HEAD", ro, "HEAD", kConn, 200},
        {"read-only token PATCH", ro, "PATCH", staged0, 403},
        {"read-only token bulk POST", ro, "POST", "/x-nmos/connection/v1.1/bulk/receivers", 403},
        {"write on one receiver", one, "PATCH", staged0, 200},
        {"write on another receiver", one, "PATCH", kConn + rx1 + "/staged", 403},
        {"node claim only, connection API", no_conn, "GET", kConn, 403},
        {"node claim only, node API", no_conn, "GET", self, 200},
        {"connection claim only, node API", no_node, "GET", "/x-nmos/node/v1.3/receivers/", 403},
        {"write-only claim reads", {{"x-nmos-node", {{"write", {"*"}}}}}, "GET", self, 403},
        {"claim not an object", {{"x-nmos-node", "*"}}, "GET", self, 403},
        {"empty segments read as the router reads them", no_conn, "GET",
         "//x-nmos//connection/v1.1//single/receivers/", 403},
        {"scope without claims, the API's root", scope_only, "GET", "/x-nmos/connection/v1.1/", 200},
        {"scope without claims, below the root", scope_only, "GET", kConn, 403},
        {"no claims, the API list", none, "GET", "/x-nmos/", 200},
    };
    // clang-format on
    for (const coverage_case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string token = ec_key().sign("ES256", claims_with(c.rights));
        node_reply r = call(c.method, c.path, retarget(), token);
        EXPECT_EQ(r.status, c.status) << r.body.dump();
        if (c.status == 403) {
            EXPECT_EQ(r.header("WWW-Authenticate").rfind("Bearer error=insufficient_scope,", 0),
                      0u);
            EXPECT_EQ(r.body["code"], 403);
        }
    }
    // Only the permitted PATCH reached the daemon: 20:0 retargeted, 20:1 as it was.
    EXPECT_NE(daemon("GET RX_IP_DEST 20:0 eth1").find("239.40.0.4"), std::string::npos);
    EXPECT_EQ(daemon("GET RX_IP_DEST 20:1 eth1").find("239.40.0.4"), std::string::npos);
}

std::string jwks_of(std::initializer_list<const signing_key*> keys) {
    json set = {{"keys", json::array()}};
    for (const signing_key* k : keys) {
        set["keys"].push_back(k->jwk());
    }
    return set.dump();
}

// A stand-in Authorization Server on the loopback that publishes `keys`.
std::unique_ptr<nexo::sim::auth_server> key_server(int port,
                                                   std::initializer_list<const signing_key*> keys) {
    auto server = std::make_unique<nexo::sim::auth_server>("127.0.0.1", port, kHost, 60s);
    server->publish_keys(jwks_of(keys));
    return server;
}

std::string issuer_at(int port) {
    return "http://127.0.0.1:" + std::to_string(port);
}

TEST_F(nmos_auth, keys_come_from_the_servers_metadata_and_follow_its_rotation) {
    auto server = key_server(kServerPort, {&rsa_key()});
    const std::string issuer = server->issuer();
    start({"--auth-server", issuer});
    ASSERT_EQ(server->key_requests(), 1);
    const json base = claims_with({}, issuer);
    EXPECT_EQ(get(rsa_key().sign("RS512", base)), 200);

    // The server rotates to a new key: a token signed with it is taken once the node has
    // fetched the keys again (the node's own server: the request waits for that), and however
    // many such tokens come, it asks at most once per interval (not within 5 s of its start).
    std::this_thread::sleep_for(5s);
    const signing_key& fresh = ec_key();
    server->publish_keys(jwks_of({&rsa_key(), &fresh}));
    const std::string token = fresh.sign("ES256", base);
    EXPECT_EQ(get(token), 200);
    EXPECT_EQ(server->key_requests(), 2);

    // While the server is slow to answer a fetch, requests with known keys are answered.
    std::this_thread::sleep_for(5s);
    server->hold_keys();
    const signing_key& unknown = stranger_key();
    std::thread asking([&] {
        // A client of its own: one client sends one request at a time.
        httplib::Client other("127.0.0.1", kPort);
        other.set_read_timeout(15s);
        auto r = other.Get(kConn.c_str(),
                           {{"Authorization", "Bearer " + unknown.sign("RS512", base, "rsa-2")}});
        EXPECT_TRUE(r && r->status == 401);
    });
    ASSERT_TRUE(server->key_request_waiting(10s));
    EXPECT_EQ(get(rsa_key().sign("RS512", base)), 200);
    server->release_keys();
    asking.join();

    // Garbage from the server is not taken for keys: the keys in hand stay.
    std::this_thread::sleep_for(5s);
    server->publish_keys("{\"keys\": 7}");
    EXPECT_EQ(get(unknown.sign("RS512", base, "rsa-3")), 401);
    EXPECT_EQ(server->key_requests(), 4);
    EXPECT_EQ(get(rsa_key().sign("RS512", base)), 200);

    // A node that never had keys answers 503 until it has them.
    server.reset();
    nmos_node cold;
    // (Beside the first node, which holds the control protocol's port.)
    ASSERT_TRUE(cold.start(kPort + 1, {"--auth", "--hostname", kHost, "--no-dns-sd",
                                       "--auth-server", issuer, "--ncp-port", "0"}))
        << cold.output();
    httplib::Client c("127.0.0.1", kPort + 1);
    auto r = c.Get(kConn.c_str(), {{"Authorization", "Bearer " + rsa_key().sign("RS512", base)}});
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 503);
    EXPECT_FALSE(r->get_header_value("Retry-After").empty());
}

TEST_F(nmos_auth, keys_are_fetched_only_from_the_servers_the_node_trusts) {
    // Two servers of the facility, and one that a forger runs, publishing the forger's key.
    const std::string first = issuer_at(kServerPort), second = issuer_at(kServerPort + 2),
                      rogue = issuer_at(kServerPort + 3);
    auto a = key_server(kServerPort, {&rsa_key()});
    auto forger = key_server(kServerPort + 3, {&stranger_key()});
    start({"--auth-server", first, "--auth-server", second});
    EXPECT_EQ(a->key_requests(), 1);
    EXPECT_EQ(get(rsa_key().sign("RS512", claims_with({}, first))), 200);

    // The second server was not there when the node started: its tokens are answered 503 with
    // Retry-After, no request waiting for its keys, until the node has them.
    auto b = key_server(kServerPort + 2, {&ec_key()});
    const std::string token = ec_key().sign("ES256", claims_with({}, second));
    node_reply r = call("GET", kConn, {}, token);
    EXPECT_EQ(r.status, 503);
    EXPECT_FALSE(r.header("Retry-After").empty());
    EXPECT_TRUE(r.header("WWW-Authenticate").empty());
    ASSERT_TRUE(wait_until(
        [&] {
            r = call("GET", kConn, {}, token);
            EXPECT_TRUE(r.status == 503 || r.status == 200) << r.status << r.body.dump();
            return r.status == 200;
        },
        10s));
    EXPECT_EQ(b->key_requests(), 1);

    struct case_ {
        const char* name;
        std::string token;
    };
    const std::vector<case_> refused = {
        {"the forger's key, the forger's server",
         stranger_key().sign("RS512", claims_with({}, rogue))},
        {"a trusted key, the forger's server", rsa_key().sign("RS512", claims_with({}, rogue))},
        {"no issuer", rsa_key().sign("RS512", claims_with({{"iss", nullptr}}))},
        {"the first server's key, the second's name",
         rsa_key().sign("RS512", claims_with({}, second), "rsa-1")},
    };
    for (const case_& c : refused) {
        SCOPED_TRACE(c.name);
        int status = 0;
        ASSERT_TRUE(wait_until(
            [&] {
                status = get(c.token);
                return status != 503;
            },
            10s));
        EXPECT_EQ(status, 401);
    }
    EXPECT_EQ(forger->key_requests(), 0);
    EXPECT_LE(b->key_requests(), 2);
}

// A registry that takes only tokens of the stand-in server.
nexo::sim::registry_options taking_tokens_of(const nexo::sim::auth_server& as) {
    return {.port = kServerPort + 1,
            .valid_token = [&as](const std::string& token) { return as.valid(token); }};
}

TEST_F(nmos_auth, registers_with_its_own_tokens_renewed_before_they_expire) {
    // Tokens live 8 s: the node renews them after 6, while heartbeating every 5.
    nexo::sim::auth_server as("127.0.0.1", kServerPort, kHost, 8s);
    ASSERT_TRUE(as.listening());
    nexo::sim::registry registry(taking_tokens_of(as));
    const std::string state = files.file("client.json");
    const std::vector<std::string> args = {
        "--auth-server", as.issuer(),  "--auth-state",
        state,           "--registry", "http://127.0.0.1:" + std::to_string(kServerPort + 1)};
    start(args);
    ASSERT_TRUE(wait_until([&] { return registry.resources() == 14; }, 15s)) << node.output();
    EXPECT_EQ(as.registrations(), 1);
    struct stat st {};
    ASSERT_EQ(::stat(state.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    // Heartbeats carry on across renewals: never an expired or unknown token.
    ASSERT_TRUE(wait_until([&] { return registry.count("heartbeat") >= 3; }, 20s));
    EXPECT_GE(as.tokens_issued(), 2);
    EXPECT_EQ(registry.count("unauthorised"), 0);

    // A refused token is renewed once and the heartbeat sent again; the node stays registered.
    const int issued = as.tokens_issued(), beats = registry.count("heartbeat");
    registry.refuse_tokens(1);
    ASSERT_TRUE(wait_until([&] { return registry.count("heartbeat") > beats; }, 10s));
    EXPECT_EQ(registry.count("refused"), 1);
    EXPECT_GT(as.tokens_issued(), issued);
    EXPECT_EQ(registry.resources(), 14);

    // Started again, the node uses the client it registered before.
    node.stop();
    nmos_node again;
    std::vector<std::string> all = {"--auth", "--hostname", kHost, "--no-dns-sd"};
    all.insert(all.end(), args.begin(), args.end());
    ASSERT_TRUE(again.start(kPort, all)) << again.output();
    ASSERT_TRUE(wait_until([&] { return registry.resources() == 28; }, 15s));
    EXPECT_EQ(as.registrations(), 1);
}

// A controller's token from the stand-in server, by client credentials.
std::string controller_token(nexo::sim::auth_server& as) {
    as.add_client("ctl", "ctl-secret", {{"x-nmos-connection", full_rights()}});
    httplib::Client c(as.issuer());
    c.set_basic_auth("ctl", "ctl-secret");
    auto r = c.Post("/token", "grant_type=client_credentials", "application/x-www-form-urlencoded");
    if (!r || r->status != 200) {
        return "";
    }
    return json::parse(r->body).value("access_token", "");
}

TEST_F(nmos_auth, without_a_named_server_trusts_and_uses_the_one_dns_sd_finds) {
    ASSERT_TRUE(b.started());
    nexo::sim::mdns_responder mdns;
    ASSERT_TRUE(mdns.start()) << mdns.log();
    // On eth1's address: the node reaches it by the address it is announced with.
    nexo::sim::auth_server as(nexo::sim::kEth1Addr, kServerPort, kHost, 60s);
    ASSERT_TRUE(as.listening());
    nexo::sim::registry registry(taking_tokens_of(as));
    ASSERT_TRUE(
        node.start(kPort, {"--auth", "--hostname", kHost, "--auth-state", files.file("client.json"),
                           "--registry", "http://127.0.0.1:" + std::to_string(kServerPort + 1)}))
        << node.output();
    const std::string token = controller_token(as);
    ASSERT_FALSE(token.empty());

    // Not announced yet: not trusted, and the node, without a token, does not register.
    std::this_thread::sleep_for(2s);
    EXPECT_EQ(get(token), 401);
    EXPECT_EQ(registry.count("unauthorised"), 0);
    EXPECT_EQ(registry.resources(), 0);

    const int ad = mdns.announce("auth", "_nmos-auth._tcp", kServerPort,
                                 {"api_proto=http", "api_ver=v1.0", "pri=0"});
    ASSERT_GE(ad, 0);
    EXPECT_TRUE(wait_until([&] { return get(token) == 200; }, 15s)) << node.output();
    ASSERT_TRUE(wait_until([&] { return registry.resources() == 14; }, 40s)) << node.output();
    EXPECT_EQ(registry.count("unauthorised"), 0);

    // Withdrawn: its tokens are no longer taken.
    mdns.withdraw(ad);
    EXPECT_TRUE(wait_until([&] { return get(token) == 401; }, 15s));
}

}  // namespace
