#include "auth.h"

#include <fcntl.h>
#include <httplib.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>

namespace nexo::nmos::auth {

namespace {

template <typename T, void (*F)(T*)>
struct deleter {
    void operator()(T* p) const { F(p); }
};
using pkey_ptr = std::unique_ptr<EVP_PKEY, deleter<EVP_PKEY, EVP_PKEY_free>>;
using pkey_ctx_ptr = std::unique_ptr<EVP_PKEY_CTX, deleter<EVP_PKEY_CTX, EVP_PKEY_CTX_free>>;
using md_ctx_ptr = std::unique_ptr<EVP_MD_CTX, deleter<EVP_MD_CTX, EVP_MD_CTX_free>>;
using bn_ptr = std::unique_ptr<BIGNUM, deleter<BIGNUM, BN_free>>;
using bld_ptr = std::unique_ptr<OSSL_PARAM_BLD, deleter<OSSL_PARAM_BLD, OSSL_PARAM_BLD_free>>;
using param_ptr = std::unique_ptr<OSSL_PARAM, deleter<OSSL_PARAM, OSSL_PARAM_free>>;
using ecdsa_sig_ptr = std::unique_ptr<ECDSA_SIG, deleter<ECDSA_SIG, ECDSA_SIG_free>>;

enum class family { rsa_pkcs1, rsa_pss, ecdsa };

// The signature algorithms a token may use. Anything else — "none", the HMACs — is refused by
// not being here.
struct algorithm {
    const char* name;
    family fam;
    const char* digest;
    const char* curve;     // ECDSA: the curve the key must be on
    std::size_t sig_half;  // ECDSA: bytes of r and of s
};
constexpr std::array<algorithm, 9> kAlgorithms = {{
    {"RS256", family::rsa_pkcs1, "SHA256", nullptr, 0},
    {"RS384", family::rsa_pkcs1, "SHA384", nullptr, 0},
    {"RS512", family::rsa_pkcs1, "SHA512", nullptr, 0},
    {"PS256", family::rsa_pss, "SHA256", nullptr, 0},
    {"PS384", family::rsa_pss, "SHA384", nullptr, 0},
    {"PS512", family::rsa_pss, "SHA512", nullptr, 0},
    {"ES256", family::ecdsa, "SHA256", "P-256", 32},
    {"ES384", family::ecdsa, "SHA384", "P-384", 48},
    {"ES512", family::ecdsa, "SHA512", "P-521", 66},
}};

const algorithm* find_algorithm(const std::string& name) {
    for (const algorithm& a : kAlgorithms) {
        if (name == a.name) {
            return &a;
        }
    }
    return nullptr;
}

// The JOSE curve names and OpenSSL's.
struct curve {
    const char* jose;
    const char* group;
    std::size_t bytes;
};
constexpr std::array<curve, 3> kCurves = {{
    {"P-256", "prime256v1", 32},
    {"P-384", "secp384r1", 48},
    {"P-521", "secp521r1", 66},
}};

// Strict base64url without padding; false on any other character or an impossible length.
bool base64url_decode(const std::string& in, std::string* out) {
    if (in.size() % 4 == 1) {
        return false;
    }
    out->clear();
    out->reserve(in.size() * 3 / 4);
    std::uint32_t acc = 0;
    int bits = 0;
    for (char c : in) {
        int v;
        if (c >= 'A' && c <= 'Z') {
            v = c - 'A';
        } else if (c >= 'a' && c <= 'z') {
            v = c - 'a' + 26;
        } else if (c >= '0' && c <= '9') {
            v = c - '0' + 52;
        } else if (c == '-') {
            v = 62;
        } else if (c == '_') {
            v = 63;
        } else {
            return false;
        }
        acc = (acc << 6) | static_cast<std::uint32_t>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out->push_back(static_cast<char>((acc >> bits) & 0xff));
        }
    }
    return true;
}

bool decode_member(const json& jwk, const char* name, std::string* out) {
    auto it = jwk.find(name);
    return it != jwk.end() && it->is_string() && base64url_decode(it->get<std::string>(), out) &&
           !out->empty();
}

bn_ptr to_bn(const std::string& bytes) {
    return bn_ptr(BN_bin2bn(reinterpret_cast<const unsigned char*>(bytes.data()),
                            static_cast<int>(bytes.size()), nullptr));
}

pkey_ptr from_params(const char* type, OSSL_PARAM_BLD* bld) {
    param_ptr params(OSSL_PARAM_BLD_to_param(bld));
    pkey_ctx_ptr ctx(EVP_PKEY_CTX_new_from_name(nullptr, type, nullptr));
    EVP_PKEY* key = nullptr;
    if (!params || !ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
        EVP_PKEY_fromdata(ctx.get(), &key, EVP_PKEY_PUBLIC_KEY, params.get()) != 1) {
        return nullptr;
    }
    return pkey_ptr(key);
}

pkey_ptr rsa_key(const json& jwk) {
    std::string n, e;
    if (!decode_member(jwk, "n", &n) || !decode_member(jwk, "e", &e)) {
        return nullptr;
    }
    bn_ptr bn_n = to_bn(n), bn_e = to_bn(e);
    bld_ptr bld(OSSL_PARAM_BLD_new());
    if (!bn_n || !bn_e || !bld ||
        OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_N, bn_n.get()) != 1 ||
        OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_E, bn_e.get()) != 1) {
        return nullptr;
    }
    pkey_ptr key = from_params("RSA", bld.get());
    // Shorter RSA keys are within reach of a determined forger.
    if (key && EVP_PKEY_get_bits(key.get()) < 2048) {
        return nullptr;
    }
    return key;
}

pkey_ptr ec_key(const json& jwk, std::string* crv_out) {
    auto crv = jwk.find("crv");
    if (crv == jwk.end() || !crv->is_string()) {
        return nullptr;
    }
    const curve* c = nullptr;
    for (const curve& k : kCurves) {
        if (*crv == k.jose) {
            c = &k;
        }
    }
    std::string x, y;
    if (c == nullptr || !decode_member(jwk, "x", &x) || !decode_member(jwk, "y", &y) ||
        x.size() != c->bytes || y.size() != c->bytes) {
        return nullptr;
    }
    // The uncompressed point; OpenSSL checks that it lies on the curve.
    std::string point = "\x04" + x + y;
    bld_ptr bld(OSSL_PARAM_BLD_new());
    if (!bld ||
        OSSL_PARAM_BLD_push_utf8_string(bld.get(), OSSL_PKEY_PARAM_GROUP_NAME, c->group, 0) != 1 ||
        OSSL_PARAM_BLD_push_octet_string(bld.get(), OSSL_PKEY_PARAM_PUB_KEY, point.data(),
                                         point.size()) != 1) {
        return nullptr;
    }
    *crv_out = c->jose;
    return from_params("EC", bld.get());
}

// ECDSA signatures travel as r|s of fixed width; OpenSSL verifies their DER form.
bool ecdsa_der(const std::string& raw, std::size_t half, std::string* der) {
    if (raw.size() != 2 * half) {
        return false;
    }
    ecdsa_sig_ptr sig(ECDSA_SIG_new());
    bn_ptr r = to_bn(raw.substr(0, half)), s = to_bn(raw.substr(half));
    if (!sig || !r || !s || ECDSA_SIG_set0(sig.get(), r.get(), s.get()) != 1) {
        return false;
    }
    (void)r.release();
    (void)s.release();
    int len = i2d_ECDSA_SIG(sig.get(), nullptr);
    if (len <= 0) {
        return false;
    }
    der->resize(static_cast<std::size_t>(len));
    auto* p = reinterpret_cast<unsigned char*>(der->data());
    return i2d_ECDSA_SIG(sig.get(), &p) == len;
}

std::string kty_of(family f) {
    return f == family::ecdsa ? "EC" : "RSA";
}

refusal invalid(const std::string& why) {
    return {401, "invalid_token", why};
}

bool audience_matches(std::string pattern, const std::string& audience) {
    // An audience may be written as a URL's scheme and host: "https://*.studio.example".
    for (const char* scheme : {"https://", "http://"}) {
        if (pattern.rfind(scheme, 0) == 0) {
            pattern.erase(0, std::strlen(scheme));
            break;
        }
    }
    if (!pattern.empty() && pattern.back() == '/') {
        pattern.pop_back();
    }
    if (pattern == audience) {
        return true;
    }
    // "*.studio.example" names every host below studio.example.
    if (pattern.size() > 2 && pattern.compare(0, 2, "*.") == 0) {
        std::string suffix = pattern.substr(1);
        return audience.size() > suffix.size() &&
               audience.compare(audience.size() - suffix.size(), suffix.size(), suffix) == 0;
    }
    return false;
}

// '*' matches any run of characters, '/' included.
bool glob_match(const std::string& pattern, const std::string& text) {
    std::size_t p = 0, t = 0, star = std::string::npos, mark = 0;
    while (t < text.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            mark = t;
        } else if (p < pattern.size() && pattern[p] == text[t]) {
            ++p;
            ++t;
        } else if (star != std::string::npos) {
            p = star + 1;
            t = ++mark;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') {
        ++p;
    }
    return p == pattern.size();
}

bool is_write(const std::string& method) {
    return method != "GET" && method != "HEAD" && method != "OPTIONS";
}

std::string origin_of(const std::string& url, std::string* path) {
    std::size_t scheme_end = url.find("://");
    if (scheme_end == std::string::npos) {
        return "";
    }
    std::size_t slash = url.find('/', scheme_end + 3);
    *path = slash == std::string::npos ? "/" : url.substr(slash);
    return url.substr(0, slash);
}

// A client of the server at `url`'s origin, with short timeouts; an https server's certificate
// is checked against `ca_file` ("" = the system's anchors). `path` gets the URL's path.
std::unique_ptr<httplib::Client> client_to(const std::string& url, const std::string& ca_file,
                                           std::string* path) {
    auto c = std::make_unique<httplib::Client>(origin_of(url, path));
    c->set_connection_timeout(std::chrono::seconds(2));
    c->set_read_timeout(std::chrono::seconds(3));
    if (!ca_file.empty()) {
        c->set_ca_cert_path(ca_file.c_str());
    }
    return c;
}

}  // namespace

struct key_set::key {
    std::string kid;
    std::string kty;  // "RSA" or "EC"
    std::string crv;  // EC only
    std::string alg;  // "" when the key does not restrict it
    pkey_ptr pkey;
};

// Lets verify_token read the keys without widening key_set's interface.
struct verifier_access {
    static const std::vector<std::unique_ptr<key_set::key>>& keys(const key_set& s) {
        return s.keys_;
    }
};

key_set::key_set() = default;
key_set::~key_set() = default;
key_set::key_set(key_set&&) noexcept = default;
key_set& key_set::operator=(key_set&&) noexcept = default;

bool key_set::parse(const std::string& text, std::string* why) {
    constexpr std::size_t kMaxKeys = 32;
    keys_.clear();
    json doc = json::parse(text, nullptr, false);
    if (doc.is_discarded() || !doc.is_object() || !doc.contains("keys") ||
        !doc["keys"].is_array()) {
        *why = "not a JWK Set (an object with a \"keys\" array)";
        return false;
    }
    for (const json& jwk : doc["keys"]) {
        if (keys_.size() == kMaxKeys) {
            break;
        }
        if (!jwk.is_object() || !jwk.contains("kty") || !jwk["kty"].is_string()) {
            continue;
        }
        if (jwk.contains("use") && jwk["use"] != "sig") {
            continue;
        }
        auto k = std::make_unique<key>();
        k->kty = jwk["kty"].get<std::string>();
        if (jwk.contains("kid") && jwk["kid"].is_string()) {
            k->kid = jwk["kid"].get<std::string>();
        }
        if (jwk.contains("alg") && jwk["alg"].is_string()) {
            k->alg = jwk["alg"].get<std::string>();
            if (find_algorithm(k->alg) == nullptr) {
                continue;
            }
        }
        if (k->kty == "RSA") {
            k->pkey = rsa_key(jwk);
        } else if (k->kty == "EC") {
            k->pkey = ec_key(jwk, &k->crv);
        }
        if (k->pkey) {
            keys_.push_back(std::move(k));
        }
    }
    if (keys_.empty()) {
        *why = "no usable signing key (RSA of 2048 bits or more, or EC on P-256/384/521)";
        return false;
    }
    return true;
}

bool key_set::has(const std::string& kid) const {
    for (const auto& k : keys_) {
        if (k->kid == kid) {
            return true;
        }
    }
    return false;
}

std::optional<refusal> verify_token(const std::string& token, const key_set& keys,
                                    const std::string& issuer, const std::string& audience,
                                    std::int64_t now, claims* out, bool* no_key) {
    *no_key = false;
    if (token.size() > kMaxTokenBytes) {
        return invalid("the token is longer than " + std::to_string(kMaxTokenBytes) + " bytes");
    }
    std::size_t dot1 = token.find('.');
    std::size_t dot2 = dot1 == std::string::npos ? dot1 : token.find('.', dot1 + 1);
    if (dot2 == std::string::npos || token.find('.', dot2 + 1) != std::string::npos) {
        return invalid("the token is not a signed JWT (three dot-separated parts)");
    }
    std::string header_text, payload_text, signature;
    if (!base64url_decode(token.substr(0, dot1), &header_text) ||
        !base64url_decode(token.substr(dot1 + 1, dot2 - dot1 - 1), &payload_text) ||
        !base64url_decode(token.substr(dot2 + 1), &signature)) {
        return invalid("the token is not base64url");
    }
    json header = json::parse(header_text, nullptr, false);
    if (header.is_discarded() || !header.is_object() || !header.contains("alg") ||
        !header["alg"].is_string()) {
        return invalid("the token's header is not a JOSE header with alg");
    }
    const algorithm* alg = find_algorithm(header["alg"].get<std::string>());
    if (alg == nullptr) {
        return invalid("signature algorithm not accepted: " + header["alg"].get<std::string>());
    }
    // Extensions the node would have to understand: it understands none.
    if (header.contains("crit")) {
        return invalid("the token's header has critical extensions");
    }
    std::string kid;
    if (header.contains("kid")) {
        if (!header["kid"].is_string()) {
            return invalid("kid is not a string");
        }
        kid = header["kid"].get<std::string>();
    }

    // The key the kid names, or without a kid every key that fits the algorithm, in turn.
    const std::string signed_part = token.substr(0, dot2);
    std::string sig = signature;
    if (alg->fam == family::ecdsa && !ecdsa_der(signature, alg->sig_half, &sig)) {
        return invalid("the signature has the wrong length for " + std::string(alg->name));
    }
    bool fitting = false, good = false;
    for (const auto& k : verifier_access::keys(keys)) {
        if (k->kty != kty_of(alg->fam) || (alg->curve != nullptr && k->crv != alg->curve) ||
            (!k->alg.empty() && k->alg != alg->name) || (!kid.empty() && k->kid != kid)) {
            continue;
        }
        fitting = true;
        md_ctx_ptr md(EVP_MD_CTX_new());
        EVP_PKEY_CTX* pctx = nullptr;
        bool ok = md && EVP_DigestVerifyInit_ex(md.get(), &pctx, alg->digest, nullptr, nullptr,
                                                k->pkey.get(), nullptr) == 1;
        if (ok && alg->fam == family::rsa_pss) {
            ok = EVP_PKEY_CTX_set_rsa_padding(pctx, RSA_PKCS1_PSS_PADDING) == 1 &&
                 EVP_PKEY_CTX_set_rsa_pss_saltlen(pctx, RSA_PSS_SALTLEN_DIGEST) == 1;
        }
        if (ok &&
            EVP_DigestVerify(md.get(), reinterpret_cast<const unsigned char*>(sig.data()),
                             sig.size(), reinterpret_cast<const unsigned char*>(signed_part.data()),
                             signed_part.size()) == 1) {
            good = true;
            break;
        }
    }
    if (!good) {
        *no_key = true;
        if (!fitting) {
            return invalid(kid.empty() ? "no key fits " + std::string(alg->name)
                                       : "no key " + kid + " for " + alg->name);
        }
        return invalid("the signature does not verify");
    }

    json payload = json::parse(payload_text, nullptr, false);
    if (payload.is_discarded() || !payload.is_object()) {
        return invalid("the token's claims are not a JSON object");
    }
    auto number = [&payload](const char* name) -> std::optional<std::int64_t> {
        auto it = payload.find(name);
        if (it == payload.end() || !it->is_number() || it->is_number_float()) {
            return std::nullopt;
        }
        return it->is_number_unsigned() ? static_cast<std::int64_t>(std::min<std::uint64_t>(
                                              it->get<std::uint64_t>(), INT64_MAX / 2))
                                        : it->get<std::int64_t>();
    };
    if (!payload.contains("iss") || payload["iss"] != issuer) {
        return invalid("the token was not issued by " + issuer);
    }
    auto exp = number("exp");
    if (!exp) {
        return invalid("the token has no integer exp");
    }
    if (now - kLeewaySeconds > *exp) {
        return invalid("the token has expired");
    }
    if (payload.contains("nbf")) {
        auto nbf = number("nbf");
        if (!nbf) {
            return invalid("nbf is not an integer");
        }
        if (now + kLeewaySeconds < *nbf) {
            return invalid("the token is not valid yet");
        }
    }
    if (!payload.contains("aud")) {
        return invalid("the token names no audience");
    }
    bool aud_ok = false;
    {
        const json& aud = payload["aud"];
        json list = aud.is_array() ? aud : json::array({aud});
        for (const json& a : list) {
            aud_ok = aud_ok || (a.is_string() && audience_matches(a.get<std::string>(), audience));
        }
    }
    if (!aud_ok) {
        // A sound token for other resource servers: not one this node's paths are in scope of.
        return refusal{403, "insufficient_scope", "the token is not for " + audience};
    }
    out->payload = std::move(payload);
    return std::nullopt;
}

bool in_scope(const claims& c, const std::string& api) {
    auto it = c.payload.find("scope");
    if (it == c.payload.end() || !it->is_string()) {
        return false;
    }
    std::istringstream words(it->get<std::string>());
    for (std::string w; words >> w;) {
        if (w == api) {
            return true;
        }
    }
    return false;
}

bool grants(const claims& c, const std::string& api, const std::string& path, bool write) {
    auto it = c.payload.find("x-nmos-" + api);
    if (it == c.payload.end() || !it->is_object()) {
        return false;
    }
    auto list = it->find(write ? "write" : "read");
    if (list == it->end() || !list->is_array()) {
        return false;
    }
    for (const json& p : *list) {
        if (p.is_string() && glob_match(p.get<std::string>(), path)) {
            return true;
        }
    }
    return false;
}

std::optional<std::string> unverified_issuer(const std::string& token) {
    std::size_t dot1 = token.find('.');
    std::size_t dot2 = dot1 == std::string::npos ? dot1 : token.find('.', dot1 + 1);
    std::string payload_text;
    if (token.size() > kMaxTokenBytes || dot2 == std::string::npos ||
        !base64url_decode(token.substr(dot1 + 1, dot2 - dot1 - 1), &payload_text)) {
        return std::nullopt;
    }
    json payload = json::parse(payload_text, nullptr, false);
    if (!payload.is_object() || !payload.contains("iss") || !payload["iss"].is_string()) {
        return std::nullopt;
    }
    return payload["iss"].get<std::string>();
}

gate::gate(settings s) : s_(std::move(s)) {}

gate::~gate() {
    {
        std::lock_guard lk(mu_);
        stop_ = true;
    }
    cv_.notify_all();
    fetched_.notify_all();
    if (fetcher_.joinable()) {
        fetcher_.join();
    }
}

bool gate::start(std::string* why) {
    if (!s_.jwks_file.empty()) {
        auto keys = std::make_shared<key_set>();
        std::ifstream in(s_.jwks_file);
        std::stringstream text;
        text << in.rdbuf();
        if (!in || !keys->parse(text.str(), why)) {
            *why = s_.jwks_file + ": " + (in ? *why : "cannot be read");
            return false;
        }
        std::lock_guard lk(mu_);
        for (const std::string& issuer : s_.issuers) {
            issuers_[issuer].keys = keys;
        }
        return true;
    }
    // The configured servers are asked once before the node serves, so that the first
    // requests find their keys.
    for (const std::string& issuer : s_.issuers) {
        auto keys = std::make_shared<key_set>();
        std::string uri, text, fetch_why;
        const bool ok = fetch_keys(issuer, "", keys.get(), &uri, &text, &fetch_why);
        if (!ok) {
            std::fprintf(stderr, "nexo-nmos: no keys from %s yet: %s\n", issuer.c_str(),
                         fetch_why.c_str());
        }
        // A server not up yet is asked again by the first request that needs it.
        std::lock_guard lk(mu_);
        issuer_keys& k = issuers_[issuer];
        if (ok) {
            k.keys = std::move(keys);
            k.jwks_uri = uri;
            k.jwks_text = std::move(text);
            k.brought_new = true;
        }
    }
    fetcher_ = std::thread([this] { fetching(); });
    return true;
}

void gate::set_discovered(const std::vector<std::string>& issuers) {
    if (!s_.jwks_file.empty()) {
        return;  // pinned keys: the configured issuers only
    }
    std::lock_guard lk(mu_);
    discovered_ = issuers;
    for (const std::string& issuer : issuers) {
        auto it = issuers_.find(issuer);
        if (it == issuers_.end() || !it->second.keys) {
            request_fetch(issuer, false);
        }
    }
}

bool gate::trusted(const std::string& issuer) const {
    std::lock_guard lk(mu_);
    return std::find(s_.issuers.begin(), s_.issuers.end(), issuer) != s_.issuers.end() ||
           std::find(discovered_.begin(), discovered_.end(), issuer) != discovered_.end();
}

bool gate::request_fetch(const std::string& issuer, bool for_request) {
    if (!fetcher_.joinable()) {
        return false;  // pinned keys, or not started
    }
    issuer_keys& k = issuers_[issuer];
    if (k.queued) {
        return true;
    }
    // Requests make the node ask at most once per interval, whatever they carry, unless the
    // last answer brought keys the node did not have (the server is changing its keys, which
    // no client can make it do); the node's own fetches (a server found) do not count.
    if (for_request) {
        const auto now = std::chrono::steady_clock::now();
        if (k.last_attempt && now - *k.last_attempt < kRefetchInterval && !k.brought_new) {
            return false;
        }
        k.last_attempt = now;
    }
    k.queued = true;
    queue_.push_back(issuer);
    cv_.notify_all();
    return true;
}

void gate::fetching() {
    std::unique_lock lk(mu_);
    while (true) {
        cv_.wait(lk, [this] { return stop_ || !queue_.empty(); });
        if (stop_) {
            return;
        }
        const std::string issuer = queue_.front();
        queue_.pop_front();
        const std::string known_uri = issuers_[issuer].jwks_uri;
        lk.unlock();
        auto keys = std::make_shared<key_set>();
        std::string uri, text, why;
        const bool ok = fetch_keys(issuer, known_uri, keys.get(), &uri, &text, &why);
        if (!ok) {
            std::fprintf(stderr, "nexo-nmos: fetching keys from %s: %s\n", issuer.c_str(),
                         why.c_str());
        }
        lk.lock();
        issuer_keys& k = issuers_[issuer];
        k.queued = false;
        // A failed fetch leaves the keys in hand as they were.
        k.brought_new = ok && text != k.jwks_text;
        if (k.brought_new) {
            k.keys = std::move(keys);
            k.jwks_uri = uri;
            k.jwks_text = std::move(text);
        }
        fetched_.notify_all();
    }
}

bool gate::fetch_keys(const std::string& issuer, std::string uri, key_set* into,
                      std::string* jwks_uri_out, std::string* jwks_text, std::string* why) {
    if (uri.empty()) {
        std::string text;
        if (!fetch_document(metadata_url(issuer), s_.ca_file, kMaxDocumentBytes, &text, why)) {
            return false;
        }
        json meta = json::parse(text, nullptr, false);
        if (meta.is_discarded() || !meta.is_object() || !meta.contains("jwks_uri") ||
            !meta["jwks_uri"].is_string()) {
            *why = "the server's metadata has no jwks_uri";
            return false;
        }
        // The metadata must be the issuer's own, or its keys could be anyone's.
        if (meta.value("issuer", json()) != issuer) {
            *why = "the server's metadata names another issuer";
            return false;
        }
        uri = meta["jwks_uri"].get<std::string>();
    }
    if (!fetch_document(uri, s_.ca_file, kMaxDocumentBytes, jwks_text, why) ||
        !into->parse(*jwks_text, why)) {
        return false;
    }
    *jwks_uri_out = uri;
    return true;
}

std::optional<refusal> gate::check(const std::string& method, const std::string& path,
                                   const std::string& authorization) {
    const std::string scheme = "Bearer ";
    if (authorization.empty()) {
        return refusal{401, "", "this node needs an access token"};
    }
    if (authorization.size() <= scheme.size() ||
        strncasecmp(authorization.c_str(), scheme.c_str(), scheme.size()) != 0) {
        return refusal{401, "invalid_request", "the Authorization header is not a Bearer token"};
    }
    const std::string token = authorization.substr(scheme.size());
    if (token.size() > kMaxTokenBytes) {
        return invalid("the token is too long");
    }
    const std::int64_t now = std::time(nullptr);
    claims c;
    bool no_key = false;
    const std::optional<std::string> issuer = unverified_issuer(token);
    if (!issuer || !trusted(*issuer)) {
        // Whatever the token says, no server it names is asked for anything: its keys would
        // be the forger's own.
        auto r = verify_token(token, key_set(), "", s_.audience, now, &c, &no_key);
        if (r && !no_key) {
            return r;  // what is wrong with its form
        }
        return invalid(issuer ? "the token's issuer is not an Authorization Server this node "
                                "trusts: " +
                                    issuer->substr(0, 100)
                              : "the token names no issuer");
    }
    std::shared_ptr<const key_set> keys;
    {
        std::lock_guard lk(mu_);
        if (auto it = issuers_.find(*issuer); it != issuers_.end()) {
            keys = it->second.keys;
        }
    }
    std::optional<refusal> r;
    if (keys) {
        r = verify_token(token, *keys, *issuer, s_.audience, now, &c, &no_key);
    }
    if (!keys || no_key) {
        // A new key at the server (rotation), a server not asked yet, or a forgery: the keys
        // are fetched again, at most once per interval, and the client asked to come back.
        bool fetching = false;
        std::shared_ptr<const key_set> now_held;
        {
            std::unique_lock lk(mu_);
            now_held = issuers_[*issuer].keys;
            if (now_held == keys) {
                fetching = request_fetch(*issuer, true);
            }
            const bool own = !s_.issuers.empty()
                                 ? *issuer == s_.issuers.front()
                                 : !discovered_.empty() && *issuer == discovered_.front();
            if (fetching && own) {
                // The fetch is bounded in time (connection, then the whole answer).
                fetched_.wait_for(lk, std::chrono::seconds(10),
                                  [&] { return stop_ || !issuers_[*issuer].queued; });
                now_held = issuers_[*issuer].keys;
                fetching = issuers_[*issuer].queued;
            }
        }
        if (now_held && now_held != keys) {
            // A fetch ended since the keys were looked up: its keys decide.
            keys = now_held;
            r = verify_token(token, *keys, *issuer, s_.audience, now, &c, &no_key);
        } else if (fetching || !keys) {
            return refusal{503, "", "fetching the Authorization Server's keys; try again shortly",
                           fetching ? 1 : static_cast<int>(kRefetchInterval.count())};
        }
    }
    if (r) {
        return r;
    }

    // The API and the path below its version: /x-nmos/<api>/<version>/<path>. Empty segments
    // are skipped, as the router skips them, so that both read the same path.
    std::vector<std::string> seg;
    for (std::size_t start = 0; start < path.size();) {
        std::size_t slash = std::min(path.find('/', start), path.size());
        if (slash > start) {
            seg.push_back(path.substr(start, slash - start));
        }
        start = slash + 1;
    }
    const bool write = is_write(method);
    if (seg.size() < 3 || seg[0] != "x-nmos") {
        // The lists above the APIs name them and nothing else: any valid token reads them.
        if (!write) {
            return std::nullopt;
        }
        return refusal{403, "insufficient_scope", "nothing to write here"};
    }
    std::string rel;
    for (std::size_t i = 3; i < seg.size(); ++i) {
        rel += (rel.empty() ? "" : "/") + seg[i];
    }
    // The root of an API's version may also be read with a token whose scope names the API,
    // without its claim (the scope says which APIs a token is for, the claim which paths).
    if (!write && rel.empty() && in_scope(c, seg[1])) {
        return std::nullopt;
    }
    if (!grants(c, seg[1], rel, write)) {
        return refusal{403, "insufficient_scope",
                       std::string("the token does not grant ") + (write ? "write" : "read") +
                           " access to " + seg[1] + " " + (rel.empty() ? "/" : rel)};
    }
    return std::nullopt;
}

request_gate as_request_gate(gate& g) {
    return [&g](const std::string& method, const std::string& path,
                const std::string& authorization) -> std::optional<gate_refusal> {
        auto r = g.check(method, path, authorization);
        if (!r) {
            return std::nullopt;
        }
        std::string header;
        if (r->code == 503) {
            return gate_refusal{r->code, error_body(r->code, r->description), "",
                                std::max(r->retry_after, 1)};
        }
        {
            header = "Bearer realm=\"nexo-nmos\"";
            if (!r->error.empty()) {
                // The description, which may quote the token, goes into a quoted string: short,
                // printable, without quotes or backslashes. The error code comes first, as a
                // plain token, which is what the simplest of client parsers read.
                std::string d = r->description.substr(0, 200);
                for (char& ch : d) {
                    if (ch < 0x20 || ch > 0x7e || ch == '"' || ch == '\\') {
                        ch = '?';
                    }
                }
                header = "Bearer error=" + r->error +
                         ", realm=\"nexo-nmos\", error_description=\"" + d + "\"";
            }
        }
        return gate_refusal{r->code, error_body(r->code, r->description), header};
    };
}

token_source::token_source(client_settings s) : s_(std::move(s)) {}

void token_source::refused() {
    access_token_.clear();
}

void token_source::use_issuer(const std::string& issuer) {
    if (issuer == issuer_) {
        return;
    }
    // Another server: its endpoints, and a client of its own.
    issuer_ = issuer;
    token_endpoint_.clear();
    registration_endpoint_.clear();
    client_id_.clear();
    client_secret_.clear();
}

std::string token_source::token() {
    constexpr std::chrono::seconds kMaxBackoff{30};
    const auto now = std::chrono::steady_clock::now();
    if (!access_token_.empty() && now < renew_at_) {
        return access_token_;
    }
    const std::vector<std::string> list = s_.issuers ? s_.issuers() : std::vector<std::string>{};
    if (list != known_) {
        // Servers came or went: a new one is asked at once, whatever failed before.
        known_ = list;
        failed_.clear();
        last_failure_.reset();
        backoff_ = std::chrono::seconds(0);
    }
    if (last_failure_ && now - *last_failure_ < backoff_) {
        return access_token_;
    }
    // The server in use while it serves; after a failure, the best one not failed in this
    // round; once all have, the round starts over from the best.
    if (std::find(list.begin(), list.end(), issuer_) == list.end() || last_failure_) {
        std::string next;
        for (const std::string& i : list) {
            if (std::find(failed_.begin(), failed_.end(), i) == failed_.end()) {
                next = i;
                break;
            }
        }
        if (next.empty() && !list.empty()) {
            failed_.clear();
            next = list.front();
        }
        use_issuer(next);
    }
    std::string why;
    if (issuer_.empty()) {
        why = "no Authorization Server known yet";
    }
    if (!why.empty() || !ensure_client(&why) || !fetch(&why)) {
        std::fprintf(stderr, "nexo-nmos: no access token%s%s: %s\n",
                     issuer_.empty() ? "" : " from ", issuer_.c_str(), why.c_str());
        if (!issuer_.empty()) {
            failed_.push_back(issuer_);
        }
        last_failure_ = now;
        backoff_ = std::clamp(backoff_ * 2, std::chrono::seconds(1), kMaxBackoff);
        return access_token_;
    }
    last_failure_.reset();
    failed_.clear();
    backoff_ = std::chrono::seconds(0);
    return access_token_;
}

bool token_source::ensure_client(std::string* why) {
    if (token_endpoint_.empty()) {
        std::string text;
        if (!fetch_document(metadata_url(issuer_), s_.ca_file, kMaxDocumentBytes, &text, why)) {
            return false;
        }
        json meta = json::parse(text, nullptr, false);
        if (meta.is_discarded() || !meta.is_object() || meta.value("issuer", json()) != issuer_ ||
            !meta.contains("token_endpoint") || !meta["token_endpoint"].is_string()) {
            *why = "the server's metadata has no token_endpoint for this issuer";
            return false;
        }
        token_endpoint_ = meta["token_endpoint"].get<std::string>();
        if (meta.contains("registration_endpoint") && meta["registration_endpoint"].is_string()) {
            registration_endpoint_ = meta["registration_endpoint"].get<std::string>();
        }
    }
    if (!client_id_.empty()) {
        return true;
    }
    if (!s_.client_id.empty()) {
        std::ifstream in(s_.client_secret_file);
        std::getline(in, client_secret_);
        if (!in) {
            *why = s_.client_secret_file + ": cannot be read";
            return false;
        }
        client_id_ = s_.client_id;
        return true;
    }
    // Credentials of an earlier registration with the same server.
    if (std::ifstream in(s_.state_file); in) {
        std::stringstream text;
        text << in.rdbuf();
        json st = json::parse(text.str(), nullptr, false);
        if (st.is_object() && st.value("issuer", json()) == issuer_ &&
            st.value("client_id", json()).is_string() &&
            st.value("client_secret", json()).is_string()) {
            client_id_ = st["client_id"].get<std::string>();
            client_secret_ = st["client_secret"].get<std::string>();
            return true;
        }
    }
    if (registration_endpoint_.empty()) {
        *why = "the server offers no client registration; give --client-id";
        return false;
    }
    std::string path;
    auto c = client_to(registration_endpoint_, s_.ca_file, &path);
    json request = {{"client_name", s_.client_name},
                    {"grant_types", {"client_credentials"}},
                    {"token_endpoint_auth_method", "client_secret_basic"},
                    {"scope", "registration"}};
    auto res = c->Post(path.c_str(), request.dump(), "application/json");
    if (!res || res->status != 201 || res->body.size() > kMaxDocumentBytes) {
        *why = "client registration refused" +
               (res ? " (status " + std::to_string(res->status) + ")" : std::string());
        return false;
    }
    json reply = json::parse(res->body, nullptr, false);
    if (!reply.is_object() || !reply.value("client_id", json()).is_string() ||
        !reply.value("client_secret", json()).is_string()) {
        *why = "the registration's answer has no client_id and client_secret";
        return false;
    }
    client_id_ = reply["client_id"].get<std::string>();
    client_secret_ = reply["client_secret"].get<std::string>();
    // Kept for the next start, readable by the node's user only.
    json st = {{"issuer", issuer_}, {"client_id", client_id_}, {"client_secret", client_secret_}};
    const std::string text = st.dump() + "\n";
    int fd = ::open(s_.state_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0 || ::fchmod(fd, 0600) != 0 ||
        ::write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
        std::fprintf(stderr, "nexo-nmos: %s: cannot keep the client's credentials\n",
                     s_.state_file.c_str());
    }
    if (fd >= 0) {
        ::close(fd);
    }
    return true;
}

bool token_source::fetch(std::string* why) {
    std::string path;
    auto c = client_to(token_endpoint_, s_.ca_file, &path);
    c->set_basic_auth(client_id_.c_str(), client_secret_.c_str());
    auto res = c->Post(path.c_str(), "grant_type=client_credentials&scope=registration",
                       "application/x-www-form-urlencoded");
    if (!res || res->status != 200 || res->body.size() > kMaxDocumentBytes) {
        *why = "token request refused" +
               (res ? " (status " + std::to_string(res->status) + ")" : std::string());
        // Credentials the server no longer knows are registered afresh next time.
        if (res && res->status == 401 && s_.client_id.empty()) {
            client_id_.clear();
            ::unlink(s_.state_file.c_str());
        }
        return false;
    }
    json reply = json::parse(res->body, nullptr, false);
    if (!reply.is_object() || !reply.value("access_token", json()).is_string() ||
        !reply.value("expires_in", json()).is_number_integer()) {
        *why = "the token answer has no access_token and expires_in";
        return false;
    }
    access_token_ = reply["access_token"].get<std::string>();
    const std::int64_t life =
        std::clamp<std::int64_t>(reply["expires_in"].get<std::int64_t>(), 4, 86400);
    renew_at_ = std::chrono::steady_clock::now() + std::chrono::seconds(life * 3 / 4);
    return true;
}

std::string metadata_url(const std::string& issuer) {
    std::string path;
    std::string origin = origin_of(issuer, &path);
    if (origin.empty()) {
        return "";
    }
    if (path == "/") {
        path.clear();
    }
    return origin + "/.well-known/oauth-authorization-server" + path;
}

bool fetch_document(const std::string& url, const std::string& ca_file, std::size_t limit,
                    std::string* body, std::string* why) {
    std::string path;
    std::string origin = origin_of(url, &path);
    if (origin.rfind("http://", 0) != 0 && origin.rfind("https://", 0) != 0) {
        *why = "not an http or https URL: " + url;
        return false;
    }
    auto c = client_to(url, ca_file, &path);
    // A server that trickles its answer is given up on as one that does not answer.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    body->clear();
    bool too_big = false, too_slow = false;
    auto res = c->Get(path.c_str(), [&](const char* data, std::size_t len) {
        too_big = body->size() + len > limit;
        too_slow = std::chrono::steady_clock::now() > deadline;
        if (too_big || too_slow) {
            return false;
        }
        body->append(data, len);
        return true;
    });
    if (too_big || too_slow) {
        *why = url + (too_big ? ": answer too large" : ": answer too slow");
        return false;
    }
    if (!res) {
        *why = url + ": " + httplib::to_string(res.error());
        return false;
    }
    if (res->status != 200) {
        *why = url + ": status " + std::to_string(res->status);
        return false;
    }
    return true;
}

}  // namespace nexo::nmos::auth
