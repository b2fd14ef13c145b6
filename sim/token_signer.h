// token_signer: the Authorization Server's side of access tokens for the simulated facility —
// signing keys made on the spot, their public JWKs, and compact JWS tokens signed with them
// (and, to try the node with, tokens no server should issue).
#pragma once

#include <memory>
#include <nlohmann/json.hpp>
#include <string>

namespace nexo::sim {

using json = nlohmann::json;

std::string base64url(const std::string& bytes);

class signing_key {
  public:
    // A fresh RSA key of `bits`, or an EC key on `curve` ("P-256", "P-384", "P-521").
    // Throws std::runtime_error when OpenSSL cannot make one.
    static signing_key rsa(std::string kid, int bits = 2048);
    static signing_key ec(std::string kid, const std::string& curve = "P-256");
    signing_key(signing_key&&) noexcept;
    signing_key& operator=(signing_key&&) noexcept;
    ~signing_key();

    const std::string& kid() const;
    json jwk() const;                // the public half, with kid and "use": "sig"
    std::string public_pem() const;  // SubjectPublicKeyInfo PEM
    // `claims` signed with `alg` (RS*, PS* for RSA keys, ES* for EC keys); the header names the
    // key's kid unless `header_kid` says otherwise ("" for none). "" when the key cannot sign so.
    std::string sign(const std::string& alg, const json& claims) const;
    std::string sign(const std::string& alg, const json& claims,
                     const std::string& header_kid) const;

  private:
    struct impl;
    explicit signing_key(std::unique_ptr<impl> p);
    std::unique_ptr<impl> p_;
};

// A token "signed" HS256 with `secret` (a public key's PEM makes the key-confusion attack).
std::string hs256_token(const std::string& secret, const json& claims, const std::string& kid);
// A token with "alg": "none" and no signature.
std::string unsigned_token(const json& claims);

}  // namespace nexo::sim
