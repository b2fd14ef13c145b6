// Receive channel control: the state machine that switches a channel ON, MEAS or OFF brings the
// media-transport daemon's decoder, the decapsulation filter, multicast membership and the format
// detector into line, in a fixed order; configuring a video format; and the automatic format
// detection that completes the switch-on of video channels once their detector has the format.
#pragma once

#include <array>
#include <cstdint>

namespace nexo {

struct nexo_cfg;
struct st2110_chan;
struct vid_fmt;

struct state_row {
    uint32_t code;
    const char* name;  // null ends the table
};
inline constexpr std::array<state_row, 4> state_str_tbl = {{
    {0, "OFF"},
    {1, "ON"},
    {2, "MEAS"},
    {0xFFFFFFFF, nullptr},
}};

// Option bits (used when switching ON).
inline constexpr uint32_t kOptAsync = 0x2;       // decoder to PASSTHROUGH first
inline constexpr uint32_t kOptTimedAlign = 0x4;  // decoder to TIMED_ALIGN first

// Default reconstruction delay of video and audio channels.
inline constexpr uint32_t kDefaultReconsDelay = 20000;
inline constexpr uint32_t kAudioTxTsFactor = 1000;

// 0 (also when the channel has that state already), or:
// -1 state 0xFFFFFFFF; -2 operating mode not set; -3 an enabled entry without interface
// address or destination; -4 unicast destination without source; -5 no usable enabled entry;
// -6 ON: operating mode or delays failed / OFF: filter disable failed; -7 OFF refused;
// -8 ON/MEAS refused; -9 filter enable; -10 multicast join; -11 detector enable;
// -12 detector disable. Steps done before a failure are not undone.
int32_t set_rx_chan_state(nexo_cfg* ctx, st2110_chan* chan, uint32_t new_state, uint32_t options);
// Configures a video format on the channel as SET RX_VID_FMT does once the words are read: the
// PSG frequency (the frame rate), the media-transport daemon ("SET ST2110_DEC_VID_FMT <tok>
// <words>", tok at most 8 characters), the video output formatter, then the channel's own record
// and its format configured flag. 0; -3 PSG refused; -4 media-transport daemon refused; -5
// formatter failed (or none). Steps done before a failure are not undone.
int32_t set_rx_vid_fmt(nexo_cfg* ctx, st2110_chan* chan, const vid_fmt& fmt, const char* tok,
                       const char* words);
// Idle-time automatic format detection: each video channel waiting for a detected format whose
// detector has found one gets that format configured and its decoder enabled. Always 0.
int32_t poll_rtp_vid_fmt_det(nexo_cfg* ctx);
// Decoder to PASSTHROUGH (asynchronous) or TIMED_ALIGN.
int32_t set_rx_chan_async(nexo_cfg* ctx, st2110_chan* chan, uint8_t asynchronous);
// 0 when at least one entry is enabled and every enabled one is usable; -(i + 1) for the first
// enabled entry i that is not; -(nbr_if + 1) when none is enabled.
int32_t check_net_flags(const st2110_chan* chan, uint32_t required);
// "OFF", "ON", "MEAS", or "" for another code.
const char* enc_state_to_str(uint32_t state);

}  // namespace nexo
