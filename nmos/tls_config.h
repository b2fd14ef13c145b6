// tls_config: the node's HTTPS — its certificates and private keys (an RSA and an ECDSA one may
// be offered side by side; each client gets the one it supports), the protocol versions and
// cipher suites it accepts, the re-reading of certificate and key files without a restart, and
// OCSP stapling: a certificate that names an OCSP responder has the responder's answer about
// it fetched in the background and sent along in each handshake that asks for it.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
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
    ~tls_config();  // stops the OCSP fetches
    tls_config(const tls_config&) = delete;
    tls_config& operator=(const tls_config&) = delete;

    // Reads every pair. False with `why` when a file cannot be read, a key file is readable by
    // group or others, or a key does not belong to its certificate; the pairs read before stay.
    bool load(std::string* why);

    // Prepares a server context: TLS 1.2 and 1.3 only, forward-secret suites, no
    // renegotiation, no compression; each handshake takes the pairs of the latest load(), so
    // connections already open keep theirs, and the OCSP answer fetched for its certificate.
    bool setup(ssl_ctx_st& ctx);

  private:
    struct loaded;
    static int on_certificate(ssl_st* ssl, void* self);
    static int on_status(ssl_st* ssl, void* self);
    std::shared_ptr<const loaded> current() const;
    void stapling();

    std::vector<tls_pair> pairs_;
    mutable std::mutex mu_;
    std::shared_ptr<const loaded> current_;
    std::condition_variable wake_;  // a load, or the end
    bool stop_ = false;
    std::thread stapler_;
};

}  // namespace nexo::nmos
