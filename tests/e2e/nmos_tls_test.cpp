// The NMOS node over HTTPS on the simulated board: what a client of each kind gets from the
// handshake, the hrefs the node publishes, certificates renewed on SIGHUP, keys it refuses, and
// registration with an https registry whose certificate it checks.
#include <gtest/gtest.h>
#include <httplib.h>
#include <openssl/err.h>
#include <openssl/ocsp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>

#include "nmos_node.h"
#include "node_fixture.h"
#include "registry.h"
#include "scratch_dir.h"
#include "test_pki.h"
#include "unique_fd.h"
#include "wait_until.h"

namespace {

using nexo::sim::nmos_node;
using nexo::sim::test_ca;
using json = nlohmann::json;
using namespace std::chrono_literals;

constexpr int kPort = 18443;
const std::string kHost = "nexo-board.studio.example";

struct pki {
    scratch_dir scratch;
    std::string dir = scratch.path;
    std::string ca, rsa_cert, rsa_key, ec_cert, ec_key;
    test_ca authority;

    pki() {
        ca = dir + "/ca.pem";
        rsa_cert = dir + "/node-rsa.pem";
        rsa_key = dir + "/node-rsa.key";
        ec_cert = dir + "/node-ec.pem";
        ec_key = dir + "/node-ec.key";
        EXPECT_TRUE(authority.write_ca(ca));
        EXPECT_TRUE(issue(false, 1, rsa_cert, rsa_key));
        EXPECT_TRUE(issue(true, 2, ec_cert, ec_key));
    }
    bool issue(bool ec, long serial, const std::string& cert, const std::string& key) {
        return authority.issue({"DNS:" + kHost, "IP:127.0.0.1"}, ec, serial, cert, key);
    }
    std::vector<std::string> both() const {
        return {"--tls-cert", rsa_cert, "--tls-key", rsa_key,
                "--tls-cert", ec_cert,  "--tls-key", ec_key};
    }
};

// One TLS client connection made by hand, to choose versions and suites as old or odd clients
// do.
struct tls_client {
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    SSL* ssl = nullptr;
    nexo::unique_fd sock;

    ~tls_client() {
        SSL_free(ssl);
        SSL_CTX_free(ctx);
    }
    // True when the handshake completes; the client's own floor is lowered so that refusals
    // are the node's.
    bool connect(int port, int max_version, const char* suites, bool ask_status = false) {
        SSL_CTX_set_security_level(ctx, 0);
        SSL_CTX_set_min_proto_version(ctx, TLS1_VERSION);
        SSL_CTX_set_max_proto_version(ctx, max_version);
        if (suites != nullptr) {
            SSL_CTX_set_cipher_list(ctx, suites);
        }
        sock = nexo::sim::connect_local(port);
        if (!sock.valid()) {
            return false;
        }
        ssl = SSL_new(ctx);
        SSL_set_fd(ssl, sock.get());
        if (ask_status) {
            SSL_set_tlsext_status_type(ssl, TLSEXT_STATUSTYPE_ocsp);
        }
        bool ok = SSL_connect(ssl) == 1;
        ERR_clear_error();
        return ok;
    }
    // Key type of the certificate the node sent ("RSA", "EC") and its serial.
    std::string key_type() const {
        X509* peer = SSL_get1_peer_certificate(ssl);
        std::string t = EVP_PKEY_get_base_id(X509_get0_pubkey(peer)) == EVP_PKEY_EC ? "EC" : "RSA";
        X509_free(peer);
        return t;
    }
    long serial() const {
        X509* peer = SSL_get1_peer_certificate(ssl);
        long s = ASN1_INTEGER_get(X509_get0_serialNumber(peer));
        X509_free(peer);
        return s;
    }
    // The OCSP response the node stapled (DER); "" for none.
    std::string stapled() const {
        const unsigned char* der = nullptr;
        long len = SSL_get_tlsext_status_ocsp_resp(ssl, &der);
        return der != nullptr && len > 0
                   ? std::string(reinterpret_cast<const char*>(der), static_cast<size_t>(len))
                   : "";
    }
    // One HTTP/1.1 request on the connection; the status line of the answer.
    std::string request(const std::string& path) {
        std::string req = "GET " + path + " HTTP/1.1\r\nHost: " + kHost + "\r\n\r\n";
        if (SSL_write(ssl, req.data(), static_cast<int>(req.size())) <= 0) {
            return "";
        }
        // The whole answer, so that the next request starts clean.
        std::string got;
        std::size_t end = std::string::npos, length = 0;
        char buf[4096];
        while (end == std::string::npos || got.size() < end + length) {
            int n = SSL_read(ssl, buf, sizeof buf);
            if (n <= 0) {
                return "";
            }
            got.append(buf, static_cast<size_t>(n));
            if (end == std::string::npos && (end = got.find("\r\n\r\n")) != std::string::npos) {
                end += 4;
                std::size_t cl = got.find("Content-Length: ");
                length = cl < end ? std::stoul(got.substr(cl + 16)) : 0;
            }
        }
        return got.substr(0, got.find("\r\n"));
    }
};

struct nmos_tls : nexo::sim::node_fixture {
    pki files;

    std::unique_ptr<httplib::SSLClient> client() {
        auto c = std::make_unique<httplib::SSLClient>("127.0.0.1", kPort);
        c->set_ca_cert_path(files.ca.c_str());
        c->enable_server_certificate_verification(true);
        c->set_read_timeout(10s);
        return c;
    }
};

struct handshake_case {
    const char* name;
    int max_version;
    const char* suites;  // TLS 1.2 and older; nullptr for the client's defaults
    bool accepted;
    const char* key_type;
};

TEST_F(nmos_tls, serves_https_only_with_the_certificate_each_client_supports) {
    ASSERT_TRUE(b.started());
    ASSERT_TRUE(node.start(kPort, files.both(), -1)) << node.output();
    const handshake_case cases[] = {
        {"TLS 1.3", TLS1_3_VERSION, nullptr, true, nullptr},
        {"TLS 1.2, RSA only", TLS1_2_VERSION, "ECDHE-RSA-AES128-GCM-SHA256", true, "RSA"},
        {"TLS 1.2, ECDSA only", TLS1_2_VERSION, "ECDHE-ECDSA-AES256-GCM-SHA384", true, "EC"},
        {"TLS 1.1", TLS1_1_VERSION, "ALL:@SECLEVEL=0", false, nullptr},
        {"TLS 1.0", TLS1_VERSION, "ALL:@SECLEVEL=0", false, nullptr},
        {"static RSA key exchange", TLS1_2_VERSION, "AES128-GCM-SHA256", false, nullptr},
        {"CBC without forward secrecy", TLS1_2_VERSION, "AES256-SHA256", false, nullptr},
        {"CBC, ECDHE-RSA", TLS1_2_VERSION, "ECDHE-RSA-AES256-SHA384", true, "RSA"},
        {"CBC, ECDHE-ECDSA", TLS1_2_VERSION, "ECDHE-ECDSA-AES128-SHA256", true, "EC"},
        {"CBC, DHE-RSA", TLS1_2_VERSION, "DHE-RSA-AES256-SHA256", true, "RSA"},
        {"CBC with a SHA-1 MAC", TLS1_2_VERSION, "ECDHE-RSA-AES128-SHA", false, nullptr},
    };
    for (const handshake_case& c : cases) {
        SCOPED_TRACE(c.name);
        tls_client t;
        ASSERT_EQ(t.connect(kPort, c.max_version, c.suites), c.accepted);
        if (c.key_type != nullptr) {
            EXPECT_EQ(t.key_type(), c.key_type);
        }
        if (c.accepted) {
            EXPECT_EQ(t.request("/x-nmos/"), "HTTP/1.1 200 OK");
            EXPECT_EQ(SSL_get_current_compression(t.ssl), nullptr);
        }
    }
    // No plain http on the port.
    httplib::Client plain("127.0.0.1", kPort);
    plain.set_read_timeout(5s);
    auto r = plain.Get("/x-nmos/");
    EXPECT_TRUE(!r || r->status != 200);

    // Everything the node publishes points at https, and a verifying client is content.
    auto c = client();
    auto self = c->Get("/x-nmos/node/v1.3/self");
    ASSERT_TRUE(self) << httplib::to_string(self.error());
    EXPECT_EQ(self->get_header_value("Strict-Transport-Security"), "max-age=31536000");
    json node_json = json::parse(self->body);
    EXPECT_EQ(node_json["href"].get<std::string>().rfind("https://", 0), 0u);
    EXPECT_EQ(node_json["api"]["endpoints"][0]["protocol"], "https");
    json devices = json::parse(c->Get("/x-nmos/node/v1.3/devices")->body);
    EXPECT_EQ(devices[0]["controls"][0]["href"].get<std::string>().rfind("https://", 0), 0u);
}

TEST_F(nmos_tls, sighup_renews_the_certificate_and_open_connections_carry_on) {
    ASSERT_TRUE(b.started());
    ASSERT_TRUE(node.start(kPort, {"--tls-cert", files.rsa_cert, "--tls-key", files.rsa_key}))
        << node.output();
    tls_client before;
    ASSERT_TRUE(before.connect(kPort, TLS1_3_VERSION, nullptr));
    EXPECT_EQ(before.serial(), 1);
    EXPECT_EQ(before.request("/x-nmos/"), "HTTP/1.1 200 OK");

    // A broken file on SIGHUP changes nothing.
    ASSERT_EQ(::truncate(files.rsa_cert.c_str(), 10), 0);
    ASSERT_EQ(::kill(node.pid(), SIGHUP), 0);
    wait_until([&] { return node.output().find("keeping the certificates") != std::string::npos; },
               5s);
    tls_client during;
    ASSERT_TRUE(during.connect(kPort, TLS1_3_VERSION, nullptr)) << node.output();
    EXPECT_EQ(during.serial(), 1);

    ASSERT_TRUE(files.issue(false, 7, files.rsa_cert, files.rsa_key));
    ASSERT_EQ(::kill(node.pid(), SIGHUP), 0);
    wait_until([&] { return node.output().find("read again") != std::string::npos; }, 5s);
    tls_client after;
    ASSERT_TRUE(after.connect(kPort, TLS1_3_VERSION, nullptr));
    EXPECT_EQ(after.serial(), 7);
    EXPECT_EQ(before.request("/x-nmos/node/"), "HTTP/1.1 200 OK");
}

TEST_F(nmos_tls, refuses_to_start_with_a_key_it_should_not_use) {
    ASSERT_TRUE(b.started());
    struct {
        const char* name;
        std::string cert, key;
        mode_t mode;
        const char* message;
    } cases[] = {
        {"key readable by the group", files.rsa_cert, files.rsa_key, 0640, "(mode 0640)"},
        {"key readable by all", files.rsa_cert, files.rsa_key, 0644, "readable by other users"},
        {"another certificate's key", files.rsa_cert, files.ec_key, 0600, "not the key of"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(::chmod(c.key.c_str(), c.mode), 0);
        nmos_node n;
        EXPECT_FALSE(n.start(kPort, {"--tls-cert", c.cert, "--tls-key", c.key}));
        EXPECT_NE(n.output().find(c.message), std::string::npos) << n.output();
        ::chmod(c.key.c_str(), 0600);
    }
}

TEST_F(nmos_tls, registers_with_an_https_registry_it_can_verify) {
    ASSERT_TRUE(b.started());
    constexpr int kRegistryPort = 18444;
    const std::string reg_cert = files.dir + "/registry.pem", reg_key = files.dir + "/registry.key";
    ASSERT_TRUE(files.issue(true, 9, reg_cert, reg_key));
    nexo::sim::registry registry(
        {.port = kRegistryPort, .cert_file = reg_cert, .key_file = reg_key});
    ASSERT_TRUE(registry.listening());
    // Without the facility's CA the registry's certificate is not trusted: no registration.
    std::vector<std::string> args = files.both();
    args.insert(args.end(), {"--no-dns-sd", "--registry", registry.url()});
    {
        nmos_node untrusting;
        ASSERT_TRUE(untrusting.start(kPort + 1, args)) << untrusting.output();
        std::this_thread::sleep_for(3s);
        EXPECT_EQ(registry.count("node"), 0);
    }
    args.insert(args.end(), {"--ca", files.ca});
    ASSERT_TRUE(node.start(kPort, args)) << node.output();
    EXPECT_TRUE(wait_until([&] { return registry.count("node") == 1; }, 10s)) << node.output();
}

// Whether `der` is the CA's successful answer that the certificate the client got is good.
bool says_good(const std::string& der, const tls_client& t, const std::string& ca_file) {
    const auto* in = reinterpret_cast<const unsigned char*>(der.data());
    OCSP_RESPONSE* resp = d2i_OCSP_RESPONSE(nullptr, &in, static_cast<long>(der.size()));
    OCSP_BASICRESP* basic = resp != nullptr ? OCSP_response_get1_basic(resp) : nullptr;
    X509* peer = SSL_get1_peer_certificate(t.ssl);
    FILE* f = std::fopen(ca_file.c_str(), "r");
    X509* ca = f != nullptr ? PEM_read_X509(f, nullptr, nullptr, nullptr) : nullptr;
    if (f != nullptr) {
        std::fclose(f);
    }
    X509_STORE* store = X509_STORE_new();
    OCSP_CERTID* id =
        peer != nullptr && ca != nullptr ? OCSP_cert_to_id(nullptr, peer, ca) : nullptr;
    int status = -1;
    bool good =
        basic != nullptr && id != nullptr && X509_STORE_add_cert(store, ca) == 1 &&
        OCSP_basic_verify(basic, nullptr, store, 0) == 1 &&
        OCSP_resp_find_status(basic, id, &status, nullptr, nullptr, nullptr, nullptr) == 1 &&
        status == V_OCSP_CERTSTATUS_GOOD;
    ERR_clear_error();
    OCSP_CERTID_free(id);
    X509_STORE_free(store);
    X509_free(ca);
    X509_free(peer);
    OCSP_BASICRESP_free(basic);
    OCSP_RESPONSE_free(resp);
    return good;
}

TEST_F(nmos_tls, staples_the_ocsp_answer_when_its_certificate_names_a_responder) {
    ASSERT_TRUE(b.started());
    // The CA's responder, counting what it is asked; it answers garbage when told to.
    std::atomic<int> asked{0};
    std::atomic<bool> garbage{false};
    httplib::Server responder;
    responder.Post("/ocsp", [&](const httplib::Request& req, httplib::Response& res) {
        ++asked;
        res.set_content(garbage ? std::string("not DER") : files.authority.ocsp_response(req.body),
                        "application/ocsp-response");
    });
    ASSERT_TRUE(responder.bind_to_port("127.0.0.1", kPort + 5));
    std::thread serving([&] { responder.listen_after_bind(); });
    // The RSA certificate names the responder and carries its chain; the ECDSA one names none.
    ASSERT_TRUE(files.authority.issue({"DNS:" + kHost, "IP:127.0.0.1"}, false, 3, files.rsa_cert,
                                      files.rsa_key,
                                      "http://127.0.0.1:" + std::to_string(kPort + 5) + "/ocsp"));
    {
        std::ifstream ca(files.ca);
        std::ofstream(files.rsa_cert, std::ios::app) << ca.rdbuf();
    }
    ASSERT_TRUE(node.start(kPort, files.both(), -1)) << node.output();
    EXPECT_TRUE(wait_until([&] { return asked.load() >= 1; }, 10s)) << node.output();

    struct status_case {
        const char* name;
        const char* suites;
        bool ask;
        bool stapled;
    };
    const status_case cases[] = {
        {"RSA certificate, status asked for", "ECDHE-RSA-AES128-GCM-SHA256", true, true},
        {"RSA certificate, not asked for", "ECDHE-RSA-AES128-GCM-SHA256", false, false},
        {"ECDSA certificate, no responder", "ECDHE-ECDSA-AES128-GCM-SHA256", true, false},
    };
    for (const status_case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string staple;
        // The first answer may still be on its way.
        wait_until(
            [&] {
                tls_client t;
                EXPECT_TRUE(t.connect(kPort, TLS1_2_VERSION, c.suites, c.ask));
                staple = t.stapled();
                if (!staple.empty()) {
                    EXPECT_TRUE(says_good(staple, t, files.ca));
                }
                return !staple.empty() || !c.stapled;
            },
            10s);
        EXPECT_EQ(!staple.empty(), c.stapled);
    }
    // TLS 1.3 clients get it too.
    tls_client t13;
    ASSERT_TRUE(t13.connect(kPort, TLS1_3_VERSION, nullptr, true));
    if (t13.key_type() == "RSA") {
        EXPECT_FALSE(t13.stapled().empty());
    }

    // What a responder answers in garbage is not stapled, and the node serves on.
    garbage = true;
    node.stop();
    const int before = asked.load();
    nmos_node again;
    ASSERT_TRUE(again.start(kPort, files.both(), -1)) << again.output();
    EXPECT_TRUE(wait_until([&] { return asked.load() > before; }, 10s));
    tls_client t;
    ASSERT_TRUE(t.connect(kPort, TLS1_2_VERSION, "ECDHE-RSA-AES128-GCM-SHA256", true));
    EXPECT_TRUE(t.stapled().empty());
    EXPECT_EQ(t.request("/x-nmos/"), "HTTP/1.1 200 OK");
    responder.stop();
    serving.join();
}

}  // namespace
