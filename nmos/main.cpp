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

#include "auth.h"
#include "board_control.h"
#include "connection.h"
#include "control_link.h"
#include "dns_sd.h"
#include "host_info.h"
#include "http_api.h"
#include "ncp_service.h"
#include "registration.h"
#include "resources.h"
#include "tls_config.h"
#include "transport_file.h"

using namespace nexo::nmos;

namespace {

volatile sig_atomic_t quit = 0;
volatile sig_atomic_t reread_tls = 0;

void on_signal(int) {
    quit = 1;
}

void on_hangup(int) {
    reread_tls = 1;
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
    node_identity id;
    id.manufacturer = "nexo";
    id.product = "nexo ST 2110 receiver board";
    id.function = "ST 2110 receiver";
    bool need_auth = false;
    auth::settings auth_settings;
    auth_settings.audience = host_fqdn();
    manifest_sources manifests;
    int ncp_port = 3213;
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
    app.add_option("--manufacturer", id.manufacturer, "asset tag: manufacturer (default nexo)");
    app.add_option("--product", id.product, "asset tag: product name");
    app.add_option("--instance-id", id.instance_id,
                   "asset tag: serial number or other instance id (default eth1's MAC)");
    app.add_option("--function", id.function, "asset tag: what the device does in the facility");
    app.set_version_flag("--version", "nexo-nmos " NEXO_VERSION);
    // The service reads its settings from a file of `option = value` lines named after the
    // long options; the command line wins over the file. A misspelt key stops the start.
    app.set_config("--config", "", "read options from this file (e.g. /etc/nexo/nmos.conf)");
    app.allow_config_extras(CLI::config_extras_mode::error);
    app.add_flag("--auth", need_auth, "require an access token on every request");
    app.add_option("--auth-server", auth_settings.issuers,
                   "issuer URL of an Authorization Server the node trusts (its keys come from its "
                   "metadata); repeat for more, the first is asked for the node's own tokens "
                   "(default: found by DNS-SD)");
    app.add_option("--auth-jwks", auth_settings.jwks_file,
                   "JWK Set file of the server's keys, used instead of fetching them")
        ->check(CLI::ExistingFile);
    app.add_option("--hostname", auth_settings.audience,
                   "the node's host name, which tokens must name as audience (default the FQDN)");
    app.add_option("--ca", auth_settings.ca_file,
                   "trust anchors (PEM) for https servers (default the system's)")
        ->check(CLI::ExistingFile);
    auth::client_settings client;
    client.state_file = "/var/lib/nexo-nmos/auth-client.json";
    app.add_option("--client-id", client.client_id,
                   "the node's client at the Authorization Server (default: register one)");
    app.add_option("--client-secret-file", client.client_secret_file,
                   "file holding the secret of --client-id")
        ->check(CLI::ExistingFile)
        ->needs("--client-id");
    app.add_option("--auth-state", client.state_file,
                   "where a registered client's credentials are kept (mode 0600; default "
                   "/var/lib/nexo-nmos/auth-client.json)");
    std::vector<std::string> tls_certs, tls_keys;
    app.add_option("--tls-cert", tls_certs,
                   "certificate (PEM, with its chain) to serve https with; repeat for RSA and "
                   "ECDSA, each with its --tls-key")
        ->check(CLI::ExistingFile);
    app.add_option("--tls-key", tls_keys, "private key (PEM) of the --tls-cert in the same place")
        ->check(CLI::ExistingFile);
    app.add_option("--manifest-from", manifests.allowed,
                   "network (a.b.c.d/n), address or host name a target PUT's manifest_href may be "
                   "fetched from; repeat for more (default: none, manifest_href is refused)")
        ->check([](const std::string& entry) { return manifest_sources::check(entry); });
    app.add_option("--ncp-port", ncp_port,
                   "WebSocket port of the control protocol and the receiver monitors (default "
                   "3213; 0 leaves it out)")
        ->check(CLI::Range(0, 65535));
    CLI11_PARSE(app, argc, argv);
    if (tls_certs.size() != tls_keys.size()) {
        std::fprintf(stderr, "nexo-nmos: each --tls-cert needs its --tls-key\n");
        return 1;
    }
    std::vector<tls_pair> pairs;
    for (std::size_t i = 0; i < tls_certs.size(); ++i) {
        pairs.push_back({tls_certs[i], tls_keys[i]});
    }
    tls_config tls(pairs);
    if (std::string why; !pairs.empty() && !tls.load(&why)) {
        std::fprintf(stderr, "nexo-nmos: %s\n", why.c_str());
        return 1;
    }
    if (need_auth && auth_settings.issuers.empty() &&
        (no_dns_sd || !auth_settings.jwks_file.empty())) {
        std::fprintf(stderr,
                     "nexo-nmos: --auth needs --auth-server (the tokens' issuer), or "
                     "DNS-SD to find one\n");
        return 1;
    }
    auth::gate access(auth_settings);
    if (std::string why; need_auth && !access.start(&why)) {
        std::fprintf(stderr, "nexo-nmos: %s\n", why.c_str());
        return 1;
    }

    pipe_control_link pipes_link(pipes);
    // The requests' exchanges go first; the monitors' poller fills the quiet spells.
    ncp::yielding_link link(pipes_link);
    board_control b(link.foreground());

    id.hostname = host_name();
    id.label = label.empty() ? id.hostname : label;
    id.ifname = ask_interface(b);
    id.ip = interface_ipv4(id.ifname);
    id.mac = interface_mac(id.ifname);
    id.api_host = api_host;
    id.port = port;
    id.tls = !pairs.empty();
    id.auth = need_auth;
    id.ncp_port = ncp_port;
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
        discovery = std::make_unique<dns_sd>(
            id.label, static_cast<std::uint16_t>(port),
            [&reg_ptr] {
                if (registration* r = reg_ptr.load()) {
                    r->registries_changed();
                }
            },
            api_security{id.tls, id.auth});
        // Servers found on the network are trusted only when none is configured.
        if (need_auth && auth_settings.issuers.empty()) {
            discovery->on_auth_servers(
                [&access](const std::vector<std::string>& found) { access.set_discovered(found); });
        }
    }
    std::unique_ptr<registration> reg;
    if (!registries.empty() || discovery) {
        registration::sources from;
        from.fixed = registries;
        from.ca_file = auth_settings.ca_file;
        if (need_auth) {
            // The configured servers, else those found on the network.
            client.issuers = [fixed = auth_settings.issuers, d = discovery.get()] {
                return fixed.empty() && d != nullptr ? d->auth_servers() : fixed;
            };
            client.ca_file = auth_settings.ca_file;
            client.client_name = "nexo-nmos " + id.hostname;
            auto tokens = std::make_shared<auth::token_source>(client);
            from.token = [tokens] { return tokens->token(); };
            from.token_refused = [tokens] { tokens->refused(); };
        }
        if (discovery) {
            dns_sd* d = discovery.get();
            from.discovered = [d] { return d->registries(); };
            from.on_state = [d](bool registered) { d->set_peer_to_peer(!registered); };
        }
        reg = std::make_unique<registration>(res, std::move(from));
        reg_ptr = reg.get();
    }
    std::unique_ptr<ncp::service> control;
    res.on_change([&reg, &discovery, &control](resource_type t, std::size_t i) {
        if (reg) {
            reg->changed(t, i);
        }
        // A receiver's subscription moves on every activation.
        if (control && t == resource_type::receiver) {
            control->activated(i);
        }
        if (discovery) {
            discovery->changed(t);
        }
    });

    // The control endpoint first: it takes a moment to build the model, and the HTTP port
    // answering is what tells a supervisor the node is up.
    if (ncp_port != 0) {
        ncp::service_options o;
        o.bind_host = bind_host;
        o.port = ncp_port;
        o.version = NEXO_VERSION;
        if (!pairs.empty()) {
            o.tls = [&tls](ssl_ctx_st& ctx) { return tls.setup(ctx); };
        }
        if (need_auth) {
            o.gate = auth::as_request_gate(access);
        }
        control = std::make_unique<ncp::service>(link.background(), res, id, std::move(o));
        if (std::string why; !control->start(&why)) {
            std::fprintf(stderr, "nexo-nmos: %s\n", why.c_str());
            return 1;
        }
    }
    api_router router(res, conn);
    manifests.ca_file = auth_settings.ca_file;
    router.set_manifest_sources(std::move(manifests));
    // With TLS there is no plain-http port at all.
    auto server = pairs.empty() ? std::make_unique<http_server>(router)
                                : std::make_unique<http_server>(
                                      router, [&tls](ssl_ctx_st& ctx) { return tls.setup(ctx); });
    if (need_auth) {
        server->set_gate(auth::as_request_gate(access));
    }
    if (!server->bind(bind_host, port)) {
        std::fprintf(stderr, "nexo-nmos: cannot listen on %s:%d\n", bind_host.c_str(), port);
        return 1;
    }

    struct sigaction sa {};
    sa.sa_handler = on_signal;
    ::sigaction(SIGTERM, &sa, nullptr);
    ::sigaction(SIGINT, &sa, nullptr);
    ::signal(SIGPIPE, SIG_IGN);

    struct sigaction hup {};
    hup.sa_handler = on_hangup;
    ::sigaction(SIGHUP, &hup, nullptr);
    std::thread serving([&server] { server->listen(); });
    std::fprintf(stderr, "nexo-nmos: node %s serving on port %d\n", res.node_id().c_str(), port);
    // Housekeeping: the clock's state follows the timing daemon.
    int ticks = 0;
    while (quit == 0) {
        ::usleep(100000);
        if (reread_tls != 0) {
            reread_tls = 0;
            // New handshakes get the new certificate; connections open keep theirs.
            std::string why;
            if (pairs.empty()) {
                std::fprintf(stderr, "nexo-nmos: SIGHUP: no certificates to read\n");
            } else if (tls.load(&why)) {
                std::fprintf(stderr, "nexo-nmos: certificates read again\n");
            } else {
                std::fprintf(stderr, "nexo-nmos: keeping the certificates in use: %s\n",
                             why.c_str());
            }
        }
        if (++ticks % 50 == 0) {
            res.set_clock(read_clock(b), conn.now_for_version());
            conn.follow_channels();
        }
    }
    // The producers stop first: no request and no scheduled activation reaches the
    // registration or the discovery once they begin to go away.
    server->stop();
    serving.join();
    if (control) {
        control->stop();
    }
    conn.stop();
    control.reset();
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
