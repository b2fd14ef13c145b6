// auth: access control of the node's APIs. Every request carries a Bearer access token (a JWT)
// issued by the facility's Authorization Server; the node checks its signature against the
// server's public keys, its issuer, lifetime and audience, and whether its x-nmos-* claims grant
// the request's path and method.
#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
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
};

// The claims a verified token carries.
struct claims {
    json payload;
};

// Checks a compact JWS access token against `keys`: the algorithm (RS256/384/512,
// PS256/384/512, ES256/384/512 only), the signature by the key its kid names, iss equal to
// `issuer`, exp and nbf against `now` (seconds since the epoch) with kLeewaySeconds, and an aud
// that names `audience` exactly or by a "*." wildcard. Sets *unknown_kid when the token names a
// key the set lacks (the caller may fetch the keys again).
std::optional<refusal> verify_token(const std::string& token, const key_set& keys,
                                    const std::string& issuer, const std::string& audience,
                                    std::int64_t now, claims* out, bool* unknown_kid);

// Whether the token's x-nmos-<api> claim grants `write` (PATCH, POST, PUT, DELETE) or read
// (GET, HEAD, OPTIONS) on `path`, relative to the API's version root ("single/receivers/…").
// Patterns in the claim match with '*' standing for any run of characters.
bool grants(const claims& c, const std::string& api, const std::string& path, bool write);

struct settings {
    std::string issuer;     // the Authorization Server's issuer URL
    std::string jwks_file;  // pinned keys; the server is then never asked for them
    std::string audience;   // this node's host name
    std::string ca_file;    // trust anchors for an https server ("" = the system's)
};

// The node's gate: the key cache and the decision per request. Safe to call from any number
// of server threads; fetching keys never holds up requests that do not need new keys.
class gate {
  public:
    explicit gate(settings s);
    // Reads the pinned keys, or fetches the server's (a failure there is only logged: keys are
    // fetched again when a request needs them). False with `why` when pinned keys are unusable.
    bool start(std::string* why);

    // nullopt when the request may go on. `method` and `path` as received, `authorization` the
    // header's value ("" when absent).
    std::optional<refusal> check(const std::string& method, const std::string& path,
                                 const std::string& authorization);

  private:
    std::shared_ptr<const key_set> current_keys();
    // Fetches the server's keys unless another thread is at it or the last attempt is recent.
    void refresh_keys();
    bool fetch_keys(key_set* into, std::string* why);

    settings s_;
    mutable std::mutex mu_;
    std::shared_ptr<const key_set> keys_;
    std::string jwks_uri_;
    bool fetching_ = false;
    std::optional<std::chrono::steady_clock::time_point> last_attempt_;
};

struct client_settings {
    std::string issuer;              // the Authorization Server, as for the gate
    std::string ca_file;             // as for the gate
    std::string client_id;           // given by the facility, or "" to register one
    std::string client_secret_file;  // with client_id: a file holding the secret
    std::string state_file;          // where a registered client's credentials are kept (mode 0600)
    std::string client_name;         // the name the node registers under
};

// The node's own access tokens, for its calls to registries: OAuth 2.0 client credentials,
// the client registered with the server on first use (RFC 7591) unless one is given. Used by
// one thread (the registration's); every call that waits for the server is bounded in time.
class token_source {
  public:
    explicit token_source(client_settings s);
    // A token that is not near its end: renewed once three quarters of its lifetime have
    // passed, or after refused(). "" when none can be had just now (the reason is logged, and
    // the server is not asked again for 5 s).
    std::string token();
    // A registry refused the token: the next token() fetches a new one.
    void refused();

  private:
    bool ensure_client(std::string* why);
    bool fetch(std::string* why);

    client_settings s_;
    std::string token_endpoint_, registration_endpoint_;
    std::string client_id_, client_secret_;
    std::string access_token_;
    std::chrono::steady_clock::time_point renew_at_{};
    std::optional<std::chrono::steady_clock::time_point> last_failure_;
};

// The gate as the HTTP server consults it: 401 and 403 with an RFC 6750 WWW-Authenticate
// header, every refusal with the APIs' error body.
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
