#include "node_security.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fstream>
#include <nlohmann/json.hpp>

#include "sandbox.h"
#include "test_pki.h"
#include "token_signer.h"

namespace nexo::sim {

namespace {

// Tokens are bearer secrets: mode 0600, like keys.
bool write_text(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::trunc);
    out << text << '\n';
    out.close();
    return static_cast<bool>(out) && ::chmod(path.c_str(), 0600) == 0;
}

}  // namespace

bool prepare_node_security(const std::string& dir, bool tls, bool auth,
                           std::vector<std::string>* node_args, std::string* why) {
    if (::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
        *why = dir + ": " + std::strerror(errno);
        return false;
    }
    try {
        if (tls) {
            test_ca ca;
            const std::vector<std::string> names = {std::string("DNS:") + kNodeHostName,
                                                    "DNS:localhost", "IP:127.0.0.1",
                                                    std::string("IP:") + kEth1Addr};
            if (!ca.write_ca(dir + "/ca.pem") ||
                !ca.issue(names, false, 1, dir + "/node-rsa.pem", dir + "/node-rsa.key") ||
                !ca.issue(names, true, 2, dir + "/node-ec.pem", dir + "/node-ec.key")) {
                *why = dir + ": cannot write the certificates";
                return false;
            }
            node_args->insert(node_args->end(),
                              {"--tls-cert", dir + "/node-rsa.pem", "--tls-key",
                               dir + "/node-rsa.key", "--tls-cert", dir + "/node-ec.pem",
                               "--tls-key", dir + "/node-ec.key", "--ca", dir + "/ca.pem"});
        }
        if (auth) {
            signing_key key = signing_key::rsa("nexo-sim-1");
            const std::int64_t now = std::time(nullptr);
            auto token = [&](bool write) {
                json rights = {{"read", {"*"}}};
                if (write) {
                    rights["write"] = {"*"};
                }
                return key.sign("RS512", {{"iss", kSimIssuer},
                                          {"sub", "test-controller"},
                                          {"aud", kNodeHostName},
                                          {"client_id", "test-controller"},
                                          {"scope", "node connection"},
                                          {"iat", now},
                                          {"exp", now + 86400},
                                          {"x-nmos-node", rights},
                                          {"x-nmos-connection", rights}});
            };
            if (!write_text(dir + "/jwks.json", json{{"keys", {key.jwk()}}}.dump()) ||
                !write_text(dir + "/controller.token", token(true)) ||
                !write_text(dir + "/reader.token", token(false))) {
                *why = dir + ": cannot write the keys and tokens";
                return false;
            }
            node_args->insert(node_args->end(),
                              {"--auth", "--auth-server", kSimIssuer, "--auth-jwks",
                               dir + "/jwks.json", "--hostname", kNodeHostName});
        }
    } catch (const std::exception& e) {
        *why = e.what();
        return false;
    }
    return true;
}

}  // namespace nexo::sim
