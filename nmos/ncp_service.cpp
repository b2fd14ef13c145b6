#include "ncp_service.h"

#include <algorithm>
#include <cstdio>

namespace nexo::nmos::ncp {

namespace {

std::array<std::string, kChannels.size()> receiver_ids(const resources& res) {
    std::array<std::string, kChannels.size()> ids;
    for (std::size_t i = 0; i < ids.size(); ++i) {
        ids[i] = res.receiver_id(i);
    }
    return ids;
}

}  // namespace

yielding_link::yielding_link(client::daemon_link& inner, std::chrono::milliseconds quiet,
                             std::chrono::milliseconds patience)
    : inner_(inner), quiet_(quiet), patience_(patience) {}

void yielding_link::enter() {
    std::lock_guard lk(mu_);
    ++active_;
}

void yielding_link::leave() {
    {
        std::lock_guard lk(mu_);
        --active_;
        last_ = std::chrono::steady_clock::now();
    }
    cv_.notify_all();
}

client::link_reply yielding_link::fg_link::exchange(const std::string& line) {
    o.enter();
    client::link_reply r = o.inner_.exchange(line);
    o.leave();
    return r;
}

void yielding_link::fg_link::begin_session() {
    o.enter();
    o.inner_.begin_session();
}

void yielding_link::fg_link::end_session() {
    o.inner_.end_session();
    o.leave();
}

client::link_reply yielding_link::bg_link::exchange(const std::string& line) {
    {
        std::unique_lock lk(o.mu_);
        const auto give_up = std::chrono::steady_clock::now() + o.patience_;
        for (;;) {
            const auto now = std::chrono::steady_clock::now();
            const auto free_at = o.last_ + o.quiet_;
            if (now >= give_up || (o.active_ == 0 && now >= free_at)) {
                break;
            }
            o.cv_.wait_until(lk, o.active_ == 0 ? std::min(free_at, give_up) : give_up);
        }
    }
    return o.inner_.exchange(line);
}

service::service(client::daemon_link& link, const resources& res, const node_identity& id,
                 service_options opt)
    : opt_(std::move(opt)), link_(link) {
    device_identity who;
    who.manufacturer = id.manufacturer;
    who.product = id.product;
    who.product_key = id.product;
    who.version = opt_.version;
    who.serial = id.instance_id.empty() ? id.mac : id.instance_id;
    who.label = id.label;
    model_ = std::make_unique<model>(who, receiver_ids(res), hooks());
}

service::~service() {
    stop();
}

monitor_hooks service::hooks() {
    monitor_hooks h;
    h.set_reporting_delay = [this](std::size_t rx, std::uint32_t seconds) {
        std::lock_guard lk(mon_mu_);
        monitors_[rx].set_status_reporting_delay(seconds, client::rx_monitor::clock::now());
        return std::optional(monitors_[rx].reported());
    };
    h.set_auto_reset = [this](std::size_t rx, bool on) {
        std::lock_guard lk(mon_mu_);
        monitors_[rx].set_auto_reset_counters_and_messages(on);
        return std::optional(monitors_[rx].reported());
    };
    h.reset_counters_and_messages = [this](std::size_t rx) {
        std::lock_guard lk(mon_mu_);
        monitors_[rx].reset_counters_and_messages();
        return std::optional(monitors_[rx].reported());
    };
    return h;
}

bool service::start(std::string* why) {
    try {
        server_ = std::make_unique<server>(*model_, opt_.limits, opt_.tls);
    } catch (const std::exception& e) {
        *why = e.what();
        return false;
    }
    if (opt_.gate) {
        server_->set_gate(opt_.gate);
    }
    if (!server_->bind(opt_.bind_host, opt_.port)) {
        *why = "cannot listen on " + opt_.bind_host + ":" + std::to_string(opt_.port) +
               " for the control protocol";
        return false;
    }
    serving_ = std::thread([this] { server_->run(); });
    polling_ = std::thread([this] { poll_loop(); });
    return true;
}

void service::stop() {
    if (server_) {
        server_->stop();
    }
    if (serving_.joinable()) {
        serving_.join();
    }
    {
        std::lock_guard lk(poll_mu_);
        stop_polling_ = true;
    }
    poll_cv_.notify_all();
    if (polling_.joinable()) {
        polling_.join();
    }
}

void service::activated(std::size_t rx) {
    if (rx >= kChannels.size()) {
        return;
    }
    {
        std::lock_guard lk(poll_mu_);
        activations_[rx] = true;
    }
    poll_cv_.notify_all();
}

void service::poll_loop() {
    std::unique_lock lk(poll_mu_);
    while (!stop_polling_) {
        lk.unlock();
        poll_round();
        lk.lock();
        // The next round after the interval, or at once for an activation; nothing is held
        // while the round talks to the daemon.
        poll_cv_.wait_for(lk, opt_.poll_interval, [this] {
            return stop_polling_ ||
                   std::find(activations_.begin(), activations_.end(), true) != activations_.end();
        });
    }
}

void service::poll_round() {
    client::observe_result seen = client::observe_all(link_, opt_.observe);
    std::array<bool, kChannels.size()> activated{};
    {
        std::lock_guard lk(poll_mu_);
        activated = activations_;
        activations_.fill(false);
    }
    const auto now = client::rx_monitor::clock::now();
    std::vector<property_event> events;
    std::lock_guard lk(mon_mu_);
    for (std::size_t i = 0; i < kChannels.size(); ++i) {
        client::rx_monitor& m = monitors_[i];
        // Without an answer from the daemon the board's state is unknown: the monitors keep
        // what they last reported, and only held-back statuses fall due.
        if (seen.channels.size() == kChannels.size()) {
            m.update(seen.channels[i], now);
        }
        if (activated[i]) {
            m.activated(now);
        }
        m.tick(now);
        model_->update_monitor(i, m.reported(), &events);
    }
    if (server_) {
        server_->publish(std::move(events));
    }
}

}  // namespace nexo::nmos::ncp
