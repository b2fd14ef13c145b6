#include "board_control.h"

#include <time.h>

#include <charconv>
#include <sstream>
#include <vector>

namespace nexo::nmos {

namespace {

std::vector<std::string> words_of(std::string_view line) {
    std::vector<std::string> words;
    std::istringstream in{std::string(line)};
    for (std::string w; in >> w;) {
        words.push_back(w);
    }
    return words;
}

template <typename T>
bool to_number(std::string_view s, T* out) {
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), *out);
    return ec == std::errc() && end == s.data() + s.size();
}

}  // namespace

channel_kind kind_of(channel_id ch) {
    switch (ch.type) {
        case 20:
            return channel_kind::video;
        case 30:
            return channel_kind::audio;
        default:
            return channel_kind::data;
    }
}

std::string tai_time::text() const {
    return std::to_string(sec) + ":" + std::to_string(nsec);
}

std::optional<tai_time> tai_time::parse(std::string_view s) {
    auto colon = s.find(':');
    if (colon == std::string_view::npos) {
        return std::nullopt;
    }
    tai_time t;
    if (!to_number(s.substr(0, colon), &t.sec) || t.sec < 0 || t.sec > kMaxSec ||
        !to_number(s.substr(colon + 1), &t.nsec) || t.nsec >= 1000000000) {
        return std::nullopt;
    }
    return t;
}

tai_time tai_time::from_ns(std::int64_t ns) {
    return {ns / 1000000000, static_cast<std::uint32_t>(ns % 1000000000)};
}

void throw_for(client::link_status status, const std::string& what) {
    if (status == client::link_status::ok || status == client::link_status::error) {
        throw daemon_refused(what);
    }
    throw daemon_unavailable(what);
}

void throw_for(const client::link_failure& failed) {
    throw_for(failed.reply.status, client::to_string(failed));
}

std::optional<tai_time> parse_ptp_time_reply(std::string_view line) {
    auto w = words_of(line);
    tai_time t;
    if (w.size() != 4 || w[0] != "RGET" || w[1] != "PTP_TIME" || !to_number(w[2], &t.sec) ||
        t.sec < 0 || t.sec > tai_time::kMaxSec || !to_number(w[3], &t.nsec) ||
        t.nsec >= 1000000000) {
        return std::nullopt;
    }
    return t;
}

std::string board_control::get(const std::string& line) {
    client::link_reply r = link_.exchange(line);
    switch (r.status) {
        case client::link_status::ok:
            return r.text;
        case client::link_status::error:
            throw daemon_refused("the nexo daemon refused \"" + line + "\"");
        case client::link_status::no_reply:
            throw daemon_unavailable("the nexo daemon did not answer \"" + line + "\"");
        case client::link_status::failure:
            break;
    }
    throw daemon_unavailable(r.text.empty() ? "the nexo daemon cannot be reached" : r.text);
}

std::string board_control::interface_name() {
    // The board has one receive interface for good; its name is asked once.
    std::lock_guard lk(mu_);
    if (ifname_.empty()) {
        auto w = words_of(get("GET RX_NET_IF_NAME 0"));
        if (w.size() != 4) {
            throw daemon_refused("unexpected reply to GET RX_NET_IF_NAME");
        }
        ifname_ = w[3];
    }
    return ifname_;
}

std::int64_t kernel_tai_ns() {
    timespec ts{};
    ::clock_gettime(CLOCK_TAI, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

tai_time board_control::ptp_time() {
    const std::int64_t sent = kernel_tai_ns();
    std::string line = get("GET PTP_TIME");
    const std::int64_t came = kernel_tai_ns();
    auto t = parse_ptp_time_reply(line);
    if (!t) {
        throw daemon_refused("unexpected reply from the timing daemon: " + line);
    }
    std::lock_guard lk(clock_mu_);
    offset_ns_ = t->total_ns() - (sent + (came - sent) / 2);
    return *t;
}

std::optional<std::int64_t> board_control::kernel_tai_ns_at(tai_time t) {
    std::lock_guard lk(clock_mu_);
    if (!offset_ns_) {
        return std::nullopt;
    }
    return t.total_ns() - *offset_ns_;
}

std::string board_control::ptp_value(const std::string& keyword) {
    auto w = words_of(get("GET " + keyword));
    std::string value;
    for (std::size_t i = 2; i < w.size(); ++i) {
        value += (value.empty() ? "" : " ") + w[i];
    }
    return value;
}

}  // namespace nexo::nmos
