#include "status.h"

#include <algorithm>
#include <array>
#include <cstdio>

namespace nexo::client {
namespace {

std::string or_dash(const std::string& s) {
    return s.empty() ? "-" : s;
}

std::string quoted(const std::string& s) {
    std::string out = "\"";
    for (char c : s) {
        unsigned char u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", u);
            out += buf;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string video_json(const video_format& f) {
    return "{\"colour_space\": " + quoted(f.cspace) + ", \"depth\": " + std::to_string(f.bpc) +
           ", \"scan\": " + quoted(std::string(1, f.scan)) +
           ", \"width\": " + std::to_string(f.width) + ", \"height\": " + std::to_string(f.height) +
           ", \"rate\": " + quoted(f.rate) + "}";
}

std::string format_json(const channel_state& s) {
    if (s.config.video) {
        return video_json(*s.config.video);
    }
    if (const auto& a = s.config.audio) {
        return "{\"channels\": " + std::to_string(a->channels) +
               ", \"encoding\": " + quoted(a->encoding) +
               ", \"sample_rate\": " + std::to_string(a->sample_rate) +
               ", \"packet_time_ms\": " + std::to_string(a->packet_time_ms) + "}";
    }
    return "null";
}

std::string detected_json(const channel_state& s) {
    if (s.config.channel.type != 20) {
        return "null";
    }
    auto f = s.auto_detect_state == "FORMAT_DETECTED" ? video_format_from_text(s.auto_detect_format)
                                                      : std::nullopt;
    return "{\"state\": " + quoted(s.auto_detect_state) +
           ", \"format\": " + (f ? video_json(*f) : "null") + "}";
}

// One status of a channel as shown: its name in output, the model's name and number, and the
// message.
struct shown_status {
    const char* name;
    std::string_view status;
    int value;
    std::string message;
};

std::array<shown_status, 5> shown(const rx_observation& o) {
    return {{
        {"overall", to_string(overall_status(o)), static_cast<int>(overall_status(o)),
         overall_message(o)},
        {"link", to_string(o.link), static_cast<int>(o.link), o.link_message},
        {"connection", to_string(o.connection), static_cast<int>(o.connection),
         o.connection_message},
        {"sync", to_string(o.synchronization), static_cast<int>(o.synchronization),
         o.synchronization_message},
        {"stream", to_string(o.stream), static_cast<int>(o.stream), o.stream_message},
    }};
}

std::string health_json(const rx_observation& o) {
    static constexpr std::array kKeys = {"overall", "link", "connection", "synchronization",
                                         "stream"};
    auto rows = shown(o);
    std::string out = "{";
    for (std::size_t i = 0; i < rows.size(); ++i) {
        out += std::string(i == 0 ? "" : ", ") + "\"" + kKeys[i] +
               "\": {\"status\": " + quoted(std::string(rows[i].status)) +
               ", \"value\": " + std::to_string(rows[i].value) +
               ", \"message\": " + quoted(rows[i].message);
        if (std::string_view(kKeys[i]) == "synchronization") {
            out += ", \"source\": " + (o.synchronization_source.empty()
                                           ? std::string("null")
                                           : quoted(o.synchronization_source));
        }
        out += "}";
    }
    return out + "}";
}

// Rows of cells as columns two blanks apart.
std::string columns(const std::vector<std::vector<std::string>>& rows) {
    std::vector<std::size_t> widths(rows[0].size(), 0);
    for (const auto& row : rows) {
        for (std::size_t i = 0; i < row.size(); ++i) {
            widths[i] = std::max(widths[i], row[i].size());
        }
    }
    std::string out;
    for (const auto& row : rows) {
        std::string line;
        for (std::size_t i = 0; i < row.size(); ++i) {
            line += row[i];
            if (i + 1 < row.size()) {
                line += std::string(widths[i] - row[i].size() + 2, ' ');
            }
        }
        out += line + "\n";
    }
    return out;
}

}  // namespace

std::string detected_text(const channel_state& s) {
    const std::string& st = s.auto_detect_state;
    if (st == "FORMAT_DETECTED") {
        return or_dash(s.auto_detect_format);
    }
    if (st == "STREAM_DETECTED") {
        return "measuring";
    }
    if (st == "BUSY") {
        return "no signal";
    }
    if (st == "DISABLED") {
        return "off";
    }
    return "-";
}

status_result read_status(daemon_link& link, bool with_health, const observe_options& options) {
    status_result result;
    for (const channel_id& ch : all_channels()) {
        read_result r = read_channel(link, ch, true);
        if (!r.state) {
            result.failed = r.failed;
            return result;
        }
        result.channels.push_back(std::move(*r.state));
    }
    if (with_health) {
        auto board =
            read_board_health(link, result.channels[0].config.interface, options, &result.failed);
        if (!board) {
            return result;
        }
        for (const channel_state& s : result.channels) {
            result.health.push_back(observe_channel(s, *board));
        }
    }
    return result;
}

std::string status_table(const std::vector<channel_state>& channels,
                         const std::vector<rx_observation>& health) {
    std::vector<std::vector<std::string>> rows = {{"CHANNEL", "STATE", "IF", "DESTINATION",
                                                   "SOURCE", "PORT", "FORMAT", "AUTO-DETECT",
                                                   "DETECTED", "TX-TS-DELAY", "RECONS-DELAY"}};
    for (const channel_state& s : channels) {
        const channel_config& c = s.config;
        rows.push_back({c.channel.name(), s.enabled ? "ON" : "OFF",
                        c.interface + (s.interface_enabled ? "/1" : "/0"),
                        std::string(1, c.transport) + " " + c.destination, c.source,
                        std::to_string(c.port), or_dash(s.format_text),
                        s.auto_detect ? "ON" : "OFF", detected_text(s), s.tx_ts_delay,
                        s.recons_delay});
    }
    std::string out = columns(rows);
    if (health.empty()) {
        return out;
    }
    std::vector<std::vector<std::string>> h = {
        {"CHANNEL", "OVERALL", "LINK", "CONNECTION", "SYNC", "STREAM", "WHY"}};
    for (const rx_observation& o : health) {
        auto st = shown(o);
        h.push_back({o.channel.name(), std::string(st[0].status), std::string(st[1].status),
                     std::string(st[2].status), std::string(st[3].status),
                     std::string(st[4].status), or_dash(st[0].message)});
    }
    return out + "\n" + columns(h);
}

std::string status_json(const std::vector<channel_state>& channels,
                        const std::vector<rx_observation>& health) {
    std::string out = "{\"channels\": [";
    const char* sep = "\n  ";
    for (const channel_state& s : channels) {
        const channel_config& c = s.config;
        auto field = [&](const char* name, const std::string& value, bool last = false) {
            out += std::string("\"") + name + "\": " + value + (last ? "" : ", ");
        };
        out += sep;
        out += "{";
        field("channel", quoted(c.channel.name()));
        field("enabled", s.enabled ? "true" : "false");
        field("interface", quoted(c.interface));
        field("interface_enabled", s.interface_enabled ? "true" : "false");
        field("transport", quoted(std::string(1, c.transport)));
        field("destination", quoted(c.destination));
        field("port", std::to_string(c.port));
        field("payload_type", std::to_string(c.payload_type));
        field("payload_size", std::to_string(c.payload_size));
        field("source", quoted(c.source));
        field("format", format_json(s));
        field("auto_detect", s.auto_detect ? "true" : "false");
        field("detected", detected_json(s));
        field("tx_ts_delay", quoted(s.tx_ts_delay));
        const std::size_t at = static_cast<std::size_t>(&s - channels.data());
        field("recons_delay", quoted(s.recons_delay), at >= health.size());
        if (at < health.size()) {
            field("health", health_json(health[at]), true);
        }
        out += "}";
        sep = ",\n  ";
    }
    return out + "\n]}\n";
}

std::vector<std::string> health_changes(const rx_observation* before, const rx_observation& now) {
    auto after = shown(now);
    const std::string ch = now.channel.name();
    if (before == nullptr) {
        std::string line = ch + " " + std::string(after[0].status);
        for (std::size_t i = 1; i < after.size(); ++i) {
            line += std::string(" ") + after[i].name + " " + std::string(after[i].status);
        }
        return {line + (after[0].message.empty() ? "" : ": " + after[0].message)};
    }
    auto was = shown(*before);
    std::vector<std::string> lines;
    for (std::size_t i = 0; i < after.size(); ++i) {
        if (was[i].value == after[i].value && was[i].message == after[i].message) {
            continue;
        }
        std::string line = ch + " " + after[i].name + " ";
        if (was[i].value != after[i].value) {
            line += std::string(was[i].status) + " -> ";
        }
        line += std::string(after[i].status);
        lines.push_back(line + (after[i].message.empty() ? "" : ": " + after[i].message));
    }
    return lines;
}

}  // namespace nexo::client
