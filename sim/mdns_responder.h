// mdns_responder: the board's Avahi daemon, on a message bus of its own, inside the sandbox
// (whose /run is private), announcing on eth1. It lets tests and nexo-sim announce services
// as a registry on the network would, and see what the board announces.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace nexo::sim {

// One resolved announcement, as avahi-browse reports it.
struct mdns_service {
    std::string name;
    std::string address;
    std::uint16_t port = 0;
    std::vector<std::string> txt;  // "key=value"
};

class mdns_responder {
  public:
    mdns_responder() = default;
    ~mdns_responder();  // withdraws every announcement and stops both daemons
    mdns_responder(const mdns_responder&) = delete;
    mdns_responder& operator=(const mdns_responder&) = delete;

    // Starts dbus-daemon and avahi-daemon; true once Avahi answers. Needs the sandbox.
    bool start();
    // Stops Avahi (and its bus), as when the daemon goes away on a board.
    void stop();
    bool running() const { return avahi_ > 0; }

    // Announces a service on this host until withdraw(); returns a handle, or -1.
    int announce(const std::string& name, const std::string& type, std::uint16_t port,
                 const std::vector<std::string>& txt);
    void withdraw(int handle);

    // The services of `type` resolved now (waits for the answers of one browse).
    std::vector<mdns_service> browse(const std::string& type) const;

    std::string log() const;  // what both daemons wrote

  private:
    pid_t bus_ = -1;
    pid_t avahi_ = -1;
    std::vector<pid_t> announcements_;
};

// Parses avahi-browse's parsable output (-p -r): the resolved ("=") lines, TXT unquoted.
std::vector<mdns_service> parse_browse(const std::string& text);

}  // namespace nexo::sim
