#include "tls_config.h"

#include <httplib.h>
#include <openssl/err.h>
#include <openssl/ocsp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <optional>

#include "http_limits.h"

namespace nexo::nmos {

namespace {

// TLS 1.2: ephemeral key exchange only; authenticated encryption preferred, then the CBC
// suites with SHA-2 MACs that facilities' older clients still offer (never SHA-1 or static RSA).
// TLS 1.3 has nothing else.
constexpr const char* kTls12Suites =
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:"
    "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
    "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305:"
    "DHE-RSA-AES128-GCM-SHA256:DHE-RSA-AES256-GCM-SHA384:"
    "ECDHE-ECDSA-AES128-SHA256:ECDHE-ECDSA-AES256-SHA384:"
    "ECDHE-RSA-AES128-SHA256:ECDHE-RSA-AES256-SHA384:"
    "DHE-RSA-AES128-SHA256:DHE-RSA-AES256-SHA256";
constexpr const char* kTls13Suites =
    "TLS_AES_128_GCM_SHA256:TLS_AES_256_GCM_SHA384:TLS_CHACHA20_POLY1305_SHA256";

struct bio_free {
    void operator()(BIO* b) const { BIO_free(b); }
};

std::string openssl_error() {
    unsigned long e = ERR_get_error();
    ERR_clear_error();
    if (e == 0) {
        return "not PEM";
    }
    char buf[256];
    ERR_error_string_n(e, buf, sizeof buf);
    return buf;
}

using sys_clock = std::chrono::system_clock;

// The most of an OCSP responder's answer the node reads.
constexpr std::size_t kMaxOcspResponse = 64 * 1024;
// How soon a responder that failed is asked again: 5 s after the first failure, twice as
// long after each further one, up to 5 min.
constexpr std::chrono::seconds kOcspFirstRetry{5};
constexpr std::chrono::seconds kOcspLastRetry{300};

// The first OCSP responder URL of the certificate's Authority Information Access; "" for none.
std::string ocsp_url_of(X509* cert) {
    STACK_OF(OPENSSL_STRING)* urls = X509_get1_ocsp(cert);
    std::string url;
    if (urls != nullptr && sk_OPENSSL_STRING_num(urls) > 0) {
        url = sk_OPENSSL_STRING_value(urls, 0);
    }
    X509_email_free(urls);
    return url;
}

// The certificate of the chain that issued `cert`; nullptr when the chain lacks it.
X509* issuer_in(X509* cert, STACK_OF(X509) * chain) {
    for (int i = 0; i < sk_X509_num(chain); ++i) {
        X509* c = sk_X509_value(chain, i);
        if (X509_check_issued(c, cert) == X509_V_OK) {
            return c;
        }
    }
    return nullptr;
}

struct ocsp_answer {
    std::string der;                // the response to staple
    sys_clock::time_point refresh;  // when to ask again
};

// Asks the responder at `url` about `cert` and checks what comes back: a successful response,
// signed by the issuer or a responder it delegated to, saying the certificate is good, and
// current. Nothing otherwise, with `why`.
std::optional<ocsp_answer> fetch_ocsp(const std::string& url, X509* cert, X509* issuer,
                                      std::string* why) {
    std::unique_ptr<OCSP_CERTID, void (*)(OCSP_CERTID*)> id(OCSP_cert_to_id(nullptr, cert, issuer),
                                                            OCSP_CERTID_free);
    std::unique_ptr<OCSP_REQUEST, void (*)(OCSP_REQUEST*)> req(OCSP_REQUEST_new(),
                                                               OCSP_REQUEST_free);
    OCSP_CERTID* copy = id ? OCSP_CERTID_dup(id.get()) : nullptr;
    if (!req || copy == nullptr || OCSP_request_add0_id(req.get(), copy) == nullptr) {
        OCSP_CERTID_free(copy);
        *why = "cannot make the request";
        return std::nullopt;
    }
    const int len = i2d_OCSP_REQUEST(req.get(), nullptr);
    std::string body(static_cast<std::size_t>(std::max(len, 0)), '\0');
    auto* out = reinterpret_cast<unsigned char*>(body.data());
    if (len <= 0 || i2d_OCSP_REQUEST(req.get(), &out) != len) {
        *why = "cannot encode the request";
        return std::nullopt;
    }
    const std::size_t scheme = url.find("://");
    const std::size_t slash = scheme == std::string::npos ? scheme : url.find('/', scheme + 3);
    if (url.rfind("http://", 0) != 0) {
        *why = "not an http URL";
        return std::nullopt;
    }
    httplib::Client c(url.substr(0, slash));
    c.set_connection_timeout(std::chrono::seconds(2));
    c.set_read_timeout(std::chrono::seconds(3));
    c.set_write_timeout(std::chrono::seconds(3));
    httplib::Request r;
    r.method = "POST";
    r.path = slash == std::string::npos ? "/" : url.substr(slash);
    r.body = std::move(body);
    r.set_header("Content-Type", "application/ocsp-request");
    std::string answer;
    const int status = bounded_request(c, std::move(r), kMaxOcspResponse, &answer);
    if (status != 200) {
        *why = status == 0 ? "no answer" : "status " + std::to_string(status);
        return std::nullopt;
    }
    const auto* in = reinterpret_cast<const unsigned char*>(answer.data());
    std::unique_ptr<OCSP_RESPONSE, void (*)(OCSP_RESPONSE*)> resp(
        d2i_OCSP_RESPONSE(nullptr, &in, static_cast<long>(answer.size())), OCSP_RESPONSE_free);
    if (!resp || OCSP_response_status(resp.get()) != OCSP_RESPONSE_STATUS_SUCCESSFUL) {
        *why = "not a successful OCSP response";
        return std::nullopt;
    }
    std::unique_ptr<OCSP_BASICRESP, void (*)(OCSP_BASICRESP*)> basic(
        OCSP_response_get1_basic(resp.get()), OCSP_BASICRESP_free);
    // The issuer is the anchor: the response must be its own, or a delegate's it certified.
    std::unique_ptr<X509_STORE, void (*)(X509_STORE*)> store(X509_STORE_new(), X509_STORE_free);
    std::unique_ptr<STACK_OF(X509), void (*)(STACK_OF(X509)*)> issuers(
        sk_X509_new_null(), [](STACK_OF(X509) * s) { sk_X509_free(s); });
    if (!basic || !store || !issuers || X509_STORE_add_cert(store.get(), issuer) != 1 ||
        X509_STORE_set_flags(store.get(), X509_V_FLAG_PARTIAL_CHAIN) != 1 ||
        sk_X509_push(issuers.get(), issuer) <= 0 ||
        OCSP_basic_verify(basic.get(), issuers.get(), store.get(), 0) != 1) {
        ERR_clear_error();
        *why = "the response's signature does not verify";
        return std::nullopt;
    }
    int status_of = -1, reason = 0;
    ASN1_GENERALIZEDTIME *this_update = nullptr, *next_update = nullptr;
    if (OCSP_resp_find_status(basic.get(), id.get(), &status_of, &reason, nullptr, &this_update,
                              &next_update) != 1 ||
        status_of != V_OCSP_CERTSTATUS_GOOD) {
        *why = status_of == V_OCSP_CERTSTATUS_REVOKED ? "the certificate is revoked"
                                                      : "no good status for the certificate";
        return std::nullopt;
    }
    // Five minutes of clock difference tolerated, as clients commonly do.
    if (OCSP_check_validity(this_update, next_update, 300, -1) != 1) {
        ERR_clear_error();
        *why = "the response is not current";
        return std::nullopt;
    }
    // Asked again half way to its next update (between a minute and a day), or in an hour.
    auto in_a_while = std::chrono::seconds(3600);
    if (next_update != nullptr) {
        int days = 0, secs = 0;
        if (ASN1_TIME_diff(&days, &secs, nullptr, next_update) == 1) {
            const long left = static_cast<long>(days) * 86400 + secs;
            in_a_while = std::chrono::seconds(std::clamp(left / 2, 60L, 86400L));
        }
    }
    return ocsp_answer{answer, sys_clock::now() + in_a_while};
}

}  // namespace

struct tls_config::loaded {
    struct pair {
        X509* cert = nullptr;
        STACK_OF(X509) * chain = nullptr;
        EVP_PKEY* key = nullptr;
        X509* issuer = nullptr;  // in `chain`
        std::string ocsp_url;
    };
    std::vector<pair> pairs;
    // The answers fetched for each pair's certificate, and when to fetch them again.
    mutable std::mutex mu;
    mutable std::vector<std::string> staples;
    mutable std::vector<sys_clock::time_point> due;
    mutable std::vector<std::chrono::seconds> backoff;  // 0 after a success
    ~loaded() {
        for (pair& p : pairs) {
            X509_free(p.cert);
            sk_X509_pop_free(p.chain, X509_free);
            EVP_PKEY_free(p.key);
        }
    }
};

tls_config::tls_config(std::vector<tls_pair> pairs) : pairs_(std::move(pairs)) {}

tls_config::~tls_config() {
    {
        std::lock_guard lk(mu_);
        stop_ = true;
    }
    wake_.notify_all();
    if (stapler_.joinable()) {
        stapler_.join();
    }
}

void tls_config::stapling() {
    std::unique_lock lk(mu_);
    while (!stop_) {
        std::shared_ptr<const loaded> cur = current_;
        lk.unlock();
        auto next = sys_clock::now() + std::chrono::hours(24);
        for (std::size_t i = 0; cur && i < cur->pairs.size(); ++i) {
            const loaded::pair& p = cur->pairs[i];
            if (p.ocsp_url.empty() || p.issuer == nullptr) {
                continue;
            }
            sys_clock::time_point due;
            {
                std::lock_guard g(cur->mu);
                due = cur->due[i];
            }
            if (due <= sys_clock::now()) {
                std::string why;
                std::optional<ocsp_answer> a = fetch_ocsp(p.ocsp_url, p.cert, p.issuer, &why);
                if (!a) {
                    std::fprintf(stderr, "nexo-nmos: OCSP answer from %s: %s\n", p.ocsp_url.c_str(),
                                 why.c_str());
                }
                // A failed fetch keeps the last answer while it is current: clients check
                // its dates themselves.
                std::lock_guard g(cur->mu);
                std::chrono::seconds& wait = cur->backoff[i];
                wait = a ? std::chrono::seconds(0)
                         : std::clamp(wait * 2, kOcspFirstRetry, kOcspLastRetry);
                if (a) {
                    cur->staples[i] = std::move(a->der);
                }
                due = cur->due[i] = a ? a->refresh : sys_clock::now() + wait;
            }
            next = std::min(next, due);
        }
        lk.lock();
        if (current_ == cur) {
            wake_.wait_until(lk, next, [&] { return stop_ || current_ != cur; });
        }
    }
}

bool tls_config::load(std::string* why) {
    auto next = std::make_shared<loaded>();
    for (const tls_pair& p : pairs_) {
        struct stat st {};
        if (::stat(p.key_file.c_str(), &st) != 0) {
            *why = p.key_file + ": cannot be read";
            return false;
        }
        // A key others can read is a key others may already have.
        if ((st.st_mode & (S_IRGRP | S_IROTH)) != 0) {
            char mode[8];
            std::snprintf(mode, sizeof mode, "%04o", st.st_mode & 07777);
            *why = p.key_file + ": the private key is readable by other users (mode " + mode +
                   "); make it readable by the node's user only (chmod 600)";
            return false;
        }
        loaded::pair out;
        std::unique_ptr<BIO, bio_free> cert_bio(BIO_new_file(p.cert_file.c_str(), "r"));
        std::unique_ptr<BIO, bio_free> key_bio(BIO_new_file(p.key_file.c_str(), "r"));
        if (!cert_bio || !key_bio) {
            *why = (cert_bio ? p.key_file : p.cert_file) + ": cannot be read";
            ERR_clear_error();
            return false;
        }
        out.cert = PEM_read_bio_X509_AUX(cert_bio.get(), nullptr, nullptr, nullptr);
        out.key = PEM_read_bio_PrivateKey(key_bio.get(), nullptr, nullptr, nullptr);
        out.chain = sk_X509_new_null();
        // Whatever follows the certificate is its chain, up to the end of the file.
        while (X509* c = PEM_read_bio_X509(cert_bio.get(), nullptr, nullptr, nullptr)) {
            sk_X509_push(out.chain, c);
        }
        ERR_clear_error();
        next->pairs.push_back(out);
        if (out.cert == nullptr) {
            *why = p.cert_file + ": no certificate in it";
            return false;
        }
        if (out.key == nullptr) {
            *why = p.key_file + ": no private key in it (" + openssl_error() + ")";
            return false;
        }
        if (X509_check_private_key(out.cert, out.key) != 1) {
            ERR_clear_error();
            *why = p.key_file + ": not the key of " + p.cert_file;
            return false;
        }
        next->pairs.back().ocsp_url = ocsp_url_of(out.cert);
        next->pairs.back().issuer = issuer_in(out.cert, out.chain);
    }
    next->staples.resize(next->pairs.size());
    next->due.assign(next->pairs.size(), sys_clock::time_point{});
    next->backoff.assign(next->pairs.size(), std::chrono::seconds(0));
    bool any_responder = false;
    for (const loaded::pair& p : next->pairs) {
        any_responder = any_responder || (!p.ocsp_url.empty() && p.issuer != nullptr);
    }
    std::lock_guard lk(mu_);
    current_ = std::move(next);
    if (any_responder && !stapler_.joinable()) {
        stapler_ = std::thread([this] { stapling(); });
    }
    wake_.notify_all();
    return true;
}

std::shared_ptr<const tls_config::loaded> tls_config::current() const {
    std::lock_guard lk(mu_);
    return current_;
}

int tls_config::on_certificate(ssl_st* ssl, void* self) {
    auto cur = static_cast<tls_config*>(self)->current();
    if (!cur) {
        return 0;
    }
    for (const loaded::pair& p : cur->pairs) {
        if (SSL_use_cert_and_key(ssl, p.cert, p.key, p.chain, 1) != 1) {
            ERR_clear_error();
            return 0;
        }
    }
    return 1;
}

int tls_config::on_status(ssl_st* ssl, void* self) {
    auto cur = static_cast<tls_config*>(self)->current();
    X509* used = SSL_get_certificate(ssl);
    if (!cur || used == nullptr) {
        return SSL_TLSEXT_ERR_NOACK;
    }
    for (std::size_t i = 0; i < cur->pairs.size(); ++i) {
        if (cur->pairs[i].cert != used) {
            continue;
        }
        std::lock_guard g(cur->mu);
        const std::string& der = cur->staples[i];
        if (der.empty()) {
            return SSL_TLSEXT_ERR_NOACK;
        }
        // The library frees what it is given.
        auto* copy = static_cast<unsigned char*>(OPENSSL_malloc(der.size()));
        if (copy == nullptr) {
            return SSL_TLSEXT_ERR_NOACK;
        }
        std::copy(der.begin(), der.end(), copy);
        SSL_set_tlsext_status_ocsp_resp(ssl, copy, static_cast<long>(der.size()));
        return SSL_TLSEXT_ERR_OK;
    }
    return SSL_TLSEXT_ERR_NOACK;
}

bool tls_config::setup(ssl_ctx_st& ctx) {
    SSL_CTX* c = &ctx;
    SSL_CTX_set_tlsext_status_cb(c, on_status);
    SSL_CTX_set_tlsext_status_arg(c, this);
    SSL_CTX_set_options(
        c, SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION | SSL_OP_CIPHER_SERVER_PREFERENCE);
    SSL_CTX_set_dh_auto(c, 1);
    SSL_CTX_set_cert_cb(c, on_certificate, this);
    return SSL_CTX_set_min_proto_version(c, TLS1_2_VERSION) == 1 &&
           SSL_CTX_set_max_proto_version(c, TLS1_3_VERSION) == 1 &&
           SSL_CTX_set_cipher_list(c, kTls12Suites) == 1 &&
           SSL_CTX_set_ciphersuites(c, kTls13Suites) == 1;
}

}  // namespace nexo::nmos
