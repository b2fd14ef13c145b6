#include "mdns_responder.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "sandbox.h"

namespace nexo::sim {

namespace {

using namespace std::chrono_literals;

constexpr const char* kDir = "/run/nexo-mdns";

// A bus that anyone in the sandbox may use: the sandbox itself is the boundary.
constexpr const char* kBusConfig = R"(<!DOCTYPE busconfig PUBLIC
 "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=/run/dbus/system_bus_socket</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_type="method_call"/>
    <allow send_type="signal"/>
    <allow send_type="method_return"/>
    <allow send_type="error"/>
    <allow receive_type="method_call"/>
    <allow receive_type="signal"/>
    <allow receive_type="method_return"/>
    <allow receive_type="error"/>
  </policy>
</busconfig>
)";

// IPv4 on eth1 only (no AAAA record either: a service would otherwise resolve to eth1's
// link-local IPv6 address as often as to its IPv4 one), no rate limit in the way of tests,
// nothing announced but what is asked.
constexpr const char* kAvahiConfig = R"([server]
use-ipv4=yes
use-ipv6=no
allow-interfaces=eth1
ratelimit-interval-usec=1000000
ratelimit-burst=1000
[wide-area]
enable-wide-area=no
[publish]
publish-hinfo=no
publish-workstation=no
publish-aaaa-on-ipv4=no
)";

bool write_text(const std::string& path, const char* text) {
    FILE* f = std::fopen(path.c_str(), "w");
    if (f == nullptr) {
        return false;
    }
    bool ok = std::fputs(text, f) >= 0;
    return std::fclose(f) == 0 && ok;
}

template <typename Pred>
bool wait_for(Pred pred, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= end) {
            return false;
        }
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

// avahi-browse escapes names as \DDD (decimal) and TXT strings with a backslash.
std::string unescape(const std::string& s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 3 < s.size() &&
            std::isdigit(static_cast<unsigned char>(s[i + 1])) &&
            std::isdigit(static_cast<unsigned char>(s[i + 2])) &&
            std::isdigit(static_cast<unsigned char>(s[i + 3]))) {
            out += static_cast<char>(std::atoi(s.substr(i + 1, 3).c_str()));
            i += 3;
        } else if (s[i] == '\\' && i + 1 < s.size()) {
            out += s[++i];
        } else {
            out += s[i];
        }
    }
    return out;
}

std::vector<std::string> split_fields(const std::string& line) {
    std::vector<std::string> fields;
    std::string cur;
    for (std::size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '\\' && i + 1 < line.size()) {
            cur += line[i];
            cur += line[++i];
        } else if (line[i] == ';' && fields.size() < 9) {
            fields.push_back(cur);
            cur.clear();
        } else {
            cur += line[i];
        }
    }
    fields.push_back(cur);
    return fields;
}

// "a=1" "b=2": the quoted strings, unescaped.
std::vector<std::string> split_txt(const std::string& s) {
    std::vector<std::string> txt;
    std::string cur;
    bool quoted = false;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (!quoted) {
            if (s[i] == '"') {
                quoted = true;
                cur.clear();
            }
        } else if (s[i] == '\\' && i + 1 < s.size()) {
            cur += s[++i];
        } else if (s[i] == '"') {
            quoted = false;
            txt.push_back(cur);
        } else {
            cur += s[i];
        }
    }
    return txt;
}

}  // namespace

std::vector<mdns_service> parse_browse(const std::string& text) {
    std::vector<mdns_service> found;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        if (line.rfind("=;", 0) != 0) {
            continue;
        }
        // =;iface;proto;name;type;domain;host;address;port;txt
        std::vector<std::string> f = split_fields(line);
        if (f.size() != 10) {
            continue;
        }
        mdns_service s;
        s.name = unescape(f[3]);
        s.address = f[7];
        s.port = static_cast<std::uint16_t>(std::atoi(f[8].c_str()));
        s.txt = split_txt(f[9]);
        found.push_back(std::move(s));
    }
    return found;
}

mdns_responder::~mdns_responder() {
    stop();
}

bool mdns_responder::start() {
    if (!in_sandbox()) {
        return false;
    }
    ::mkdir(kDir, 0755);
    ::mkdir("/run/dbus", 0755);
    ::mkdir("/run/avahi-daemon", 0755);
    const std::string dir = kDir;
    if (!write_text(dir + "/bus.conf", kBusConfig) ||
        !write_text(dir + "/avahi.conf", kAvahiConfig)) {
        return false;
    }
    bus_ = spawn({"dbus-daemon", "--nofork", "--nopidfile", "--config-file=" + dir + "/bus.conf"},
                 dir + "/bus.log");
    if (bus_ < 0 ||
        !wait_for([] { return ::access("/run/dbus/system_bus_socket", F_OK) == 0; }, 5s)) {
        stop();
        return false;
    }
    avahi_ = spawn({"avahi-daemon", "-f", dir + "/avahi.conf", "--no-drop-root", "--no-chroot",
                    "--no-rlimits", "--no-proc-title"},
                   dir + "/avahi.log");
    // Running once it has claimed its host name on eth1.
    if (avahi_ < 0 || !wait_for(
                          [] {
                              return read_file(std::string(kDir) + "/avahi.log")
                                         .find("Server startup complete") != std::string::npos;
                          },
                          10s)) {
        stop();
        return false;
    }
    return true;
}

void mdns_responder::stop() {
    for (pid_t p : announcements_) {
        end_child(p, SIGTERM, 1s);
    }
    announcements_.clear();
    if (avahi_ > 0) {
        end_child(avahi_, SIGTERM, 3s);
        avahi_ = -1;
    }
    if (bus_ > 0) {
        end_child(bus_, SIGTERM, 1s);
        bus_ = -1;
        ::unlink("/run/dbus/system_bus_socket");
    }
}

int mdns_responder::announce(const std::string& name, const std::string& type, std::uint16_t port,
                             const std::vector<std::string>& txt) {
    const int handle = static_cast<int>(announcements_.size());
    const std::string log = std::string(kDir) + "/announce-" + std::to_string(handle) + ".log";
    std::vector<std::string> argv = {"avahi-publish", "-s", name, type, std::to_string(port)};
    argv.insert(argv.end(), txt.begin(), txt.end());
    pid_t pid = spawn(argv, log);
    if (pid < 0) {
        return -1;
    }
    announcements_.push_back(pid);
    if (!wait_for([&log] { return read_file(log).find("Established") != std::string::npos; }, 5s)) {
        withdraw(handle);
        return -1;
    }
    return handle;
}

void mdns_responder::withdraw(int handle) {
    if (handle >= 0 && static_cast<std::size_t>(handle) < announcements_.size() &&
        announcements_[static_cast<std::size_t>(handle)] > 0) {
        end_child(announcements_[static_cast<std::size_t>(handle)], SIGTERM, 1s);
        announcements_[static_cast<std::size_t>(handle)] = -1;
    }
}

std::vector<mdns_service> mdns_responder::browse(const std::string& type) const {
    std::string out;
    if (run({"avahi-browse", "-p", "-r", "-t", type}, &out) != 0) {
        return {};
    }
    return parse_browse(out);
}

std::string mdns_responder::log() const {
    return read_file(std::string(kDir) + "/bus.log") + read_file(std::string(kDir) + "/avahi.log");
}

}  // namespace nexo::sim
