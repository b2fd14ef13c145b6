// Session descriptions and capabilities come from the client library, the same code that
// nexoctl's "sdp" commands use: one place knows what the board can receive.
#include "transport_file.h"

#include <cstdio>

#include "caps.h"
#include "chan_plan.h"
#include "sdp.h"

namespace nexo::nmos {

namespace {

using nlohmann::json;

const char* expected_media(channel_kind k) {
    switch (k) {
        case channel_kind::video:
            return "video/raw";
        case channel_kind::audio:
            return "audio/L24";
        case channel_kind::data:
            break;
    }
    return "video/smpte291";
}

json rational(std::uint64_t num, std::uint32_t den) {
    json r = {{"numerator", num}};
    if (den != 1) {
        r["denominator"] = den;
    }
    return r;
}

json enum_of(json values) {
    return {{"enum", std::move(values)}};
}

// What a controller shows for a constraint set: a label, and every set equally preferred and
// always enabled (the board takes each listed format whenever the channel is free).
json with_meta(json set, const std::string& label) {
    set["urn:x-nmos:cap:meta:label"] = label;
    set["urn:x-nmos:cap:meta:preference"] = 0;
    set["urn:x-nmos:cap:meta:enabled"] = true;
    return set;
}

std::string rate_text(const client::sdp_rate& r) {
    char buf[32];
    if (r.den == 1) {
        std::snprintf(buf, sizeof buf, "%llu", static_cast<unsigned long long>(r.num));
    } else {
        std::snprintf(buf, sizeof buf, "%.2f", static_cast<double>(r.num) / r.den);
    }
    return buf;
}

// One constraint set per picture format of the catalogue, with the samplings, depths and
// colour spaces the format text can carry.
json video_constraint_sets() {
    json depths = json::array();
    for (auto d : client::video_depths) {
        depths.push_back(d);
    }
    json colorspaces = json::array();
    for (const char* c : client::colorimetries) {
        if (std::string(c) != "UNSPECIFIED") {
            colorspaces.push_back(c);
        }
    }
    json sets = json::array();
    for (const client::video_mode& m : client::video_modes()) {
        json samplings = json::array();
        for (const auto& row : client::sampling_table) {
            if (row.subsampling == m.subsampling) {
                samplings.push_back(row.sdp_name);
            }
        }
        json scan = m.interlaced
                        ? json::array({"interlaced_tff", "interlaced_bff", "interlaced_psf"})
                        : json::array({"progressive"});
        std::string label = std::to_string(m.width) + "x" + std::to_string(m.height) +
                            (m.interlaced ? "i" : "p") + rate_text(m.frame_rate);
        sets.push_back(with_meta(
            {
                {"urn:x-nmos:cap:format:media_type", enum_of({"video/raw"})},
                {"urn:x-nmos:cap:format:frame_width", enum_of({m.width})},
                {"urn:x-nmos:cap:format:frame_height", enum_of({m.height})},
                {"urn:x-nmos:cap:format:grain_rate",
                 enum_of({rational(m.frame_rate.num, m.frame_rate.den)})},
                {"urn:x-nmos:cap:format:interlace_mode", enum_of(scan)},
                {"urn:x-nmos:cap:format:color_sampling", enum_of(samplings)},
                {"urn:x-nmos:cap:format:component_depth", enum_of(depths)},
                {"urn:x-nmos:cap:format:colorspace", enum_of(colorspaces)},
            },
            label));
    }
    return sets;
}

// One constraint set per encoding: its sample depth goes with it.
json audio_constraint_sets() {
    json rates = json::array();
    for (auto r : client::audio_sample_rates) {
        rates.push_back(rational(r, 1));
    }
    json ptimes = json::array();
    for (auto p : client::audio_packet_times_ms) {
        ptimes.push_back(p);
    }
    json sets = json::array();
    for (const auto& enc : client::audio_encodings) {
        sets.push_back(with_meta(
            {
                {"urn:x-nmos:cap:format:media_type", enum_of({std::string("audio/") + enc.name})},
                {"urn:x-nmos:cap:format:channel_count",
                 {{"minimum", 1}, {"maximum", client::kAudioMaxChannels}}},
                {"urn:x-nmos:cap:format:sample_rate", enum_of(rates)},
                {"urn:x-nmos:cap:format:sample_depth", enum_of({enc.bits})},
                {"urn:x-nmos:cap:transport:packet_time", enum_of(ptimes)},
            },
            std::string("PCM ") + enc.name));
    }
    return sets;
}

}  // namespace

json receiver_caps(channel_id ch) {
    switch (kind_of(ch)) {
        case channel_kind::video:
            return {{"media_types", {"video/raw"}}, {"constraint_sets", video_constraint_sets()}};
        case channel_kind::audio: {
            json types = json::array();
            for (const auto& enc : client::audio_encodings) {
                types.push_back(std::string("audio/") + enc.name);
            }
            return {{"media_types", types}, {"constraint_sets", audio_constraint_sets()}};
        }
        case channel_kind::data:
            break;
    }
    return {{"media_types", {expected_media(kind_of(ch))}}};
}

transport_file_result read_transport_file(channel_id ch, const std::string& sdp) {
    transport_file_result r;
    client::sdp_parse_result parsed = client::parse_sdp(sdp);
    if (!parsed.ok()) {
        r.refusal = client::to_string(parsed.error);
        return r;
    }
    client::channel_plan plan = client::plan_channel(*parsed.session, ch);
    if (plan.refused) {
        r.refusal = client::to_string(*plan.refused);
        return r;
    }
    const client::channel_config& c = plan.config;
    if (client::is_multicast(c.destination)) {
        r.multicast_ip = c.destination;
    }
    if (c.source != "0.0.0.0") {
        r.source_ip = c.source;
    }
    r.destination_port = c.port;
    r.payload_type = c.payload_type;
    r.video = c.video;
    r.audio = c.audio;
    return r;
}

}  // namespace nexo::nmos
