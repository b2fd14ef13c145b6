#include "resources.h"

#include <cctype>
#include <cstdint>
#include <cstdio>

namespace nexo::nmos {

namespace {

std::uint64_t fnv1a(const std::string& s, std::uint64_t h) {
    for (unsigned char c : s) {
        h ^= c;
        h *= 0x100000001b3ULL;
    }
    return h;
}

// How each kind of channel is named in a receiver: its format, its label and its role in a
// group of receivers.
struct kind_names {
    const char* format_urn;
    const char* label;
    const char* role;
};
constexpr std::array<kind_names, 3> kKindNames{{
    {"urn:x-nmos:format:video", "video", "Video"},
    {"urn:x-nmos:format:audio", "audio", "Audio"},
    {"urn:x-nmos:format:data", "ancillary", "Data"},
}};

const kind_names& names_of(channel_kind k) {
    return kKindNames[static_cast<std::size_t>(k)];
}

// The asset tags; the device also says what it does.
json asset_tags(const node_identity& id, bool with_function) {
    json tags = {
        {"urn:x-nmos:tag:asset:manufacturer/v1.0", {id.manufacturer}},
        {"urn:x-nmos:tag:asset:product/v1.0", {id.product}},
        {"urn:x-nmos:tag:asset:instance-id/v1.0",
         {id.instance_id.empty() ? id.mac : id.instance_id}},
    };
    if (with_function) {
        tags["urn:x-nmos:tag:asset:function/v1.0"] = {id.function};
    }
    return tags;
}

}  // namespace

std::string stable_uuid(const std::string& seed, const std::string& name) {
    std::uint64_t hi = fnv1a(seed + "\n" + name, 0xcbf29ce484222325ULL);
    std::uint64_t lo = fnv1a(name + "\n" + seed, hi ^ 0x9e3779b97f4a7c15ULL);
    // The version and variant bits of a random UUID: the value carries no meaning beyond
    // being the same for the same board and resource.
    hi = (hi & ~0xf000ULL) | 0x4000ULL;
    lo = (lo & ~(0xc0ULL << 56)) | (0x80ULL << 56);
    char buf[40];
    std::snprintf(buf, sizeof buf, "%08x-%04x-%04x-%04x-%012llx", static_cast<unsigned>(hi >> 32),
                  static_cast<unsigned>((hi >> 16) & 0xffff), static_cast<unsigned>(hi & 0xffff),
                  static_cast<unsigned>(lo >> 48),
                  static_cast<unsigned long long>(lo & 0xffffffffffffULL));
    return buf;
}

std::string clock_identity_to_gmid(const std::string& id) {
    std::string hex;
    for (char c : id) {
        if (std::isxdigit(static_cast<unsigned char>(c)) != 0) {
            hex += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        } else if (c != '.' && c != '-' && c != ':') {
            return "";
        }
    }
    if (hex.size() != 16) {
        return "";
    }
    std::string out;
    for (std::size_t i = 0; i < 16; i += 2) {
        if (i != 0) {
            out += '-';
        }
        out.append(hex, i, 2);
    }
    return out;
}

resources::resources(node_identity id, std::function<json(channel_id)> caps, tai_time start)
    : id_(std::move(id)), caps_(std::move(caps)) {
    node_id_ = stable_uuid(id_.mac, "node");
    device_id_ = stable_uuid(id_.mac, "device");
    for (std::size_t i = 0; i < kChannels.size(); ++i) {
        receiver_ids_[i] = stable_uuid(id_.mac, std::string("receiver ") + kChannels[i].name());
        receiver_versions_[i] = start;
    }
    node_version_ = device_version_ = caps_version_ = start;
}

std::optional<std::size_t> resources::receiver_index(const std::string& id) const {
    for (std::size_t i = 0; i < receiver_ids_.size(); ++i) {
        if (receiver_ids_[i] == id) {
            return i;
        }
    }
    return std::nullopt;
}

json resources::node_json() const {
    std::lock_guard lk(mu_);
    std::string host = id_.api_host.empty() ? id_.ip : id_.api_host;
    const std::string scheme = id_.tls ? "https://" : "http://";
    json clocks = json::array();
    json clk = {{"name", "clk0"},
                {"ref_type", "ptp"},
                {"version", "IEEE1588-2008"},
                {"traceable", false},
                {"locked", clock_.locked}};
    if (!clock_.gmid.empty()) {
        clk["gmid"] = clock_.gmid;
        clocks.push_back(clk);
    } else {
        clocks.push_back({{"name", "clk0"}, {"ref_type", "internal"}});
    }
    json interface = {{"name", id_.ifname}, {"chassis_id", id_.mac}, {"port_id", id_.mac}};
    return {
        {"id", node_id_},
        {"version", node_version_.text()},
        {"label", id_.label},
        {"description", "ST 2110 receiver board " + id_.hostname},
        {"tags", asset_tags(id_, false)},
        {"href", scheme + host + ":" + std::to_string(id_.port) + "/"},
        {"hostname", id_.hostname},
        {"api",
         {{"versions", {"v1.3"}},
          {"endpoints",
           {{{"host", host},
             {"port", id_.port},
             {"protocol", id_.tls ? "https" : "http"},
             {"authorization", id_.auth}}}}}},
        {"caps", json::object()},
        {"services", json::array()},
        {"clocks", clocks},
        {"interfaces", {interface}},
    };
}

json resources::device_json() const {
    std::lock_guard lk(mu_);
    std::string host = id_.api_host.empty() ? id_.ip : id_.api_host;
    const std::string scheme = id_.tls ? "https://" : "http://";
    json receivers = json::array();
    for (const auto& r : receiver_ids_) {
        receivers.push_back(r);
    }
    json controls = {
        {{"href", scheme + host + ":" + std::to_string(id_.port) + "/x-nmos/connection/v1.1/"},
         {"type", "urn:x-nmos:control:sr-ctrl/v1.1"},
         {"authorization", id_.auth}}};
    if (id_.ncp_port != 0) {
        controls.push_back({{"href", std::string(id_.tls ? "wss://" : "ws://") + host + ":" +
                                         std::to_string(id_.ncp_port) + "/x-nmos/ncp/v1.0"},
                            {"type", "urn:x-nmos:control:ncp/v1.0"},
                            {"authorization", id_.auth}});
    }
    return {
        {"id", device_id_},
        {"version", device_version_.text()},
        {"label", id_.label + " receivers"},
        {"description", "Twelve ST 2110 receive channels on " + id_.ifname},
        {"tags", asset_tags(id_, true)},
        {"type", "urn:x-nmos:device:generic"},
        {"node_id", node_id_},
        {"senders", json::array()},
        {"receivers", receivers},
        {"controls", controls},
    };
}

json resources::receiver_json(std::size_t i) const {
    channel_id ch = kChannels[i];
    json caps = caps_(ch);
    std::lock_guard lk(mu_);
    caps["version"] = caps_version_.text();  // the capabilities never change while running
    const subscription& sub = subscriptions_[i];
    return {
        {"id", receiver_ids_[i]},
        {"version", receiver_versions_[i].text()},
        {"label", std::string(names_of(kind_of(ch)).label) + " " + ch.name()},
        {"description", "Receive channel " + ch.name() + " (" + names_of(kind_of(ch)).label + ")"},
        // Channels of the same number form one input of the device, as the video, audio and
        // data of one SDI output would: "Input 1" holds 20:0, 30:0 and 40:0.
        {"tags",
         {{"urn:x-nmos:tag:grouphint/v1.0",
           {"Input " + std::to_string(ch.index + 1) + ":" + names_of(kind_of(ch)).role}}}},
        {"device_id", device_id_},
        {"transport", "urn:x-nmos:transport:rtp"},
        {"interface_bindings", {id_.ifname}},
        {"format", names_of(kind_of(ch)).format_urn},
        {"caps", caps},
        {"subscription",
         {{"sender_id", sub.sender_id ? json(*sub.sender_id) : json(nullptr)},
          {"active", sub.active}}},
    };
}

tai_time resources::bump(tai_time& version, tai_time now) {
    // Versions must move forward even when two changes fall into one reading of the clock.
    version = now > version ? now : tai_time::from_ns(version.total_ns() + 1);
    return version;
}

void resources::set_subscription(std::size_t i, const subscription& s, tai_time now) {
    std::function<void(resource_type, std::size_t)> obs;
    {
        // Every activation is a change of the receiver, even one that connects it to the same
        // sender again.
        std::lock_guard lk(mu_);
        subscriptions_[i] = s;
        bump(receiver_versions_[i], now);
        obs = observer_;
    }
    if (obs) {
        obs(resource_type::receiver, i);
    }
}

void resources::set_clock(const clock_state& c, tai_time now) {
    std::function<void(resource_type, std::size_t)> obs;
    {
        std::lock_guard lk(mu_);
        if (clock_.gmid == c.gmid && clock_.locked == c.locked) {
            return;
        }
        clock_ = c;
        bump(node_version_, now);
        obs = observer_;
    }
    if (obs) {
        obs(resource_type::node, 0);
    }
}

void resources::on_change(std::function<void(resource_type, std::size_t)> fn) {
    std::lock_guard lk(mu_);
    observer_ = std::move(fn);
}

}  // namespace nexo::nmos
