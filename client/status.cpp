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

}  // namespace

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
        std::string detect = s.auto_detect ? "ON" : "OFF";
        if (!s.auto_detect_state.empty()) {
            detect += "/" + s.auto_detect_state;
        }
        rows.push_back({c.channel.name(), s.enabled ? "ON" : "OFF",
                        c.interface + (s.interface_enabled ? "/1" : "/0"),
                        std::string(1, c.transport) + " " + c.destination, c.source,
                        std::to_string(c.port), or_dash(s.format_text), detect,
                        or_dash(s.auto_detect_format), s.tx_ts_delay, s.recons_delay});
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
        field("format", quoted(s.format_text));
        field("auto_detect", s.auto_detect ? "true" : "false");
        field("auto_detect_state", quoted(s.auto_detect_state));
        field("detected_format", quoted(s.auto_detect_format));
        field("tx_ts_delay", quoted(s.tx_ts_delay));
        field("recons_delay", quoted(s.recons_delay), true);
        out += "}";
        sep = ",\n  ";
    }
    return out + "\n]}\n";
}

}  // namespace nexo::client
