// Video output formatters: each video channel's formatter is told the frame size and scan.
#pragma once

#include <array>
#include <cstdint>

namespace nexo {

struct device_rec;
struct vid_fmt;

inline constexpr unsigned long kAxis2VidSetFmt = 0x40084100;

struct xlate_row {
    int32_t key;
    int32_t value;
};

// Record transport to scan code (0 progressive, 1 field-based); ends with key -1, which makes
// the write fail.
inline constexpr std::array<xlate_row, 4> axis2vid_trnsp_xlate_table = {{
    {1, 0},
    {0, 1},
    {2, 1},
    {-1, -1},
}};

// Writes width, height and scan code (12 bytes). 0, -22 no device, -77 not open, -1 transport
// not known (nothing sent), or the refused request's result.
int32_t set_axis2vid_format(device_rec* dev, const vid_fmt* fmt);
// Reading back is not supported by the formatter: -38 (or -22/-77 as above).
int32_t get_axis2vid_format(device_rec* dev, vid_fmt* fmt);

}  // namespace nexo
