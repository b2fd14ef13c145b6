// What this board can receive, and the check of one media section of a session description
// against it.
//
// The video capabilities come from the daemon's own tables: the picture formats are the
// fixed-rate rows of the video standard catalogue (frame type, rate, subsampling), the colour
// space words and frame-rate names are those the video format text accepts. The lists below
// (samplings, depths, colorimetries, audio) are the one place a client of this library learns
// them from; an NMOS node builds its constraint sets from the same functions.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sdp.h"

namespace nexo::client {

// One picture format the board receives.
struct video_mode {
    uint32_t width;
    uint32_t height;
    bool interlaced;       // interlaced (or segmented-frame) transport; progressive otherwise
    sdp_rate frame_rate;   // frames per second, reduced (25/1, 30000/1001)
    uint32_t subsampling;  // catalogue code: 0 4:2:2, 1 4:4:4
    int32_t std_index;     // catalogue row
    bool operator==(const video_mode&) const = default;
};

// The fixed-rate rows of the catalogue as picture formats, in catalogue order.
const std::vector<video_mode>& video_modes();

// ST 2110-20 sampling names the board takes, with the colour space word of the format text and
// the catalogue subsampling they need.
struct sampling_row {
    const char* sdp_name;
    int32_t cspace;  // colorspace_xlate_table code
    uint32_t subsampling;
};
inline constexpr std::array<sampling_row, 3> sampling_table = {{
    {"YCbCr-4:2:2", 2, 0},
    {"YCbCr-4:4:4", 1, 1},
    {"RGB", 0, 1},
}};

// Bits per component the board's format detector knows; the SDI outputs carry them all.
inline constexpr std::array<uint32_t, 4> video_depths = {8, 10, 12, 16};
inline constexpr std::array<const char*, 5> colorimetries = {"BT601", "BT709", "BT2020", "BT2100",
                                                             "UNSPECIFIED"};
// Values of the other video parameters that the board accepts when they are given.
inline constexpr std::array<const char*, 2> packing_modes = {"2110GPM", "2110BPM"};
inline constexpr std::array<const char*, 3> sender_types = {"2110TPN", "2110TPNL", "2110TPW"};
// Transfer characteristics (TCS) a sender may declare; they do not change how the board
// receives, but anything else is a description error.
inline constexpr std::array<const char*, 11> transfer_characteristics = {
    "SDR",      "PQ",      "HLG",     "LINEAR",      "BT2100LINPQ", "BT2100LINHLG",
    "ST2065-1", "ST428-1", "DENSITY", "ST2115LOGS3", "UNSPECIFIED"};
inline constexpr uint32_t kMaxUdpSize = 8960;

// Audio: the format record holds the channel count in 8 bits and the packet time in whole
// milliseconds, so 125 us packets cannot be configured.
struct audio_encoding_row {
    const char* name;
    uint32_t bits;  // sample depth
};
inline constexpr std::array<audio_encoding_row, 2> audio_encodings = {{{"L16", 16}, {"L24", 24}}};
inline constexpr std::array<uint32_t, 3> audio_sample_rates = {44100, 48000, 96000};
inline constexpr uint32_t kAudioMaxChannels = 64;
inline constexpr std::array<uint32_t, 2> audio_packet_times_ms = {1, 4};

// Why a description cannot be received: the attribute (as written in the description), its
// value, what the board accepts, and the line it is on (0 when it has none).
struct refusal {
    std::string attribute;
    std::string value;
    std::string accepted;
    int line = 0;
};
// "line 9: sampling=YCbCr-4:2:0: this board accepts YCbCr-4:2:2, YCbCr-4:4:4, RGB"
std::string to_string(const refusal& r);

// The six words of the video format text (colour space, bits, scan letter, width, height,
// rate name): the field rate for interlaced and segmented-frame formats, the frame rate
// otherwise.
struct video_format {
    std::string cspace;
    uint32_t bpc = 0;
    char scan = 'P';
    uint32_t width = 0;
    uint32_t height = 0;
    std::string rate;
    bool operator==(const video_format&) const = default;
};
std::string to_string(const video_format& f);
// The rate word of the format text for a rate (field rate when interlaced), or null.
const char* format_rate_name(sdp_rate rate);
// From the text as the daemon writes it; nullopt when a word is missing or not in the tables.
std::optional<video_format> video_format_from_text(const std::string& text);

// The four words of the audio format (channels, encoding, sampling rate, packet time in ms).
struct audio_format {
    uint32_t channels = 0;
    std::string encoding;
    uint64_t sample_rate = 0;
    uint32_t packet_time_ms = 0;
    bool operator==(const audio_format&) const = default;
};
std::string to_string(const audio_format& f);
std::optional<audio_format> audio_format_from_text(const std::string& text);

// The board's format detector measures the pixel group, which names a sampling and depth only
// up to its bytes per pixel: YCbCr 4:4:4 reads as RGB of the same depth, 12-bit 4:2:2 as 8-bit
// RGB. For a format it cannot tell from another, the format it reports instead; nullopt when
// it reports the format itself.
std::optional<video_format> detected_instead(const video_format& f);

// Video section (rtpmap raw/90000 and its fmtp) to the format text, or why not.
struct video_check {
    std::optional<video_format> format;
    std::optional<refusal> refused;
    std::vector<std::string> notices;  // where the format was read other than as written
};
video_check check_video(const sdp_media& media);

struct audio_check {
    std::optional<audio_format> format;
    std::optional<refusal> refused;
};
audio_check check_audio(const sdp_media& media);

// Ancillary data section (smpte291/90000): nothing to configure but the addresses.
std::optional<refusal> check_ancillary(const sdp_media& media);

// The ST 2110-20 parameters of a format (for read-back): sampling, width, height,
// exactframerate, depth, interlace or segmented; nullopt for a format with no sampling or
// rate the board knows.
struct video_params {
    std::string sampling;
    uint32_t width;
    uint32_t height;
    sdp_rate exactframerate;
    uint32_t depth;
    bool interlace;  // also set for segmented frames, which the parameters mark with both
    bool segmented;
};
std::optional<video_params> video_params_of(const video_format& f);

}  // namespace nexo::client
