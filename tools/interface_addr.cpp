#include "interface_addr.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>

namespace nexo::client {

std::string interface_ipv4(const std::string& ifname) {
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) {
        return "";
    }
    std::string found;
    for (ifaddrs* a = list; a != nullptr; a = a->ifa_next) {
        if (a->ifa_addr != nullptr && a->ifa_addr->sa_family == AF_INET && ifname == a->ifa_name) {
            char text[INET_ADDRSTRLEN] = {};
            auto* in = reinterpret_cast<sockaddr_in*>(a->ifa_addr);
            if (::inet_ntop(AF_INET, &in->sin_addr, text, sizeof text) != nullptr) {
                found = text;
                break;
            }
        }
    }
    ::freeifaddrs(list);
    return found;
}

}  // namespace nexo::client
