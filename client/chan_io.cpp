#include "chan_io.h"

#include <algorithm>
#include <charconv>
#include <set>

#include "chan_store.h"

namespace nexo::client {
std::vector<std::string> split(const std::string& text) {
    std::vector<std::string> out;
    std::size_t pos = 0;
    while ((pos = text.find_first_not_of(" \t", pos)) != std::string::npos) {
        std::size_t end = text.find_first_of(" \t", pos);
        out.push_back(text.substr(pos, end == std::string::npos ? std::string::npos : end - pos));
        pos = end;
    }
    return out;
}

// The text after the first n words.
std::string after_words(const std::string& text, std::size_t n) {
    std::size_t pos = 0;
    for (std::size_t i = 0; i < n; ++i) {
        pos = text.find_first_not_of(" \t", pos);
        if (pos == std::string::npos) {
            return "";
        }
        pos = text.find_first_of(" \t", pos);
        if (pos == std::string::npos) {
            return "";
        }
    }
    ++pos;
    return pos < text.size() ? text.substr(pos) : "";
}

namespace {

uint32_t to_u32(const std::string& s) {
    uint32_t v = 0;
    std::from_chars(s.data(), s.data() + s.size(), v);
    return v;
}

std::string keyword_of(const std::string& line) {
    auto w = split(line);
    return w.size() > 1 ? w[1] : "";
}

class reader {
  public:
    reader(daemon_link& link, std::optional<link_failure>* failed) : link_(link), failed_(failed) {}

    std::optional<std::string> ask(const std::string& line, std::size_t min_words) {
        return ask_get(link_, line, min_words, failed_);
    }

  private:
    daemon_link& link_;
    std::optional<link_failure>* failed_;
};

}  // namespace

std::optional<std::string> ask_get(daemon_link& link, const std::string& line,
                                   std::size_t min_words, std::optional<link_failure>* failed) {
    if (*failed) {
        return std::nullopt;
    }
    link_reply r = link.exchange(line);
    auto w = split(r.text);
    if (r.status == link_status::ok &&
        (w.size() < min_words || w[0] != "RGET" || w[1] != keyword_of(line))) {
        r.status = link_status::error;
    }
    if (r.status != link_status::ok) {
        *failed = link_failure{line, r};
        return std::nullopt;
    }
    return r.text;
}

std::string to_string(const link_failure& f) {
    switch (f.reply.status) {
        case link_status::ok:
            return f.line + ": " + f.reply.text;
        case link_status::error:
            return f.line + ": " + (f.reply.text.empty() ? "ERROR" : f.reply.text);
        case link_status::no_reply:
            return f.line + ": no reply";
        default:
            return f.line + ": the daemon cannot be reached";
    }
}

read_result read_channel(daemon_link& link, channel_id ch, bool details) {
    read_result result;
    reader r(link, &result.failed);
    channel_state s;
    channel_config& c = s.config;
    c.channel = ch;
    std::string name = ch.name();

    auto iface = r.ask("GET RX_NET_IF_NAME 0", 4);
    if (iface) {
        c.interface = split(*iface).back();
    }
    auto block = [&](const char* keyword, char* letter, std::string* address, uint32_t* port,
                     uint32_t* arg, uint32_t* size) {
        auto text = r.ask(std::string("GET ") + keyword + " " + name + " " + c.interface, 8);
        if (text) {
            auto w = split(*text);
            *letter = w[4].empty() ? '?' : w[4][0];
            *address = w[5];
            *port = to_u32(w[6]);
            *arg = to_u32(w[7]);
            if (size != nullptr) {
                *size = w.size() > 8 ? to_u32(w[8]) : 0;
            }
        }
    };
    block("RX_IP_DEST", &c.transport, &c.destination, &c.port, &c.payload_type, &c.payload_size);
    uint32_t src_arg = 0;
    block("RX_IP_SRC", &s.source_transport, &c.source, &s.source_port, &src_arg, nullptr);
    if (auto t = r.ask("GET RX_STR_ENA " + name, 4)) {
        s.enabled = split(*t)[3] == "ON";
    }
    if (auto t = r.ask("GET RX_IP_IF_ENA " + name, 3)) {
        auto w = split(*t);
        s.interface_enabled = std::find(w.begin(), w.end(), c.interface + "/1") != w.end();
    }
    if (ch.type == 20) {
        if (auto t = r.ask("GET RX_VID_FMT " + name, 3)) {
            s.format_text = after_words(*t, 3);
            c.video = video_format_from_text(s.format_text);
        }
    } else if (ch.type == 30) {
        if (auto t = r.ask("GET RX_AUD_FMT " + name, 3)) {
            s.format_text = after_words(*t, 3);
            c.audio = audio_format_from_text(s.format_text);
        }
    }
    if (details) {
        if (auto t = r.ask("GET RX_FMT_AUTO_DET_ENA " + name, 4)) {
            s.auto_detect = split(*t)[3] == "ON";
        }
        if (ch.type == 20) {
            if (auto t = r.ask("GET RX_FMT_AUTO_DET_STATE " + name, 4)) {
                s.auto_detect_state = split(*t)[3];
            }
            if (auto t = r.ask("GET RX_FMT_AUTO_DET_FMT " + name, 3)) {
                s.auto_detect_format = after_words(*t, 3);
            }
        }
        if (auto t = r.ask("GET RX_TX_TS_DELAY " + name, 4)) {
            s.tx_ts_delay = split(*t).back();
        }
        if (auto t = r.ask("GET RX_RECONS_DELAY " + name, 4)) {
            s.recons_delay = split(*t).back();
        }
    }
    if (!result.failed) {
        result.state = std::move(s);
    }
    return result;
}

std::vector<std::string> restore_lines(const channel_state& before) {
    const channel_config& c = before.config;
    std::string ch = c.channel.name();
    std::vector<std::string> lines;
    if (c.destination == "self" || address_accepted(c.destination, false)) {
        lines.push_back(address_line("RX_IP_DEST", c.channel, c.interface, c.transport,
                                     c.destination, c.port, c.payload_type, c.payload_size));
    }
    if (c.source == "self" || address_accepted(c.source, true)) {
        lines.push_back(address_line("RX_IP_SRC", c.channel, c.interface, before.source_transport,
                                     c.source, before.source_port, c.payload_type, 0));
    }
    if (c.video) {
        lines.push_back("SET RX_VID_FMT " + ch + " " + to_string(*c.video));
    }
    if (c.audio && c.audio->channels != 0 && !c.audio->encoding.empty()) {
        lines.push_back("SET RX_AUD_FMT " + ch + " " + to_string(*c.audio));
    }
    lines.push_back("SET RX_IP_IF_ENA " + ch + " " + c.interface + "/" +
                    (before.interface_enabled ? "1" : "0"));
    lines.push_back("SET RX_STR_ENA " + ch + " " + (before.enabled ? "ON" : "OFF"));
    return lines;
}

apply_result apply_plan(daemon_link& link, const channel_plan& plan, apply_options options) {
    apply_result result;
    read_result before = read_channel(link, plan.config.channel);
    if (!before.state) {
        result.status = before.failed->reply.status == link_status::ok
                            ? link_status::error
                            : before.failed->reply.status;
        result.failed = before.failed;
        result.messages.push_back("reading the channel failed: " + to_string(*before.failed));
        return result;
    }
    channel_config config = plan.config;
    config.interface = before.state->config.interface;
    if (before.state->config.payload_size != 0) {
        config.payload_size = before.state->config.payload_size;
    }
    if (config.video) {
        if (auto instead = detected_instead(*config.video)) {
            // Only when the daemon says so: a channel whose detection state cannot be read is
            // applied as described, without a warning.
            link_reply r = link.exchange("GET RX_FMT_AUTO_DET_ENA " + config.channel.name());
            if (r.status == link_status::ok && r.text.ends_with(" ON")) {
                result.messages.push_back(
                    "warning: automatic detection is on for " + config.channel.name() +
                    " and its detector cannot tell " + to_string(*config.video) + " from " +
                    to_string(*instead) + ": once it measures the stream, the channel is set to " +
                    to_string(*instead) + "; SET RX_FMT_AUTO_DET_ENA " + config.channel.name() +
                    " off keeps the description's format");
            }
        }
    }
    std::vector<std::string> lines = config_lines(config, options.enable);
    if (options.dry_run) {
        result.lines = lines;
        return result;
    }
    std::set<std::string> touched;
    for (const std::string& line : lines) {
        result.lines.push_back(line);
        touched.insert(keyword_of(line));
        link_reply reply = link.exchange(line);
        if (reply.status == link_status::ok) {
            continue;
        }
        result.status = reply.status;
        result.failed = link_failure{line, reply};
        result.messages.push_back("failed: " + to_string(*result.failed));
        break;
    }
    if (!result.failed) {
        return result;
    }
    if (result.status == link_status::failure) {
        result.messages.push_back("channel " + config.channel.name() +
                                  " was left as far as it got: the daemon cannot be reached");
        return result;
    }
    // Only what this apply touched is set back, so that a value it never sent is not sent now.
    result.restored = true;
    std::set<std::string> restorable;
    for (const std::string& line : restore_lines(*before.state)) {
        std::string keyword = keyword_of(line);
        restorable.insert(keyword);
        if (touched.count(keyword) == 0) {
            continue;
        }
        link_reply reply = link.exchange(line);
        if (reply.status != link_status::ok) {
            result.restored = false;
            result.messages.push_back("restoring failed: " + to_string({line, reply}));
        }
    }
    for (const std::string& keyword : touched) {
        if (restorable.count(keyword) == 0) {
            result.restored = false;
            result.messages.push_back(keyword + " of channel " + config.channel.name() +
                                      " was never set, so it cannot be set back");
        }
    }
    result.messages.push_back(
        result.restored
            ? "channel " + config.channel.name() + " was restored to what it held before"
            : "channel " + config.channel.name() + " could not be fully restored");
    return result;
}

conflict_check check_conflicts(daemon_link& link, const channel_config& want) {
    conflict_check result;
    // Only the two address blocks: the rules look at nothing else, and twelve channels read
    // whole take a hundred exchanges.
    reader r(link, &result.failed);
    std::vector<channel_config> others;
    for (const channel_id& ch : all_channels()) {
        if (ch == want.channel) {
            continue;
        }
        channel_config& o = others.emplace_back();
        o.channel = ch;
        // RGET RX_IP_DEST 20:0 eth1 R 239.1.1.1 5004 96 1260
        if (auto t = r.ask("GET RX_IP_DEST " + ch.name() + " " + want.interface, 8)) {
            auto w = split(*t);
            o.destination = w[5];
            o.port = to_u32(w[6]);
        }
        if (auto t = r.ask("GET RX_IP_SRC " + ch.name() + " " + want.interface, 8)) {
            o.source = split(*t)[5];
        }
        if (result.failed) {
            return result;
        }
    }
    result.conflict = channel_conflict(want, others);
    return result;
}

get_result read_channel_sdp(daemon_link& link, channel_id channel, const get_options& options) {
    get_result result;
    read_result r = read_channel(link, channel);
    if (!r.state) {
        result.failed = r.failed;
        result.error = to_string(*r.failed);
        return result;
    }
    config_sdp described = config_to_sdp(r.state->config, options.board_address);
    if (!described.session) {
        result.error = described.error;
        return result;
    }
    const char* implied = "TCS, colorimetry, TP and the reference clock are the implied defaults";
    auto stored =
        options.state_dir.empty() ? std::nullopt : load_description(options.state_dir, channel);
    if (!stored) {
        result.notes.push_back("no description was applied to " + channel.name() +
                               " with nexoctl: " + implied);
    } else if (std::string why = restore_unstored(*described.session, r.state->config, *stored);
               !why.empty()) {
        result.notes.push_back(why + ": " + implied);
    }
    result.sdp = write_sdp(*described.session);
    return result;
}

}  // namespace nexo::client
