#include "rx_health.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <fstream>

namespace nexo::client {
namespace {

constexpr std::array<std::string_view, 4> kHealthNames = {"Inactive", "Healthy", "PartiallyHealthy",
                                                          "Unhealthy"};

std::string_view health_name(uint8_t v, std::string_view neutral) {
    if (v == 0) {
        return neutral;
    }
    return v < kHealthNames.size() ? kHealthNames[v] : "?";
}

template <class E>
constexpr uint8_t num(E e) {
    return static_cast<uint8_t>(e);
}

// The first line of a small file, without its line end; nullopt when it cannot be read.
std::optional<std::string> first_line(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    if (!in || !std::getline(in, line)) {
        return std::nullopt;
    }
    return line;
}

// The interface's state as the kernel shows it. "unknown" is what drivers without carrier
// reporting (tunnels, some virtual interfaces) show while the interface is up; the carrier
// file tells then.
void read_link(const std::string& interface, const observe_options& options, board_health* b) {
    std::string dir = options.sys_class_net + "/" + interface;
    auto state = first_line(dir + "/operstate");
    if (!state) {
        b->link = nc_link_status::all_down;
        b->link_message = interface + " is not present";
        return;
    }
    bool up = *state == "up";
    if (*state == "unknown") {
        up = first_line(dir + "/carrier") == "1";
    }
    b->link = up ? nc_link_status::all_up : nc_link_status::all_down;
    b->link_message = interface + (up ? " is up" : " is down (" + *state + ")");
}

// "020000.fffe.000001" (the timing daemon's clock identity) to "02-00-00-ff-fe-00-00-01", the
// form a grandmaster is named in everywhere else; text of another shape is kept as it is.
std::string grandmaster_id(const std::string& text) {
    std::string hex;
    for (char c : text) {
        if (std::isxdigit(static_cast<unsigned char>(c))) {
            hex += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        } else if (c != '.' && c != ':' && c != '-') {
            return text;
        }
    }
    if (hex.size() != 16) {
        return text;
    }
    std::string out;
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        out += (i == 0 ? "" : "-") + hex.substr(i, 2);
    }
    return out;
}

// The connection and stream of an active video channel, from its detector.
void video_health(const channel_state& s, rx_observation* o) {
    const std::string& st = s.auto_detect_state;
    std::string configured = s.format_text.empty() ? "no format" : s.format_text;
    if (st == "FORMAT_DETECTED") {
        auto measured = video_format_from_text(s.auto_detect_format);
        std::string shown =
            s.auto_detect_format.empty() ? "an unnamed format" : s.auto_detect_format;
        o->connection = nc_connection_status::healthy;
        o->connection_message = "receiving " + shown;
        if (!s.config.video) {
            o->stream = nc_stream_status::partially_healthy;
            o->stream_message = "receiving " + shown + ", but the configured format (" +
                                configured + ") is not one the board knows";
        } else if (measured && (*measured == *s.config.video ||
                                measured == detected_instead(*s.config.video))) {
            o->stream = nc_stream_status::healthy;
            o->stream_message = "receiving the configured format " + s.format_text;
        } else {
            o->stream = nc_stream_status::unhealthy;
            o->stream_message = "receiving " + shown + " but configured for " + configured;
        }
    } else if (st == "STREAM_DETECTED") {
        o->connection = nc_connection_status::partially_healthy;
        o->connection_message = "packets arriving, format being measured";
        o->stream = nc_stream_status::partially_healthy;
        o->stream_message = "format being measured, not yet checked against " + configured;
    } else if (st == "BUSY") {
        o->connection = nc_connection_status::unhealthy;
        o->connection_message = "no signal";
        o->stream = nc_stream_status::unhealthy;
        o->stream_message = "no stream to check against " + configured;
    } else {
        // The detector off (DISABLED: it runs only while the channel is on, so this is the
        // moment of switching) or a state this client does not know: nothing is measured, so
        // nothing can be called healthy.
        std::string why = st == "DISABLED" || st.empty() ? std::string("the format detector is off")
                                                         : "the format detector is in state " + st;
        o->connection = nc_connection_status::partially_healthy;
        o->connection_message = why + ": reception not measured";
        o->stream = nc_stream_status::partially_healthy;
        o->stream_message = why + ": format not checked";
    }
}

struct domain_view {
    const char* name;
    uint8_t value;
    const std::string* message;  // null when there is none
};

// The messages of the domains at the overall status's level; for a healthy receiver only
// that it is (when there is any message at all), since every domain would be listed.
std::string join_worst(const std::array<domain_view, 4>& domains, uint8_t overall) {
    if (overall == num(nc_overall_status::healthy)) {
        bool any = std::any_of(domains.begin(), domains.end(), [](const domain_view& d) {
            return d.message != nullptr && !d.message->empty();
        });
        return any ? "all statuses healthy" : "";
    }
    std::string out;
    for (const domain_view& d : domains) {
        if (d.value == overall && d.message != nullptr && !d.message->empty()) {
            out += (out.empty() ? "" : "; ") + std::string(d.name) + ": " + *d.message;
        }
    }
    return out;
}

}  // namespace

std::string_view to_string(nc_overall_status s) {
    return health_name(num(s), "Inactive");
}
std::string_view to_string(nc_connection_status s) {
    return health_name(num(s), "Inactive");
}
std::string_view to_string(nc_stream_status s) {
    return health_name(num(s), "Inactive");
}
std::string_view to_string(nc_synchronization_status s) {
    return health_name(num(s), "NotUsed");
}
std::string_view to_string(nc_link_status s) {
    switch (s) {
        case nc_link_status::all_up:
            return "AllUp";
        case nc_link_status::some_down:
            return "SomeDown";
        case nc_link_status::all_down:
            return "AllDown";
    }
    return "?";
}

nc_overall_status overall_status(nc_link_status link, nc_connection_status connection,
                                 nc_synchronization_status synchronization,
                                 nc_stream_status stream) {
    if (connection == nc_connection_status::inactive || stream == nc_stream_status::inactive) {
        return nc_overall_status::inactive;
    }
    // Neutral values are 0 and every scale grows worse with its number, so the worst domain
    // is the largest number; only a neutral synchronisation can be 0 here.
    uint8_t worst = std::max({num(link), num(connection), num(synchronization), num(stream),
                              num(nc_overall_status::healthy)});
    return static_cast<nc_overall_status>(std::min<uint8_t>(worst, 3));
}

nc_overall_status overall_status(const rx_observation& o) {
    return overall_status(o.link, o.connection, o.synchronization, o.stream);
}

std::string overall_message(const rx_observation& o) {
    nc_overall_status overall = overall_status(o);
    if (overall == nc_overall_status::inactive) {
        return "receiver off";
    }
    return join_worst({domain_view{"link", num(o.link), &o.link_message},
                       {"connection", num(o.connection), &o.connection_message},
                       {"sync", num(o.synchronization), &o.synchronization_message},
                       {"stream", num(o.stream), &o.stream_message}},
                      num(overall));
}

rx_observation observe_channel(const channel_state& s, const board_health& board) {
    rx_observation o;
    o.channel = s.config.channel;
    o.active = s.enabled;
    o.link = board.link;
    o.link_message = board.link_message;
    o.synchronization = board.synchronization;
    o.synchronization_message = board.synchronization_message;
    o.synchronization_source = board.synchronization_source;
    if (!s.enabled) {
        o.connection = nc_connection_status::inactive;
        o.connection_message = "channel off";
        o.stream = nc_stream_status::inactive;
        o.stream_message = "channel off";
        return o;
    }
    if (o.channel.type == 20) {
        video_health(s, &o);
        return o;
    }
    const char* kind = o.channel.type == 30 ? "audio" : "ancillary data";
    o.connection = nc_connection_status::partially_healthy;
    o.connection_message =
        std::string("the board has no detector on ") + kind + " channels: reception not measured";
    o.stream = nc_stream_status::partially_healthy;
    o.stream_message =
        std::string("the board has no detector on ") + kind + " channels: format not checked";
    return o;
}

std::optional<board_health> read_board_health(daemon_link& link, const std::string& interface,
                                              const observe_options& options,
                                              std::optional<link_failure>* failed) {
    board_health b;
    b.interface = interface;
    read_link(interface, options, &b);

    // The timing daemon's answers are relayed by the daemon: a timing daemon that is away
    // makes the relay answer ERROR or nothing, which says the board is not synchronised.
    std::optional<link_failure> timing;
    auto lock = ask_get(link, "GET PTP_LOCK_STATE", 3, &timing);
    if (timing && timing->reply.status == link_status::failure) {
        *failed = timing;
        return std::nullopt;
    }
    if (!lock) {
        b.synchronization = nc_synchronization_status::unhealthy;
        b.synchronization_message = "the timing daemon does not answer";
        return b;
    }
    std::string state = after_words(*lock, 2);
    if (state != "LOCKED") {
        b.synchronization = nc_synchronization_status::unhealthy;
        b.synchronization_message =
            "not locked to a grandmaster (timing daemon: " + (state.empty() ? "-" : state) + ")";
        return b;
    }
    auto clock = ask_get(link, "GET PTP_CLK_ID", 3, &timing);
    if (timing && timing->reply.status == link_status::failure) {
        *failed = timing;
        return std::nullopt;
    }
    b.synchronization = nc_synchronization_status::healthy;
    if (clock) {
        b.synchronization_source = grandmaster_id(after_words(*clock, 2));
    }
    b.synchronization_message = b.synchronization_source.empty()
                                    ? std::string("locked, grandmaster unknown")
                                    : "locked to grandmaster " + b.synchronization_source;
    return b;
}

namespace {

// What a channel's statuses rest on, read with as few exchanges as the health needs: whether
// it is on and, for an active video channel, its configured format and its detector.
std::optional<channel_state> read_health_fields(daemon_link& link, channel_id ch,
                                                const std::string& interface,
                                                std::optional<link_failure>* failed) {
    channel_state s;
    s.config.channel = ch;
    s.config.interface = interface;
    std::string name = ch.name();
    auto on = ask_get(link, "GET RX_STR_ENA " + name, 4, failed);
    if (!on) {
        return std::nullopt;
    }
    s.enabled = split(*on)[3] == "ON";
    if (!s.enabled || ch.type != 20) {
        return s;
    }
    auto fmt = ask_get(link, "GET RX_VID_FMT " + name, 3, failed);
    auto state = ask_get(link, "GET RX_FMT_AUTO_DET_STATE " + name, 4, failed);
    if (!fmt || !state) {
        return std::nullopt;
    }
    s.format_text = after_words(*fmt, 3);
    s.config.video = video_format_from_text(s.format_text);
    s.auto_detect_state = split(*state)[3];
    if (s.auto_detect_state == "FORMAT_DETECTED") {
        auto det = ask_get(link, "GET RX_FMT_AUTO_DET_FMT " + name, 3, failed);
        if (!det) {
            return std::nullopt;
        }
        s.auto_detect_format = after_words(*det, 3);
    }
    return s;
}

std::optional<std::string> interface_name(daemon_link& link, std::optional<link_failure>* failed) {
    auto iface = ask_get(link, "GET RX_NET_IF_NAME 0", 4, failed);
    if (!iface) {
        return std::nullopt;
    }
    return split(*iface).back();
}

}  // namespace

observe_result observe_all(daemon_link& link, const observe_options& options) {
    observe_result r;
    auto iface = interface_name(link, &r.failed);
    if (!iface) {
        return r;
    }
    r.board = read_board_health(link, *iface, options, &r.failed);
    if (!r.board) {
        return r;
    }
    for (const channel_id& ch : all_channels()) {
        auto s = read_health_fields(link, ch, *iface, &r.failed);
        if (!s) {
            r.channels.clear();
            return r;
        }
        r.channels.push_back(observe_channel(*s, *r.board));
    }
    return r;
}

observe_one_result observe(daemon_link& link, channel_id channel, const observe_options& options) {
    observe_one_result r;
    auto iface = interface_name(link, &r.failed);
    if (!iface) {
        return r;
    }
    auto board = read_board_health(link, *iface, options, &r.failed);
    if (!board) {
        return r;
    }
    if (auto s = read_health_fields(link, channel, *iface, &r.failed)) {
        r.observation = observe_channel(*s, *board);
    }
    return r;
}

// The monitor -------------------------------------------------------------------------------

namespace {

enum domain_index : std::size_t { kLink, kConnection, kSynchronization, kStream };

constexpr std::array kDomainNames = {"link", "connection", "sync", "stream"};

std::array<uint8_t, 4> observed_values(const rx_observation& o) {
    return {num(o.link), num(o.connection), num(o.synchronization), num(o.stream)};
}

std::array<const std::string*, 4> observed_messages(const rx_observation& o) {
    return {&o.link_message, &o.connection_message, &o.synchronization_message, &o.stream_message};
}

}  // namespace

void rx_monitor::publish() {
    rx_reported& r = reported_;
    r.link = static_cast<nc_link_status>(domains_[kLink].value);
    r.link_message = domains_[kLink].message;
    r.link_transitions = domains_[kLink].transitions;
    r.connection = static_cast<nc_connection_status>(domains_[kConnection].value);
    r.connection_message = domains_[kConnection].message;
    r.connection_transitions = domains_[kConnection].transitions;
    r.synchronization = static_cast<nc_synchronization_status>(domains_[kSynchronization].value);
    r.synchronization_message = domains_[kSynchronization].message;
    r.synchronization_transitions = domains_[kSynchronization].transitions;
    r.stream = static_cast<nc_stream_status>(domains_[kStream].value);
    r.stream_message = domains_[kStream].message;
    r.stream_transitions = domains_[kStream].transitions;
    r.overall = overall_status(r.link, r.connection, r.synchronization, r.stream);

    std::array<domain_view, 4> views{};
    for (std::size_t i = 0; i < views.size(); ++i) {
        const auto& m = domains_[i].message;
        views[i] = {kDomainNames[i], domains_[i].value, m ? &*m : nullptr};
    }
    // While off, the overall status rests on the connection alone.
    std::string text = r.overall == nc_overall_status::inactive
                           ? (views[kConnection].message ? *views[kConnection].message : "")
                           : join_worst(views, num(r.overall));
    r.overall_message = text.empty() ? std::nullopt : std::optional<std::string>(text);
}

std::vector<rx_property> rx_monitor::changes(const rx_reported& before) const {
    const rx_reported& a = before;
    const rx_reported& b = reported_;
    std::vector<rx_property> out;
    auto check = [&](bool differ, rx_property p) {
        if (differ) {
            out.push_back(p);
        }
    };
    using p = rx_property;
    check(a.overall != b.overall, p::overall_status);
    check(a.overall_message != b.overall_message, p::overall_status_message);
    check(a.status_reporting_delay != b.status_reporting_delay, p::status_reporting_delay);
    check(a.link != b.link, p::link_status);
    check(a.link_message != b.link_message, p::link_status_message);
    check(a.link_transitions != b.link_transitions, p::link_status_transition_counter);
    check(a.connection != b.connection, p::connection_status);
    check(a.connection_message != b.connection_message, p::connection_status_message);
    check(a.connection_transitions != b.connection_transitions,
          p::connection_status_transition_counter);
    check(a.synchronization != b.synchronization, p::external_synchronization_status);
    check(a.synchronization_message != b.synchronization_message,
          p::external_synchronization_status_message);
    check(a.synchronization_transitions != b.synchronization_transitions,
          p::external_synchronization_status_transition_counter);
    check(a.synchronization_source != b.synchronization_source, p::synchronization_source_id);
    check(a.stream != b.stream, p::stream_status);
    check(a.stream_message != b.stream_message, p::stream_status_message);
    check(a.stream_transitions != b.stream_transitions, p::stream_status_transition_counter);
    check(a.auto_reset_counters_and_messages != b.auto_reset_counters_and_messages,
          p::auto_reset_counters_and_messages);
    return out;
}

void rx_monitor::start_activation(clock::time_point now) {
    if (reported_.auto_reset_counters_and_messages) {
        clear_counters_and_messages();
    }
    // Connection and stream are Healthy from the activation on, whatever the board shows
    // while the stream settles; their messages say nothing until the real state is taken.
    for (std::size_t i : {kConnection, kStream}) {
        domains_[i].value = num(nc_connection_status::healthy);
        domains_[i].message.reset();
        domains_[i].taken.clear();
        domains_[i].better_since.reset();
    }
    activated_at_ = now;
}

void rx_monitor::clear_counters_and_messages() {
    for (domain& d : domains_) {
        d.transitions = 0;
        d.message.reset();
    }
}

void rx_monitor::settle(clock::time_point now) {
    if (!seen_) {
        return;
    }
    const rx_observation& o = *seen_;
    auto delay = std::chrono::seconds(reported_.status_reporting_delay);
    if (activated_at_ && now - *activated_at_ >= delay) {
        activated_at_.reset();
    }
    auto values = observed_values(o);
    auto messages = observed_messages(o);
    for (std::size_t i = 0; i < domains_.size(); ++i) {
        domain& d = domains_[i];
        uint8_t want = values[i];
        const std::string& text = *messages[i];
        bool held = activated_at_ && (i == kConnection || i == kStream);
        if (held) {
            continue;
        }
        if (want > d.value) {
            d.value = want;
            d.message = text;
            d.taken = text;
            d.better_since.reset();
            ++d.transitions;
        } else if (want < d.value) {
            if (!d.better_since) {
                d.better_since = now;
            }
            if (now - *d.better_since >= delay) {
                d.value = want;
                d.message = text;
                d.taken = text;
                d.better_since.reset();
            }
        } else {
            d.better_since.reset();
            if (text != d.taken) {
                d.message = text;
                d.taken = text;
            }
        }
    }
    reported_.synchronization_source = o.synchronization_source.empty()
                                           ? std::nullopt
                                           : std::optional<std::string>(o.synchronization_source);
}

std::vector<rx_property> rx_monitor::update(const rx_observation& seen, clock::time_point now) {
    rx_reported before = reported_;
    if (!seen_) {
        // The first observation is the starting point: nothing to delay or count.
        auto values = observed_values(seen);
        auto messages = observed_messages(seen);
        for (std::size_t i = 0; i < domains_.size(); ++i) {
            domains_[i].value = values[i];
            domains_[i].message = *messages[i];
            domains_[i].taken = *messages[i];
        }
        seen_ = seen;
        last_source_ = seen.synchronization_source;
        settle(now);
        publish();
        return changes(before);
    }
    bool was_active = seen_->active;
    seen_ = seen;
    if (seen.active && !was_active) {
        start_activation(now);
    } else if (!seen.active && was_active) {
        // Switched off: straight to Inactive, with no unhealthy state on the way.
        activated_at_.reset();
        for (std::size_t i : {kConnection, kStream}) {
            domains_[i].value = 0;
            domains_[i].better_since.reset();
        }
        domains_[kConnection].message = seen.connection_message;
        domains_[kConnection].taken = seen.connection_message;
        domains_[kStream].message = seen.stream_message;
        domains_[kStream].taken = seen.stream_message;
    }

    const std::string& source = seen.synchronization_source;
    bool source_changed = !source.empty() && !last_source_.empty() && source != last_source_;
    if (!source.empty()) {
        last_source_ = source;
    }
    settle(now);
    domain& sync = domains_[kSynchronization];
    if (source_changed && sync.value < num(nc_synchronization_status::partially_healthy)) {
        // A new grandmaster is a partial loss of lock until it has held for the delay.
        sync.value = num(nc_synchronization_status::partially_healthy);
        sync.message = "grandmaster changed to " + source;
        sync.taken = seen.synchronization_message;
        sync.better_since = now;
        ++sync.transitions;
    }
    publish();
    return changes(before);
}

std::vector<rx_property> rx_monitor::activated(clock::time_point now) {
    rx_reported before = reported_;
    if (seen_ && seen_->active) {
        start_activation(now);
        settle(now);
        publish();
    }
    return changes(before);
}

std::vector<rx_property> rx_monitor::tick(clock::time_point now) {
    rx_reported before = reported_;
    settle(now);
    publish();
    return changes(before);
}

std::vector<rx_property> rx_monitor::reset_counters_and_messages() {
    rx_reported before = reported_;
    clear_counters_and_messages();
    publish();
    return changes(before);
}

std::vector<rx_property> rx_monitor::set_status_reporting_delay(uint32_t seconds,
                                                                clock::time_point now) {
    rx_reported before = reported_;
    reported_.status_reporting_delay = seconds;
    settle(now);
    publish();
    return changes(before);
}

std::vector<rx_property> rx_monitor::set_auto_reset_counters_and_messages(bool on) {
    rx_reported before = reported_;
    reported_.auto_reset_counters_and_messages = on;
    return changes(before);
}

std::optional<rx_monitor::clock::time_point> rx_monitor::next_due() const {
    auto delay = std::chrono::seconds(reported_.status_reporting_delay);
    std::optional<clock::time_point> due;
    auto consider = [&](std::optional<clock::time_point> since) {
        if (since && (!due || *since + delay < *due)) {
            due = *since + delay;
        }
    };
    consider(activated_at_);
    for (const domain& d : domains_) {
        consider(d.better_since);
    }
    return due;
}

}  // namespace nexo::client
