// RTP video format detectors: enable, state and the detected format.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace nexo {

struct device_rec;
struct vid_fmt;

inline constexpr unsigned long kFmtDetEnable = 0x40015600;  // the value itself, not an address
inline constexpr unsigned long kFmtDetGetState = 0x80085602;
inline constexpr unsigned long kFmtDetGetFmt = 0x80085603;
inline constexpr uint32_t kFmtDetFormatDetected = 3;

struct det_state_row {
    const char* name;  // null ends the table
    uint32_t value;
};
inline constexpr std::array<det_state_row, 5> rtp_vid_fmt_det_state_xlate_table = {{
    {"DISABLED", 0},
    {"BUSY", 1},
    {"STREAM_DETECTED", 2},
    {"FORMAT_DETECTED", 3},
    {nullptr, 0},
}};

// 0, -22 no device, -77 not open, or the refused request's result.
int32_t set_rtp_vid_fmt_det_enable(device_rec* dev, uint8_t enable);
// Reads the raw state word. Same results.
int32_t get_rtp_vid_fmt_det_state_value(device_rec* dev, uint32_t* state);
// Writes the state's name cut to size: 0, -1 unknown state, -2 formatting failed, -22, -77, or
// the request's result.
int32_t get_rtp_vid_fmt_det_state(device_rec* dev, char* buf, std::size_t size);
// Fills fmt with the detected format (fields the tables do not know come back as none).
int32_t get_rtp_vid_fmt_det_format(device_rec* dev, vid_fmt* fmt);

}  // namespace nexo
