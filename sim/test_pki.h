// test_pki: a throwaway certificate authority for the simulated facility, and the certificates
// it issues to the board's node and to stand-in servers. Keys are made fresh every time and
// written with mode 0600; nothing of it is meant to outlive the session.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace nexo::sim {

class test_ca {
  public:
    // A new CA key (ECDSA P-256) and self-signed certificate. Throws std::runtime_error when
    // OpenSSL cannot make them.
    test_ca();
    ~test_ca();
    test_ca(const test_ca&) = delete;
    test_ca& operator=(const test_ca&) = delete;

    // Writes the CA certificate (PEM) to `path`; false when it cannot be written.
    bool write_ca(const std::string& path) const;
    // Issues a server certificate for `names` ("DNS:host", "IP:192.0.2.10", …) with a fresh
    // key (`ec`: ECDSA P-256, else RSA 2048) and writes certificate and key (mode 0600).
    // `serial` tells the certificates apart. False when a file cannot be written.
    // With `ocsp_url`, the certificate names that OCSP responder.
    bool issue(const std::vector<std::string>& names, bool ec, long serial,
               const std::string& cert_path, const std::string& key_path,
               const std::string& ocsp_url = "") const;
    // The CA's OCSP response (DER) to a request (DER): every certificate asked about is good,
    // or revoked with `revoked`, until an hour from now. "" when the request does not parse.
    std::string ocsp_response(const std::string& request, bool revoked = false) const;

  private:
    struct impl;
    std::unique_ptr<impl> p_;
};

}  // namespace nexo::sim
