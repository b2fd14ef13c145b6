#include "node_security.h"

#include <openssl/rand.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <fstream>

#include "sandbox.h"
#include "test_pki.h"
#include "token_signer.h"

namespace nexo::sim {

namespace {

// Secrets, like keys, are for their owner only.
bool write_secret(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::trunc);
    out << text << '\n';
    out.close();
    return static_cast<bool>(out) && ::chmod(path.c_str(), 0600) == 0;
}

std::string new_secret() {
    std::string raw(24, '\0');
    RAND_bytes(reinterpret_cast<unsigned char*>(raw.data()), static_cast<int>(raw.size()));
    return base64url(raw);
}

json rights(bool write) {
    json r = {{"read", {"*"}}};
    if (write) {
        r["write"] = {"*"};
    }
    return {{"x-nmos-node", r}, {"x-nmos-connection", r}, {"x-nmos-ncp", r}};
}

}  // namespace

bool prepare_node_security(const std::string& dir, bool tls, int auth_port, node_security* out,
                           std::string* why) {
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
            out->node_args.insert(out->node_args.end(),
                                  {"--tls-cert", dir + "/node-rsa.pem", "--tls-key",
                                   dir + "/node-rsa.key", "--tls-cert", dir + "/node-ec.pem",
                                   "--tls-key", dir + "/node-ec.key", "--ca", dir + "/ca.pem"});
        }
    } catch (const std::exception& e) {
        *why = e.what();
        return false;
    }
    if (auth_port != 0) {
        out->auth_port = auth_port;
        out->controller_secret = new_secret();
        out->reader_secret = new_secret();
        if (!write_secret(dir + "/controller.secret", out->controller_secret) ||
            !write_secret(dir + "/reader.secret", out->reader_secret)) {
            *why = dir + ": cannot write the client secrets";
            return false;
        }
        out->node_args.insert(
            out->node_args.end(),
            {"--auth", "--auth-server",
             std::string("http://") + kHostAddr + ":" + std::to_string(auth_port), "--hostname",
             kNodeHostName, "--auth-state", dir + "/node-client.json"});
    }
    return true;
}

std::unique_ptr<auth_server> start_auth_server(const node_security& sec) {
    // Where a facility's would be: across the wire, not on the board.
    std::unique_ptr<auth_server> as;
    if (!on_host_thread([&] {
            as = std::make_unique<auth_server>(kHostAddr, sec.auth_port, kNodeHostName,
                                               std::chrono::hours(1));
        }) ||
        !as->listening()) {
        return nullptr;
    }
    as->add_client("test-controller", sec.controller_secret, rights(true));
    as->add_client("test-reader", sec.reader_secret, rights(false));
    return as;
}

}  // namespace nexo::sim
