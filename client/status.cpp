#include "status.h"

#include <algorithm>
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

status_result read_status(daemon_link& link) {
    status_result result;
    for (const channel_id& ch : all_channels()) {
        read_result r = read_channel(link, ch, true);
        if (!r.state) {
            result.failed = r.failed;
            return result;
        }
        result.channels.push_back(std::move(*r.state));
    }
    return result;
}

std::string status_table(const std::vector<channel_state>& channels) {
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

std::string status_json(const std::vector<channel_state>& channels) {
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
        field("recons_delay", quoted(s.recons_delay), true);
        out += "}";
        sep = ",\n  ";
    }
    return out + "\n]}\n";
}

}  // namespace nexo::client
