// host_info: what the node learns about its host from the kernel — the host name and a network
// interface's IPv4 address and MAC.
#pragma once

#include <string>

namespace nexo::nmos {

std::string host_name();
// The host's fully qualified name as the resolver knows it; host_name() when it knows none.
std::string host_fqdn();
// Dotted IPv4 address of the interface, "" when it has none or does not exist.
std::string interface_ipv4(const std::string& ifname);
// MAC as "aa-bb-cc-dd-ee-ff", "" when unknown.
std::string interface_mac(const std::string& ifname);

}  // namespace nexo::nmos
