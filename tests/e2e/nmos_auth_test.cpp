// The NMOS node with access control on the simulated board: tokens as a facility's
// Authorization Server issues them, and as an attacker would forge them. A refused request
// leaves the daemon and its peers untouched.
#include <gtest/gtest.h>
#include <httplib.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>

#include "auth_server.h"
#include "board.h"
#include "control_client.h"
#include "mdns_responder.h"
#include "nmos_node.h"
#include "peer.h"
#include "sandbox.h"
#include "scratch_dir.h"
#include "token_signer.h"
#include "wait_until.h"

namespace {

using nexo::sim::board;
using nexo::sim::nmos_node;
using nexo::sim::signing_key;
using json = nlohmann::json;
using namespace std::chrono_literals;

constexpr int kPort = 18090;
constexpr int kServerPort = 18300;
const std::string kIssuer = "https://auth.studio.example";
const std::string kHost = "nexo-board.studio.example";
const std::string kConn = "/x-nmos/connection/v1.1/single/receivers/";

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

struct reply {
    int status = 0;
    json body;
    std::string www_authenticate;
    std::string retry_after;
};

struct nmos_auth : testing::Test {
    scratch_dir files;
    board b;
    nmos_node node;
    httplib::Client http{"127.0.0.1", kPort};

    void start(const std::vector<std::string>& args) {
        ASSERT_TRUE(b.started());
        std::vector<std::string> all = {"--auth", "--hostname", kHost, "--no-dns-sd"};
        all.insert(all.end(), args.begin(), args.end());
        ASSERT_TRUE(node.start(kPort, all)) << node.output();
        http.set_read_timeout(10s);
    }
    void start_pinned() {
        json jwks = {{"keys", {rsa_key().jwk(), ec_key().jwk()}}};
        start({"--auth-server", kIssuer, "--auth-jwks", write_file("jwks.json", jwks.dump())});
    }
    std::string write_file(const std::string& name, const std::string& text) {
        std::ofstream(files.file(name)) << text;
        return files.file(name);
    }
    reply call(const std::string& method, const std::string& path, const std::string& token,
               const json& body = {}) {
        httplib::Headers h;
        if (!token.empty()) {
            h.emplace("Authorization", "Bearer " + token);
        }
        httplib::Result r = method == "GET"    ? http.Get(path.c_str(), h)
                            : method == "HEAD" ? http.Head(path.c_str(), h)
                            : method == "PATCH"
                                ? http.Patch(path.c_str(), h, body.dump(), "application/json")
                                : http.Post(path.c_str(), h, body.dump(), "application/json");
        if (!r) {
            return {};
        }
        return {r->status, json::parse(r->body, nullptr, false),
                r->get_header_value("WWW-Authenticate"), r->get_header_value("Retry-After")};
    }
    std::string receiver(std::size_t i) {
        std::string t = rsa_key().sign("RS512", claims_with({}));
        return call("GET", kConn, t).body.at(i).get<std::string>().substr(0, 36);
    }
    // Under nexoctl's lock: the node's poller talks to the daemon at the same time.
    std::string daemon(const std::string& line) { return b.client().locked_request(line); }
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
    int status;
    const char* error;  // in WWW-Authenticate; "" for none
};

TEST_F(nmos_auth, tokens_are_checked_before_anything_reaches_the_daemon) {
    start_pinned();
    const std::string rx = receiver(0);
    const std::string before = daemon("GET RX_IP_DEST 20:0 eth1");
    b.media().clear_log();

    const json base = claims_with({});
    const token_case cases[] = {
        {"no header", "-", 401, ""},
        {"alg none", nexo::sim::unsigned_token(base), 401, "invalid_token"},
        {"HS256 keyed with the public key",
         nexo::sim::hs256_token(rsa_key().public_pem(), base, "rsa-1"), 401, "invalid_token"},
        {"key the server does not publish", stranger_key().sign("RS512", base), 401,
         "invalid_token"},
        {"unknown kid", rsa_key().sign("RS256", base, "rsa-9"), 401, "invalid_token"},
        {"ES256 header on an RSA key", ec_key().sign("ES256", base, "rsa-1"), 401, "invalid_token"},
        {"expired", rsa_key().sign("RS512", claims_with({{"exp", now() - 120}})), 401,
         "invalid_token"},
        {"not yet valid", rsa_key().sign("RS512", claims_with({{"nbf", now() + 600}})), 401,
         "invalid_token"},
        {"wrong issuer", rsa_key().sign("RS512", claims_with({}, "https://evil.example")), 401,
         "invalid_token"},
        // A sound token for another server: out of this node's scope.
        {"wrong audience", rsa_key().sign("RS512", claims_with({{"aud", "other.example"}})), 403,
         "insufficient_scope"},
        {"wildcard of another domain",
         rsa_key().sign("RS512", claims_with({{"aud", "https://*.example.org"}})), 403,
         "insufficient_scope"},
        {"no exp", rsa_key().sign("RS512", claims_with({{"exp", nullptr}})), 401, "invalid_token"},
        {"exp as text", rsa_key().sign("RS512", claims_with({{"exp", "tomorrow"}})), 401,
         "invalid_token"},
        {"no aud", rsa_key().sign("RS512", claims_with({{"aud", nullptr}})), 401, "invalid_token"},
        {"claims not an object", rsa_key().sign("RS512", json::array({1, 2})), 401,
         "invalid_token"},
        {"two parts", "eyJhbGciOiJSUzUxMiJ9.e30", 401, "invalid_token"},
        {"not base64url", "a+b.c/d.e=f", 401, "invalid_token"},
        {"signature cut short", rsa_key().sign("RS512", base).substr(0, 400), 401, "invalid_token"},
        {"ES256 signature cut short", ec_key().sign("ES256", base).substr(0, 200), 401,
         "invalid_token"},
        // Accepted: every algorithm family, a leeway's worth of clock difference, an audience
        // by wildcard or in a list.
        {"RS512", rsa_key().sign("RS512", base), 200, ""},
        {"PS256", rsa_key().sign("PS256", base), 200, ""},
        {"ES256", ec_key().sign("ES256", base), 200, ""},
        {"expired 10 s ago", rsa_key().sign("RS384", claims_with({{"exp", now() - 10}})), 200, ""},
        {"exp at the end of time", rsa_key().sign("RS512", claims_with({{"exp", INT64_MAX}})), 200,
         ""},
        {"audience by wildcard",
         rsa_key().sign("RS512", claims_with({{"aud", "*.studio.example"}})), 200, ""},
        {"audience as a URL",
         rsa_key().sign("RS512", claims_with({{"aud", {"https://*.studio.example"}}})), 200, ""},
        {"audience in a list", ec_key().sign("ES256", claims_with({{"aud", {"x.example", kHost}}})),
         200, ""},
    };
    for (const token_case& c : cases) {
        SCOPED_TRACE(c.name);
        reply r = call("PATCH", kConn + rx + "/staged", c.token == "-" ? "" : c.token,
                       {{"master_enable", false}});
        ASSERT_EQ(r.status, c.status) << r.body.dump();
        if (c.status == 401 || c.status == 403) {
            // The error code first, as a plain token: "Bearer error=invalid_token, realm=...".
            const std::string first = *c.error != '\0'
                                          ? std::string("Bearer error=") + c.error + ","
                                          : "Bearer realm=\"nexo-nmos\"";
            EXPECT_EQ(r.www_authenticate.rfind(first, 0), 0u) << r.www_authenticate;
            EXPECT_NE(r.www_authenticate.find("realm=\"nexo-nmos\""), std::string::npos);
            EXPECT_EQ(r.body["code"], c.status);
            EXPECT_TRUE(r.body["error"].is_string());
        }
    }
    // None of the refused PATCHes was staged, and the accepted ones only staged.
    EXPECT_EQ(daemon("GET RX_IP_DEST 20:0 eth1"), before);
    EXPECT_TRUE(b.media().log().empty());

    // A token far over any sensible size is dropped unread.
    reply big = call("PATCH", kConn + rx + "/staged", std::string(64 * 1024, 'a'), retarget());
    EXPECT_TRUE(big.status == 400 || big.status == 401) << big.status;
    reply r = call("PATCH", kConn + rx + "/staged", nexo::sim::unsigned_token(base), retarget());
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
    const std::string rx0 = receiver(0), rx1 = receiver(1);
    const json read_only = {{"read", {"*"}}};
    const json one_receiver = {{"read", {"*"}}, {"write", {"single/receivers/" + rx0 + "/*"}}};
    const coverage_case cases[] = {
        {"read-only token reads", {{"x-nmos-connection", read_only}}, "GET", kConn, 200},
        {"read-only token HEAD", {{"x-nmos-connection", read_only}}, "HEAD", kConn, 200},
        {"read-only token PATCH",
         {{"x-nmos-connection", read_only}},
         "PATCH",
         kConn + rx0 + "/staged",
         403},
        {"read-only token bulk POST",
         {{"x-nmos-connection", read_only}},
         "POST",
         "/x-nmos/connection/v1.1/bulk/receivers",
         403},
        {"write on one receiver",
         {{"x-nmos-connection", one_receiver}},
         "PATCH",
         kConn + rx0 + "/staged",
         200},
        {"write on another receiver",
         {{"x-nmos-connection", one_receiver}},
         "PATCH",
         kConn + rx1 + "/staged",
         403},
        {"node claim only, connection API", {{"x-nmos-connection", nullptr}}, "GET", kConn, 403},
        {"node claim only, node API",
         {{"x-nmos-connection", nullptr}},
         "GET",
         "/x-nmos/node/v1.3/self",
         200},
        {"connection claim only, node API",
         {{"x-nmos-node", nullptr}},
         "GET",
         "/x-nmos/node/v1.3/receivers/",
         403},
        {"write-only claim reads",
         {{"x-nmos-node", {{"write", {"*"}}}}},
         "GET",
         "/x-nmos/node/v1.3/self",
         403},
        {"claim not an object", {{"x-nmos-node", "*"}}, "GET", "/x-nmos/node/v1.3/self", 403},
        {"empty segments read as the router reads them",
         {{"x-nmos-connection", nullptr}},
         "GET",
         "//x-nmos//connection/v1.1//single/receivers/",
         403},
        {"scope without claims, the API's root",
         {{"x-nmos-node", nullptr}, {"x-nmos-connection", nullptr}, {"scope", "connection"}},
         "GET",
         "/x-nmos/connection/v1.1/",
         200},
        {"scope without claims, below the root",
         {{"x-nmos-node", nullptr}, {"x-nmos-connection", nullptr}, {"scope", "connection"}},
         "GET",
         kConn,
         403},
        {"no claims, the API list",
         {{"x-nmos-node", nullptr}, {"x-nmos-connection", nullptr}},
         "GET",
         "/x-nmos/",
         200},
    };
    for (const coverage_case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string token = ec_key().sign("ES256", claims_with(c.rights));
        reply r = call(c.method, c.path, token, retarget());
        EXPECT_EQ(r.status, c.status) << r.body.dump();
        if (c.status == 403) {
            EXPECT_EQ(r.www_authenticate.rfind("Bearer error=insufficient_scope,", 0), 0u);
            EXPECT_EQ(r.body["code"], 403);
        }
    }
    // Only the permitted PATCH reached the daemon: 20:0 retargeted, 20:1 as it was.
    EXPECT_NE(daemon("GET RX_IP_DEST 20:0 eth1").find("239.40.0.4"), std::string::npos);
    EXPECT_EQ(daemon("GET RX_IP_DEST 20:1 eth1").find("239.40.0.4"), std::string::npos);
}

// A stand-in Authorization Server: its metadata and its JWK Set, which the test changes; a
// JWK Set request can be held until the test lets it go.
struct key_server {
    httplib::Server server;
    std::thread thread;
    std::mutex mu;
    std::condition_variable cv;
    std::string jwks;
    int jwks_requests = 0;
    bool hold = false;
    bool held = false;

    explicit key_server(const std::string& issuer, int port = kServerPort) {
        server.Get("/.well-known/oauth-authorization-server",
                   [issuer](const httplib::Request&, httplib::Response& res) {
                       json meta = {{"issuer", issuer},
                                    {"jwks_uri", issuer + "/jwks"},
                                    {"token_endpoint", issuer + "/token"}};
                       res.set_content(meta.dump(), "application/json");
                   });
        server.Get("/jwks", [this](const httplib::Request&, httplib::Response& res) {
            std::unique_lock lk(mu);
            ++jwks_requests;
            held = hold;
            cv.notify_all();
            cv.wait(lk, [this] { return !hold; });
            res.set_content(jwks, "application/json");
        });
        server.bind_to_port("127.0.0.1", port);
        thread = std::thread([this] { server.listen_after_bind(); });
    }
    ~key_server() {
        release();
        server.stop();
        thread.join();
    }
    void publish(const std::string& text) {
        std::lock_guard lk(mu);
        jwks = text;
    }
    int requests() {
        std::lock_guard lk(mu);
        return jwks_requests;
    }
    void release() {
        std::lock_guard lk(mu);
        hold = false;
        cv.notify_all();
    }
};

std::string jwks_of(std::initializer_list<const signing_key*> keys) {
    json set = {{"keys", json::array()}};
    for (const signing_key* k : keys) {
        set["keys"].push_back(k->jwk());
    }
    return set.dump();
}

std::string issuer_at(int port) {
    return "http://127.0.0.1:" + std::to_string(port);
}

TEST_F(nmos_auth, keys_come_from_the_servers_metadata_and_follow_its_rotation) {
    const std::string issuer = issuer_at(kServerPort);
    auto server = std::make_unique<key_server>(issuer);
    server->publish(jwks_of({&rsa_key()}));
    start({"--auth-server", issuer});
    ASSERT_EQ(server->requests(), 1);
    const json base = claims_with({}, issuer);
    EXPECT_EQ(call("GET", kConn, rsa_key().sign("RS512", base)).status, 200);

    // The server rotates to a new key: a token signed with it is taken once the node has
    // fetched the keys again (the node's own server: the request waits for that), and however
    // many such tokens come, it asks at most once per interval (not within 5 s of its start).
    std::this_thread::sleep_for(5s);
    const signing_key& fresh = ec_key();
    server->publish(jwks_of({&rsa_key(), &fresh}));
    const std::string token = fresh.sign("ES256", base);
    EXPECT_EQ(call("GET", kConn, token).status, 200);
    EXPECT_EQ(server->requests(), 2);

    // While the server is slow to answer a fetch, requests with known keys are answered.
    std::this_thread::sleep_for(5s);
    {
        std::lock_guard lk(server->mu);
        server->hold = true;
    }
    const signing_key& unknown = stranger_key();
    std::thread asking([&] {
        // A client of its own: one client sends one request at a time.
        httplib::Client other("127.0.0.1", kPort);
        other.set_read_timeout(15s);
        auto r = other.Get(kConn.c_str(),
                           {{"Authorization", "Bearer " + unknown.sign("RS512", base, "rsa-2")}});
        EXPECT_TRUE(r && r->status == 401);
    });
    {
        std::unique_lock lk(server->mu);
        ASSERT_TRUE(server->cv.wait_for(lk, 10s, [&] { return server->held; }));
    }
    EXPECT_EQ(call("GET", kConn, rsa_key().sign("RS512", base)).status, 200);
    server->release();
    asking.join();

    // Garbage from the server is not taken for keys: the keys in hand stay.
    std::this_thread::sleep_for(5s);
    server->publish("{\"keys\": 7}");
    EXPECT_EQ(call("GET", kConn, unknown.sign("RS512", base, "rsa-3")).status, 401);
    EXPECT_EQ(server->requests(), 4);
    EXPECT_EQ(call("GET", kConn, rsa_key().sign("RS512", base)).status, 200);

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
    key_server a(first), forger(rogue, kServerPort + 3);
    a.publish(jwks_of({&rsa_key()}));
    forger.publish(jwks_of({&stranger_key()}));
    start({"--auth-server", first, "--auth-server", second});
    EXPECT_EQ(a.requests(), 1);
    EXPECT_EQ(call("GET", kConn, rsa_key().sign("RS512", claims_with({}, first))).status, 200);

    // The second server was not there when the node started: its tokens are answered 503 with
    // Retry-After, no request waiting for its keys, until the node has them.
    key_server b(second, kServerPort + 2);
    b.publish(jwks_of({&ec_key()}));
    const std::string token = ec_key().sign("ES256", claims_with({}, second));
    reply r = call("GET", kConn, token);
    EXPECT_EQ(r.status, 503);
    EXPECT_FALSE(r.retry_after.empty());
    EXPECT_TRUE(r.www_authenticate.empty());
    ASSERT_TRUE(wait_until(
        [&] {
            r = call("GET", kConn, token);
            EXPECT_TRUE(r.status == 503 || r.status == 200) << r.status << r.body.dump();
            return r.status == 200;
        },
        10s));
    EXPECT_EQ(b.requests(), 1);

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
                status = call("GET", kConn, c.token).status;
                return status != 503;
            },
            10s));
        EXPECT_EQ(status, 401);
    }
    EXPECT_EQ(forger.requests(), 0);
    EXPECT_LE(b.requests(), 2);
}

// A registry that takes only tokens of the stand-in server, and can be told to refuse the
// next one it sees.
struct token_registry {
    httplib::Server server;
    std::thread thread;
    std::mutex mu;
    int accepted = 0, refused = 0, unauthorised = 0, heartbeats = 0;
    int refuse_next = 0;

    token_registry(int port, const nexo::sim::auth_server& as) {
        auto check = [this, &as](const httplib::Request& req, httplib::Response& res) {
            std::string h = req.get_header_value("Authorization");
            std::lock_guard lk(mu);
            if (h.rfind("Bearer ", 0) != 0 || !as.valid(h.substr(7))) {
                ++unauthorised;
                res.status = 401;
                return false;
            }
            if (refuse_next > 0) {
                --refuse_next;
                ++refused;
                res.status = 401;
                return false;
            }
            return true;
        };
        server.Post("/x-nmos/registration/v1.3/resource",
                    [this, check](const httplib::Request& req, httplib::Response& res) {
                        if (check(req, res)) {
                            std::lock_guard lk(mu);
                            ++accepted;
                            res.status = 201;
                            res.set_content(req.body, "application/json");
                        }
                    });
        server.Post(R"(/x-nmos/registration/v1.3/health/nodes/.*)",
                    [this, check](const httplib::Request& req, httplib::Response& res) {
                        if (check(req, res)) {
                            std::lock_guard lk(mu);
                            ++heartbeats;
                            res.status = 200;
                        }
                    });
        server.bind_to_port("127.0.0.1", port);
        thread = std::thread([this] { server.listen_after_bind(); });
    }
    ~token_registry() {
        server.stop();
        thread.join();
    }
    int get(int token_registry::*field) {
        std::lock_guard lk(mu);
        return this->*field;
    }
};

TEST_F(nmos_auth, registers_with_its_own_tokens_renewed_before_they_expire) {
    // Tokens live 8 s: the node renews them after 6, while heartbeating every 5.
    nexo::sim::auth_server as("127.0.0.1", kServerPort, kHost, 8s);
    ASSERT_TRUE(as.listening());
    token_registry registry(kServerPort + 1, as);
    const std::string state = files.file("client.json");
    const std::vector<std::string> args = {
        "--auth-server", as.issuer(),  "--auth-state",
        state,           "--registry", "http://127.0.0.1:" + std::to_string(kServerPort + 1)};
    start(args);
    ASSERT_TRUE(wait_until([&] { return registry.get(&token_registry::accepted) == 14; }, 15s))
        << node.output();
    EXPECT_EQ(as.registrations(), 1);
    struct stat st {};
    ASSERT_EQ(::stat(state.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    // Heartbeats carry on across renewals: never an expired or unknown token.
    ASSERT_TRUE(wait_until([&] { return registry.get(&token_registry::heartbeats) >= 3; }, 20s));
    EXPECT_GE(as.tokens_issued(), 2);
    EXPECT_EQ(registry.get(&token_registry::unauthorised), 0);

    // A refused token is renewed once and the heartbeat sent again; the node stays registered.
    const int issued = as.tokens_issued(), beats = registry.get(&token_registry::heartbeats);
    registry.refuse_next = 1;
    ASSERT_TRUE(wait_until([&] { return registry.get(&token_registry::heartbeats) > beats; }, 10s));
    EXPECT_EQ(registry.get(&token_registry::refused), 1);
    EXPECT_GT(as.tokens_issued(), issued);
    EXPECT_EQ(registry.get(&token_registry::accepted), 14);

    // Started again, the node uses the client it registered before.
    node.stop();
    nmos_node again;
    std::vector<std::string> all = {"--auth", "--hostname", kHost, "--no-dns-sd"};
    all.insert(all.end(), args.begin(), args.end());
    ASSERT_TRUE(again.start(kPort, all)) << again.output();
    ASSERT_TRUE(wait_until([&] { return registry.get(&token_registry::accepted) == 28; }, 15s));
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
    token_registry registry(kServerPort + 1, as);
    ASSERT_TRUE(
        node.start(kPort, {"--auth", "--hostname", kHost, "--auth-state", files.file("client.json"),
                           "--registry", "http://127.0.0.1:" + std::to_string(kServerPort + 1)}))
        << node.output();
    const std::string token = controller_token(as);
    ASSERT_FALSE(token.empty());

    // Not announced yet: not trusted, and the node, without a token, does not register.
    std::this_thread::sleep_for(2s);
    EXPECT_EQ(call("GET", kConn, token).status, 401);
    EXPECT_EQ(registry.get(&token_registry::unauthorised), 0);
    EXPECT_EQ(registry.get(&token_registry::accepted), 0);

    const int ad = mdns.announce("auth", "_nmos-auth._tcp", kServerPort,
                                 {"api_proto=http", "api_ver=v1.0", "pri=0"});
    ASSERT_GE(ad, 0);
    EXPECT_TRUE(wait_until([&] { return call("GET", kConn, token).status == 200; }, 15s))
        << node.output();
    ASSERT_TRUE(wait_until([&] { return registry.get(&token_registry::accepted) == 14; }, 40s))
        << node.output();
    EXPECT_EQ(registry.get(&token_registry::unauthorised), 0);

    // Withdrawn: its tokens are no longer taken.
    mdns.withdraw(ad);
    EXPECT_TRUE(wait_until([&] { return call("GET", kConn, token).status == 401; }, 15s));
}

}  // namespace
