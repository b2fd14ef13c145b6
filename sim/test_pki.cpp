#include "test_pki.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/ocsp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>

namespace nexo::sim {

namespace {

struct pkey_free {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct x509_free {
    void operator()(X509* x) const { X509_free(x); }
};
using pkey_ptr = std::unique_ptr<EVP_PKEY, pkey_free>;
using x509_ptr = std::unique_ptr<X509, x509_free>;

bool add_ext(X509* cert, X509* issuer, int nid, const std::string& value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
    bool ok = ext != nullptr && X509_add_ext(cert, ext, -1) == 1;
    X509_EXTENSION_free(ext);
    return ok;
}

// A certificate for `key` named `cn`, valid from an hour ago for 30 days; signed by the caller.
x509_ptr new_cert(EVP_PKEY* key, const std::string& cn, long serial) {
    x509_ptr x(X509_new());
    X509_set_version(x.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x.get()), serial);
    X509_gmtime_adj(X509_getm_notBefore(x.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(x.get()), 30L * 86400);
    X509_set_pubkey(x.get(), key);
    X509_NAME_add_entry_by_txt(X509_get_subject_name(x.get()), "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(cn.c_str()), -1, -1, 0);
    return x;
}

// fopen with the mode given at creation, so a key is never readable by others even briefly.
FILE* create(const std::string& path, mode_t mode) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0) {
        return nullptr;
    }
    ::fchmod(fd, mode);
    FILE* f = ::fdopen(fd, "w");
    if (f == nullptr) {
        ::close(fd);
    }
    return f;
}

}  // namespace

struct test_ca::impl {
    pkey_ptr key;
    x509_ptr cert;
};

test_ca::test_ca() : p_(std::make_unique<impl>()) {
    p_->key.reset(EVP_EC_gen("P-256"));
    if (!p_->key) {
        throw std::runtime_error("CA key generation failed");
    }
    p_->cert = new_cert(p_->key.get(), "nexo test CA", 1);
    X509* c = p_->cert.get();
    X509_set_issuer_name(c, X509_get_subject_name(c));
    if (!add_ext(c, c, NID_basic_constraints, "critical,CA:TRUE") ||
        !add_ext(c, c, NID_key_usage, "critical,keyCertSign,cRLSign") ||
        !add_ext(c, c, NID_subject_key_identifier, "hash") ||
        X509_sign(c, p_->key.get(), EVP_sha256()) == 0) {
        throw std::runtime_error("CA certificate failed");
    }
}

test_ca::~test_ca() = default;

bool test_ca::write_ca(const std::string& path) const {
    FILE* f = create(path, 0644);
    bool ok = f != nullptr && PEM_write_X509(f, p_->cert.get()) == 1;
    return f != nullptr && std::fclose(f) == 0 && ok;
}

bool test_ca::issue(const std::vector<std::string>& names, bool ec, long serial,
                    const std::string& cert_path, const std::string& key_path,
                    const std::string& ocsp_url) const {
    pkey_ptr key(ec ? EVP_EC_gen("P-256") : EVP_RSA_gen(2048u));
    if (!key || names.empty()) {
        return false;
    }
    std::string cn = names[0].substr(names[0].find(':') + 1);
    std::string san;
    for (const std::string& n : names) {
        san += (san.empty() ? "" : ",") + n;
    }
    x509_ptr x = new_cert(key.get(), cn, serial);
    X509* c = x.get();
    X509_set_issuer_name(c, X509_get_subject_name(p_->cert.get()));
    if (!add_ext(c, p_->cert.get(), NID_subject_alt_name, san) ||
        !add_ext(c, p_->cert.get(), NID_basic_constraints, "critical,CA:FALSE") ||
        !add_ext(c, p_->cert.get(), NID_ext_key_usage, "serverAuth,clientAuth") ||
        !add_ext(c, p_->cert.get(), NID_authority_key_identifier, "keyid") ||
        (!ocsp_url.empty() &&
         !add_ext(c, p_->cert.get(), NID_info_access, "OCSP;URI:" + ocsp_url)) ||
        X509_sign(c, p_->key.get(), EVP_sha256()) == 0) {
        return false;
    }
    FILE* kf = create(key_path, 0600);
    bool ok = kf != nullptr &&
              PEM_write_PrivateKey(kf, key.get(), nullptr, nullptr, 0, nullptr, nullptr) == 1;
    ok = kf != nullptr && std::fclose(kf) == 0 && ok;
    FILE* cf = create(cert_path, 0644);
    ok = ok && cf != nullptr && PEM_write_X509(cf, c) == 1;
    return cf != nullptr && std::fclose(cf) == 0 && ok;
}

std::string test_ca::ocsp_response(const std::string& request, bool revoked) const {
    const auto* in = reinterpret_cast<const unsigned char*>(request.data());
    std::unique_ptr<OCSP_REQUEST, void (*)(OCSP_REQUEST*)> req(
        d2i_OCSP_REQUEST(nullptr, &in, static_cast<long>(request.size())), OCSP_REQUEST_free);
    std::unique_ptr<OCSP_BASICRESP, void (*)(OCSP_BASICRESP*)> basic(OCSP_BASICRESP_new(),
                                                                     OCSP_BASICRESP_free);
    if (!req || !basic) {
        return "";
    }
    std::unique_ptr<ASN1_TIME, void (*)(ASN1_TIME*)> now(X509_gmtime_adj(nullptr, 0),
                                                         ASN1_TIME_free);
    std::unique_ptr<ASN1_TIME, void (*)(ASN1_TIME*)> later(X509_gmtime_adj(nullptr, 3600),
                                                           ASN1_TIME_free);
    for (int i = 0; i < OCSP_request_onereq_count(req.get()); ++i) {
        OCSP_CERTID* id = OCSP_onereq_get0_id(OCSP_request_onereq_get0(req.get(), i));
        if (OCSP_basic_add1_status(
                basic.get(), id, revoked ? V_OCSP_CERTSTATUS_REVOKED : V_OCSP_CERTSTATUS_GOOD,
                OCSP_REVOKED_STATUS_KEYCOMPROMISE, now.get(), now.get(), later.get()) == nullptr) {
            return "";
        }
    }
    if (OCSP_basic_sign(basic.get(), p_->cert.get(), p_->key.get(), EVP_sha256(), nullptr, 0) !=
        1) {
        return "";
    }
    std::unique_ptr<OCSP_RESPONSE, void (*)(OCSP_RESPONSE*)> resp(
        OCSP_response_create(OCSP_RESPONSE_STATUS_SUCCESSFUL, basic.get()), OCSP_RESPONSE_free);
    const int len = resp ? i2d_OCSP_RESPONSE(resp.get(), nullptr) : 0;
    if (len <= 0) {
        return "";
    }
    std::string out(static_cast<std::size_t>(len), '\0');
    auto* p = reinterpret_cast<unsigned char*>(out.data());
    i2d_OCSP_RESPONSE(resp.get(), &p);
    return out;
}

}  // namespace nexo::sim
