#include "tls_config.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <sys/stat.h>

#include <cstdio>

namespace nexo::nmos {

namespace {

// TLS 1.2: ephemeral key exchange and authenticated encryption only. TLS 1.3 has nothing else.
constexpr const char* kTls12Suites =
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:"
    "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
    "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305:"
    "DHE-RSA-AES128-GCM-SHA256:DHE-RSA-AES256-GCM-SHA384";
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

}  // namespace

struct tls_config::loaded {
    struct pair {
        X509* cert = nullptr;
        STACK_OF(X509) * chain = nullptr;
        EVP_PKEY* key = nullptr;
    };
    std::vector<pair> pairs;
    ~loaded() {
        for (pair& p : pairs) {
            X509_free(p.cert);
            sk_X509_pop_free(p.chain, X509_free);
            EVP_PKEY_free(p.key);
        }
    }
};

tls_config::tls_config(std::vector<tls_pair> pairs) : pairs_(std::move(pairs)) {}
tls_config::~tls_config() = default;

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
    }
    std::lock_guard lk(mu_);
    current_ = std::move(next);
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

bool tls_config::setup(ssl_ctx_st& ctx) {
    SSL_CTX* c = &ctx;
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
