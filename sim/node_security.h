// node_security: what the simulated facility hands the board's NMOS node for HTTPS and access
// control — a throwaway CA and the node's certificates, the Authorization Server's public keys,
// and access tokens for a test controller — written to one directory for the node and for
// clients outside the sandbox alike.
#pragma once

#include <string>
#include <vector>

namespace nexo::sim {

// The node's host name in the simulated facility: its certificates and the tokens' audience.
inline constexpr const char* kNodeHostName = "nexo-board.local";
// The issuer the tokens name; its keys are pinned, so it is never asked.
inline constexpr const char* kSimIssuer = "https://auth.nexo-sim.local";

// Writes into `dir` (created if need be): with `tls`, ca.pem and an RSA and an ECDSA
// certificate for kNodeHostName, localhost, 127.0.0.1 and eth1's address (node-rsa.pem/.key,
// node-ec.pem/.key); with `auth`, jwks.json and two tokens valid for a day, controller.token (read
// and write on both APIs) and reader.token (read only). Appends the node's arguments to
// `node_args`. False with `why` when something cannot be made or written.
bool prepare_node_security(const std::string& dir, bool tls, bool auth,
                           std::vector<std::string>* node_args, std::string* why);

}  // namespace nexo::sim
