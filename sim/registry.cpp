#include "registry.h"

#include <httplib.h>

#include <algorithm>
#include <mutex>
#include <thread>

namespace nexo::sim {

using json = nlohmann::json;

struct registry::impl {
    std::unique_ptr<httplib::Server> server;
    std::thread thread;
    bool listening = false;
    std::string url;
    std::function<bool(const std::string&)> valid_token;
    mutable std::mutex mu;
    struct event {
        std::string what;
        json body;
        std::chrono::steady_clock::time_point at;
    };
    std::vector<event> events;
    bool holds_node = false;
    int forget = 0, refuse = 0;
    std::chrono::milliseconds post_delay{0};

    void record(std::string what, json body = nullptr) {
        events.push_back({std::move(what), std::move(body), std::chrono::steady_clock::now()});
    }
    // Whether the request may go on; if not, the 401 is set and recorded. Called locked.
    bool admitted(const httplib::Request& req, httplib::Response& res) {
        if (!valid_token) {
            return true;
        }
        const std::string h = req.get_header_value("Authorization");
        if (h.rfind("Bearer ", 0) != 0 || !valid_token(h.substr(7))) {
            record("unauthorised");
        } else if (refuse > 0) {
            --refuse;
            record("refused");
        } else {
            return true;
        }
        res.status = 401;
        res.set_content(R"({"code":401,"error":"unauthorised"})", "application/json");
        return false;
    }
};

registry::registry(registry_options opts) : p_(std::make_unique<impl>()) {
    impl* p = p_.get();
    const bool tls = !opts.cert_file.empty() && !opts.key_file.empty();
    if (tls) {
        p->server =
            std::make_unique<httplib::SSLServer>(opts.cert_file.c_str(), opts.key_file.c_str());
    } else {
        p->server = std::make_unique<httplib::Server>();
    }
    p->url =
        std::string(tls ? "https://" : "http://") + opts.address + ":" + std::to_string(opts.port);
    p->valid_token = std::move(opts.valid_token);
    p->server->Post("/x-nmos/registration/v1.3/resource",
                    [p](const httplib::Request& req, httplib::Response& res) {
                        std::chrono::milliseconds delay;
                        {
                            std::lock_guard lk(p->mu);
                            delay = p->post_delay;
                        }
                        std::this_thread::sleep_for(delay);
                        json body = json::parse(req.body, nullptr, false);
                        std::lock_guard lk(p->mu);
                        if (!p->admitted(req, res)) {
                            return;
                        }
                        if (!body.is_object() || !body["type"].is_string()) {
                            res.status = 400;
                            return;
                        }
                        const bool node = body["type"] == "node";
                        res.status = node && p->holds_node ? 200 : 201;
                        p->holds_node = p->holds_node || node;
                        res.set_content(body["data"].dump(), "application/json");
                        std::string type = body["type"].get<std::string>();
                        p->record(std::move(type), std::move(body));
                    });
    p->server->Post(R"(/x-nmos/registration/v1.3/health/nodes/.*)",
                    [p](const httplib::Request& req, httplib::Response& res) {
                        std::lock_guard lk(p->mu);
                        if (!p->admitted(req, res)) {
                            return;
                        }
                        const bool empty = req.body.empty() && !req.has_header("Content-Type") &&
                                           req.get_header_value("Content-Length") == "0";
                        p->record(empty ? "heartbeat" : "heartbeat with a body");
                        if (p->forget > 0 || !p->holds_node) {
                            p->forget = std::max(p->forget - 1, 0);
                            p->holds_node = false;
                            res.status = 404;
                        }
                        res.set_content("{}", "application/json");
                    });
    p->server->Delete(R"(/x-nmos/registration/v1.3/resource/nodes/.*)",
                      [p](const httplib::Request& req, httplib::Response& res) {
                          std::lock_guard lk(p->mu);
                          if (p->admitted(req, res)) {
                              p->record("delete");
                              p->holds_node = false;
                              res.status = 204;
                          }
                      });
    p->listening = p->server->is_valid() && p->server->bind_to_port(opts.address, opts.port);
    if (p->listening) {
        p->thread = std::thread([p] { p->server->listen_after_bind(); });
    }
}

registry::~registry() {
    p_->server->stop();
    if (p_->thread.joinable()) {
        p_->thread.join();
    }
}

bool registry::listening() const {
    return p_->listening;
}

std::string registry::url() const {
    return p_->url;
}

int registry::count(const std::string& what) const {
    std::lock_guard lk(p_->mu);
    return static_cast<int>(std::count_if(p_->events.begin(), p_->events.end(),
                                          [&](const impl::event& e) { return e.what == what; }));
}

int registry::resources() const {
    std::lock_guard lk(p_->mu);
    return static_cast<int>(std::count_if(p_->events.begin(), p_->events.end(),
                                          [](const impl::event& e) { return e.body.is_object(); }));
}

std::vector<json> registry::registrations() const {
    std::lock_guard lk(p_->mu);
    std::vector<json> out;
    for (const impl::event& e : p_->events) {
        if (e.body.is_object()) {
            out.push_back(e.body);
        }
    }
    return out;
}

std::vector<std::chrono::steady_clock::time_point> registry::heartbeat_times() const {
    std::lock_guard lk(p_->mu);
    std::vector<std::chrono::steady_clock::time_point> out;
    for (const impl::event& e : p_->events) {
        if (e.what.rfind("heartbeat", 0) == 0) {
            out.push_back(e.at);
        }
    }
    return out;
}

void registry::forget(int n) {
    std::lock_guard lk(p_->mu);
    p_->forget = n;
}

void registry::slow_down(std::chrono::milliseconds delay) {
    std::lock_guard lk(p_->mu);
    p_->post_delay = delay;
}

void registry::refuse_tokens(int n) {
    std::lock_guard lk(p_->mu);
    p_->refuse = n;
}

}  // namespace nexo::sim
