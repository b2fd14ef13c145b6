// Video format: the record of a video channel's format, the code tables of its text and the
// six-word text itself. Depends on nothing else in the daemon.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace nexo {

// A frequency in Hz as a fraction.
struct freq {
    uint64_t num;
    uint32_t den;
};

struct vid_fmt {
    uint32_t cspace;  // colorspace_xlate_table code; 0xFFFFFFFF none
    uint8_t bpc;
    uint32_t trnsp;  // 0 interlaced, 1 progressive, 2 PsF; 0xFFFFFFFF none
    uint16_t width;
    uint16_t height;
    uint64_t rate_num;
    uint32_t rate_den;
};

inline constexpr vid_fmt kVidFmtUnset = {0xFFFFFFFF, 0, 0xFFFFFFFF, 0, 0, 0, 0};

struct colorspace_row {
    const char* name;
    int32_t code;
};
// Ends with "NONE" (-1), which names every code the rows above do not hold.
inline constexpr std::array<colorspace_row, 6> colorspace_xlate_table = {{
    {"RGB", 0},
    {"YCR444", 1},
    {"YCR422", 2},
    {"YCR420", 3},
    {"KEY", 4},
    {"NONE", -1},
}};

struct f_rate_row {
    const char* name;
    freq rate;
};
// Ends with "NONE" (0/0), which names every rate the rows above do not match.
inline constexpr std::array<f_rate_row, 9> f_rate_xlate_table = {{
    {"23.98", {24000, 1001}},
    {"24", {24, 1}},
    {"25", {25, 1}},
    {"29.97", {30000, 1001}},
    {"30", {30, 1}},
    {"50", {50, 1}},
    {"59.94", {60000, 1001}},
    {"60", {60, 1}},
    {"NONE", {0, 0}},
}};

// Removes the common factors 100, 50, 10, 5, 3 and 2, in that order.
void simplify_freq(freq* f);
// 'I', 'P', 'S' for 0, 1, 2; '?' otherwise.
char vid_trnsp_to_char(uint32_t code);
// The row whose name equals text, case ignored, or null (the end row "NONE" never matches).
const colorspace_row* colorspace_by_name(const char* text);
// The row whose name equals text exactly, or null (the end row "NONE" never matches).
const f_rate_row* f_rate_by_name(const char* text);
// The row of the colour space code, or the end row "NONE".
const colorspace_row* find_colorspace(uint32_t code);
// The first row whose rate equals f once both are reduced, or the end row "NONE".
const f_rate_row* find_f_rate(const freq& f);
// True when the colour space, the transport and the rate of fmt each have a name of their own
// (not "NONE", not '?'), so that its text reads back as fmt; the rate is then set to its row's
// fraction.
bool name_vid_fmt(vid_fmt* fmt);
// Writes "%s %hhu %c %hu %hu %s" (colour space, bpc, transport, width, height, rate) cut to
// size; returns snprintf's result.
int vid_fmt_to_string(const vid_fmt* fmt, char* dst, std::size_t size);
// The longest text vid_fmt_to_string writes, with its terminating zero.
inline constexpr std::size_t kVidFmtTextSize = 32;

}  // namespace nexo
