// Requests of the daemon's own to the media-transport daemon (link 2): one operation per
// request, each building its line, exchanging it and taking the value out of the reply.
#pragma once

#include <array>
#include <cstdint>

namespace nexo {

struct nexo_cfg;
struct st2110_chan;
struct vid_fmt;

struct code_name_row {
    uint32_t code;
    const char* name;  // null ends the table
};

// Decoder media-clock operating modes.
inline constexpr std::array<code_name_row, 5> mc_opmode_text_table = {{
    {0, "PASSTHROUGH"},
    {1, "ST2059_ALIGN"},
    {2, "TIMED_ALIGN"},
    {3, "MCT_ALIGN"},
    {0, nullptr},
}};
inline constexpr uint32_t kMcOpmodePassthrough = 0;
inline constexpr uint32_t kMcOpmodeTimedAlign = 2;

// Traffic-shaping operating modes: set with one table, read back with the other.
inline constexpr std::array<code_name_row, 4> ts_opmode_text_table = {{
    {0, "PASSTHROUGH"},
    {1, "ST2059_ALIGN"},
    {2, "INP_STR_ALIGN"},
    {0, nullptr},
}};
inline constexpr std::array<code_name_row, 4> trf_sh_mode_mode_table = {{
    {0, "PASSTHROUGH"},
    {1, "ST2059_ALIGN"},
    {2, "INP_STR_ALIGN"},
    {0, nullptr},
}};

// Packet scheduling of a video sender.
inline constexpr std::array<code_name_row, 3> pkt_shed_text_entry_table = {{
    {0, "GAPPED"},
    {1, "LINEAR"},
    {0, nullptr},
}};

struct media_delay_stats {
    int32_t s1;
    int32_t s2;
    int32_t s3;
    int32_t s4;
    uint32_t u;
};

// Results: 0 on success; a failed exchange (write error, no reply, another verb or keyword,
// "ERROR") and each parse failure have their own small negative code, as listed.

// Enables or disables the channel's decoder with the state's name ("ON", "MEAS", "OFF"). 0, or
// the exchange's result.
int32_t set_dec_chan_ena(nexo_cfg* ctx, const st2110_chan* chan, const char* state);
// -1 no such mode (nothing sent), -2 exchange.
int32_t set_dec_mc_opmode(nexo_cfg* ctx, const st2110_chan* chan, uint32_t mode);
// -1 exchange, -2 no space after the channel, -3 nothing after it, -4 unknown mode.
int32_t get_dec_mc_opmode(nexo_cfg* ctx, const st2110_chan* chan, uint32_t* mode);
// -1 exchange.
int32_t set_playout_delay(nexo_cfg* ctx, const st2110_chan* chan, int32_t delay);
// -1 exchange, -3 no number right after the keyword.
int32_t get_def_tr_offset_from_mode(nexo_cfg* ctx, const vid_fmt* fmt, uint32_t* offset);
// -1 no such mode (nothing sent), -2 exchange.
int32_t set_ts_opmode(nexo_cfg* ctx, const st2110_chan* chan, uint32_t mode);
// -1 exchange, -2 no space, -3 unknown name.
int32_t get_pkt_sched(nexo_cfg* ctx, const st2110_chan* chan, uint32_t* sched);
// -1 exchange, -3 no number; -2 - n when the reply ends after n (0..4) spaces; 1260 when it
// carries four values after the channel.
int32_t get_payload_size(nexo_cfg* ctx, const st2110_chan* chan, uint32_t* size);
// -1 exchange, -2 no space, -3 no number.
int32_t get_def_tr_offset(nexo_cfg* ctx, const st2110_chan* chan, uint32_t* offset);
// 0 in sync, 1 read but not in sync; -1 exchange, -2 parse, -3 other type, -4 other index.
int32_t check_rtp_lock(nexo_cfg* ctx, const st2110_chan* chan);
// Waits 100 ms itself (alerts are not dispatched): -1 not sent, -2 no reply, -3 parse,
// -4 other type, -5 other index.
int32_t get_playout_delay(nexo_cfg* ctx, const st2110_chan* chan, int32_t* delay);
// -1 exchange, -2 parse, -3 other type, -4 other index.
int32_t get_media_delay_stats(nexo_cfg* ctx, const st2110_chan* chan, media_delay_stats* stats);
// -1 exchange.
int32_t set_trs_offset(nexo_cfg* ctx, const st2110_chan* chan, uint32_t offset);
// -1 not a video channel (nothing sent), -2 exchange, -3 no space or unknown mode,
// -4 nothing after the space.
int32_t get_traffic_shaping_mode(nexo_cfg* ctx, const st2110_chan* chan, uint32_t* mode);

}  // namespace nexo
