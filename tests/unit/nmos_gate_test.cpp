// The node's gate under many clients at once: whatever they send, a trusted Authorization
// Server is asked for its keys at most once per interval, an untrusted one never, and every
// answer is a refusal with its code. Run under the thread sanitizer as well.
#include <gtest/gtest.h>
#include <httplib.h>
#include <openssl/evp.h>

#include <algorithm>
#include <atomic>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "auth.h"

namespace {

using namespace nexo::nmos;
using json = nlohmann::json;

std::string base64url(const std::string& in) {
    std::string out(4 * ((in.size() + 2) / 3) + 1, '\0');
    out.resize(static_cast<std::size_t>(EVP_EncodeBlock(
        reinterpret_cast<unsigned char*>(out.data()),
        reinterpret_cast<const unsigned char*>(in.data()), static_cast<int>(in.size()))));
    std::erase(out, '=');
    std::replace(out.begin(), out.end(), '+', '-');
    std::replace(out.begin(), out.end(), '/', '_');
    return out;
}

// A token with a signature no key verifies, naming `issuer`.
std::string forged(const std::string& issuer, const std::string& kid) {
    json header = {{"alg", "RS256"}, {"kid", kid}};
    json claims = {{"iss", issuer}, {"aud", "node.example"}, {"exp", 4102444800}};
    return base64url(header.dump()) + "." + base64url(claims.dump()) + "." +
           base64url(std::string(256, 'x'));
}

// An Authorization Server whose key set holds no usable key, counting what it is asked.
struct key_server {
    httplib::Server server;
    std::thread thread;
    std::atomic<int> asked{0};
    int port = 0;

    key_server() {
        server.Get("/.well-known/oauth-authorization-server",
                   [this](const httplib::Request&, httplib::Response& res) {
                       ++asked;
                       json meta = {{"issuer", issuer()}, {"jwks_uri", issuer() + "/jwks"}};
                       res.set_content(meta.dump(), "application/json");
                   });
        server.Get("/jwks", [](const httplib::Request&, httplib::Response& res) {
            res.set_content(R"({"keys": []})", "application/json");
        });
        port = server.bind_to_any_port("127.0.0.1");
        thread = std::thread([this] { server.listen_after_bind(); });
    }
    ~key_server() {
        server.stop();
        thread.join();
    }
    std::string issuer() const { return "http://127.0.0.1:" + std::to_string(port); }
};

TEST(nmos_gate, asks_a_trusted_server_at_most_once_per_interval_and_an_untrusted_one_never) {
    key_server trusted, stranger;
    ASSERT_GT(trusted.port, 0);
    ASSERT_GT(stranger.port, 0);
    auth::gate g({{trusted.issuer()}, "", "node.example", ""});
    std::string why;
    ASSERT_TRUE(g.start(&why)) << why;
    const int at_start = trusted.asked.load();
    EXPECT_EQ(at_start, 1);

    std::atomic<bool> done{false};
    std::thread finding([&] {
        // The servers found on the network change while requests come in.
        for (int i = 0; !done; ++i) {
            g.set_discovered(i % 2 == 0 ? std::vector<std::string>{"http://192.0.2.99:1"}
                                        : std::vector<std::string>{});
            std::this_thread::yield();
        }
    });
    std::vector<std::thread> clients;
    std::mutex mu;
    std::set<int> codes;
    for (int t = 0; t < 8; ++t) {
        clients.emplace_back([&, t] {
            for (int i = 0; i < 40; ++i) {
                const std::string& iss = i % 2 == 0 ? trusted.issuer() : stranger.issuer();
                // Appended, not prefixed: GCC 12 at -O3 warns falsely (-Wrestrict) about a
                // literal + std::string.
                std::string kid("k");
                kid += std::to_string(t * 100 + i);
                std::string header("Bearer ");
                header += forged(iss, kid);
                auto r = g.check("GET", "/x-nmos/node/v1.3/self", header);
                std::lock_guard lk(mu);
                codes.insert(r ? r->code : 200);
                if (r && r->code == 503) {
                    EXPECT_GT(r->retry_after, 0);
                }
            }
        });
    }
    for (std::thread& c : clients) {
        c.join();
    }
    done = true;
    finding.join();

    // No key: 503 while the trusted server's keys are wanted, 401 for the stranger's tokens.
    EXPECT_EQ(codes, (std::set<int>{401, 503}));
    EXPECT_LE(trusted.asked.load(), at_start + 1);
    EXPECT_EQ(stranger.asked.load(), 0);
}

}  // namespace
