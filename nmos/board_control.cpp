#include "board_control.h"

#include <charconv>
#include <sstream>

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

std::optional<rx_address> parse_address_reply(std::string_view line, std::string_view keyword,
                                              std::string_view token) {
    // RGET RX_IP_DEST 20:0 eth1 R 239.1.1.1 1000 96 [1260]
    auto w = words_of(line);
    if (w.size() < 8 || w.size() > 9 || w[0] != "RGET" || w[1] != keyword || w[2] != token ||
        w[4].size() != 1) {
        return std::nullopt;
    }
    rx_address a;
    a.proto = w[4][0];
    a.ip = w[5];
    if (!to_number(w[6], &a.port) || !to_number(w[7], &a.proto_arg) ||
        (w.size() == 9 && !to_number(w[8], &a.payload_size))) {
        return std::nullopt;
    }
    return a;
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
    link_reply r = link_.exchange(line);
    switch (r.what) {
        case link_reply::status::no_daemon:
            throw daemon_unavailable(r.why);
        case link_reply::status::no_reply:
            throw daemon_unavailable("the nexo daemon did not answer \"" + line + "\"");
        case link_reply::status::reply:
            break;
    }
    if (r.line == "ERROR") {
        throw daemon_refused("the nexo daemon refused \"" + line + "\"");
    }
    return r.line;
}

std::string board_control::set(const std::string& line) {
    return get(line);
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

rx_address board_control::read_address(const channel_def& ch, const char* keyword) {
    std::string line = get(std::string("GET ") + keyword + " " + ch.token + " " + interface_name());
    auto a = parse_address_reply(line, keyword, ch.token);
    if (!a) {
        throw daemon_refused("unexpected reply: " + line);
    }
    return *a;
}

channel_setup board_control::read_channel(const channel_def& ch) {
    channel_setup s;
    std::string ifname = interface_name();
    s.dest = read_address(ch, "RX_IP_DEST");
    s.src = read_address(ch, "RX_IP_SRC");
    auto ena = words_of(get(std::string("GET RX_STR_ENA ") + ch.token));
    s.enabled = ena.size() == 4 && ena[3] == "ON";
    // RGET RX_IP_IF_ENA 20:0 eth1/1
    for (const auto& w : words_of(get(std::string("GET RX_IP_IF_ENA ") + ch.token))) {
        if (w == ifname + "/1") {
            s.if_enabled = true;
        }
    }
    return s;
}

tai_time board_control::ptp_time() {
    std::string line = get("GET PTP_TIME");
    auto t = parse_ptp_time_reply(line);
    if (!t) {
        throw daemon_refused("unexpected reply from the timing daemon: " + line);
    }
    return *t;
}

std::string board_control::format_line(const channel_def& ch) {
    if (ch.kind == channel_kind::data) {
        return "";
    }
    const std::string keyword = ch.kind == channel_kind::video ? "RX_VID_FMT" : "RX_AUD_FMT";
    std::string reply;
    try {
        reply = get("GET " + keyword + " " + ch.token);
    } catch (const daemon_refused&) {
        return "";
    }
    // "RGET RX_VID_FMT 20:0 words..." gives "SET RX_VID_FMT 20:0 words...". A channel never
    // set reports its start values (video "NONE 0 ? 0 0 NONE", audio a channel count of 0),
    // which are no format the daemon would take.
    const std::string head = "RGET " + keyword + " " + ch.token + " ";
    if (reply.rfind(head, 0) != 0) {
        return "";
    }
    auto w = words_of(reply.substr(head.size()));
    const bool unset = ch.kind == channel_kind::video
                           ? w.size() != 6 || w[0] == "NONE" || w[2] == "?"
                           : w.size() != 4 || w[0] == "0";
    return unset ? "" : "SET " + reply.substr(5);
}

std::string board_control::ptp_value(const std::string& keyword) {
    auto w = words_of(get("GET " + keyword));
    std::string value;
    for (std::size_t i = 2; i < w.size(); ++i) {
        value += (value.empty() ? "" : " ") + w[i];
    }
    return value;
}

std::vector<std::string> board_control::setup_lines(const channel_def& ch,
                                                    const std::string& ifname,
                                                    const channel_setup& want,
                                                    const std::vector<std::string>& formats) {
    auto address = [&](const char* keyword, const rx_address& a) {
        std::string line = std::string("SET ") + keyword + " " + ch.token + " " + ifname + " " +
                           a.proto + " " + a.ip + " " + std::to_string(a.port) + " " +
                           std::to_string(a.proto_arg);
        if (a.payload_size != 0) {
            line += ' ';
            line += std::to_string(a.payload_size);
        }
        return line;
    };
    std::vector<std::string> lines;
    std::string off = std::string("SET RX_STR_ENA ") + ch.token + " OFF";
    // A channel is switched off before anything else changes, so that it never receives a
    // half-configured stream; and switched on only once everything is in place.
    if (!want.enabled) {
        lines.push_back(off);
    }
    lines.push_back(address("RX_IP_SRC", want.src));
    lines.push_back(address("RX_IP_DEST", want.dest));
    lines.insert(lines.end(), formats.begin(), formats.end());
    lines.push_back(std::string("SET RX_IP_IF_ENA ") + ch.token + " " + ifname +
                    (want.if_enabled ? "/1" : "/0"));
    if (want.enabled) {
        lines.push_back(std::string("SET RX_STR_ENA ") + ch.token + " ON");
    }
    return lines;
}

}  // namespace nexo::nmos
