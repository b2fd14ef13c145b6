#include "ncp_service.h"

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

service::service(control_link& link, const resources& res, const node_identity& id,
                 service_options opt)
    : opt_(std::move(opt)), link_(link) {
    device_identity who;
    who.manufacturer = id.manufacturer;
    who.product = id.product;
    who.product_key = id.product;
    who.version = opt_.version;
    who.serial = id.instance_id.empty() ? id.mac : id.instance_id;
    who.label = id.label;
    model_ = std::make_unique<model>(who, receiver_ids(res), monitor_hooks{});
}

service::~service() {
    stop();
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
    return true;
}

void service::stop() {
    if (server_) {
        server_->stop();
    }
    if (serving_.joinable()) {
        serving_.join();
    }
}

}  // namespace nexo::nmos::ncp
