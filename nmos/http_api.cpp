#include "http_api.h"

#include <httplib.h>

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

// GET of an http:// URL; "" on any failure.
std::string fetch_text(const std::string& url) {
    const std::string scheme = "http://";
    if (url.rfind(scheme, 0) != 0) {
        return "";
    }
    std::size_t slash = url.find('/', scheme.size());
    std::string origin = url.substr(0, slash);
    std::string path = slash == std::string::npos ? "/" : url.substr(slash);
    httplib::Client c(origin);
    c.set_connection_timeout(std::chrono::seconds(2));
    c.set_read_timeout(std::chrono::seconds(3));
    auto res = c.Get(path.c_str());
    return res && res->status == 200 ? res->body : "";
}

// A resource list path is also served with its trailing slash, and nothing else under it.
bool is_get(const std::string& method) {
    return method == "GET" || method == "HEAD";
}

}  // namespace

api_result api_router::handle(const std::string& method, const std::string& path,
                              const std::string& body) {
    try {
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
                // The sender's description tells where its stream is.
                if (sender.contains("manifest_href") && sender["manifest_href"].is_string()) {
                    std::string sdp = fetch_text(sender["manifest_href"].get<std::string>());
                    if (sdp.empty()) {
                        return {400, error_body(400,
                                                "manifest_href: the sender's description "
                                                "could not be fetched")};
                    }
                    patch["transport_file"] = {{"data", sdp}, {"type", "application/sdp"}};
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
    explicit impl(std::unique_ptr<httplib::Server> s) : owned(std::move(s)), server(*owned) {}
    std::unique_ptr<httplib::Server> owned;  // a plain or a TLS server
    httplib::Server& server;
};

http_server::http_server(api_router& router, std::function<bool(ssl_ctx_st&)> setup_tls)
    : http_server(router, std::make_unique<httplib::SSLServer>(
                              [setup_tls](SSL_CTX& ctx) { return setup_tls(ctx); })) {}

http_server::http_server(api_router& router)
    : http_server(router, std::make_unique<httplib::Server>()) {}

http_server::http_server(api_router& router, std::unique_ptr<httplib::Server> server)
    : p_(std::make_unique<impl>(std::move(server))) {
    auto serve = [&router](const httplib::Request& req, httplib::Response& res) {
        api_result r = router.handle(req.method, req.path, req.body);
        res.status = r.code;
        res.set_content(r.body.dump(), "application/json");
    };
    auto& s = p_->server;
    // The answer's head and body leave in separate writes; with Nagle's algorithm the body
    // would wait for the client's delayed acknowledgement of the head (40 ms on Linux).
    s.set_tcp_nodelay(true);
    s.set_default_headers({{"Access-Control-Allow-Origin", "*"}});
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
    p_->server.set_pre_routing_handler(
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
            res.set_content(refused->body.dump(), "application/json");
            return httplib::Server::HandlerResponse::Handled;
        });
}

bool http_server::bind(const std::string& host, int port) {
    return p_->server.is_valid() && p_->server.bind_to_port(host, port);
}

void http_server::listen() {
    p_->server.listen_after_bind();
}

void http_server::stop() {
    p_->server.stop();
}

}  // namespace nexo::nmos
