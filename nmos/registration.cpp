#include "registration.h"

#include <httplib.h>

#include <cstdio>

namespace nexo::nmos {

namespace {

constexpr const char* kBase = "/x-nmos/registration/v1.3";

std::unique_ptr<httplib::Client> client_for(const std::string& base) {
    auto c = std::make_unique<httplib::Client>(base);
    c->set_connection_timeout(std::chrono::seconds(2));
    c->set_read_timeout(std::chrono::seconds(3));
    c->set_write_timeout(std::chrono::seconds(3));
    return c;
}

}  // namespace

registration::registration(resources& r, std::vector<std::string> registries,
                           std::chrono::milliseconds heartbeat)
    : res_(r), registries_(std::move(registries)), interval_(heartbeat) {
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

void registration::changed(resource_type t, std::size_t i) {
    {
        std::lock_guard lk(mu_);
        updates_.emplace_back(t, i);
    }
    cv_.notify_all();
}

bool registration::post(const std::string& base, const std::string& type, const json& data) {
    auto c = client_for(base);
    json body = {{"type", type}, {"data", data}};
    auto res = c->Post((std::string(kBase) + "/resource").c_str(), body.dump(), "application/json");
    return res && (res->status == 200 || res->status == 201);
}

bool registration::register_all(const std::string& base) {
    if (!post(base, "node", res_.node_json()) || !post(base, "device", res_.device_json())) {
        return false;
    }
    for (std::size_t i = 0; i < kChannels.size(); ++i) {
        if (!post(base, "receiver", res_.receiver_json(i))) {
            return false;
        }
    }
    return true;
}

int registration::heartbeat(const std::string& base) {
    auto c = client_for(base);
    auto res = c->Post((std::string(kBase) + "/health/nodes/" + res_.node_id()).c_str(), "",
                       "application/json");
    return res ? res->status : 0;
}

void registration::remove(const std::string& base) {
    auto c = client_for(base);
    c->set_connection_timeout(std::chrono::seconds(1));
    (void)c->Delete((std::string(kBase) + "/resource/nodes/" + res_.node_id()).c_str());
}

void registration::run() {
    std::size_t current = 0;
    bool registered = false;
    auto next_beat = std::chrono::steady_clock::now();
    std::unique_lock lk(mu_);
    while (!stop_) {
        if (!registered) {
            lk.unlock();
            const std::string& base = registries_[current];
            registered = register_all(base);
            lk.lock();
            if (registered) {
                std::fprintf(stderr, "nexo-nmos: registered with %s\n", base.c_str());
                updates_.clear();  // everything was just sent
                next_beat = std::chrono::steady_clock::now() + interval_;
            } else {
                // Lower in priority, or back to the top after the last one.
                current = (current + 1) % registries_.size();
                cv_.wait_for(lk, std::chrono::seconds(1), [this] { return stop_; });
                continue;
            }
        }
        cv_.wait_until(lk, next_beat, [this] { return stop_ || !updates_.empty(); });
        if (stop_) {
            break;
        }
        const std::string base = registries_[current];
        while (!updates_.empty() && registered) {
            auto [type, i] = updates_.front();
            updates_.pop_front();
            lk.unlock();
            bool ok = type == resource_type::node ? post(base, "node", res_.node_json())
                      : type == resource_type::device
                          ? post(base, "device", res_.device_json())
                          : post(base, "receiver", res_.receiver_json(i));
            lk.lock();
            registered = ok;
        }
        if (registered && std::chrono::steady_clock::now() >= next_beat) {
            lk.unlock();
            int code = heartbeat(base);
            lk.lock();
            next_beat = std::chrono::steady_clock::now() + interval_;
            if (code == 404) {
                // The registry lost the node (a restart, or it expired): register again there.
                registered = false;
            } else if (code < 200 || code >= 300) {
                registered = false;
                current = (current + 1) % registries_.size();
            }
        }
        if (!registered) {
            std::fprintf(stderr, "nexo-nmos: registration with %s lost\n", base.c_str());
        }
    }
    if (registered) {
        lk.unlock();
        remove(registries_[current]);
    }
}

}  // namespace nexo::nmos
