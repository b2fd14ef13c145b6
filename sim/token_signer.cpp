#include "token_signer.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <stdexcept>

namespace nexo::sim {

namespace {

struct pkey_free {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
using pkey_ptr = std::unique_ptr<EVP_PKEY, pkey_free>;

std::string bn_bytes(const EVP_PKEY* k, const char* name, int pad) {
    BIGNUM* bn = nullptr;
    if (EVP_PKEY_get_bn_param(k, name, &bn) != 1) {
        return "";
    }
    int len = pad > 0 ? pad : BN_num_bytes(bn);
    std::string out(static_cast<std::size_t>(len), '\0');
    BN_bn2binpad(bn, reinterpret_cast<unsigned char*>(out.data()), len);
    BN_free(bn);
    return out;
}

std::string compact(const json& header, const json& claims) {
    return base64url(header.dump()) + "." + base64url(claims.dump());
}

}  // namespace

std::string base64url(const std::string& bytes) {
    static const char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    std::string out;
    std::uint32_t acc = 0;
    int bits = 0;
    for (unsigned char c : bytes) {
        acc = (acc << 8) | c;
        bits += 8;
        while (bits >= 6) {
            bits -= 6;
            out.push_back(kAlphabet[(acc >> bits) & 0x3f]);
        }
    }
    if (bits > 0) {
        out.push_back(kAlphabet[(acc << (6 - bits)) & 0x3f]);
    }
    return out;
}

struct signing_key::impl {
    std::string kid;
    pkey_ptr key;
    bool ec = false;
    std::string curve;
    int half = 0;  // EC: bytes of a coordinate
};

signing_key::signing_key(std::unique_ptr<impl> p) : p_(std::move(p)) {}
signing_key::signing_key(signing_key&&) noexcept = default;
signing_key& signing_key::operator=(signing_key&&) noexcept = default;
signing_key::~signing_key() = default;

signing_key signing_key::rsa(std::string kid, int bits) {
    auto p = std::make_unique<impl>();
    p->kid = std::move(kid);
    p->key.reset(EVP_RSA_gen(static_cast<unsigned>(bits)));
    if (!p->key) {
        throw std::runtime_error("RSA key generation failed");
    }
    return signing_key(std::move(p));
}

signing_key signing_key::ec(std::string kid, const std::string& curve) {
    auto p = std::make_unique<impl>();
    p->kid = std::move(kid);
    p->ec = true;
    p->curve = curve;
    p->half = curve == "P-256" ? 32 : curve == "P-384" ? 48 : 66;
    p->key.reset(EVP_EC_gen(curve.c_str()));
    if (!p->key) {
        throw std::runtime_error("EC key generation failed");
    }
    return signing_key(std::move(p));
}

const std::string& signing_key::kid() const {
    return p_->kid;
}

json signing_key::jwk() const {
    const EVP_PKEY* k = p_->key.get();
    if (p_->ec) {
        return {{"kty", "EC"},
                {"crv", p_->curve},
                {"kid", p_->kid},
                {"use", "sig"},
                {"x", base64url(bn_bytes(k, OSSL_PKEY_PARAM_EC_PUB_X, p_->half))},
                {"y", base64url(bn_bytes(k, OSSL_PKEY_PARAM_EC_PUB_Y, p_->half))}};
    }
    return {{"kty", "RSA"},
            {"kid", p_->kid},
            {"use", "sig"},
            {"n", base64url(bn_bytes(k, OSSL_PKEY_PARAM_RSA_N, 0))},
            {"e", base64url(bn_bytes(k, OSSL_PKEY_PARAM_RSA_E, 0))}};
}

std::string signing_key::public_pem() const {
    BIO* b = BIO_new(BIO_s_mem());
    PEM_write_bio_PUBKEY(b, p_->key.get());
    char* data = nullptr;
    long n = BIO_get_mem_data(b, &data);
    std::string pem(data, static_cast<std::size_t>(n));
    BIO_free(b);
    return pem;
}

std::string signing_key::sign(const std::string& alg, const json& claims) const {
    return sign(alg, claims, p_->kid);
}

std::string signing_key::sign(const std::string& alg, const json& claims,
                              const std::string& header_kid) const {
    if (alg.size() != 5 || (alg[0] == 'E') != p_->ec) {
        return "";
    }
    const std::string digest = "SHA" + alg.substr(2);
    json header = {{"alg", alg}, {"typ", "JWT"}};
    if (!header_kid.empty()) {
        header["kid"] = header_kid;
    }
    const std::string input = compact(header, claims);
    EVP_MD_CTX* md = EVP_MD_CTX_new();
    EVP_PKEY_CTX* pctx = nullptr;
    std::size_t len = 0;
    bool ok = EVP_DigestSignInit_ex(md, &pctx, digest.c_str(), nullptr, nullptr, p_->key.get(),
                                    nullptr) == 1;
    if (ok && alg[0] == 'P') {
        ok = EVP_PKEY_CTX_set_rsa_padding(pctx, RSA_PKCS1_PSS_PADDING) == 1 &&
             EVP_PKEY_CTX_set_rsa_pss_saltlen(pctx, RSA_PSS_SALTLEN_DIGEST) == 1;
    }
    const auto* in = reinterpret_cast<const unsigned char*>(input.data());
    ok = ok && EVP_DigestSign(md, nullptr, &len, in, input.size()) == 1;
    std::string sig(len, '\0');
    ok = ok && EVP_DigestSign(md, reinterpret_cast<unsigned char*>(sig.data()), &len, in,
                              input.size()) == 1;
    EVP_MD_CTX_free(md);
    if (!ok) {
        return "";
    }
    sig.resize(len);
    if (p_->ec) {
        // DER to the fixed-width r|s that tokens carry.
        const auto* der = reinterpret_cast<const unsigned char*>(sig.data());
        ECDSA_SIG* es = d2i_ECDSA_SIG(nullptr, &der, static_cast<long>(sig.size()));
        if (es == nullptr) {
            return "";
        }
        std::string raw(static_cast<std::size_t>(2 * p_->half), '\0');
        auto* out = reinterpret_cast<unsigned char*>(raw.data());
        BN_bn2binpad(ECDSA_SIG_get0_r(es), out, p_->half);
        BN_bn2binpad(ECDSA_SIG_get0_s(es), out + p_->half, p_->half);
        ECDSA_SIG_free(es);
        sig = raw;
    }
    return input + "." + base64url(sig);
}

std::string hs256_token(const std::string& secret, const json& claims, const std::string& kid) {
    const std::string input = compact({{"alg", "HS256"}, {"typ", "JWT"}, {"kid", kid}}, claims);
    unsigned char mac[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    HMAC(EVP_sha256(), secret.data(), static_cast<int>(secret.size()),
         reinterpret_cast<const unsigned char*>(input.data()), input.size(), mac, &len);
    return input + "." + base64url(std::string(reinterpret_cast<char*>(mac), len));
}

std::string unsigned_token(const json& claims) {
    return compact({{"alg", "none"}, {"typ", "JWT"}}, claims) + ".";
}

}  // namespace nexo::sim
