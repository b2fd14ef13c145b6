#include "registration.h"

#include <httplib.h>

#include <algorithm>
#include <cstdio>

#include "http_limits.h"

namespace nexo::nmos {

namespace {

constexpr const char* kBase = "/x-nmos/registration/v1.3";

// A request of the registration API; what comes back is read up to kMaxRegistryReply.
int registry_request(httplib::Client& c, const char* method, const std::string& path,
                     const std::string& body = "") {
    httplib::Request req;
    req.method = method;
    req.path = path;
    req.body = body;
    if (!body.empty()) {
        req.set_header("Content-Type", "application/json");
    }
    return bounded_request(c, std::move(req), kMaxRegistryReply);
}

// An https registry's certificate is checked against the sources' CA file ("" = the system's
// anchors); with tokens, every call carries the node's.
std::unique_ptr<httplib::Client> client_for(const std::string& base,
                                            const registration::sources& from) {
    auto c = std::make_unique<httplib::Client>(base);
    if (!from.ca_file.empty()) {
        c->set_ca_cert_path(from.ca_file.c_str());
    }
    if (from.token) {
        if (std::string t = from.token(); !t.empty()) {
            c->set_bearer_token_auth(t);
        }
    }
    c->set_connection_timeout(std::chrono::seconds(2));
    c->set_read_timeout(std::chrono::seconds(3));
    c->set_write_timeout(std::chrono::seconds(3));
    c->set_default_headers({{"Accept", "application/json"}});
    return c;
}

constexpr auto kPeerToPeerGrace = std::chrono::seconds(30);

bool healthy(int status) {
    return status >= 200 && status < 300;
}

// Sends with the node's token; a 401 renews the token and sends once more, a second 401 is
// the registry's answer.
template <typename Send>
int with_token(const registration::sources& from, Send send) {
    int status = send();
    if (status == 401 && from.token_refused) {
        from.token_refused();
        status = send();
    }
    return status;
}

}  // namespace

registration::registration(resources& r, sources from, std::chrono::milliseconds heartbeat)
    : res_(r), from_(std::move(from)), interval_(heartbeat) {
    thread_ = std::thread([this] { run(); });
}

registration::~registration() {
    {
        std::lock_guard lk(mu_);
        stop_ = true;
    }
    cv_.notify_all();
    thread_.join();
}

void registration::registries_changed() {
    {
        std::lock_guard lk(mu_);
        poked_ = true;
    }
    cv_.notify_all();
}

std::vector<std::string> registration::candidates() const {
    std::vector<std::string> list = from_.fixed;
    if (from_.discovered) {
        for (std::string& url : from_.discovered()) {
            if (std::find(list.begin(), list.end(), url) == list.end()) {
                list.push_back(std::move(url));
            }
        }
    }
    return list;
}

void registration::set_state(bool registered) {
    if (registered != registered_) {
        registered_ = registered;
        if (from_.on_state) {
            from_.on_state(registered);
        }
    }
}

void registration::changed(resource_type t, std::size_t i) {
    {
        // An update sends the resource as it is when its turn comes: one queued is enough.
        std::lock_guard lk(mu_);
        if (std::find(updates_.begin(), updates_.end(), std::pair{t, i}) == updates_.end()) {
            updates_.emplace_back(t, i);
        }
    }
    cv_.notify_all();
}

int registration::post(const std::string& base, const std::string& type, const json& data) {
    json body = {{"type", type}, {"data", data}};
    return with_token(from_, [&] {
        auto c = client_for(base, from_);
        return registry_request(*c, "POST", std::string(kBase) + "/resource", body.dump());
    });
}

bool registration::register_all(const std::string& base) {
    int status = post(base, "node", res_.node_json());
    if (status == 200) {
        // The registry still holds this node from an earlier life, perhaps with resources the
        // node no longer has: take it out, and register afresh.
        remove(base);
        status = post(base, "node", res_.node_json());
    }
    if (!healthy(status) || !healthy(post(base, "device", res_.device_json()))) {
        return false;
    }
    for (std::size_t i = 0; i < kChannels.size(); ++i) {
        if (!healthy(post(base, "receiver", res_.receiver_json(i)))) {
            return false;
        }
    }
    return true;
}

int registration::heartbeat(const std::string& base) {
    return with_token(from_, [&] {
        auto c = client_for(base, from_);
        // An empty body: no Content-Type, and Content-Length 0 (added by the library).
        return registry_request(*c, "POST", std::string(kBase) + "/health/nodes/" + res_.node_id());
    });
}

void registration::remove(const std::string& base) {
    auto c = client_for(base, from_);
    c->set_connection_timeout(std::chrono::seconds(1));
    (void)registry_request(*c, "DELETE", std::string(kBase) + "/resource/nodes/" + res_.node_id());
}

namespace {

// The best registry that has not failed in this round; "" when every one has, which ends the
// round: the next starts again from the top.
std::string choose(const std::vector<std::string>& list, std::vector<std::string>& failed) {
    for (const std::string& url : list) {
        if (std::find(failed.begin(), failed.end(), url) == failed.end()) {
            return url;
        }
    }
    failed.clear();
    return {};
}

}  // namespace

bool registration::take_up(const std::string& base, bool known) {
    if (known) {
        // The registries of a facility share what they hold: after a failover, a heartbeat is
        // all the new one needs, unless it does not know the node (404).
        const int code = heartbeat(base);
        if (healthy(code)) {
            return true;
        }
        if (code != 404) {
            return false;
        }
    }
    {
        // Everything is sent afresh: what changed before now goes with it. Changes from here on
        // are sent after it.
        std::lock_guard lk(mu_);
        updates_.clear();
    }
    return register_all(base);
}

void registration::run() {
    std::string target;               // the registry in use, or being tried
    std::string again;                // a registry to take up again first (it forgot the node)
    std::vector<std::string> failed;  // registries that failed in this round
    bool registered = false;
    bool known = false;  // registered once: the facility's registries hold the node
    bool waited_for_more = false;
    auto next_beat = std::chrono::steady_clock::now();
    auto last_contact = next_beat;  // the last time a registry held the node
    // Peer-to-peer: at once when the node never had a registry; after losing the last one, only
    // once it has stayed away for a while, so that a registry restarting or a short outage does
    // not set every node of the facility announcing itself.
    auto peer_to_peer = [&] {
        if (!known || std::chrono::steady_clock::now() - last_contact >= kPeerToPeerGrace) {
            set_state(false);
        }
    };
    std::unique_lock lk(mu_);
    while (!stop_) {
        if (!registered) {
            poked_ = false;
            lk.unlock();
            std::vector<std::string> list = candidates();
            if (list.empty()) {
                peer_to_peer();
            }
            lk.lock();
            if (list.empty()) {
                // Peer-to-peer until a registry is announced.
                cv_.wait_for(lk, std::chrono::seconds(1), [this] { return stop_ || poked_; });
                waited_for_more = false;
                continue;
            }
            if (!waited_for_more && from_.fixed.empty() && !known) {
                // The first announcement seldom comes alone: a moment to hear the others, so
                // that the choice is by priority rather than by arrival.
                waited_for_more = true;
                cv_.wait_for(lk, std::chrono::seconds(1), [this] { return stop_; });
                continue;
            }
            if (from_.token) {
                // Without a token every call would be refused: none is made until the node
                // has one (the token source backs off between its attempts).
                lk.unlock();
                const bool have_token = !from_.token().empty();
                lk.lock();
                if (!have_token) {
                    cv_.wait_for(lk, std::chrono::seconds(1), [this] { return stop_; });
                    continue;
                }
            }
            target = !again.empty() ? again : choose(list, failed);
            again.clear();
            if (target.empty()) {
                // Every registry failed in this round: peer-to-peer for a pause, then from the
                // top.
                lk.unlock();
                peer_to_peer();
                lk.lock();
                cv_.wait_for(lk, std::chrono::seconds(1), [this] { return stop_; });
                continue;
            }
            lk.unlock();
            // Heartbeats are timed from the node's registration, not from the last of its
            // resources: a registry expects the first within its interval of the node's POST.
            const auto taking_up = std::chrono::steady_clock::now();
            registered = take_up(target, known);
            if (registered) {
                std::fprintf(stderr, "nexo-nmos: registered with %s\n", target.c_str());
                known = true;
                last_contact = std::chrono::steady_clock::now();
                set_state(true);
            } else {
                failed.push_back(target);
            }
            lk.lock();
            if (!registered) {
                continue;  // straight on to the next one
            }
            next_beat = taking_up + interval_;
        }
        cv_.wait_until(lk, next_beat, [this] { return stop_ || !updates_.empty(); });
        if (stop_) {
            break;
        }
        // A heartbeat that is due goes before the next update: a slow registry with many
        // updates queued must not let the node expire there.
        while (registered) {
            if (std::chrono::steady_clock::now() >= next_beat) {
                lk.unlock();
                const int code = heartbeat(target);
                lk.lock();
                next_beat = std::chrono::steady_clock::now() + interval_;
                if (healthy(code)) {
                    last_contact = std::chrono::steady_clock::now();
                } else if (code == 404) {
                    // The registry lost the node (a restart, or it expired): register there
                    // again.
                    registered = false;
                    again = target;
                    break;
                } else {
                    // Gone, or answering wrongly: the next registry by priority.
                    registered = false;
                    failed.push_back(target);
                    break;
                }
            }
            if (updates_.empty() || stop_) {
                break;
            }
            auto [type, i] = updates_.front();
            updates_.pop_front();
            lk.unlock();
            const int code = type == resource_type::node ? post(target, "node", res_.node_json())
                             : type == resource_type::device
                                 ? post(target, "device", res_.device_json())
                                 : post(target, "receiver", res_.receiver_json(i));
            lk.lock();
            if (!healthy(code)) {
                registered = false;
                failed.push_back(target);
            }
        }
        if (!registered) {
            std::fprintf(stderr, "nexo-nmos: registration with %s lost\n", target.c_str());
        }
    }
    if (registered) {
        lk.unlock();
        remove(target);
    }
}

}  // namespace nexo::nmos
