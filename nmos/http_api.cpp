#include "http_api.h"

#include <httplib.h>

#include <algorithm>
#include <cctype>
#include <charconv>

#include "chan_plan.h"
#include "http_limits.h"

namespace nexo::nmos {

namespace {

std::vector<std::string> split_path(const std::string& path) {
    std::vector<std::string> seg;
    std::size_t start = 1;
    while (start <= path.size()) {
        std::size_t slash = path.find('/', start);
        if (slash == std::string::npos) {
            slash = path.size();
        }
        if (slash > start) {
            seg.push_back(path.substr(start, slash - start));
        }
        start = slash + 1;
    }
    return seg;
}

api_result not_found(const std::string& what = "no such resource") {
    return {404, error_body(404, what)};
}

api_result bad_method() {
    return {405, error_body(405, "method not allowed here")};
}

api_result listing(std::initializer_list<const char*> names) {
    json a = json::array();
    for (const char* n : names) {
        a.push_back(n);
    }
    return {200, a};
}

// "http://" or "https://" when the URL begins with one, else "".
std::string url_scheme(const std::string& url) {
    for (const char* scheme : {"http://", "https://"}) {
        if (url.rfind(scheme, 0) == 0) {
            return scheme;
        }
    }
    return "";
}

// The host of an http:// or https:// URL ("" when the URL is not one, or names a user).
std::string url_host(const std::string& url) {
    const std::string scheme = url_scheme(url);
    if (scheme.empty()) {
        return "";
    }
    std::string authority = url.substr(scheme.size(), url.find('/', scheme.size()) - scheme.size());
    if (authority.find('@') != std::string::npos || authority.find('[') != std::string::npos) {
        return "";
    }
    return authority.substr(0, authority.find(':'));
}

// GET of an http:// or https:// URL, short and bounded; "" on any failure. An https server's
// certificate is checked against `ca_file` ("" = the system's anchors).
std::string fetch_text(const std::string& url, const std::string& ca_file) {
    const std::string scheme = url_scheme(url);
    std::size_t slash = url.find('/', scheme.size());
    std::string origin = url.substr(0, slash);
    httplib::Client c(origin);
    if (!ca_file.empty()) {
        c.set_ca_cert_path(ca_file.c_str());
    }
    c.set_connection_timeout(std::chrono::seconds(1));
    c.set_read_timeout(std::chrono::seconds(2));
    httplib::Request req;
    req.method = "GET";
    req.path = slash == std::string::npos ? "/" : url.substr(slash);
    std::string body;
    return bounded_request(c, std::move(req), kMaxManifest, &body) == 200 ? body : "";
}

std::optional<std::pair<std::uint32_t, int>> network_of(const std::string& entry) {
    std::size_t slash = entry.find('/');
    auto ip = client::dotted(entry.substr(0, slash));
    int bits = 32;
    if (!ip) {
        return std::nullopt;
    }
    if (slash != std::string::npos) {
        std::string_view b = std::string_view(entry).substr(slash + 1);
        auto [end, ec] = std::from_chars(b.data(), b.data() + b.size(), bits);
        if (ec != std::errc() || end != b.data() + b.size() || b.empty() || bits < 0 || bits > 32) {
            return std::nullopt;
        }
    }
    std::uint32_t a = (std::uint32_t{(*ip)[0]} << 24) | (std::uint32_t{(*ip)[1]} << 16) |
                      (std::uint32_t{(*ip)[2]} << 8) | (*ip)[3];
    return std::pair{a, bits};
}

bool host_name(const std::string& s) {
    return !s.empty() && s.size() <= 253 && std::all_of(s.begin(), s.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.';
    });
}

// A resource list path is also served with its trailing slash, and nothing else under it.
bool is_get(const std::string& method) {
    return method == "GET" || method == "HEAD";
}

}  // namespace

std::string manifest_sources::check(const std::string& entry) {
    if (network_of(entry) ||
        (host_name(entry) && !client::dotted(entry) && entry.find('/') == std::string::npos &&
         !std::isdigit(static_cast<unsigned char>(entry.back())))) {
        return "";
    }
    return entry + ": neither an IPv4 address or network (a.b.c.d/n) nor a host name";
}

bool manifest_sources::permits(const std::string& host) const {
    auto addr = network_of(host);
    if (addr && host.find('/') != std::string::npos) {
        return false;
    }
    for (const std::string& entry : allowed) {
        auto net = network_of(entry);
        if (!net) {
            if (entry == host) {
                return true;
            }
            continue;
        }
        if (addr) {
            std::uint32_t mask = net->second == 0 ? 0 : ~std::uint32_t{0} << (32 - net->second);
            if ((addr->first & mask) == (net->first & mask)) {
                return true;
            }
        }
    }
    return false;
}

api_result api_router::handle(const std::string& method, const std::string& path,
                              const std::string& body) {
    try {
        // Bounded before anything is parsed: the parser and every copy of a document are
        // recursive, so a deep one must not get as far as them.
        const http_limits limits;
        if (body.size() > limits.max_body_bytes) {
            return {413, error_body(413, "the request body is too large")};
        }
        if (!json_depth_within(body, limits.max_json_depth)) {
            return {400, error_body(400, "the request body nests too deep",
                                    "at most " + std::to_string(limits.max_json_depth) +
                                        " levels of arrays and objects")};
        }
        auto seg = split_path(path);
        if (seg.empty()) {
            return is_get(method) ? listing({"x-nmos/"}) : bad_method();
        }
        if (seg[0] != "x-nmos") {
            return not_found();
        }
        if (seg.size() == 1) {
            return is_get(method) ? listing({"node/", "connection/"}) : bad_method();
        }
        if (seg[1] == "node") {
            if (seg.size() == 2) {
                return is_get(method) ? listing({"v1.3/"}) : bad_method();
            }
            if (seg[2] != "v1.3") {
                return not_found("API version not served: " + seg[2]);
            }
            return node_api(method, {seg.begin() + 3, seg.end()}, body);
        }
        if (seg[1] == "connection") {
            if (seg.size() == 2) {
                return is_get(method) ? listing({"v1.1/"}) : bad_method();
            }
            if (seg[2] != "v1.1") {
                return not_found("API version not served: " + seg[2]);
            }
            return connection_api(method, {seg.begin() + 3, seg.end()}, body);
        }
        return not_found();
    } catch (const daemon_unavailable& e) {
        return {503, error_body(503,
                                "the nexo daemon is not available; the node resumes by itself "
                                "when it is back",
                                e.what())};
    } catch (const daemon_refused& e) {
        return {500, error_body(500, "the nexo daemon refused the change", e.what())};
    } catch (const std::exception& e) {
        return {500, error_body(500, "internal error", e.what())};
    }
}

api_result api_router::node_api(const std::string& method, const std::vector<std::string>& seg,
                                const std::string& body) {
    if (seg.empty()) {
        return is_get(method)
                   ? listing({"self/", "sources/", "flows/", "devices/", "senders/", "receivers/"})
                   : bad_method();
    }
    const std::string& coll = seg[0];
    if (coll == "self" && seg.size() == 1) {
        return is_get(method) ? api_result{200, res_.node_json()} : bad_method();
    }
    if (coll == "sources" || coll == "flows" || coll == "senders") {
        if (seg.size() == 1) {
            return is_get(method) ? api_result{200, json::array()} : bad_method();
        }
        return not_found(coll + " " + seg[1] + " does not exist: this node has none");
    }
    if (coll == "devices") {
        if (seg.size() == 1) {
            return is_get(method) ? api_result{200, json::array({res_.device_json()})}
                                  : bad_method();
        }
        if (seg.size() == 2 && seg[1] == res_.device_id()) {
            return is_get(method) ? api_result{200, res_.device_json()} : bad_method();
        }
        return not_found("no device " + seg[1]);
    }
    if (coll == "receivers") {
        if (seg.size() == 1) {
            if (!is_get(method)) {
                return bad_method();
            }
            json all = json::array();
            for (std::size_t i = 0; i < kChannels.size(); ++i) {
                all.push_back(res_.receiver_json(i));
            }
            return {200, all};
        }
        auto idx = res_.receiver_index(seg[1]);
        if (!idx) {
            return not_found("no receiver " + seg[1]);
        }
        if (seg.size() == 2) {
            return is_get(method) ? api_result{200, res_.receiver_json(*idx)} : bad_method();
        }
        if (seg.size() == 3 && seg[2] == "target") {
            if (method != "PUT") {
                return bad_method();
            }
            // The older way of connecting: a sender object (or {} to disconnect), carried out
            // through the connection API's staging and an immediate activation.
            json sender = json::parse(body, nullptr, false);
            if (sender.is_discarded() || !sender.is_object()) {
                return {400, error_body(400, "the body must be a sender object or {}")};
            }
            json patch = {{"master_enable", !sender.empty()},
                          {"activation", {{"mode", "activate_immediate"}}}};
            if (!sender.empty()) {
                if (!sender.contains("id") || !sender["id"].is_string()) {
                    return {400, error_body(400, "id: the sender object needs its id")};
                }
                patch["sender_id"] = sender["id"];
                // The sender's description tells where its stream is. It is fetched for whoever
                // sent this, so only from where the operator allows, and nothing of what came
                // back is quoted to the client.
                if (sender.contains("manifest_href") && sender["manifest_href"].is_string()) {
                    const std::string href = sender["manifest_href"].get<std::string>();
                    if (!manifests_.permits(url_host(href))) {
                        return {400, error_body(400,
                                                "manifest_href: this node fetches descriptions "
                                                "only from the networks and hosts it is "
                                                "configured for (--manifest-from)")};
                    }
                    std::string sdp = fetch_text(href, manifests_.ca_file);
                    if (sdp.empty()) {
                        return {400, error_body(400,
                                                "manifest_href: the sender's description "
                                                "could not be fetched")};
                    }
                    patch["transport_file"] = {{"data", sdp}, {"type", "application/sdp"}};
                    api_result r = conn_.patch_staged(*idx, patch);
                    if (r.code == 400 &&
                        r.body["error"].get<std::string>().rfind("transport_file", 0) == 0) {
                        return {400, error_body(400,
                                                "manifest_href: the sender's description is not "
                                                "one this receiver takes")};
                    }
                    if (r.code >= 300) {
                        return r;
                    }
                    return {202, sender};
                }
            } else {
                patch["sender_id"] = nullptr;
            }
            api_result r = conn_.patch_staged(*idx, patch);
            if (r.code >= 300) {
                return r;
            }
            return {202, sender};
        }
    }
    return not_found();
}

api_result api_router::connection_api(const std::string& method,
                                      const std::vector<std::string>& seg,
                                      const std::string& body) {
    if (seg.empty()) {
        return is_get(method) ? listing({"bulk/", "single/"}) : bad_method();
    }
    if (seg[0] == "bulk") {
        if (seg.size() == 1) {
            return is_get(method) ? listing({"senders/", "receivers/"}) : bad_method();
        }
        if (seg.size() == 2 && seg[1] == "senders") {
            return method == "POST" ? api_result{200, json::array()} : bad_method();
        }
        if (seg.size() == 2 && seg[1] == "receivers") {
            if (method != "POST") {
                return bad_method();
            }
            json req = json::parse(body, nullptr, false);
            if (req.is_discarded()) {
                return {400, error_body(400, "the body is not JSON")};
            }
            return conn_.bulk(req);
        }
        return not_found();
    }
    if (seg[0] != "single") {
        return not_found();
    }
    if (seg.size() == 1) {
        return is_get(method) ? listing({"senders/", "receivers/"}) : bad_method();
    }
    if (seg[1] == "senders") {
        if (seg.size() == 2) {
            return is_get(method) ? api_result{200, json::array()} : bad_method();
        }
        return not_found("this node has no senders");
    }
    if (seg[1] != "receivers") {
        return not_found();
    }
    if (seg.size() == 2) {
        if (!is_get(method)) {
            return bad_method();
        }
        json ids = json::array();
        for (std::size_t i = 0; i < kChannels.size(); ++i) {
            ids.push_back(res_.receiver_id(i) + "/");
        }
        return {200, ids};
    }
    auto idx = res_.receiver_index(seg[2]);
    if (!idx) {
        return not_found("no receiver " + seg[2]);
    }
    if (seg.size() == 3) {
        return is_get(method) ? listing({"constraints/", "staged/", "active/", "transporttype/"})
                              : bad_method();
    }
    if (seg.size() != 4) {
        return not_found();
    }
    const std::string& leaf = seg[3];
    if (leaf == "constraints") {
        return is_get(method) ? api_result{200, conn_.constraints(*idx)} : bad_method();
    }
    if (leaf == "transporttype") {
        return is_get(method) ? api_result{200, "urn:x-nmos:transport:rtp"} : bad_method();
    }
    if (leaf == "active") {
        return is_get(method) ? api_result{200, conn_.active(*idx)} : bad_method();
    }
    if (leaf == "staged") {
        if (is_get(method)) {
            return {200, conn_.staged(*idx)};
        }
        if (method != "PATCH") {
            return bad_method();
        }
        json patch = json::parse(body, nullptr, false);
        if (patch.is_discarded()) {
            return {400, error_body(400, "the body is not JSON")};
        }
        return conn_.patch_staged(*idx, patch);
    }
    return not_found();
}

struct http_server::impl {
    explicit impl(std::function<bool(SSL_CTX&)> setup_tls)
        : server(http_limits{}, std::move(setup_tls)) {}
    bounded_server server;  // plain, or https only
};

http_server::http_server(api_router& router) : http_server(router, nullptr) {}

http_server::http_server(api_router& router, std::function<bool(ssl_ctx_st&)> setup_tls)
    : p_(std::make_unique<impl>(std::move(setup_tls))) {
    auto serve = [&router](const httplib::Request& req, httplib::Response& res) {
        api_result r = router.handle(req.method, req.path, req.body);
        res.status = r.code;
        // A path is echoed in error texts and need not be UTF-8.
        res.set_content(r.body.dump(-1, ' ', false, json::error_handler_t::replace),
                        "application/json");
    };
    auto& s = p_->server;
    // The answer's head and body leave in separate writes; with Nagle's algorithm the body
    // would wait for the client's delayed acknowledgement of the head (40 ms on Linux).
    s.set_tcp_nodelay(true);
    httplib::Headers headers{{"Access-Control-Allow-Origin", "*"}};
    if (s.serves_tls()) {
        // Clients that met the node over https keep to https for a year.
        headers.emplace("Strict-Transport-Security", "max-age=31536000");
    }
    s.set_default_headers(std::move(headers));
    s.Get(".*", serve);
    s.Put(".*", serve);
    s.Post(".*", serve);
    s.Patch(".*", serve);
    s.Delete(".*", serve);
    // Pre-flight: any path may be asked from a browser.
    s.Options(".*", [](const httplib::Request& req, httplib::Response& res) {
        res.status = 200;
        res.set_header("Access-Control-Allow-Methods",
                       "GET, PUT, POST, PATCH, HEAD, OPTIONS, DELETE");
        std::string headers = req.get_header_value("Access-Control-Request-Headers");
        res.set_header("Access-Control-Allow-Headers",
                       headers.empty() ? "Content-Type, Authorization" : headers);
        res.set_header("Access-Control-Max-Age", "3600");
    });
}

http_server::~http_server() = default;

void http_server::set_gate(request_gate gate) {
    p_->server.add_pre_routing(
        [gate = std::move(gate)](const httplib::Request& req, httplib::Response& res) {
            if (req.method == "OPTIONS" && req.has_header("Access-Control-Request-Method")) {
                return httplib::Server::HandlerResponse::Unhandled;
            }
            auto refused = gate(req.method, req.path, req.get_header_value("Authorization"));
            if (!refused) {
                return httplib::Server::HandlerResponse::Unhandled;
            }
            res.status = refused->code;
            if (!refused->www_authenticate.empty()) {
                res.set_header("WWW-Authenticate", refused->www_authenticate);
            }
            if (refused->retry_after > 0) {
                res.set_header("Retry-After", std::to_string(refused->retry_after));
            }
            res.set_content(refused->body.dump(), "application/json");
            return httplib::Server::HandlerResponse::Handled;
        });
}

bool http_server::bind(const std::string& host, int port) {
    return p_->server.is_valid() && p_->server.bind_with_backlog(host, port);
}

void http_server::listen() {
    p_->server.listen_after_bind();
}

void http_server::stop() {
    p_->server.stop();
}

}  // namespace nexo::nmos
