// The catalogue of the SDI video standards the board supports, and the conversions between a
// standard's codes, its names, its frame rate, its video clock and an ST 2110-20 video format.
#pragma once

#include <array>
#include <cstdint>

#include "vid-fmt.h"

namespace nexo {

struct vid_std {
    uint32_t frame_type;   // frametype_to_name_table code
    uint32_t rate;         // framerate_to_name_table code; 0 follows the ST 2059 frame rate
    uint32_t subsampling;  // subsampling_to_name_table code
    uint8_t flags;         // data-rate class in bits 0-3, and the bits below
};

inline constexpr uint8_t kVidStdClassMask = 0x0F;
inline constexpr uint8_t kVidStdPromilleLess = 0x10;  // 1000/1001 of the named integer rate
inline constexpr uint8_t kVidStdInterlaced = 0x20;    // interlaced or segmented-frame transport
inline constexpr uint8_t kVidStdFollows2059 = 0x40;   // set on the rows whose rate is 0

// Data-rate classes, the codes of datarate_to_name_table; 0 is no class.
inline constexpr uint8_t kClassSdSdi = 1;
inline constexpr uint8_t kClassHdSdi = 2;
inline constexpr uint8_t kClass3gSdi = 3;
inline constexpr uint8_t kClass6gSdi = 4;
inline constexpr uint8_t kClass12gSdi = 6;

// --- Tables ----------------------------------------------------------------------------------

// Every name table ends with a row whose name is empty; a lookup that reaches it yields that
// row's code (255, or 0 for the data rates) or its empty name.
struct vid_name_row {
    uint32_t code;
    const char* name;
};

inline constexpr std::array<vid_name_row, 7> frametype_to_name_table = {{
    {0, "525i/"},
    {1, "625i/"},
    {2, "720p"},
    {3, "1080i/"},
    {4, "1080p"},
    {5, "2160p"},
    {255, ""},
}};

inline constexpr std::array<vid_name_row, 11> framerate_to_name_table = {{
    {0, "2059"},
    {1, "23.98"},
    {2, "24"},
    {3, "25"},
    {4, "29.97"},
    {5, "30"},
    {6, "50"},
    {7, "59.94"},
    {8, "60"},
    {9, "72"},
    {255, ""},
}};

inline constexpr std::array<vid_name_row, 3> subsampling_to_name_table = {{
    {0, "4.2.2"},
    {1, "4.4.4"},
    {255, ""},
}};

inline constexpr std::array<vid_name_row, 7> datarate_to_name_table = {{
    {1, "SD-SDI"},
    {2, "HD-SDI"},
    {3, "3G-SDI"},
    {4, "6G-SDI"},
    {5, "9G-SDI"},
    {6, "12G-SDI"},
    {0, ""},
}};

// Rows 0 to 24 name a fixed rate. Rows 25 to 32 follow the ST 2059 frame rate; get_vid_std (with
// the timing requests) resolves them into the first of rows 0 to 24 with the same frame type, rate
// and subsampling, so that stretch must stay in front and hold each combination once.
inline constexpr std::array<vid_std, 34> supported_video_std_table = {{
    {1, 3, 0, 0x21},  // 625i/25, SD-SDI
    {0, 4, 0, 0x31},  // 525i/29.97, SD-SDI
    {2, 1, 0, 0x12},  // 720p23.98, HD-SDI
    {2, 2, 0, 0x02},  // 720p24
    {2, 3, 0, 0x02},  // 720p25
    {2, 4, 0, 0x12},  // 720p29.97
    {2, 5, 0, 0x02},  // 720p30
    {2, 6, 0, 0x02},  // 720p50
    {2, 7, 0, 0x12},  // 720p59.94
    {2, 8, 0, 0x02},  // 720p60
    {3, 3, 0, 0x22},  // 1080i/25
    {3, 4, 0, 0x32},  // 1080i/29.97
    {3, 5, 0, 0x22},  // 1080i/30
    {4, 1, 0, 0x12},  // 1080p23.98
    {4, 2, 0, 0x02},  // 1080p24
    {4, 3, 0, 0x02},  // 1080p25
    {4, 4, 0, 0x12},  // 1080p29.97
    {4, 5, 0, 0x02},  // 1080p30
    {4, 6, 0, 0x03},  // 1080p50, 3G-SDI
    {4, 7, 0, 0x13},  // 1080p59.94
    {4, 8, 0, 0x03},  // 1080p60
    {2, 1, 1, 0x13},  // 720p23.98, 4.4.4, 3G-SDI
    {3, 3, 1, 0x23},  // 1080i/25, 4.4.4
    {3, 4, 1, 0x33},  // 1080i/29.97, 4.4.4
    {4, 2, 1, 0x03},  // 1080p24, 4.4.4
    {1, 0, 0, 0x61},  // 625i/2059, SD-SDI
    {0, 0, 0, 0x61},  // 525i/2059, SD-SDI
    {2, 0, 0, 0x42},  // 720p2059, HD-SDI
    {3, 0, 0, 0x62},  // 1080i/2059, HD-SDI
    {4, 0, 0, 0x40},  // 1080p2059, no class
    {2, 0, 1, 0x40},  // 720p2059, 4.4.4, no class
    {3, 0, 1, 0x60},  // 1080i/2059, 4.4.4, no class
    {4, 0, 1, 0x40},  // 1080p2059, 4.4.4, no class
    {255, 255, 255, 0},
}};

// A standard's frame rate is the numerator over 1000, or over 1001 with kVidStdPromilleLess.
// Rate code 0 has no row: it must be resolved first.
struct rate_numerator_row {
    uint32_t rate;
    uint32_t numerator;
};
inline constexpr std::array<rate_numerator_row, 10> rate_to_numerator_table = {{
    {1, 24000},
    {2, 24000},
    {3, 25000},
    {4, 30000},
    {5, 30000},
    {6, 50000},
    {7, 60000},
    {8, 60000},
    {9, 72000},
    {255, 0},
}};

// Frame rates that a frequency can name; 72 has none. Ends with code 255, never compared.
struct f2f_row {
    uint32_t code;
    freq f;
};
inline constexpr std::array<f2f_row, 9> f2f_table = {{
    {1, {24000, 1001}},
    {2, {24000, 1000}},
    {3, {25000, 1000}},
    {4, {30000, 1001}},
    {5, {30000, 1000}},
    {6, {50000, 1000}},
    {7, {60000, 1001}},
    {8, {60000, 1000}},
    {255, {0, 0}},
}};

// --- Catalogue -------------------------------------------------------------------------------

// The number of catalogue rows before the end row (33).
int32_t get_nbr_supported_video_stds();
// The catalogue row, or null for an index outside 0 to 32.
const vid_std* get_vid_std_ptr(int32_t index);

// Frame type name and rate name, as 1080i/59.94 or 720p2059, in a 16-byte buffer that the
// next call overwrites; "undefined" for an index outside 0 to 32.
const char* get_name_of_standard(int32_t index);
// numerator/1000 or numerator/1001. 0; -22 missing argument; -2 rate not fixed (0) or unknown.
int32_t get_frame_rate_of_standard(const vid_std* standard, freq* f);
// The names below are empty for a missing record, class 0 or a code without a name.
const char* get_data_rate_name_of_standard(const vid_std* standard);
const char* get_subsampling_name_of_standard(const vid_std* standard);

// --- Names and codes -------------------------------------------------------------------------

// The code whose name equals text exactly (case counts), or 255.
uint32_t rate_string_to_rate(const char* text);
uint32_t framestring_to_frametype(const char* text);
uint32_t subsampling_string_to_subsampling(const char* text);
// The name of the code, or the empty name.
const char* framerate_to_string(int32_t code);
const char* frametype_to_string(int32_t code);
const char* subsampling_to_string(int32_t code);

// --- Rates and clocks ------------------------------------------------------------------------

// 1 or 0. A missing record gives 0.
int32_t vid_std_is_promille_less(const vid_std* standard);
int32_t vid_std_is_sd(const vid_std* standard);
// SD-SDI runs on the integer clock whatever its frame rate.
int32_t vid_std_clock_is_promille_less(const vid_std* standard);

// Video clock codes: 0 148.5 MHz, 1 148.5/1.001 MHz, 2 74.25 MHz, 3 74.25/1.001 MHz; 4 and 5
// (12G-SDI, integer and 1000/1001) have no frequency here.
// The clock code, or -1 for a missing record or an unresolved rate (0).
int32_t vid_std_to_clock_freq(const vid_std* standard);
// 0, or -22 for a missing record or a code above 3.
int32_t video_clock_to_frequency(uint32_t clock, freq* f);
// Frame-rate code 1 to 8 of a frequency compared as a reduced fraction, or 255.
uint32_t frequency_to_fr_type(const freq* f);

// Fills the standard and its frame rate (half the format's rate unless progressive) from an
// ST 2110-20 format; the data-rate class follows from height and rate, not the catalogue.
// Only YCbCr 4:2:2 writes the subsampling; colour space codes from 5 up (but none) keep the
// caller's. 0; -1 colour space RGB, 4:4:4, 4:2:0, key or none; -2 height not 720, 1080 or
// 2160; -3 frame rate without a code (the standard is filled all the same); -22 missing
// argument. Fields are written in order up to the failing step.
int32_t st2110_20_to_vid_std(const vid_fmt* fmt, vid_std* standard, freq* f);

}  // namespace nexo
