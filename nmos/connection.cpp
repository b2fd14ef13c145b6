#include "connection.h"

#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <regex>

#include "chan_plan.h"
#include "transport_file.h"

namespace nexo::nmos {

namespace {

using steady = std::chrono::steady_clock;

// The scheduler starts an activation once the timing daemon's clock reads at most this long
// before its time: the channel is read within the lead, and the lines that change it go when
// the kernel's TAI clock, by its offset from the daemon's clock just read, says the time has
// come; so that a request arriving at the activation time already sees its outcome.
constexpr std::chrono::milliseconds kSchedulerLead{50};
// How long it waits before asking again when the timing daemon does not answer.
constexpr std::chrono::milliseconds kClockRetry{200};

constexpr unsigned kDefaultPort = 5004;
// How far ahead an activation may be scheduled: beyond it a time is taken for a mistake.
constexpr std::int64_t kMaxScheduleSec = 366 * 24 * 3600;
constexpr const char* kParamKeys[] = {"source_ip", "multicast_ip", "interface_ip",
                                      "destination_port", "rtp_enabled"};

// Dynamic payload types the channels expect when nothing else says.
unsigned default_payload_type(channel_kind k) {
    switch (k) {
        case channel_kind::video:
            return 96;
        case channel_kind::audio:
            return 97;
        case channel_kind::data:
            break;
    }
    return 100;
}

using ipv4_bytes = std::array<std::uint8_t, 4>;

// The same dotted-quad rule as nexoctl and the daemon (decimal octets, a leading zero allowed),
// on the whole string: a NUL or anything after the fourth octet is no address.
std::optional<ipv4_bytes> ipv4(const std::string& s) {
    return client::dotted(s);
}

std::string dotted_text(const ipv4_bytes& a) {
    return std::to_string(a[0]) + "." + std::to_string(a[1]) + "." + std::to_string(a[2]) + "." +
           std::to_string(a[3]);
}

// Text that goes into a daemon line or a session description: printable, or line breaks and
// tabs where a description has them.
bool plain_text(const std::string& s) {
    return std::all_of(s.begin(), s.end(), [](char c) {
        auto u = static_cast<unsigned char>(c);
        return u >= 0x20 ? u != 0x7f : c == '\r' || c == '\n' || c == '\t';
    });
}

bool is_uuid(const json& v) {
    static const std::regex re(
        "^[0-9a-f]{8}-[0-9a-f]{4}-[1-5][0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$");
    return v.is_string() && std::regex_match(v.get<std::string>(), re);
}

// The configuration the staged parameters ask of the channel; no group is the board's own
// address, "auto" the transport's default port, no source any source.
client::channel_config wanted(channel_id ch, const std::string& ifname, const json& p) {
    client::channel_config c;
    c.channel = ch;
    c.interface = ifname;
    c.destination = p["multicast_ip"].is_string() ? p["multicast_ip"].get<std::string>() : "self";
    c.port =
        p["destination_port"].is_number() ? p["destination_port"].get<unsigned>() : kDefaultPort;
    c.source = p["source_ip"].is_string() ? p["source_ip"].get<std::string>() : "0.0.0.0";
    return c;
}

// The client library's rule for streams another channel would lose (chan_plan.h), checked
// against what the daemon reports for the other channels before anything is sent: "" when the
// activation can go ahead, otherwise why not. Parking a receiver takes nothing away.
std::string conflict_with_others(board_control& board, std::size_t i, const json& p, bool enable) {
    if (!enable) {
        return "";
    }
    client::conflict_check c =
        client::check_conflicts(board.link(), wanted(kChannels[i], board.interface_name(), p));
    if (c.failed) {
        throw_for(*c.failed);
    }
    return c.conflict.value_or("");
}

json default_params() {
    return {{"source_ip", nullptr},
            {"multicast_ip", nullptr},
            {"interface_ip", "auto"},
            {"destination_port", "auto"},
            {"rtp_enabled", true}};
}

}  // namespace

json error_body(int code, const std::string& error, const std::string& debug) {
    return {
        {"code", code}, {"error", error}, {"debug", debug.empty() ? json(nullptr) : json(debug)}};
}

connection::connection(board_control& b, resources& r, std::function<std::string()> interface_ip)
    : board_(b), res_(r), interface_ip_(std::move(interface_ip)) {
    for (auto& s : staged_) {
        s.params = default_params();
    }
    scheduler_ = std::thread([this] { scheduler_loop(); });
}

connection::~connection() {
    stop();
}

void connection::stop() {
    {
        std::lock_guard lk(mu_);
        stop_ = true;
    }
    cv_.notify_all();
    if (scheduler_.joinable()) {
        scheduler_.join();
    }
}

connection::in_flight::in_flight(connection& c, std::unique_lock<std::mutex>& lk, std::size_t i)
    : c_(c), lk_(lk), i_(i) {
    c_.idle_cv_.wait(lk, [this] { return !c_.busy_[i_]; });
    c_.busy_[i_] = true;
}

connection::in_flight::~in_flight() {
    if (lk_.owns_lock()) {
        c_.busy_[i_] = false;
    } else {
        std::lock_guard relock(c_.mu_);
        c_.busy_[i_] = false;
    }
    c_.idle_cv_.notify_all();
}

tai_time connection::now_for_version() {
    try {
        return board_.ptp_time();
    } catch (const std::exception&) {
        // The version only has to move forward; without the timing daemon the kernel's TAI
        // clock stands in for it.
        timespec ts{};
        ::clock_gettime(CLOCK_TAI, &ts);
        return {ts.tv_sec, static_cast<std::uint32_t>(ts.tv_nsec)};
    }
}

json connection::constraints(std::size_t) const {
    json iface = json::array();
    if (std::string ip = interface_ip_(); !ip.empty()) {
        iface.push_back(ip);
    }
    return json::array({{
        {"source_ip", json::object()},
        {"multicast_ip", json::object()},
        {"interface_ip", {{"enum", iface}}},
        {"destination_port", {{"minimum", 1}, {"maximum", 65535}}},
        {"rtp_enabled", json::object()},
    }});
}

json connection::staged_json(const staged_state& s) const {
    return {
        {"sender_id", s.sender_id},
        {"master_enable", s.master_enable},
        {"activation",
         {{"mode", s.act.mode},
          {"requested_time", s.act.requested_time},
          {"activation_time", s.act.activation_time}}},
        {"transport_file", s.transport_file},
        {"transport_params", json::array({s.params})},
    };
}

json connection::staged(std::size_t i) const {
    // Not in the middle of this receiver's activation: staged and active change together.
    std::unique_lock lk(mu_);
    idle_cv_.wait(lk, [&] { return !busy_[i]; });
    return staged_json(staged_[i]);
}

json connection::active(std::size_t i) {
    std::unique_lock lk(mu_);
    shared_read& r = reads_[i];
    const std::uint64_t arrived = r.begun;
    idle_cv_.wait(lk, [&] { return r.done > arrived || !busy_[i]; });
    if (r.done <= arrived) {
        in_flight reading(*this, lk, i);
        const std::uint64_t number = ++r.begun;
        json body;
        std::string error;
        bool unavailable = false;
        try {
            body = read_active(i, lk);
        } catch (const daemon_unavailable& e) {
            error = e.what();
            unavailable = true;
        } catch (const daemon_refused& e) {
            error = e.what();
        }
        if (!lk.owns_lock()) {
            lk.lock();
        }
        r.done = number;
        r.body = std::move(body);
        r.error = std::move(error);
        r.unavailable = unavailable;
    }
    if (r.error.empty()) {
        return r.body;
    }
    if (r.unavailable) {
        throw daemon_unavailable(r.error);
    }
    throw daemon_refused(r.error);
}

json connection::read_active(std::size_t i, std::unique_lock<std::mutex>& lk) {
    lk.unlock();
    client::read_result read;
    {
        // The format is not part of what a receiver shows: four lines, in one session.
        client::link_session session(board_.link());
        read = client::read_channel(board_.link(), kChannels[i],
                                    client::read_options{false, false, board_.interface_name()});
    }
    if (!read.state) {
        throw_for(*read.failed);
    }
    const client::channel_state& now = *read.state;
    const client::channel_config& got = now.config;
    lk.lock();
    active_state& a = active_[i];
    // What nexoctl or an operator changed behind the node's back is shown as it is; the sender
    // and its description then no longer describe the channel.
    bool ours = a.applied && a.applied->destination == got.destination &&
                a.applied->port == got.port && a.applied->source == got.source;
    json params = {
        {"source_ip",
         got.source == "0.0.0.0" || !ipv4(got.source) ? json(nullptr) : json(got.source)},
        {"multicast_ip",
         client::receivable_group(got.destination) ? json(got.destination) : json(nullptr)},
        {"interface_ip", interface_ip_().empty() ? json("0.0.0.0") : json(interface_ip_())},
        // A port the daemon holds as 0 was never set: the transport's default applies.
        {"destination_port", got.port == 0 ? kDefaultPort : got.port},
        {"rtp_enabled", now.interface_enabled},
    };
    bool master = now.enabled || (ours && a.master_enable && !now.interface_enabled);
    // The discovery API's subscription says what this says, whatever changed the channel (a
    // daemon that came back empty, nexoctl).
    subscription follows;
    follows.active = master;
    if (master && ours && a.sender_id.is_string()) {
        follows.sender_id = a.sender_id.get<std::string>();
    }
    json body = {
        {"sender_id", ours ? a.sender_id : json(nullptr)},
        {"master_enable", master},
        {"activation",
         {{"mode", a.act.mode},
          {"requested_time", a.act.requested_time},
          {"activation_time", a.act.activation_time}}},
        {"transport_file", ours ? a.transport_file : json{{"data", nullptr}, {"type", nullptr}}},
        {"transport_params", json::array({params})},
    };
    if (follows.active != a.reported.active || follows.sender_id != a.reported.sender_id) {
        a.reported = follows;
        lk.unlock();
        res_.set_subscription(i, follows, now_for_version());
    }
    return body;
}

void connection::follow_channels() {
    client::link_session session(board_.link());
    for (std::size_t i = 0; i < kChannels.size(); ++i) {
        {
            // Only a subscription can be untrue: a channel the node has not connected is shown
            // unsubscribed, and reading it would only take turns from other clients.
            std::lock_guard lk(mu_);
            if (!active_[i].reported.active) {
                continue;
            }
        }
        try {
            active(i);
        } catch (const std::exception&) {
            return;  // the daemon is away: nothing to read now
        }
    }
}

std::string connection::merge(std::size_t i, const json& patch, staged_state* s) const {
    if (!patch.is_object()) {
        return "the request body must be a JSON object";
    }
    for (auto it = patch.begin(); it != patch.end(); ++it) {
        const std::string& k = it.key();
        if (k != "sender_id" && k != "master_enable" && k != "activation" &&
            k != "transport_file" && k != "transport_params") {
            return k + ": not a staged parameter";
        }
    }
    if (patch.contains("sender_id")) {
        const json& v = patch["sender_id"];
        if (!v.is_null() && !is_uuid(v)) {
            return "sender_id: must be a UUID or null";
        }
        s->sender_id = v;
    }
    if (patch.contains("master_enable")) {
        if (!patch["master_enable"].is_boolean()) {
            return "master_enable: must be true or false";
        }
        s->master_enable = patch["master_enable"].get<bool>();
    }
    if (patch.contains("transport_file")) {
        const json& tf = patch["transport_file"];
        if (!tf.is_object()) {
            return "transport_file: must be an object with data and type";
        }
        for (auto it = tf.begin(); it != tf.end(); ++it) {
            if (it.key() != "data" && it.key() != "type") {
                return "transport_file." + it.key() + ": not a transport file field";
            }
        }
        json data = tf.value("data", json(nullptr));
        json type = tf.value("type", json(nullptr));
        if (!data.is_null() && !data.is_string()) {
            return "transport_file.data: must be a string or null";
        }
        if (data.is_string()) {
            if (!plain_text(data.get<std::string>())) {
                return "transport_file.data: control characters other than line breaks";
            }
            if (!type.is_null() && type != "application/sdp") {
                return "transport_file.type: only application/sdp is accepted";
            }
            transport_file_result r = read_transport_file(kChannels[i], data.get<std::string>());
            if (!r.refusal.empty()) {
                return "transport_file: " + r.refusal;
            }
            s->params["multicast_ip"] = r.multicast_ip ? json(*r.multicast_ip) : json(nullptr);
            s->params["source_ip"] = r.source_ip ? json(*r.source_ip) : json(nullptr);
            if (r.destination_port != 0) {
                s->params["destination_port"] = r.destination_port;
            }
            s->video = r.video;
            s->audio = r.audio;
            s->payload_type = r.payload_type;
            s->transport_file = {{"data", data}, {"type", "application/sdp"}};
        } else {
            s->video.reset();
            s->audio.reset();
            s->payload_type = 0;
            s->transport_file = {{"data", nullptr}, {"type", nullptr}};
        }
    }
    if (patch.contains("transport_params")) {
        const json& legs = patch["transport_params"];
        if (!legs.is_array() || legs.size() != 1 || !legs[0].is_object()) {
            return "transport_params: must be an array of one object (this receiver has one "
                   "interface)";
        }
        for (auto it = legs[0].begin(); it != legs[0].end(); ++it) {
            const std::string& k = it.key();
            const json& v = it.value();
            if (std::find(std::begin(kParamKeys), std::end(kParamKeys), k) ==
                std::end(kParamKeys)) {
                return "transport_params." + k + ": not supported by this receiver";
            }
            if (k == "source_ip") {
                if (!v.is_null() && (!v.is_string() || !ipv4(v.get<std::string>()))) {
                    return "source_ip: must be an IPv4 address or null";
                }
                if (v.is_string()) {
                    auto a = *ipv4(v.get<std::string>());
                    if (a[0] == 127 || a[0] == 255 || a[0] >= 224) {
                        return "source_ip: " + dotted_text(a) + " cannot be a sender's address";
                    }
                    s->params[k] = dotted_text(a);
                    continue;
                }
            } else if (k == "multicast_ip") {
                if (!v.is_null() && (!v.is_string() || !ipv4(v.get<std::string>()))) {
                    return "multicast_ip: must be an IPv4 address or null";
                }
                if (v.is_string()) {
                    auto a = *ipv4(v.get<std::string>());
                    if (!client::receivable_group(dotted_text(a))) {
                        return "multicast_ip: " + dotted_text(a) +
                               " is not a multicast group this board can join (224.0.2.0 to "
                               "239.255.255.255)";
                    }
                    s->params[k] = dotted_text(a);
                    continue;
                }
            } else if (k == "interface_ip") {
                if (!v.is_string() || (v != "auto" && v != interface_ip_())) {
                    return "interface_ip: must be \"auto\" or " +
                           (interface_ip_().empty() ? std::string("eth1's address")
                                                    : interface_ip_());
                }
            } else if (k == "destination_port") {
                bool ok = (v.is_string() && v == "auto") ||
                          (v.is_number_integer() && v.get<long long>() >= 1 &&
                           v.get<long long>() <= 65535);
                if (!ok) {
                    return "destination_port: must be \"auto\" or 1 to 65535";
                }
            } else if (k == "rtp_enabled") {
                if (!v.is_boolean()) {
                    return "rtp_enabled: must be true or false";
                }
            }
            s->params[k] = v;
        }
    }
    if (patch.contains("activation")) {
        const json& a = patch["activation"];
        if (!a.is_object()) {
            return "activation: must be an object";
        }
        json mode = a.value("mode", json(nullptr));
        json req = a.value("requested_time", json(nullptr));
        if (!mode.is_null() && mode != "activate_immediate" &&
            mode != "activate_scheduled_relative" && mode != "activate_scheduled_absolute") {
            return "activation.mode: unknown mode";
        }
        if (!req.is_null() && (!req.is_string() || !tai_time::parse(req.get<std::string>()))) {
            return "activation.requested_time: must be \"seconds:nanoseconds\" (seconds up to " +
                   std::to_string(tai_time::kMaxSec) + ") or null";
        }
        if (mode == "activate_scheduled_relative" &&
            tai_time::parse(req.get<std::string>())->sec > kMaxScheduleSec) {
            return "activation.requested_time: more than " + std::to_string(kMaxScheduleSec) +
                   " s ahead";
        }
        if (mode.is_string() && mode != "activate_immediate" && req.is_null()) {
            return "activation.requested_time: a scheduled activation needs a time";
        }
        s->act = {mode, mode == "activate_immediate" ? json(nullptr) : req, nullptr};
    }
    return "";
}

api_result connection::patch_staged(std::size_t i, const json& patch) {
    std::unique_lock lk(mu_);
    in_flight busy(*this, lk, i);
    staged_state next;
    bool cancelling = patch.is_object() && patch.contains("activation") &&
                      patch["activation"].is_object() &&
                      patch["activation"].value("mode", json(nullptr)).is_null();
    if (pending_[i].armed && !cancelling) {
        return {423, error_body(423, "an activation is scheduled for this receiver",
                                "cancel it with an activation mode of null first")};
    }
    next = staged_[i];
    if (std::string why = merge(i, patch, &next); !why.empty()) {
        return {400, error_body(400, why)};
    }
    if (pending_[i].armed && cancelling) {
        pending_[i].armed = false;
        next.act = {nullptr, nullptr, nullptr};
    }
    const json mode = next.act.mode;
    if (mode.is_null()) {
        staged_[i] = next;
        return {200, staged_json(next)};
    }
    lk.unlock();
    // The lines of one activation go in one session, ended before mu_ is taken again: its end
    // waits for the daemon.
    std::optional<client::link_session> session(std::in_place, board_.link());
    if (std::string why = conflict_with_others(board_, i, next.params, next.master_enable);
        !why.empty()) {
        return {400, error_body(400, why)};
    }
    tai_time now = board_.ptp_time();  // throws daemon_unavailable: 503
    if (mode == "activate_immediate") {
        activation act{mode, nullptr, now.text()};
        activate(i, next, act);
        next.act = act;
        json body = staged_json(next);
        next.act = {nullptr, nullptr, nullptr};
        session.reset();
        lk.lock();
        staged_[i] = next;
        return {200, body};
    }
    // Both instants are at most tai_time::kMaxSec: their nanosecond counts and their sum fit.
    tai_time req = *tai_time::parse(next.act.requested_time.get<std::string>());
    tai_time target = mode == "activate_scheduled_relative"
                          ? tai_time::from_ns(now.total_ns() + req.total_ns())
                          : req;
    std::int64_t ahead_ns = target.total_ns() - now.total_ns();
    if (ahead_ns > kMaxScheduleSec * 1000000000) {
        return {400, error_body(400,
                                "activation.requested_time: more than " +
                                    std::to_string(kMaxScheduleSec) + " s ahead of the clock",
                                "the clock reads " + now.text())};
    }
    next.act.activation_time = target.text();
    session.reset();
    lk.lock();
    staged_[i] = next;
    pending_[i].armed = true;
    pending_[i].target = target;
    pending_[i].check_at = steady::now() + std::chrono::nanoseconds(std::max<std::int64_t>(
                                               0, ahead_ns - kSchedulerLead.count() * 1000000));
    cv_.notify_all();
    return {202, staged_json(next)};
}

void connection::activate(std::size_t i, const staged_state& s, const activation& act,
                          std::optional<std::int64_t> at) {
    const channel_id ch = kChannels[i];
    const json& p = s.params;
    client::channel_plan plan;
    plan.config = wanted(ch, board_.interface_name(), p);
    plan.config.payload_type = s.payload_type;
    plan.config.video = s.video;
    plan.config.audio = s.audio;
    client::apply_options options;
    // A parked receiver is switched off first and keeps its interface; without RTP the
    // interface goes off too.
    options.switches = !p["rtp_enabled"].get<bool>() ? client::switching::all_off
                       : s.master_enable             ? client::switching::on
                                                     : client::switching::off;
    options.interface = plan.config.interface;
    options.default_payload_type = default_payload_type(kind_of(ch));
    if (at) {
        options.before_sets = [at] {
            timespec ts{static_cast<time_t>(*at / 1000000000), static_cast<long>(*at % 1000000000)};
            while (::clock_nanosleep(CLOCK_TAI, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
            }
        };
    }
    client::apply_result r = client::apply_plan(board_.link(), plan, options);
    if (r.status != client::link_status::ok) {
        // The library's messages say what failed, and what was set back or could not be.
        std::string what;
        for (const std::string& m : r.messages) {
            what += (what.empty() ? "" : "; ") + m;
        }
        throw_for(r.status, what);
    }
    std::lock_guard lk(mu_);
    active_state& a = active_[i];
    a.sender_id = s.sender_id;
    a.transport_file = s.transport_file;
    a.act = act;
    a.master_enable = s.master_enable;
    a.applied = plan.config;
    // A parked receiver (master_enable false) is subscribed to nothing.
    subscription sub;
    if (s.master_enable && s.sender_id.is_string()) {
        sub.sender_id = s.sender_id.get<std::string>();
    }
    sub.active = s.master_enable;
    a.reported = sub;
    res_.set_subscription(i, sub, *tai_time::parse(act.activation_time.get<std::string>()));
}

void connection::scheduler_loop() {
    // Every wait is on cv_, which lets go of mu_ and wakes for a change of schedule or stop;
    // the clock is asked and the channel set with nothing held but the receiver's mark.
    std::unique_lock lk(mu_);
    while (!stop_) {
        std::optional<std::size_t> next;
        for (std::size_t i = 0; i < pending_.size(); ++i) {
            if (pending_[i].armed && (!next || pending_[i].check_at < pending_[*next].check_at)) {
                next = i;
            }
        }
        if (!next) {
            cv_.wait(lk);
            continue;
        }
        const std::size_t i = *next;
        if (steady::now() < pending_[i].check_at) {
            cv_.wait_until(lk, pending_[i].check_at);
            continue;  // the time came, or the schedule changed: look again
        }
        const tai_time target = pending_[i].target;
        std::optional<tai_time> now;
        lk.unlock();
        // The steady clock only tells when to look; the timing daemon's clock decides.
        try {
            now = board_.ptp_time();
        } catch (const std::exception&) {
        }
        lk.lock();
        if (stop_ || !pending_[i].armed || pending_[i].target != target) {
            continue;
        }
        const auto left = now ? std::chrono::nanoseconds(target.total_ns() - now->total_ns())
                              : std::chrono::nanoseconds::max();
        if (left > kSchedulerLead) {
            // Not yet: look again a lead before the time.
            pending_[i].check_at =
                steady::now() +
                (now ? left - kSchedulerLead
                     : std::chrono::duration_cast<std::chrono::nanoseconds>(kClockRetry));
            continue;
        }
        in_flight applying(*this, lk, i);  // after a request on the receiver that is under way
        if (stop_ || !pending_[i].armed || pending_[i].target != target) {
            continue;
        }
        pending_[i].armed = false;
        staged_state s = staged_[i];
        activation act = s.act;
        lk.unlock();
        try {
            activate(i, s, act, board_.kernel_tai_ns_at(target));
        } catch (const std::exception& e) {
            std::fprintf(stderr, "nexo-nmos: scheduled activation of %s failed: %s\n",
                         kChannels[i].name().c_str(), e.what());
        }
        lk.lock();
        if (!pending_[i].armed) {
            staged_[i].act = {nullptr, nullptr, nullptr};
        }
    }
}

api_result connection::bulk(const json& body) {
    if (!body.is_array()) {
        return {400, error_body(400, "the request body must be an array of {id, params}")};
    }
    json results = json::array();
    for (const json& item : body) {
        if (!item.is_object() || !item.contains("id") || !item["id"].is_string() ||
            !item.contains("params")) {
            return {400, error_body(400, "each element needs an id and params")};
        }
    }
    // Every receiver's lines in one session of the link.
    client::link_session session(board_.link());
    for (const json& item : body) {
        std::string id = item["id"].get<std::string>();
        json r = {{"id", id}};
        auto idx = res_.receiver_index(id);
        api_result one;
        if (!idx) {
            one = {404, error_body(404, "no receiver " + id)};
        } else {
            try {
                one = patch_staged(*idx, item["params"]);
            } catch (const daemon_unavailable& e) {
                one = {503, error_body(503, "the nexo daemon is not available", e.what())};
            } catch (const daemon_refused& e) {
                one = {500, error_body(500, "the nexo daemon refused the change", e.what())};
            }
        }
        r["code"] = one.code;
        if (one.code >= 400) {
            r["error"] = one.body["error"];
            r["debug"] = one.body["debug"];
        }
        results.push_back(r);
    }
    return {200, results};
}

}  // namespace nexo::nmos
