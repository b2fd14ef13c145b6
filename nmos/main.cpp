// nexo-nmos: the board as a networked media node. Serves the discovery and connection APIs for
// the twelve receive channels, drives the daemon through its control pipes, and registers with
// a registry given on the command line or announced by DNS-SD; without one it announces itself
// for peer-to-peer discovery.
#include <signal.h>

#include <CLI/CLI.hpp>
#include <atomic>
#include <cstdio>
#include <memory>
#include <optional>
#include <thread>

#include "board_control.h"
#include "connection.h"
#include "control_link.h"
#include "dns_sd.h"
#include "host_info.h"
#include "http_api.h"
#include "registration.h"
#include "resources.h"
#include "transport_file.h"

using namespace nexo::nmos;

namespace {

volatile sig_atomic_t quit = 0;

void on_signal(int) {
    quit = 1;
}

// Until the daemon answers, the interface is the board's usual one.
std::string ask_interface(board_control& b) {
    try {
        return b.interface_name();
    } catch (const std::exception&) {
        return "eth1";
    }
}

clock_state read_clock(board_control& b) {
    clock_state c;
    try {
        c.gmid = clock_identity_to_gmid(b.ptp_value("PTP_CLK_ID"));
        c.locked = b.ptp_value("PTP_LOCK_STATE") == "LOCKED";
    } catch (const std::exception&) {
    }
    return c;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"NMOS node of the nexo board: discovery and connection APIs for its receivers."};
    int port = 3212;
    std::string pipes = "/var/run";
    std::string bind_host = "0.0.0.0";
    std::string api_host;
    std::string label;
    std::vector<std::string> registries;
    bool no_dns_sd = false;
    manifest_sources manifests;
    app.add_option("-p,--port", port, "HTTP port of both APIs (default 3212)")
        ->check(CLI::Range(1, 65535));
    app.add_option("--pipes", pipes, "directory of the daemon's control pipes (default /var/run)");
    app.add_option("--bind", bind_host, "address to listen on (default all)");
    app.add_option("--host", api_host, "address the APIs are advertised on (default eth1's)");
    app.add_option("--label", label, "label of the node (default the host name)");
    app.add_option("--registry", registries,
                   "registry base URL, e.g. http://10.0.0.5:8235; repeat in order of priority");
    app.add_flag("--no-dns-sd", no_dns_sd,
                 "neither browse for registries nor announce the node (Avahi)");
    app.add_option("--manifest-from", manifests.allowed,
                   "network (a.b.c.d/n), address or host name a target PUT's manifest_href may be "
                   "fetched from; repeat for more (default: none, manifest_href is refused)")
        ->check([](const std::string& entry) { return manifest_sources::check(entry); });
    CLI11_PARSE(app, argc, argv);

    pipe_control_link link(pipes);
    board_control b(link);

    node_identity id;
    id.hostname = host_name();
    id.label = label.empty() ? id.hostname : label;
    id.ifname = ask_interface(b);
    id.ip = interface_ipv4(id.ifname);
    id.mac = interface_mac(id.ifname);
    id.api_host = api_host;
    id.port = port;
    if (id.mac.empty()) {
        std::fprintf(stderr, "nexo-nmos: %s has no MAC address; is it there?\n", id.ifname.c_str());
        return 1;
    }

    timespec ts{};
    ::clock_gettime(CLOCK_TAI, &ts);
    tai_time start{ts.tv_sec, static_cast<std::uint32_t>(ts.tv_nsec)};
    try {
        start = b.ptp_time();
    } catch (const std::exception&) {
    }
    resources res(id, receiver_caps, start);
    std::string ifname = id.ifname;
    connection conn(b, res, [ifname] { return interface_ipv4(ifname); });
    res.set_clock(read_clock(b), conn.now_for_version());

    // Discovery first, so that the registration can ask it; it reaches the registration only
    // through `reg`, set once both exist.
    std::atomic<registration*> reg_ptr{nullptr};
    std::unique_ptr<dns_sd> discovery;
    if (!no_dns_sd) {
        discovery =
            std::make_unique<dns_sd>(id.label, static_cast<std::uint16_t>(port), [&reg_ptr] {
                if (registration* r = reg_ptr.load()) {
                    r->registries_changed();
                }
            });
    }
    std::unique_ptr<registration> reg;
    if (!registries.empty() || discovery) {
        registration::sources from;
        from.fixed = registries;
        if (discovery) {
            dns_sd* d = discovery.get();
            from.discovered = [d] { return d->registries(); };
            from.on_state = [d](bool registered) { d->set_peer_to_peer(!registered); };
        }
        reg = std::make_unique<registration>(res, std::move(from));
        reg_ptr = reg.get();
    }
    res.on_change([&reg, &discovery](resource_type t, std::size_t i) {
        if (reg) {
            reg->changed(t, i);
        }
        if (discovery) {
            discovery->changed(t);
        }
    });

    api_router router(res, conn);
    router.set_manifest_sources(std::move(manifests));
    http_server server(router);
    if (!server.bind(bind_host, port)) {
        std::fprintf(stderr, "nexo-nmos: cannot listen on %s:%d\n", bind_host.c_str(), port);
        return 1;
    }

    struct sigaction sa {};
    sa.sa_handler = on_signal;
    ::sigaction(SIGTERM, &sa, nullptr);
    ::sigaction(SIGINT, &sa, nullptr);
    ::signal(SIGPIPE, SIG_IGN);

    std::thread serving([&server] { server.listen(); });
    std::fprintf(stderr, "nexo-nmos: node %s serving on port %d\n", res.node_id().c_str(), port);
    // Housekeeping: the clock's state follows the timing daemon.
    int ticks = 0;
    while (quit == 0) {
        ::usleep(100000);
        if (++ticks % 50 == 0) {
            res.set_clock(read_clock(b), conn.now_for_version());
            conn.follow_channels();
        }
    }
    // The producers stop first: no request and no scheduled activation reaches the
    // registration or the discovery once they begin to go away.
    server.stop();
    serving.join();
    conn.stop();
    // The discovery thread stops calling into the registration before the registration goes;
    // the registration, which asks the discovery, goes before the discovery.
    if (discovery) {
        discovery->detach();
    }
    reg_ptr = nullptr;
    reg.reset();
    discovery.reset();
    std::fprintf(stderr, "nexo-nmos: stopped\n");
    return 0;
}
