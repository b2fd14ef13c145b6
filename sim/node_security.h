// node_security: what the simulated facility hands the board's NMOS node for HTTPS and access
// control — a throwaway CA and the node's certificates, and a stand-in Authorization Server
// with a test controller's client credentials — with the files written to one directory for
// the node and for clients outside the sandbox alike.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "auth_server.h"

namespace nexo::sim {

// The node's host name in the simulated facility: its certificates and the tokens' audience.
inline constexpr const char* kNodeHostName = "nexo-board.local";

struct node_security {
    std::vector<std::string> node_args;  // for nexo-nmos
    std::string controller_secret;       // client test-controller: read and write
    std::string reader_secret;           // client test-reader: read only
    int auth_port = 0;                   // the stand-in server's port, 0 without one
};

// Writes into `dir` (created if need be): with `tls`, ca.pem and an RSA and an ECDSA
// certificate for kNodeHostName, localhost, 127.0.0.1 and eth1's address (node-rsa.pem/.key,
// node-ec.pem/.key, keys mode 0600); with `auth_port`, the secrets of the test controller's
// two clients (controller.secret, reader.secret, mode 0600), and the node's arguments for a
// stand-in server on kHostAddr:auth_port. False with `why` when something cannot be made or
// written.
bool prepare_node_security(const std::string& dir, bool tls, int auth_port, node_security* out,
                           std::string* why);

// The stand-in Authorization Server of `sec` at the far end of the wire (the "nexo-host"
// namespace, kHostAddr), with the two clients; tokens live an hour. nullptr when it cannot
// listen.
std::unique_ptr<auth_server> start_auth_server(const node_security& sec);

}  // namespace nexo::sim
