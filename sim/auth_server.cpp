#include "auth_server.h"

#include <httplib.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

#include "token_signer.h"

namespace nexo::sim {

namespace {

std::string base64(const std::string& bytes) {
    std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                            reinterpret_cast<const unsigned char*>(bytes.data()),
                            static_cast<int>(bytes.size()));
    out.resize(static_cast<std::size_t>(n));
    return out;
}

std::string random_text(std::size_t bytes) {
    std::string raw(bytes, '\0');
    RAND_bytes(reinterpret_cast<unsigned char*>(raw.data()), static_cast<int>(bytes));
    return base64url(raw);
}

}  // namespace

struct auth_server::impl {
    httplib::Server server;
    std::thread thread;
    bool listening = false;
    std::string issuer;
    std::string audience;
    std::chrono::seconds lifetime;
    signing_key key = signing_key::rsa("stand-in-1");
    mutable std::mutex mu;
    std::condition_variable cv;
    std::string published;  // the key set served; empty: the server's own key
    int key_requests = 0;
    bool hold = false, held = false;
    struct client {
        std::string secret;
        json claims;
    };
    std::map<std::string, client> clients;
    std::map<std::string, std::int64_t> issued;  // token -> exp
    int registrations = 0;
};

auth_server::auth_server(const std::string& address, int port, std::string audience,
                         std::chrono::seconds lifetime)
    : p_(std::make_unique<impl>()) {
    p_->issuer = "http://" + address + ":" + std::to_string(port);
    p_->audience = std::move(audience);
    p_->lifetime = lifetime;
    impl* p = p_.get();
    p->server.Get("/.well-known/oauth-authorization-server", [p](const httplib::Request&,
                                                                 httplib::Response& res) {
        json meta = {{"issuer", p->issuer},
                     {"jwks_uri", p->issuer + "/jwks"},
                     {"token_endpoint", p->issuer + "/token"},
                     {"registration_endpoint", p->issuer + "/register"},
                     {"grant_types_supported", {"client_credentials"}},
                     {"token_endpoint_auth_methods_supported", {"client_secret_basic"}}};
        res.set_content(meta.dump(), "application/json");
    });
    p->server.Get("/jwks", [p](const httplib::Request&, httplib::Response& res) {
        std::unique_lock lk(p->mu);
        ++p->key_requests;
        p->held = p->hold;
        p->cv.notify_all();
        p->cv.wait(lk, [p] { return !p->hold; });
        res.set_content(p->published.empty() ? json{{"keys", {p->key.jwk()}}}.dump() : p->published,
                        "application/json");
    });
    p->server.Post("/register", [p](const httplib::Request& req, httplib::Response& res) {
        json body = json::parse(req.body, nullptr, false);
        if (!body.is_object()) {
            res.status = 400;
            res.set_content(R"({"error":"invalid_client_metadata"})", "application/json");
            return;
        }
        std::string id = "client-" + random_text(9), secret = random_text(24);
        {
            std::lock_guard lk(p->mu);
            p->clients[id] = {secret,
                              {{"x-nmos-registration", {{"read", {"*"}}, {"write", {"*"}}}}}};
            ++p->registrations;
        }
        body["client_id"] = id;
        body["client_secret"] = secret;
        body["client_secret_expires_at"] = 0;
        res.status = 201;
        res.set_content(body.dump(), "application/json");
    });
    p->server.Post("/token", [p](const httplib::Request& req, httplib::Response& res) {
        const std::string auth = req.get_header_value("Authorization");
        std::lock_guard lk(p->mu);
        for (const auto& [id, c] : p->clients) {
            if (auth != "Basic " + base64(id + ":" + c.secret)) {
                continue;
            }
            if (req.get_param_value("grant_type") != "client_credentials") {
                res.status = 400;
                res.set_content(R"({"error":"unsupported_grant_type"})", "application/json");
                return;
            }
            const std::int64_t now = std::time(nullptr);
            json claims = c.claims;
            claims.update({{"iss", p->issuer},
                           {"sub", id},
                           {"client_id", id},
                           {"aud", p->audience},
                           {"scope", req.get_param_value("scope")},
                           {"iat", now},
                           {"exp", now + p->lifetime.count()},
                           {"jti", random_text(9)}});
            std::string token = p->key.sign("RS512", claims);
            p->issued[token] = now + p->lifetime.count();
            json reply = {{"access_token", token},
                          {"token_type", "Bearer"},
                          {"expires_in", p->lifetime.count()}};
            res.set_content(reply.dump(), "application/json");
            return;
        }
        res.status = 401;
        res.set_header("WWW-Authenticate", "Basic");
        res.set_content(R"({"error":"invalid_client"})", "application/json");
    });
    p->listening = p->server.bind_to_port(address, port);
    if (p->listening) {
        p->thread = std::thread([p] { p->server.listen_after_bind(); });
    }
}

auth_server::~auth_server() {
    release_keys();
    p_->server.stop();
    if (p_->thread.joinable()) {
        p_->thread.join();
    }
}

bool auth_server::listening() const {
    return p_->listening;
}

std::string auth_server::issuer() const {
    return p_->issuer;
}

void auth_server::add_client(const std::string& id, const std::string& secret, json claims) {
    std::lock_guard lk(p_->mu);
    p_->clients[id] = {secret, std::move(claims)};
}

bool auth_server::valid(const std::string& token) const {
    std::lock_guard lk(p_->mu);
    auto it = p_->issued.find(token);
    return it != p_->issued.end() && it->second > std::time(nullptr);
}

int auth_server::registrations() const {
    std::lock_guard lk(p_->mu);
    return p_->registrations;
}

int auth_server::tokens_issued() const {
    std::lock_guard lk(p_->mu);
    return static_cast<int>(p_->issued.size());
}

void auth_server::publish_keys(std::string jwks) {
    std::lock_guard lk(p_->mu);
    p_->published = std::move(jwks);
}

int auth_server::key_requests() const {
    std::lock_guard lk(p_->mu);
    return p_->key_requests;
}

void auth_server::hold_keys() {
    std::lock_guard lk(p_->mu);
    p_->hold = true;
}

bool auth_server::key_request_waiting(std::chrono::milliseconds limit) {
    std::unique_lock lk(p_->mu);
    return p_->cv.wait_for(lk, limit, [this] { return p_->held; });
}

void auth_server::release_keys() {
    std::lock_guard lk(p_->mu);
    p_->hold = false;
    p_->cv.notify_all();
}

}  // namespace nexo::sim
