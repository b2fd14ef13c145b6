#include "host_info.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "interface_addr.h"
#include "unique_fd.h"

namespace nexo::nmos {

std::string host_name() {
    char buf[256] = {};
    if (::gethostname(buf, sizeof buf - 1) != 0 || buf[0] == '\0') {
        return "nexo";
    }
    return buf;
}

std::string host_fqdn() {
    std::string name = host_name();
    addrinfo hints{};
    hints.ai_flags = AI_CANONNAME;
    addrinfo* res = nullptr;
    if (::getaddrinfo(name.c_str(), nullptr, &hints, &res) != 0) {
        return name;
    }
    if (res->ai_canonname != nullptr && std::strchr(res->ai_canonname, '.') != nullptr) {
        name = res->ai_canonname;
    }
    ::freeaddrinfo(res);
    return name;
}

std::string interface_ipv4(const std::string& ifname) {
    return client::interface_ipv4(ifname);
}

std::string interface_mac(const std::string& ifname) {
    unique_fd sock(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    ifreq req{};
    if (!sock.valid() || ifname.size() >= sizeof req.ifr_name) {
        return "";
    }
    std::memcpy(req.ifr_name, ifname.c_str(), ifname.size());
    if (::ioctl(sock.get(), SIOCGIFHWADDR, &req) != 0) {
        return "";
    }
    const auto* b = reinterpret_cast<const unsigned char*>(req.ifr_hwaddr.sa_data);
    char text[18];
    std::snprintf(text, sizeof text, "%02x-%02x-%02x-%02x-%02x-%02x", b[0], b[1], b[2], b[3], b[4],
                  b[5]);
    return text;
}

}  // namespace nexo::nmos
