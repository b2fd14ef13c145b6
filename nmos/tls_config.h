// tls_config: the node's HTTPS — its certificates and private keys (an RSA and an ECDSA one may
// be offered side by side; each client gets the one it supports), the protocol versions and
// cipher suites it accepts, and the re-reading of certificate and key files without a restart.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct ssl_ctx_st;
struct ssl_st;

namespace nexo::nmos {

struct tls_pair {
    std::string cert_file;  // PEM: the certificate, then its chain
    std::string key_file;   // PEM private key, readable by the node's user only
};

class tls_config {
  public:
    explicit tls_config(std::vector<tls_pair> pairs);
    ~tls_config();

    // Reads every pair. False with `why` when a file cannot be read, a key file is readable by
    // group or others, or a key does not belong to its certificate; the pairs read before stay.
    bool load(std::string* why);

    // Prepares a server context: TLS 1.2 and 1.3 only, forward-secret AEAD suites, no
    // renegotiation, no compression; each handshake takes the pairs of the latest load(), so
    // connections already open keep theirs.
    bool setup(ssl_ctx_st& ctx);

  private:
    struct loaded;
    static int on_certificate(ssl_st* ssl, void* self);
    std::shared_ptr<const loaded> current() const;

    std::vector<tls_pair> pairs_;
    mutable std::mutex mu_;
    std::shared_ptr<const loaded> current_;
};

}  // namespace nexo::nmos
