#include "registration.h"

#include <httplib.h>

#include <algorithm>
#include <cstdio>

namespace nexo::nmos {

namespace {

constexpr const char* kBase = "/x-nmos/registration/v1.3";

std::unique_ptr<httplib::Client> client_for(const std::string& base) {
    auto c = std::make_unique<httplib::Client>(base);
    c->set_connection_timeout(std::chrono::seconds(2));
    c->set_read_timeout(std::chrono::seconds(3));
    c->set_write_timeout(std::chrono::seconds(3));
    c->set_default_headers({{"Accept", "application/json"}});
    return c;
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
        std::lock_guard lk(mu_);
        updates_.emplace_back(t, i);
    }
    cv_.notify_all();
}

int registration::post(const std::string& base, const std::string& type, const json& data) {
    auto c = client_for(base);
    json body = {{"type", type}, {"data", data}};
    auto res = c->Post((std::string(kBase) + "/resource").c_str(), body.dump(), "application/json");
    return res ? res->status : 0;
}

namespace {

bool accepted(int status) {
    return status == 200 || status == 201;
}

}  // namespace

bool registration::register_all(const std::string& base) {
    int status = post(base, "node", res_.node_json());
    if (status == 200) {
        // The registry still holds this node from an earlier life, perhaps with resources the
        // node no longer has: take it out, and register afresh.
        remove(base);
        status = post(base, "node", res_.node_json());
    }
    if (!accepted(status) || !accepted(post(base, "device", res_.device_json()))) {
        return false;
    }
    for (std::size_t i = 0; i < kChannels.size(); ++i) {
        if (!accepted(post(base, "receiver", res_.receiver_json(i)))) {
            return false;
        }
    }
    return true;
}

int registration::heartbeat(const std::string& base) {
    auto c = client_for(base);
    // An empty body: no Content-Type, and Content-Length 0 (added by the library).
    auto res = c->Post(std::string(kBase) + "/health/nodes/" + res_.node_id(), httplib::Headers{});
    return res ? res->status : 0;
}

void registration::remove(const std::string& base) {
    auto c = client_for(base);
    c->set_connection_timeout(std::chrono::seconds(1));
    (void)c->Delete((std::string(kBase) + "/resource/nodes/" + res_.node_id()).c_str());
}

namespace {

// The best registry that has not failed since the last success; when all have, they all get
// another chance, from the top.
std::string choose(const std::vector<std::string>& list, std::vector<std::string>& failed) {
    for (const std::string& url : list) {
        if (std::find(failed.begin(), failed.end(), url) == failed.end()) {
            return url;
        }
    }
    failed.clear();
    return list.front();
}

}  // namespace

void registration::run() {
    std::string target;               // the registry in use, or being tried
    std::vector<std::string> failed;  // registries that failed since the last success
    bool registered = false;
    bool waited_for_more = false;
    auto next_beat = std::chrono::steady_clock::now();
    std::unique_lock lk(mu_);
    while (!stop_) {
        if (!registered) {
            poked_ = false;
            lk.unlock();
            set_state(false);
            std::vector<std::string> list = candidates();
            lk.lock();
            if (list.empty()) {
                // Peer-to-peer until a registry is announced.
                cv_.wait_for(lk, std::chrono::seconds(1), [this] { return stop_ || poked_; });
                waited_for_more = false;
                continue;
            }
            if (!waited_for_more && from_.fixed.empty()) {
                // The first announcement seldom comes alone: a moment to hear the others, so
                // that the choice is by priority rather than by arrival.
                waited_for_more = true;
                cv_.wait_for(lk, std::chrono::seconds(1), [this] { return stop_; });
                continue;
            }
            target = choose(list, failed);
            lk.unlock();
            registered = register_all(target);
            if (registered) {
                std::fprintf(stderr, "nexo-nmos: registered with %s\n", target.c_str());
                failed.clear();
                set_state(true);
            } else {
                failed.push_back(target);
            }
            lk.lock();
            if (registered) {
                updates_.clear();  // everything was just sent
                next_beat = std::chrono::steady_clock::now() + interval_;
            } else {
                cv_.wait_for(lk, std::chrono::seconds(1), [this] { return stop_; });
                continue;
            }
        }
        cv_.wait_until(lk, next_beat, [this] { return stop_ || !updates_.empty(); });
        if (stop_) {
            break;
        }
        while (!updates_.empty() && registered) {
            auto [type, i] = updates_.front();
            updates_.pop_front();
            lk.unlock();
            bool ok = accepted(type == resource_type::node ? post(target, "node", res_.node_json())
                               : type == resource_type::device
                                   ? post(target, "device", res_.device_json())
                                   : post(target, "receiver", res_.receiver_json(i)));
            lk.lock();
            registered = ok;
        }
        if (registered && std::chrono::steady_clock::now() >= next_beat) {
            lk.unlock();
            int code = heartbeat(target);
            lk.lock();
            next_beat = std::chrono::steady_clock::now() + interval_;
            if (code == 404) {
                // The registry lost the node (a restart, or it expired): register again.
                registered = false;
            } else if (code < 200 || code >= 300) {
                // Gone, or answering wrongly: the next registry by priority.
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
