#include "chan_plan.h"

#include <algorithm>
#include <cctype>
#include <charconv>

#include "ip_rules.h"

namespace nexo::client {
namespace {

bool iequals(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

std::string kind_text(const sdp_media& m) {
    const sdp_rtpmap* r = m.first_rtpmap();
    return m.media + "/" + (r != nullptr ? r->encoding : "?") + " (line " + std::to_string(m.line) +
           ")";
}

const char* accepted_for(uint32_t type) {
    switch (type) {
        case 20:
            return "video/raw on 20:x";
        case 30:
            return "audio/L16 or audio/L24 on 30:x";
        default:
            return "video/smpte291 on 40:x";
    }
}

refusal refuse(std::string attribute, std::string value, std::string accepted, int line) {
    return {std::move(attribute), std::move(value), std::move(accepted), line};
}

// Picks the first leg of a group:DUP pair that the chosen section belongs to.
std::size_t first_leg(const sdp_session& s, std::size_t chosen, std::vector<std::string>* notes) {
    const std::string& mid = s.media[chosen].mid;
    if (mid.empty()) {
        return chosen;
    }
    for (const sdp_group& g : s.groups) {
        if (!iequals(g.semantics, "DUP") ||
            std::find(g.mids.begin(), g.mids.end(), mid) == g.mids.end()) {
            continue;
        }
        std::size_t leg = chosen;
        for (std::size_t i = 0; i < s.media.size(); ++i) {
            if (!g.mids.empty() && s.media[i].mid == g.mids.front() &&
                channel_type_of(s.media[i]) == channel_type_of(s.media[chosen])) {
                leg = i;
            }
        }
        for (const std::string& other : g.mids) {
            if (other != s.media[leg].mid) {
                notes->push_back("a=group:DUP: leg " + other +
                                 " is ignored (this board has one receive interface)");
            }
        }
        return leg;
    }
    return chosen;
}

// The source of the section's source filter for its destination, "0.0.0.0" for any.
std::optional<refusal> choose_source(const sdp_session& s, const sdp_media& m,
                                     const std::string& destination, std::string* source,
                                     std::vector<std::string>* notes) {
    *source = "0.0.0.0";
    for (const sdp_source_filter& f : effective_source_filters(s, m)) {
        if (f.destination != destination && f.destination != "*") {
            continue;
        }
        if (!f.include) {
            notes->push_back("a=source-filter: excl is not applied: the channel takes any source");
            return std::nullopt;
        }
        if (f.sources.size() != 1) {
            notes->push_back("a=source-filter lists " + std::to_string(f.sources.size()) +
                             " sources: the channel takes any source");
            return std::nullopt;
        }
        if (f.addr_type != "IP4" || !address_accepted(f.sources.front(), true)) {
            return refuse("a=source-filter", f.sources.front(), "one IPv4 unicast source address",
                          f.line);
        }
        *source = f.sources.front();
        return std::nullopt;
    }
    return std::nullopt;
}

}  // namespace

std::string channel_id::name() const {
    return std::to_string(type) + ":" + std::to_string(index);
}

std::optional<channel_id> parse_channel(std::string_view text) {
    for (const channel_id& c : all_channels()) {
        if (text == c.name()) {
            return c;
        }
    }
    return std::nullopt;
}

uint32_t channel_type_of(const sdp_media& m) {
    if (m.media == "audio") {
        return 30;
    }
    if (m.media != "video") {
        return 0;
    }
    const sdp_rtpmap* r = m.first_rtpmap();
    return r != nullptr && iequals(r->encoding, "smpte291") ? 40 : 20;
}

std::optional<std::array<uint8_t, 4>> dotted(const std::string& text) {
    std::array<uint8_t, 4> ip{};
    const char* p = text.data();
    const char* end = text.data() + text.size();
    for (std::size_t i = 0; i < 4; ++i) {
        if (i > 0) {
            if (p == end || *p != '.') {
                return std::nullopt;
            }
            ++p;
        }
        unsigned v = 256;
        auto [next, ec] = std::from_chars(p, end, v);
        if (ec != std::errc() || next == p || next - p > 3 || v > 255) {
            return std::nullopt;
        }
        ip[i] = static_cast<uint8_t>(v);
        p = next;
    }
    if (p != end) {
        return std::nullopt;
    }
    return ip;
}

bool address_accepted(const std::string& address, bool as_source) {
    auto ip = dotted(address);
    if (!ip || (*ip)[0] == 127) {
        return false;
    }
    // A source of 0.x.x.x (0.0.0.0: any source) is let through the daemon's table.
    if (as_source && (*ip)[0] == 0) {
        return true;
    }
    for (const illegal_ip_row& row : illegal_ip_addresses) {
        if (row.n == 0) {
            break;
        }
        if (std::equal(row.prefix.begin(), row.prefix.begin() + row.n, ip->begin())) {
            return false;
        }
    }
    return true;
}

bool is_multicast(const std::string& address) {
    auto ip = dotted(address);
    return ip && (*ip)[0] >= 224 && (*ip)[0] <= 239;
}

bool receivable_group(const std::string& address) {
    return is_multicast(address) && address_accepted(address, false);
}

channel_plan plan_channel(const sdp_session& s, std::optional<channel_id> channel,
                          const std::string& interface) {
    channel_plan plan;
    auto no = [&](refusal r) {
        plan.refused = std::move(r);
        return plan;
    };
    if (s.media.empty()) {
        return no(refuse("m=", "(none)",
                         "a video/raw, audio/L16, audio/L24 or video/smpte291 section", 0));
    }
    std::size_t chosen = 0;
    if (!channel) {
        uint32_t type = channel_type_of(s.media.front());
        if (type == 0) {
            return no(refuse("m=", kind_text(s.media.front()),
                             "video/raw, audio/L16, audio/L24 or video/smpte291",
                             s.media.front().line));
        }
        channel = channel_id{type, 0};
    } else {
        auto it = std::find_if(s.media.begin(), s.media.end(), [&](const sdp_media& m) {
            return channel_type_of(m) == channel->type;
        });
        if (it == s.media.end()) {
            std::string kinds;
            for (const sdp_media& m : s.media) {
                kinds += (kinds.empty() ? "" : ", ") + kind_text(m);
            }
            return no(refuse("m=", kinds, accepted_for(channel->type), s.media.front().line));
        }
        chosen = static_cast<std::size_t>(it - s.media.begin());
    }
    chosen = first_leg(s, chosen, &plan.notices);
    plan.media_index = static_cast<int>(chosen);
    const sdp_media& m = s.media[chosen];
    channel_config& c = plan.config;
    c.channel = *channel;
    c.interface = interface;

    if (!iequals(m.proto, "RTP/AVP")) {
        return no(refuse("m=", m.proto, "RTP/AVP", m.line));
    }
    c.transport = 'R';
    if (m.port == 0) {
        return no(refuse("m= port", "0", "a UDP port from 1 to 65535", m.line));
    }
    c.port = m.port;
    const sdp_rtpmap* r = m.first_rtpmap();
    c.payload_type = r != nullptr ? static_cast<uint32_t>(r->payload_type) : 0;
    if (c.channel.type == 20) {
        video_check v = check_video(m);
        if (v.refused) {
            return no(*v.refused);
        }
        c.video = v.format;
        plan.notices.insert(plan.notices.end(), v.notices.begin(), v.notices.end());
    } else if (c.channel.type == 30) {
        audio_check a = check_audio(m);
        if (a.refused) {
            return no(*a.refused);
        }
        c.audio = a.format;
    } else if (auto e = check_ancillary(m)) {
        return no(*e);
    }

    const sdp_connection* conn = effective_connection(s, m);
    if (conn == nullptr) {
        return no(refuse("c=", "(missing)", "IN IP4 <address>", m.line));
    }
    if (conn->net_type != "IN" || conn->addr_type != "IP4") {
        return no(refuse("c=", conn->net_type + " " + conn->addr_type, "IN IP4", conn->line));
    }
    if (conn->count != 1) {
        return no(refuse(
            "c=",
            conn->address + "/" + std::to_string(conn->ttl) + "/" + std::to_string(conn->count),
            "one destination address", conn->line));
    }
    if (!address_accepted(conn->address, false)) {
        return no(refuse("c=", conn->address,
                         "an IPv4 multicast group or unicast address outside 0/8, 127/8, "
                         "224.0.0/24, 224.0.1/24 and 255/8",
                         conn->line));
    }
    c.destination = conn->address;
    if (auto e = choose_source(s, m, conn->address, &c.source, &plan.notices)) {
        return no(*e);
    }
    return plan;
}

std::string address_line(const char* keyword, channel_id channel, const std::string& interface,
                         char transport, const std::string& address, uint32_t port,
                         uint32_t argument, uint32_t payload_size) {
    std::string line = "SET ";
    for (const std::string& word :
         {std::string(keyword), channel.name(), interface, std::string(1, transport), address,
          std::to_string(port), std::to_string(argument)}) {
        line += word;
        line += ' ';
    }
    if (payload_size != 0) {
        line += std::to_string(payload_size);
    } else {
        line.pop_back();
    }
    return line;
}

std::vector<std::string> config_lines(const channel_config& c, switching s) {
    std::string ch = c.channel.name();
    uint32_t size = c.payload_size != kDefaultPayloadSize ? c.payload_size : 0;
    std::vector<std::string> lines;
    if (s == switching::off || s == switching::all_off) {
        lines.push_back("SET RX_STR_ENA " + ch + " OFF");
    }
    lines.push_back(address_line("RX_IP_DEST", c.channel, c.interface, c.transport, c.destination,
                                 c.port, c.payload_type, size));
    // The source port is left open (0): a sender's port is not part of its description.
    lines.push_back(address_line("RX_IP_SRC", c.channel, c.interface, c.transport, c.source, 0,
                                 c.payload_type, 0));
    if (c.video) {
        lines.push_back("SET RX_VID_FMT " + ch + " " + to_string(*c.video));
    }
    if (c.audio) {
        lines.push_back("SET RX_AUD_FMT " + ch + " " + to_string(*c.audio));
    }
    if (s != switching::keep) {
        lines.push_back("SET RX_IP_IF_ENA " + ch + " " + c.interface +
                        (s == switching::all_off ? "/0" : "/1"));
    }
    if (s == switching::on) {
        lines.push_back("SET RX_STR_ENA " + ch + " ON");
    }
    return lines;
}

std::optional<std::string> channel_conflict(const channel_config& want,
                                            const std::vector<channel_config>& others) {
    auto from = [](const std::string& source) {
        return source == "0.0.0.0" ? std::string(" from any source") : " from " + source + " only";
    };
    for (const channel_config& o : others) {
        if (o.channel == want.channel || o.destination == "0.0.0.0") {
            continue;
        }
        const bool any = want.source == "0.0.0.0";
        if (is_multicast(want.destination) && o.destination == want.destination &&
            any != (o.source == "0.0.0.0")) {
            return o.channel.name() + " receives " + o.destination + from(o.source) + ", and " +
                   want.channel.name() + " would receive it" + from(want.source) +
                   ": the board holds one membership of a group, for any source or for given "
                   "sources, so one of the two channels would lose its stream";
        }
        if (o.destination == want.destination && o.port == want.port && o.source == want.source) {
            return o.channel.name() + " already receives " + o.destination + ":" +
                   std::to_string(o.port) + from(o.source) +
                   ": the board's filter gives every packet to the first of two such channels, "
                   "and the other receives nothing";
        }
    }
    return std::nullopt;
}

config_sdp config_to_sdp(const channel_config& config, const std::string& board_address) {
    config_sdp out;
    channel_config c = config;
    if (c.destination == "self" && !board_address.empty()) {
        c.destination = board_address;
    }
    if (c.destination == "self" || !address_accepted(c.destination, false)) {
        out.error =
            "channel " + c.channel.name() + " has no destination address (" + c.destination + ")";
        return out;
    }
    if (c.transport != 'R') {
        out.error =
            "channel " + c.channel.name() + " does not receive RTP (transport " + c.transport + ")";
        return out;
    }
    sdp_media m;
    m.media = c.channel.type == 30 ? "audio" : "video";
    m.port = c.port;
    m.proto = "RTP/AVP";
    m.formats = {std::to_string(c.payload_type)};
    sdp_connection conn{"IN", "IP4", c.destination, is_multicast(c.destination) ? 64u : 0u, 1, 0};
    m.connection = conn;
    if (c.source != "0.0.0.0") {
        m.source_filters.push_back({true, "IN", "IP4", c.destination, {c.source}, 0});
    }
    sdp_rtpmap r;
    r.payload_type = static_cast<int>(c.payload_type);
    if (c.channel.type == 20) {
        auto p = c.video ? video_params_of(*c.video) : std::nullopt;
        if (!p) {
            out.error = "channel " + c.channel.name() + " has no video format the board knows";
            return out;
        }
        r.encoding = "raw";
        r.clock_rate = 90000;
        m.fmtp_payload_type = r.payload_type;
        auto add = [&](std::string name, std::string value) {
            m.fmtp.push_back({std::move(name), std::move(value), true});
        };
        add("sampling", p->sampling);
        add("width", std::to_string(p->width));
        add("height", std::to_string(p->height));
        add("exactframerate", rate_to_string(p->exactframerate));
        add("depth", std::to_string(p->depth));
        add("TCS", "SDR");
        add("colorimetry", "BT709");
        add("PM", "2110GPM");
        add("SSN", "ST2110-20:2017");
        add("TP", "2110TPN");
        if (p->interlace) {
            m.fmtp.push_back({"interlace", "", false});
        }
        if (p->segmented) {
            m.fmtp.push_back({"segmented", "", false});
        }
    } else if (c.channel.type == 30) {
        if (!c.audio || c.audio->channels == 0 || c.audio->packet_time_ms == 0) {
            out.error = "channel " + c.channel.name() + " has no audio format";
            return out;
        }
        r.encoding = c.audio->encoding;
        r.clock_rate = static_cast<uint32_t>(c.audio->sample_rate);
        r.channels = c.audio->channels;
        m.ptime_us = c.audio->packet_time_ms * 1000;
    } else {
        r.encoding = "smpte291";
        r.clock_rate = 90000;
    }
    m.rtpmaps.push_back(r);
    m.ts_refclk = {"ptp=IEEE1588-2008:traceable"};
    m.mediaclk = "direct=0";
    m.mid = "RX" + std::to_string(c.channel.type) + std::to_string(c.channel.index);

    sdp_session s;
    s.origin_session_id = std::to_string(c.channel.type * 10 + c.channel.index);
    s.origin_address = !board_address.empty()  ? board_address
                       : c.source != "0.0.0.0" ? c.source
                                               : c.destination;
    s.name = "nexo " + c.channel.name();
    s.media.push_back(std::move(m));
    // Re-reading fills the typed parameters from the fmtp list, as for any description.
    auto reread = parse_sdp(write_sdp(s));
    out.session = reread.session;
    if (!out.session) {
        out.error = to_string(reread.error);
    }
    return out;
}

}  // namespace nexo::client
