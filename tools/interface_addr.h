// The IPv4 address of a network interface, for programs that describe the board to others.
#pragma once

#include <string>

namespace nexo::client {

// Dotted IPv4 address of the interface, "" when it has none or does not exist.
std::string interface_ipv4(const std::string& ifname);

}  // namespace nexo::client
