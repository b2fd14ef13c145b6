#include "caps.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <numeric>
#include <sstream>
#include <utility>
#include <vector>

#include "video_types.h"

namespace nexo::client {
namespace {

// Picture size of the catalogue's frame types (frametype_to_name_table codes).
struct frame_size_row {
    uint32_t frame_type;
    uint32_t width;
    uint32_t height;
};
constexpr std::array<frame_size_row, 6> frame_sizes = {{
    {0, 720, 486},    // 525i/
    {1, 720, 576},    // 625i/
    {2, 1280, 720},   // 720p
    {3, 1920, 1080},  // 1080i/
    {4, 1920, 1080},  // 1080p
    {5, 3840, 2160},  // 2160p
}};

bool iequals(const std::string& a, const char* b) {
    std::string_view bv(b);
    return a.size() == bv.size() && std::equal(a.begin(), a.end(), bv.begin(), [](char x, char y) {
               return std::toupper(static_cast<unsigned char>(x)) ==
                      std::toupper(static_cast<unsigned char>(y));
           });
}

template <typename T, std::size_t N>
std::string join(const std::array<T, N>& a, const char* sep = ", ") {
    std::ostringstream out;
    for (std::size_t i = 0; i < N; ++i) {
        out << (i == 0 ? "" : sep) << a[i];
    }
    return out.str();
}

template <std::size_t N>
const char* find_name(const std::array<const char*, N>& a, const std::string& value) {
    for (const char* name : a) {
        if (iequals(value, name)) {
            return name;
        }
    }
    return nullptr;
}

sdp_rate reduce(sdp_rate r) {
    uint64_t g = std::gcd(r.num, static_cast<uint64_t>(r.den));
    if (g > 1) {
        r.num /= g;
        r.den = static_cast<uint32_t>(r.den / g);
    }
    return r;
}

}  // namespace

const char* format_rate_name(sdp_rate rate) {
    for (std::size_t i = 0; i + 1 < f_rate_xlate_table.size(); ++i) {
        freq a = f_rate_xlate_table[i].rate;
        freq b = {rate.num, rate.den};
        simplify_freq(&a);
        simplify_freq(&b);
        if (a.num == b.num && a.den == b.den) {
            return f_rate_xlate_table[i].name;
        }
    }
    return nullptr;
}

namespace {

std::vector<video_mode> build_video_modes() {
    std::vector<video_mode> modes;
    for (int32_t i = 0; i < get_nbr_supported_video_stds(); ++i) {
        const vid_std* s = get_vid_std_ptr(i);
        freq f{};
        // Rows that follow the timing daemon's rate have no rate of their own: the fixed-rate
        // rows already hold every rate they can resolve to.
        if (s->rate == 0 || get_frame_rate_of_standard(s, &f) != 0) {
            continue;
        }
        const frame_size_row* size = nullptr;
        for (const frame_size_row& row : frame_sizes) {
            if (row.frame_type == s->frame_type) {
                size = &row;
            }
        }
        if (size == nullptr) {
            continue;
        }
        modes.push_back({size->width, size->height, (s->flags & kVidStdInterlaced) != 0,
                         reduce({f.num, f.den}), s->subsampling, i});
    }
    return modes;
}

// The catalogue's formats of one sampling nearest to the one asked for, best first: the same
// scan before the other, then the nearest picture area, then the nearest rate.
std::string nearest_modes(uint32_t subsampling, uint32_t width, uint32_t height, bool interlaced,
                          double rate) {
    std::vector<std::pair<double, const video_mode*>> scored;
    const double area = std::max(1.0, static_cast<double>(width) * height);
    for (const video_mode& m : video_modes()) {
        if (m.subsampling != subsampling) {
            continue;
        }
        const double r = static_cast<double>(m.frame_rate.num) / m.frame_rate.den;
        const double score = (m.interlaced != interlaced ? 4.0 : 0.0) +
                             std::fabs(std::log(static_cast<double>(m.width) * m.height / area)) +
                             (rate > 0 ? std::fabs(r - rate) / rate : 0.0);
        scored.emplace_back(score, &m);
    }
    std::stable_sort(scored.begin(), scored.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    std::ostringstream out;
    for (std::size_t i = 0; i < scored.size() && i < 4; ++i) {
        const video_mode& m = *scored[i].second;
        out << (i == 0 ? "" : ", ") << m.width << "x" << m.height << (m.interlaced ? "i" : "p")
            << "@" << rate_to_string(m.frame_rate);
    }
    return out.str();
}

refusal refuse(std::string attribute, std::string value, std::string accepted, int line) {
    return {std::move(attribute), std::move(value), std::move(accepted), line};
}

// The rtpmap of the section's first payload type and its encoding, or a refusal.
std::optional<refusal> check_rtpmap(const sdp_media& m, const char* encoding, uint32_t clock,
                                    const std::string& accepted, const sdp_rtpmap** out) {
    *out = m.first_rtpmap();
    if (*out == nullptr) {
        std::string pt = m.formats.empty() ? "" : m.formats.front();
        return refuse("a=rtpmap", "none for payload type " + pt, accepted, m.line);
    }
    const sdp_rtpmap& r = **out;
    std::string written = r.encoding + "/" + std::to_string(r.clock_rate);
    if (encoding != nullptr && (!iequals(r.encoding, encoding) || r.clock_rate != clock)) {
        return refuse("a=rtpmap", written, accepted, r.line);
    }
    return std::nullopt;
}

}  // namespace

const std::vector<video_mode>& video_modes() {
    static const std::vector<video_mode> modes = build_video_modes();
    return modes;
}

std::string to_string(const refusal& r) {
    std::string s = r.line > 0 ? "line " + std::to_string(r.line) + ": " : "";
    return s + r.attribute + " " + r.value + ": this board accepts " + r.accepted;
}

std::string to_string(const video_format& f) {
    return f.cspace + " " + std::to_string(f.bpc) + " " + f.scan + " " + std::to_string(f.width) +
           " " + std::to_string(f.height) + " " + f.rate;
}

std::optional<video_format> detected_instead(const video_format& f) {
    video_format d = f;
    if (f.cspace == "YCR444") {
        d.cspace = "RGB";
    } else if (f.cspace == "YCR422" && f.bpc == 12) {
        d.cspace = "RGB";
        d.bpc = 8;
    } else {
        return std::nullopt;
    }
    return d;
}

std::optional<video_format> video_format_from_text(const std::string& text) {
    std::istringstream in(text);
    video_format f;
    std::string scan;
    if (!(in >> f.cspace >> f.bpc >> scan >> f.width >> f.height >> f.rate) || scan.size() != 1) {
        return std::nullopt;
    }
    f.scan = static_cast<char>(std::toupper(static_cast<unsigned char>(scan[0])));
    bool cspace_known = false;
    for (std::size_t i = 0; i + 1 < colorspace_xlate_table.size(); ++i) {
        cspace_known |= iequals(f.cspace, colorspace_xlate_table[i].name);
    }
    bool rate_known = false;
    for (std::size_t i = 0; i + 1 < f_rate_xlate_table.size(); ++i) {
        rate_known |= f.rate == f_rate_xlate_table[i].name;
    }
    if (!cspace_known || !rate_known || std::string_view("IPS").find(f.scan) == std::string::npos) {
        return std::nullopt;
    }
    return f;
}

std::string to_string(const audio_format& f) {
    return std::to_string(f.channels) + " " + f.encoding + " " + std::to_string(f.sample_rate) +
           " " + std::to_string(f.packet_time_ms);
}

std::optional<audio_format> audio_format_from_text(const std::string& text) {
    std::istringstream in(text);
    audio_format f;
    if (!(in >> f.channels >> f.encoding >> f.sample_rate >> f.packet_time_ms)) {
        return std::nullopt;
    }
    return f;
}

video_check check_video(const sdp_media& m) {
    video_check out;
    auto no = [&](std::string attribute, std::string value, std::string accepted, int line) {
        out.refused = refuse(std::move(attribute), std::move(value), std::move(accepted), line);
        return out;
    };
    const sdp_rtpmap* r = nullptr;
    if (auto e = check_rtpmap(m, "raw", 90000, "raw/90000 (uncompressed video)", &r)) {
        out.refused = e;
        return out;
    }
    if (m.fmtp_payload_type != r->payload_type) {
        return no("a=fmtp", "none for payload type " + std::to_string(r->payload_type),
                  "raw video described by its a=fmtp", m.line);
    }
    const sdp_format_params& p = m.params;
    int line = m.fmtp_line;
    const sampling_row* sampling = nullptr;
    for (const sampling_row& row : sampling_table) {
        if (iequals(p.sampling, row.sdp_name)) {
            sampling = &row;
        }
    }
    std::string samplings;
    for (const sampling_row& row : sampling_table) {
        samplings += (samplings.empty() ? "" : ", ") + std::string(row.sdp_name);
    }
    if (sampling == nullptr) {
        return no("sampling", p.sampling.empty() ? "(missing)" : p.sampling, samplings, line);
    }
    uint32_t depth = 0;
    for (uint32_t d : video_depths) {
        if (p.depth == std::to_string(d)) {
            depth = d;
        }
    }
    if (depth == 0) {
        return no("depth", p.depth.empty() ? "(missing)" : p.depth, join(video_depths), line);
    }
    bool interlaced = p.interlace || p.segmented;
    if (p.width == 0 || p.height == 0 || !p.exactframerate) {
        const char* missing = p.width == 0 ? "width" : p.height == 0 ? "height" : "exactframerate";
        return no(missing, "(missing)",
                  "formats with width, height and exactframerate, for " + p.sampling + " nearest " +
                      nearest_modes(sampling->subsampling, p.width, p.height, interlaced, 0),
                  line);
    }
    if (!p.tcs.empty() && find_name(transfer_characteristics, p.tcs) == nullptr) {
        return no("TCS", p.tcs, join(transfer_characteristics), line);
    }
    if (!p.colorimetry.empty() && find_name(colorimetries, p.colorimetry) == nullptr) {
        return no("colorimetry", p.colorimetry, join(colorimetries), line);
    }
    if (!p.pm.empty() && find_name(packing_modes, p.pm) == nullptr) {
        return no("PM", p.pm, join(packing_modes), line);
    }
    if (!p.tp.empty() && find_name(sender_types, p.tp) == nullptr) {
        return no("TP", p.tp, join(sender_types), line);
    }
    if (p.maxudp > kMaxUdpSize) {
        return no("MAXUDP", std::to_string(p.maxudp),
                  "at most " + std::to_string(kMaxUdpSize) + " bytes", line);
    }
    sdp_rate frame_rate = reduce(*p.exactframerate);
    // 525-line interlaced video is 486 active lines, but many senders describe it by the 480
    // lines of its digital picture. The board has one 525-line format, so 720x480 interlaced
    // at 30000/1001 can only mean it.
    uint32_t height = p.height;
    if (p.width == 720 && p.height == 480 && interlaced && frame_rate == sdp_rate{30000, 1001}) {
        height = 486;
        out.notices.push_back("height=480 is taken as the 525-line format 720x486i@30000/1001");
    }
    const video_mode* mode = nullptr;
    for (const video_mode& candidate : video_modes()) {
        if (candidate.width == p.width && candidate.height == height &&
            candidate.interlaced == interlaced && candidate.frame_rate == frame_rate &&
            candidate.subsampling == sampling->subsampling) {
            mode = &candidate;
        }
    }
    if (mode == nullptr) {
        std::string written = std::to_string(p.width) + "x" + std::to_string(p.height) +
                              (interlaced ? "i" : "p") + "@" + rate_to_string(*p.exactframerate);
        const double rate = static_cast<double>(frame_rate.num) / frame_rate.den;
        return no("a=fmtp", written + " " + p.sampling,
                  "for " + p.sampling + " nearest " +
                      nearest_modes(sampling->subsampling, p.width, p.height, interlaced, rate),
                  line);
    }
    // Interlaced and segmented-frame formats name their field rate in the format text.
    sdp_rate text_rate = frame_rate;
    if (interlaced) {
        text_rate.num *= 2;
    }
    const char* rate = format_rate_name(text_rate);
    if (rate == nullptr) {
        return no("exactframerate", rate_to_string(*p.exactframerate), "the catalogue's rates",
                  line);
    }
    video_format f;
    for (const colorspace_row& row : colorspace_xlate_table) {
        if (row.code == sampling->cspace) {
            f.cspace = row.name;
        }
    }
    f.bpc = depth;
    f.scan = p.segmented ? 'S' : p.interlace ? 'I' : 'P';
    f.width = p.width;
    f.height = height;
    f.rate = rate;
    out.format = f;
    return out;
}

audio_check check_audio(const sdp_media& m) {
    audio_check out;
    const sdp_rtpmap* r = nullptr;
    std::string encodings;
    for (const audio_encoding_row& row : audio_encodings) {
        encodings += (encodings.empty() ? "" : ", ") + std::string(row.name);
    }
    if (auto e = check_rtpmap(m, nullptr, 0, encodings, &r)) {
        out.refused = e;
        return out;
    }
    const char* encoding = nullptr;
    for (const audio_encoding_row& row : audio_encodings) {
        if (iequals(r->encoding, row.name)) {
            encoding = row.name;
        }
    }
    if (encoding == nullptr) {
        out.refused = refuse("a=rtpmap", r->encoding + "/" + std::to_string(r->clock_rate),
                             encodings + " (PCM)", r->line);
        return out;
    }
    if (std::find(audio_sample_rates.begin(), audio_sample_rates.end(), r->clock_rate) ==
        audio_sample_rates.end()) {
        out.refused = refuse("sampling rate", std::to_string(r->clock_rate),
                             join(audio_sample_rates) + " Hz", r->line);
        return out;
    }
    uint32_t channels = r->channels == 0 ? 1 : r->channels;
    if (channels > kAudioMaxChannels) {
        out.refused = refuse("channel count", std::to_string(channels),
                             "1 to " + std::to_string(kAudioMaxChannels), r->line);
        return out;
    }
    // A section without a=ptime uses the 1 ms that every receiver must support.
    uint32_t us = m.ptime_us.value_or(1000);
    uint32_t ms = us / 1000;
    if (us % 1000 != 0 || std::find(audio_packet_times_ms.begin(), audio_packet_times_ms.end(),
                                    ms) == audio_packet_times_ms.end()) {
        out.refused = refuse("a=ptime", m.ptime_text,
                             join(audio_packet_times_ms) + " (milliseconds)", m.ptime_line);
        return out;
    }
    out.format = audio_format{channels, encoding, r->clock_rate, ms};
    return out;
}

std::optional<refusal> check_ancillary(const sdp_media& m) {
    const sdp_rtpmap* r = nullptr;
    return check_rtpmap(m, "smpte291", 90000, "smpte291/90000 (ancillary data)", &r);
}

std::optional<video_params> video_params_of(const video_format& f) {
    const sampling_row* sampling = nullptr;
    for (const colorspace_row& cs : colorspace_xlate_table) {
        if (iequals(f.cspace, cs.name)) {
            for (const sampling_row& row : sampling_table) {
                if (row.cspace == cs.code) {
                    sampling = &row;
                }
            }
        }
    }
    const f_rate_row* rate = nullptr;
    for (std::size_t i = 0; i + 1 < f_rate_xlate_table.size(); ++i) {
        if (f.rate == f_rate_xlate_table[i].name) {
            rate = &f_rate_xlate_table[i];
        }
    }
    if (sampling == nullptr || rate == nullptr) {
        return std::nullopt;
    }
    sdp_rate r{rate->rate.num, rate->rate.den};
    bool interlaced = f.scan != 'P';
    if (interlaced) {
        r.den *= 2;
    }
    return video_params{sampling->sdp_name, f.width,      f.height, reduce(r), f.bpc,
                        interlaced,         f.scan == 'S'};
}

}  // namespace nexo::client
