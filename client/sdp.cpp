#include "sdp.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <limits>

namespace nexo::client {
namespace {

constexpr std::string_view kBlanks = " \t";

std::string_view trim(std::string_view s) {
    std::size_t first = s.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) {
        return {};
    }
    return s.substr(first, s.find_last_not_of(kBlanks) - first + 1);
}

std::vector<std::string_view> words(std::string_view s) {
    std::vector<std::string_view> out;
    std::size_t pos = 0;
    while ((pos = s.find_first_not_of(kBlanks, pos)) != std::string_view::npos) {
        std::size_t end = s.find_first_of(kBlanks, pos);
        if (end == std::string_view::npos) {
            end = s.size();
        }
        out.push_back(s.substr(pos, end - pos));
        pos = end;
    }
    return out;
}

bool iequals(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

// Decimal digits only (no sign, no blanks), at most max.
std::optional<uint64_t> to_uint(std::string_view s, uint64_t max) {
    if (s.empty() || s.size() > 20) {
        return std::nullopt;
    }
    uint64_t v = 0;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec != std::errc() || end != s.data() + s.size() || v > max) {
        return std::nullopt;
    }
    return v;
}

constexpr uint64_t kU32 = std::numeric_limits<uint32_t>::max();

// "1", "0.125", "1.000": milliseconds to microseconds; digits past the microsecond are dropped.
std::optional<uint32_t> ms_to_us(std::string_view s) {
    std::size_t dot = s.find('.');
    std::string_view whole = s.substr(0, dot);
    std::string_view frac = dot == std::string_view::npos ? std::string_view{} : s.substr(dot + 1);
    if (dot != std::string_view::npos && frac.empty()) {
        return std::nullopt;
    }
    auto ms = whole.empty() && !frac.empty() ? std::optional<uint64_t>(0) : to_uint(whole, 4000000);
    if (!ms) {
        return std::nullopt;
    }
    uint64_t us = *ms * 1000;
    uint64_t scale = 100;
    for (char c : frac) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        us += static_cast<uint64_t>(c - '0') * scale;
        scale /= 10;
    }
    return static_cast<uint32_t>(us);
}

struct parse_failure {
    std::string message;
};

using fail = std::optional<parse_failure>;

fail bad(std::string message) {
    return parse_failure{std::move(message)};
}

// "IN IP4 239.1.1.1/64/2"
fail read_connection(std::string_view value, int line, sdp_connection* out) {
    auto w = words(value);
    if (w.size() != 3) {
        return bad("c= needs <network type> <address type> <address>");
    }
    out->net_type = w[0];
    out->addr_type = w[1];
    out->line = line;
    std::string_view addr = w[2];
    std::size_t slash = addr.find('/');
    out->address = addr.substr(0, slash);
    if (out->address.empty()) {
        return bad("c= has an empty address");
    }
    if (slash == std::string_view::npos) {
        return std::nullopt;
    }
    std::string_view rest = addr.substr(slash + 1);
    std::size_t slash2 = rest.find('/');
    std::string_view first = rest.substr(0, slash2);
    auto n = to_uint(first, kU32);
    if (!n) {
        return bad("c= address suffix \"" + std::string(first) + "\" is not a number");
    }
    bool ip4 = w[1] == "IP4";
    if (!ip4) {
        if (slash2 != std::string_view::npos) {
            return bad("c= has too many address suffixes");
        }
        out->count = static_cast<uint32_t>(*n);
        return std::nullopt;
    }
    out->ttl = static_cast<uint32_t>(*n);
    if (slash2 != std::string_view::npos) {
        auto c = to_uint(rest.substr(slash2 + 1), kU32);
        if (!c) {
            return bad("c= address count is not a number");
        }
        out->count = static_cast<uint32_t>(*c);
    }
    return std::nullopt;
}

fail read_source_filter(std::string_view value, int line, sdp_source_filter* out) {
    auto w = words(value);
    if (w.size() < 5) {
        return bad(
            "source-filter needs incl|excl <network type> <address type> "
            "<destination> <source>...");
    }
    if (w[0] != "incl" && w[0] != "excl") {
        return bad("source-filter mode must be incl or excl");
    }
    out->include = w[0] == "incl";
    out->net_type = w[1];
    out->addr_type = w[2];
    out->destination = w[3];
    out->sources.assign(w.begin() + 4, w.end());
    out->line = line;
    return std::nullopt;
}

fail read_media(std::string_view value, int line, sdp_media* out) {
    auto w = words(value);
    if (w.size() < 4) {
        return bad("m= needs <media> <port> <protocol> <format>...");
    }
    out->line = line;
    out->media = w[0];
    std::string_view port = w[1];
    std::size_t slash = port.find('/');
    auto p = to_uint(port.substr(0, slash), 65535);
    if (!p) {
        return bad("m= port \"" + std::string(port.substr(0, slash)) + "\" is not a port number");
    }
    out->port = static_cast<uint32_t>(*p);
    if (slash != std::string_view::npos) {
        auto c = to_uint(port.substr(slash + 1), 65535);
        if (!c || *c == 0) {
            return bad("m= port count is not a number");
        }
        out->port_count = static_cast<uint32_t>(*c);
    }
    out->proto = w[2];
    out->formats.assign(w.begin() + 3, w.end());
    return std::nullopt;
}

fail read_rtpmap(std::string_view value, int line, sdp_rtpmap* out) {
    auto w = words(value);
    if (w.size() != 2) {
        return bad("rtpmap needs <payload type> <encoding>/<clock rate>[/<channels>]");
    }
    auto pt = to_uint(w[0], 127);
    if (!pt) {
        return bad("rtpmap payload type must be a number from 0 to 127");
    }
    out->payload_type = static_cast<int>(*pt);
    out->line = line;
    std::string_view enc = w[1];
    std::size_t s1 = enc.find('/');
    if (s1 == std::string_view::npos || s1 == 0) {
        return bad("rtpmap needs <encoding>/<clock rate>");
    }
    out->encoding = enc.substr(0, s1);
    std::string_view rest = enc.substr(s1 + 1);
    std::size_t s2 = rest.find('/');
    auto clock = to_uint(rest.substr(0, s2), kU32);
    if (!clock) {
        return bad("rtpmap clock rate is not a number");
    }
    out->clock_rate = static_cast<uint32_t>(*clock);
    if (s2 != std::string_view::npos) {
        auto ch = to_uint(rest.substr(s2 + 1), kU32);
        if (!ch) {
            return bad("rtpmap channel count is not a number");
        }
        out->channels = static_cast<uint32_t>(*ch);
    }
    return std::nullopt;
}

fail read_format_params(const std::vector<sdp_fmtp_param>& list, sdp_format_params* p) {
    for (const sdp_fmtp_param& f : list) {
        const std::string& n = f.name;
        const std::string& v = f.value;
        auto number = [&](uint32_t* dst, uint64_t max) -> fail {
            auto x = to_uint(v, max);
            if (!x) {
                return bad(n + "=" + v + ": " + n + " must be a number");
            }
            *dst = static_cast<uint32_t>(*x);
            return std::nullopt;
        };
        fail err;
        if (iequals(n, "sampling")) {
            p->sampling = v;
        } else if (iequals(n, "width")) {
            err = number(&p->width, 65535);
        } else if (iequals(n, "height")) {
            err = number(&p->height, 65535);
        } else if (iequals(n, "exactframerate")) {
            p->exactframerate = rate_from_string(v);
            if (!p->exactframerate) {
                // The rates people write with decimals are the /1001 ones.
                static constexpr std::pair<const char*, const char*> kDecimal[] = {
                    {"23.98", "24000/1001"}, {"23.976", "24000/1001"}, {"29.97", "30000/1001"},
                    {"47.95", "48000/1001"}, {"59.94", "60000/1001"},  {"119.88", "120000/1001"},
                };
                std::string hint;
                for (const auto& [decimal, fraction] : kDecimal) {
                    if (v == decimal) {
                        hint = std::string(" (") + decimal + " is written " + fraction + ")";
                    }
                }
                err = bad(n + "=" + v +
                          ": exactframerate must be <integer> or <integer>/<integer>" + hint);
            }
        } else if (iequals(n, "depth")) {
            std::string_view d = v;
            if (d.ends_with('f')) {
                d.remove_suffix(1);
            }
            if (!to_uint(d, 255)) {
                err = bad(n + "=" + v + ": depth must be a number of bits");
            }
            p->depth = v;
        } else if (iequals(n, "colorimetry")) {
            p->colorimetry = v;
        } else if (iequals(n, "interlace")) {
            // Some senders write interlace=1; a value of 0 says progressive.
            p->interlace = !(f.has_value && v == "0");
        } else if (iequals(n, "segmented")) {
            p->segmented = !(f.has_value && v == "0");
        } else if (iequals(n, "TCS")) {
            p->tcs = v;
        } else if (iequals(n, "RANGE")) {
            p->range = v;
        } else if (iequals(n, "PAR")) {
            p->par = v;
        } else if (iequals(n, "PM")) {
            p->pm = v;
        } else if (iequals(n, "SSN")) {
            p->ssn = v;
        } else if (iequals(n, "TP")) {
            p->tp = v;
        } else if (iequals(n, "MAXUDP")) {
            err = number(&p->maxudp, 65535);
        } else if (iequals(n, "channel-order")) {
            p->channel_order = v;
        } else if (iequals(n, "DID_SDID")) {
            p->did_sdid.push_back(v);
        } else if (iequals(n, "VPID_Code")) {
            p->vpid_code = v;
        }
        if (err) {
            return err;
        }
    }
    return std::nullopt;
}

fail read_fmtp(std::string_view value, sdp_media* m) {
    value = trim(value);
    std::size_t sp = value.find_first_of(kBlanks);
    std::string_view pt_text = value.substr(0, sp);
    auto pt = to_uint(pt_text, 127);
    if (!pt) {
        return bad("fmtp payload type must be a number from 0 to 127");
    }
    m->fmtp_payload_type = static_cast<int>(*pt);
    m->fmtp.clear();
    m->params = {};
    std::string_view rest = sp == std::string_view::npos ? std::string_view{} : value.substr(sp);
    std::size_t pos = 0;
    while (pos <= rest.size()) {
        std::size_t semi = rest.find(';', pos);
        std::string_view item =
            trim(rest.substr(pos, semi == std::string_view::npos ? rest.npos : semi - pos));
        pos = semi == std::string_view::npos ? rest.size() + 1 : semi + 1;
        if (item.empty()) {
            continue;  // a trailing ';', or two in a row
        }
        std::size_t eq = item.find('=');
        sdp_fmtp_param param;
        param.name = trim(item.substr(0, eq));
        if (eq != std::string_view::npos) {
            param.value = trim(item.substr(eq + 1));
            param.has_value = true;
        }
        if (param.name.empty() || param.name.find_first_of(kBlanks) != std::string::npos) {
            return bad("fmtp parameter \"" + std::string(item) + "\" has no name");
        }
        m->fmtp.push_back(std::move(param));
    }
    return read_format_params(m->fmtp, &m->params);
}

// Attributes that both levels know.
bool read_common_attribute(std::string_view name, std::string_view value,
                           std::vector<std::string>* ts_refclk, std::string* mediaclk) {
    if (iequals(name, "ts-refclk")) {
        ts_refclk->emplace_back(value);
        return true;
    }
    if (iequals(name, "mediaclk")) {
        *mediaclk = value;
        return true;
    }
    return false;
}

fail read_attribute(std::string_view body, int line, sdp_session* s) {
    std::size_t colon = body.find(':');
    std::string_view name = trim(body.substr(0, colon));
    std::string_view value =
        colon == std::string_view::npos ? std::string_view{} : trim(body.substr(colon + 1));
    if (iequals(name, "source-filter")) {
        sdp_source_filter f;
        if (fail e = read_source_filter(value, line, &f)) {
            return e;
        }
        (s->media.empty() ? s->source_filters : s->media.back().source_filters).push_back(f);
        return std::nullopt;
    }
    if (s->media.empty()) {
        if (iequals(name, "group")) {
            auto w = words(value);
            if (w.empty()) {
                return bad("group needs <semantics> <mid>...");
            }
            sdp_group g;
            g.semantics = w[0];
            g.mids.assign(w.begin() + 1, w.end());
            g.line = line;
            s->groups.push_back(std::move(g));
        } else {
            read_common_attribute(name, value, &s->ts_refclk, &s->mediaclk);
        }
        return std::nullopt;
    }
    sdp_media& m = s->media.back();
    if (read_common_attribute(name, value, &m.ts_refclk, &m.mediaclk)) {
        return std::nullopt;
    }
    if (iequals(name, "rtpmap")) {
        sdp_rtpmap r;
        if (fail e = read_rtpmap(value, line, &r)) {
            return e;
        }
        m.rtpmaps.push_back(std::move(r));
    } else if (iequals(name, "fmtp")) {
        m.fmtp_line = line;
        return read_fmtp(value, &m);
    } else if (iequals(name, "ptime")) {
        auto us = ms_to_us(value);
        if (!us) {
            return bad("ptime must be a number of milliseconds");
        }
        m.ptime_us = us;
        m.ptime_text = value;
        m.ptime_line = line;
    } else if (iequals(name, "mid")) {
        m.mid = value;
    }
    return std::nullopt;
}

struct text_line {
    int number;
    std::string text;
};

// Splits at LF, drops a CR before it, joins a line that begins with a blank to the a=fmtp line
// before it (folded parameter lists), and drops lines that hold nothing but blanks.
std::vector<text_line> split_lines(std::string_view text, sdp_error* error) {
    std::vector<text_line> out;
    int number = 0;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t nl = text.find('\n', pos);
        std::string_view l = text.substr(pos, nl == std::string_view::npos ? text.npos : nl - pos);
        pos = nl == std::string_view::npos ? text.size() : nl + 1;
        ++number;
        if (l.ends_with('\r')) {
            l.remove_suffix(1);
        }
        if (trim(l).empty()) {
            continue;
        }
        if (l.front() == ' ' || l.front() == '\t') {
            if (!out.empty() && out.back().text.starts_with("a=fmtp:")) {
                out.back().text += ' ';
                out.back().text += trim(l);
                continue;
            }
            *error = {number, std::string(l), "a line must begin with <type>="};
            return {};
        }
        out.push_back({number, std::string(l)});
    }
    return out;
}

void write_connection(std::string* out, const sdp_connection& c) {
    *out += "c=" + c.net_type + " " + c.addr_type + " " + c.address;
    if (c.addr_type == "IP4") {
        if (c.ttl != 0 || c.count != 1) {
            *out += "/" + std::to_string(c.ttl);
        }
    }
    if (c.count != 1) {
        *out += "/" + std::to_string(c.count);
    }
    *out += "\r\n";
}

void write_source_filters(std::string* out, const std::vector<sdp_source_filter>& filters) {
    for (const sdp_source_filter& f : filters) {
        *out += std::string("a=source-filter: ") + (f.include ? "incl" : "excl") + " " +
                f.net_type + " " + f.addr_type + " " + f.destination;
        for (const std::string& src : f.sources) {
            *out += " " + src;
        }
        *out += "\r\n";
    }
}

void write_clocks(std::string* out, const std::vector<std::string>& ts_refclk,
                  const std::string& mediaclk) {
    for (const std::string& r : ts_refclk) {
        *out += "a=ts-refclk:" + r + "\r\n";
    }
    if (!mediaclk.empty()) {
        *out += "a=mediaclk:" + mediaclk + "\r\n";
    }
}

std::string us_to_ms_text(uint32_t us) {
    std::string text = std::to_string(us / 1000);
    if (us % 1000 != 0) {
        std::string frac = std::to_string(1000 + us % 1000).substr(1);
        while (frac.ends_with('0')) {
            frac.pop_back();
        }
        text += "." + frac;
    }
    return text;
}

}  // namespace

const sdp_rtpmap* sdp_media::first_rtpmap() const {
    if (formats.empty()) {
        return nullptr;
    }
    auto pt = to_uint(formats.front(), 127);
    if (!pt) {
        return nullptr;
    }
    for (const sdp_rtpmap& r : rtpmaps) {
        if (r.payload_type == static_cast<int>(*pt)) {
            return &r;
        }
    }
    return nullptr;
}

sdp_parse_result parse_sdp(std::string_view text) {
    sdp_parse_result result;
    std::vector<text_line> lines = split_lines(text, &result.error);
    if (!result.error.message.empty()) {
        return result;
    }
    if (lines.empty()) {
        result.error = {1, "", "the description is empty"};
        return result;
    }
    sdp_session s;
    bool have_origin = false;
    bool have_name = false;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const text_line& l = lines[i];
        auto error = [&](std::string message) {
            result.error = {l.number, l.text, std::move(message)};
            return result;
        };
        if (l.text.size() < 2 || l.text[1] != '=' || l.text[0] < 'a' || l.text[0] > 'z') {
            return error("a line must be <type>=<value> with a lower-case type letter");
        }
        char type = l.text[0];
        std::string_view value = std::string_view(l.text).substr(2);
        if (i == 0) {
            if (type != 'v' || trim(value) != "0") {
                return error("a description begins with v=0");
            }
            continue;
        }
        fail e;
        switch (type) {
            case 'v':
                return error("v= may only be the first line");
            case 'o': {
                auto w = words(value);
                if (w.size() < 6) {
                    return error(
                        "o= needs <user> <session id> <version> <network type> "
                        "<address type> <address>");
                }
                s.origin_user = w[0];
                s.origin_session_id = w[1];
                s.origin_version = w[2];
                s.origin_net_type = w[3];
                s.origin_addr_type = w[4];
                s.origin_address = w[5];
                have_origin = true;
                break;
            }
            case 's':
                s.name = value;
                have_name = true;
                break;
            case 'c': {
                sdp_connection c;
                e = read_connection(value, l.number, &c);
                if (!e) {
                    (s.media.empty() ? s.connection : s.media.back().connection) = c;
                }
                break;
            }
            case 'm':
                if (!have_origin || !have_name) {
                    return error("o= and s= must come before the first m=");
                }
                s.media.emplace_back();
                e = read_media(value, l.number, &s.media.back());
                break;
            case 'a':
                e = read_attribute(value, l.number, &s);
                break;
            default:
                break;  // i=, t=, b=, k=, ... say nothing about how to receive
        }
        if (e) {
            return error(e->message);
        }
    }
    if (!have_origin || !have_name) {
        result.error = {lines.back().number, lines.back().text, "the description lacks o= or s="};
        return result;
    }
    result.session = std::move(s);
    return result;
}

std::string to_string(const sdp_error& error) {
    return "line " + std::to_string(error.line) + ": " + error.text + ": " + error.message;
}

std::string write_sdp(const sdp_session& s) {
    std::string out = "v=0\r\n";
    out += "o=" + s.origin_user + " " + s.origin_session_id + " " + s.origin_version + " " +
           s.origin_net_type + " " + s.origin_addr_type + " " + s.origin_address + "\r\n";
    out += "s=" + s.name + "\r\n";
    if (s.connection) {
        write_connection(&out, *s.connection);
    }
    out += "t=0 0\r\n";
    for (const sdp_group& g : s.groups) {
        out += "a=group:" + g.semantics;
        for (const std::string& mid : g.mids) {
            out += " " + mid;
        }
        out += "\r\n";
    }
    write_source_filters(&out, s.source_filters);
    write_clocks(&out, s.ts_refclk, s.mediaclk);
    for (const sdp_media& m : s.media) {
        out += "m=" + m.media + " " + std::to_string(m.port);
        if (m.port_count != 1) {
            out += "/" + std::to_string(m.port_count);
        }
        out += " " + m.proto;
        for (const std::string& f : m.formats) {
            out += " " + f;
        }
        out += "\r\n";
        if (m.connection) {
            write_connection(&out, *m.connection);
        }
        write_source_filters(&out, m.source_filters);
        for (const sdp_rtpmap& r : m.rtpmaps) {
            out += "a=rtpmap:" + std::to_string(r.payload_type) + " " + r.encoding + "/" +
                   std::to_string(r.clock_rate);
            if (r.channels != 0) {
                out += "/" + std::to_string(r.channels);
            }
            out += "\r\n";
        }
        if (m.fmtp_payload_type >= 0) {
            out += "a=fmtp:" + std::to_string(m.fmtp_payload_type);
            const char* sep = " ";
            for (const sdp_fmtp_param& p : m.fmtp) {
                out += sep + p.name + (p.has_value ? "=" + p.value : "");
                sep = "; ";
            }
            out += "\r\n";
        }
        if (m.ptime_us) {
            out += "a=ptime:" + us_to_ms_text(*m.ptime_us) + "\r\n";
        }
        write_clocks(&out, m.ts_refclk, m.mediaclk);
        if (!m.mid.empty()) {
            out += "a=mid:" + m.mid + "\r\n";
        }
    }
    return out;
}

const sdp_connection* effective_connection(const sdp_session& session, const sdp_media& media) {
    if (media.connection) {
        return &*media.connection;
    }
    return session.connection ? &*session.connection : nullptr;
}

const std::vector<sdp_source_filter>& effective_source_filters(const sdp_session& session,
                                                               const sdp_media& media) {
    return media.source_filters.empty() ? session.source_filters : media.source_filters;
}

std::string rate_to_string(sdp_rate rate) {
    if (rate.den == 1) {
        return std::to_string(rate.num);
    }
    return std::to_string(rate.num) + "/" + std::to_string(rate.den);
}

std::optional<sdp_rate> rate_from_string(std::string_view text) {
    std::size_t slash = text.find('/');
    auto num = to_uint(text.substr(0, slash), kU32);
    if (!num || *num == 0) {
        return std::nullopt;
    }
    if (slash == std::string_view::npos) {
        return sdp_rate{*num, 1};
    }
    auto den = to_uint(text.substr(slash + 1), kU32);
    if (!den || *den == 0) {
        return std::nullopt;
    }
    return sdp_rate{*num, static_cast<uint32_t>(*den)};
}

}  // namespace nexo::client
