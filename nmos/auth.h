// auth: access control of the node's APIs. Every request carries a Bearer access token (a JWT)
// issued by the facility's Authorization Server; the node checks its signature against the
// server's public keys, its issuer, lifetime and audience, and whether its x-nmos-* claims grant
// the request's path and method.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "http_api.h"

namespace nexo::nmos::auth {

using json = nlohmann::json;

// Tokens longer than this are refused before they are decoded.
constexpr std::size_t kMaxTokenBytes = 8192;
// Key sets and server metadata larger than this are not read to their end.
constexpr std::size_t kMaxDocumentBytes = 64 * 1024;
// Clock difference tolerated on exp and nbf.
constexpr std::int64_t kLeewaySeconds = 30;

// The public keys of an Authorization Server, parsed from a JWK Set.
class key_set {
  public:
    key_set();
    ~key_set();
    key_set(key_set&&) noexcept;
    key_set& operator=(key_set&&) noexcept;
    // Parses a JWK Set document. Keys the node cannot use for signatures (symmetric ones,
    // unknown curves, RSA under 2048 bits, "use" other than "sig") are left out; false with
    // `why` when the document is not a JWK Set or holds no usable key.
    bool parse(const std::string& text, std::string* why);
    bool has(const std::string& kid) const;

    struct key;

  private:
    friend struct verifier_access;
    std::vector<std::unique_ptr<key>> keys_;
};

// What a token check finds wrong.
struct refusal {
    int code;                 // 401, 403 or 503
    std::string error;        // RFC 6750 error code ("" when the request carried no token)
    std::string description;  // for the client, in the error body and the header
    int retry_after = 0;      // 503: seconds after which the request may be sent again
};

// The claims a verified token carries.
struct claims {
    json payload;
};

// Checks a compact JWS access token against `keys`: the algorithm (RS256/384/512,
// PS256/384/512, ES256/384/512 only), the signature by the key its kid names (without a kid, by
// any key that fits the algorithm), iss equal to `issuer`, exp and nbf against `now` (seconds
// since the epoch) with kLeewaySeconds, and an aud that names `audience` exactly or by a "*."
// wildcard. Sets *no_key when no key of the set verifies the signature (the caller may fetch
// the issuer's keys again).
std::optional<refusal> verify_token(const std::string& token, const key_set& keys,
                                    const std::string& issuer, const std::string& audience,
                                    std::int64_t now, claims* out, bool* no_key);

// The iss claim of a token, read before its signature is checked (to know whose keys check
// it); nothing when the token is not a JWT with a string iss.
std::optional<std::string> unverified_issuer(const std::string& token);

// Whether the token's x-nmos-<api> claim grants `write` (PATCH, POST, PUT, DELETE) or read
// (GET, HEAD, OPTIONS) on `path`, relative to the API's version root ("single/receivers/…").
// Patterns in the claim match with '*' standing for any run of characters.
bool grants(const claims& c, const std::string& api, const std::string& path, bool write);

// Issuer URLs, best first.
using issuer_list = std::function<std::vector<std::string>()>;

struct settings {
    // The Authorization Servers the node trusts, by issuer URL; their keys come from their
    // metadata. Tokens of any other issuer are refused without asking anyone.
    std::vector<std::string> issuers;
    std::string jwks_file;  // pinned keys of the issuers; no server is then asked for keys
    std::string audience;   // this node's host name
    std::string ca_file;    // trust anchors for an https server ("" = the system's)
};

// The node's gate: the key cache and the decision per request. Safe to call from any number
// of server threads. Keys are fetched by a thread of the gate's own. A request whose token
// needs keys the node does not hold waits for that fetch when the token is of the node's own
// server (the first configured, else the best found), whose keys nearly every request needs;
// for any other trusted server it is answered 503 with Retry-After meanwhile. No request
// waits for keys it does not need.
class gate {
  public:
    explicit gate(settings s);
    ~gate();
    gate(const gate&) = delete;
    gate& operator=(const gate&) = delete;

    // Reads the pinned keys, or fetches the trusted servers' (a failure there is only logged:
    // keys are fetched again when a request needs them). False with `why` when pinned keys are
    // unusable.
    bool start(std::string* why);

    // Further trusted servers, found on the network (DNS-SD), replacing those found before:
    // the keys of those the node has none of yet are fetched.
    void set_discovered(const std::vector<std::string>& issuers);

    // nullopt when the request may go on. `method` and `path` as received, `authorization` the
    // header's value ("" when absent). Any API name under /x-nmos is checked against its own
    // x-nmos-<api> claim.
    std::optional<refusal> check(const std::string& method, const std::string& path,
                                 const std::string& authorization);

  private:
    struct issuer_keys {
        std::shared_ptr<const key_set> keys;
        std::string jwks_uri;
        std::string jwks_text;     // the key set as fetched
        bool brought_new = false;  // the last fetch brought another key set than before
        bool queued = false;       // waiting for the fetching thread, or being fetched
        std::optional<std::chrono::steady_clock::time_point> last_attempt;
    };
    bool trusted(const std::string& issuer) const;
    // Queues a fetch of the issuer's keys unless one is under way (true) or, `for_request`,
    // the last one a request asked for is recent (false). With mu_ held.
    bool request_fetch(const std::string& issuer, bool for_request);
    void fetching();
    bool fetch_keys(const std::string& issuer, std::string jwks_uri, key_set* into,
                    std::string* jwks_uri_out, std::string* jwks_text, std::string* why);

    settings s_;
    std::vector<std::string> discovered_;  // under mu_
    mutable std::mutex mu_;
    std::map<std::string, issuer_keys> issuers_;
    std::deque<std::string> queue_;
    std::condition_variable cv_;
    std::condition_variable fetched_;  // a fetch ended
    bool stop_ = false;
    std::thread fetcher_;
};

struct client_settings {
    issuer_list issuers;             // the Authorization Servers to ask, best first
    std::string ca_file;             // as for the gate
    std::string client_id;           // given by the facility, or "" to register one
    std::string client_secret_file;  // with client_id: a file holding the secret
    std::string state_file;          // where a registered client's credentials are kept (mode 0600)
    std::string client_name;         // the name the node registers under
};

// The node's own access tokens, for its calls to registries: OAuth 2.0 client credentials,
// the client registered with the server on first use (RFC 7591) unless one is given. Used by
// one thread (the registration's); every call that waits for the server is bounded in time.
// When a server fails, the next one of the list is asked the next time.
class token_source {
  public:
    explicit token_source(client_settings s);
    // A token that is not near its end: renewed once three quarters of its lifetime have
    // passed, or after refused(). "" when none can be had just now (the reason is logged; the
    // servers are asked again after a back-off that doubles from 1 s up to 30 s, or at once
    // when the list of servers changes).
    std::string token();
    // A registry refused the token: the next token() fetches a new one.
    void refused();

  private:
    bool ensure_client(std::string* why);
    bool fetch(std::string* why);
    void use_issuer(const std::string& issuer);

    client_settings s_;
    std::string issuer_;  // the server in use, "" for none yet
    std::vector<std::string> known_, failed_;
    std::chrono::seconds backoff_{0};
    std::string token_endpoint_, registration_endpoint_;
    std::string client_id_, client_secret_;
    std::string access_token_;
    std::chrono::steady_clock::time_point renew_at_{};
    std::optional<std::chrono::steady_clock::time_point> last_failure_;
};

// The gate as the HTTP server consults it: 401 and 403 with an RFC 6750 WWW-Authenticate
// header, 503 with Retry-After, every refusal with the APIs' error body.
request_gate as_request_gate(gate& g);

// Shortest wait between two fetches of the server's keys, whatever the requests ask for.
constexpr std::chrono::seconds kRefetchInterval{5};

// GET of an http or https URL with bounded size (`limit`) and time; false with `why` on any
// failure or a status other than 200. `ca_file` as in settings.
bool fetch_document(const std::string& url, const std::string& ca_file, std::size_t limit,
                    std::string* body, std::string* why);

// The RFC 8414 metadata URL of an issuer: the well-known path goes between host and path.
std::string metadata_url(const std::string& issuer);

}  // namespace nexo::nmos::auth
