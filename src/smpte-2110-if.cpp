#include "smpte-2110-if.h"

#include <strings.h>

#include <cstdio>
#include <cstring>

#include "nexo.h"
#include "pipe-if.h"
#include "vid-fmt.h"

namespace nexo {
namespace {

template <std::size_t N>
const code_name_row* by_code(const std::array<code_name_row, N>& table, uint32_t code) {
    for (const code_name_row& row : table) {
        if (row.name == nullptr) {
            return nullptr;
        }
        if (row.code == code) {
            return &row;
        }
    }
    return nullptr;
}

// The first row whose name begins text (compared over the name's length).
template <std::size_t N>
const code_name_row* by_name(const std::array<code_name_row, N>& table, const char* text,
                             bool ignore_case) {
    for (const code_name_row& row : table) {
        if (row.name == nullptr) {
            return nullptr;
        }
        std::size_t n = std::strlen(row.name);
        if ((ignore_case ? strncasecmp(text, row.name, n) : std::strncmp(text, row.name, n)) == 0) {
            return &row;
        }
    }
    return nullptr;
}

int32_t exchange(nexo_cfg* ctx, char* buf, std::size_t size, const char* keyword) {
    return send_and_check_cmd(ctx, kLinkMedia, buf, keyword, buf, size);
}

// Where the channel address of a GET reply begins: behind "RGET ", the keyword and a space. A
// reply too short to get there is looked at from its end.
const char* channel_start(const char* reply, const char* keyword) {
    std::size_t at = 5 + std::strlen(keyword) + 1;
    std::size_t len = std::strlen(reply);
    return reply + (at < len ? at : len);
}

int32_t get_chan_request(nexo_cfg* ctx, const st2110_chan* chan, const char* keyword, char* buf,
                         std::size_t size) {
    std::snprintf(buf, size, "%s%s %hhu:%hhu\n", "GET ", keyword, chan->type, chan->index);
    return exchange(ctx, buf, size, keyword);
}

// What a GET of a mode made of the reply; each operation gives the outcomes its own codes.
enum class mode_read { ok, exchange, no_space, empty, unknown };

// Asks for the channel's mode and reads the name that follows the channel address.
// size (at most 52) bounds the request and the reply, as each operation's buffer does.
template <std::size_t N>
mode_read read_mode(nexo_cfg* ctx, const st2110_chan* chan, const char* keyword, std::size_t size,
                    const std::array<code_name_row, N>& table, uint32_t* mode) {
    char buf[52];
    if (get_chan_request(ctx, chan, keyword, buf, size < sizeof buf ? size : sizeof buf) != 0) {
        return mode_read::exchange;
    }
    const char* sp = std::strchr(channel_start(buf, keyword), ' ');
    if (sp == nullptr) {
        return mode_read::no_space;
    }
    if (sp[1] == '\0') {
        return mode_read::empty;
    }
    const code_name_row* row = by_name(table, sp + 1, false);
    if (row == nullptr) {
        return mode_read::unknown;
    }
    *mode = row->code;
    return mode_read::ok;
}

}  // namespace

int32_t set_dec_chan_ena(nexo_cfg* ctx, const st2110_chan* chan, const char* state) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "%s%s %hhu:%hhu %s\n", "SET ", "ST2110_DEC_CHAN_ENA", chan->type,
                  chan->index, state);
    return exchange(ctx, buf, sizeof buf, "ST2110_DEC_CHAN_ENA");
}

int32_t set_dec_mc_opmode(nexo_cfg* ctx, const st2110_chan* chan, uint32_t mode) {
    const code_name_row* row = by_code(mc_opmode_text_table, mode);
    if (row == nullptr) {
        return -1;
    }
    char buf[52];
    std::snprintf(buf, sizeof buf, "%s%s %hhu:%hhu %s\n", "SET ", "ST2110_DEC_MC_OPMODE",
                  chan->type, chan->index, row->name);
    return exchange(ctx, buf, sizeof buf, "ST2110_DEC_MC_OPMODE") != 0 ? -2 : 0;
}

int32_t get_dec_mc_opmode(nexo_cfg* ctx, const st2110_chan* chan, uint32_t* mode) {
    switch (read_mode(ctx, chan, "ST2110_DEC_MC_OPMODE", 52, mc_opmode_text_table, mode)) {
        case mode_read::ok:
            return 0;
        case mode_read::exchange:
            return -1;
        case mode_read::no_space:
            return -2;
        case mode_read::empty:
            return -3;
        case mode_read::unknown:
            break;
    }
    return -4;
}

int32_t set_playout_delay(nexo_cfg* ctx, const st2110_chan* chan, int32_t delay) {
    char buf[48];
    std::snprintf(buf, sizeof buf, "%s%s %hhu:%hhu %d\n", "SET ", "ST2110_DEC_PLAYOUT_DELAY",
                  chan->type, chan->index, delay);
    return exchange(ctx, buf, sizeof buf, "ST2110_DEC_PLAYOUT_DELAY") != 0 ? -1 : 0;
}

int32_t get_def_tr_offset_from_mode(nexo_cfg* ctx, const vid_fmt* fmt, uint32_t* offset) {
    static constexpr const char* kw = "ST2110_ENC_DEF_TR_OFFSET";
    char text[32];
    vid_fmt_to_string(fmt, text, sizeof text);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%s%s %s\n", "GET ", kw, text);
    if (exchange(ctx, buf, sizeof buf, kw) != 0) {
        return -1;
    }
    // The number stands right behind the keyword and its space; no channel address here.
    unsigned int v = 0;
    if (std::sscanf(channel_start(buf, kw), "%u", &v) != 1) {
        return -3;
    }
    *offset = v;
    return 0;
}

int32_t set_ts_opmode(nexo_cfg* ctx, const st2110_chan* chan, uint32_t mode) {
    const code_name_row* row = by_code(ts_opmode_text_table, mode);
    if (row == nullptr) {
        return -1;
    }
    char buf[52];
    std::snprintf(buf, sizeof buf, "%s%s %hhu:%hhu %s\n", "SET ", "ST2110_21_OPMODE", chan->type,
                  chan->index, row->name);
    return exchange(ctx, buf, sizeof buf, "ST2110_21_OPMODE") != 0 ? -2 : 0;
}

int32_t get_pkt_sched(nexo_cfg* ctx, const st2110_chan* chan, uint32_t* sched) {
    static constexpr const char* kw = "ST2110_21_VID_PKT_SCHED";
    char buf[44];
    if (get_chan_request(ctx, chan, kw, buf, sizeof buf) != 0) {
        return -1;
    }
    const char* sp = std::strchr(channel_start(buf, kw), ' ');
    if (sp == nullptr) {
        return -2;
    }
    const code_name_row* row = by_name(pkt_shed_text_entry_table, sp + 1, true);
    if (row == nullptr) {
        return -3;
    }
    *sched = row->code;
    return 0;
}

int32_t get_payload_size(nexo_cfg* ctx, const st2110_chan* chan, uint32_t* size) {
    static constexpr const char* kw = "ST2110_ENC_NET_PARAMS";
    char buf[80];
    if (get_chan_request(ctx, chan, kw, buf, sizeof buf) != 0) {
        return -1;
    }
    const char* p = std::strchr(buf, ' ');
    int spaces = 0;
    if (p != nullptr) {
        for (++p; *p != '\0'; ++p) {
            if (*p != ' ') {
                continue;
            }
            if (++spaces == 6) {
                unsigned int v = 0;
                if (std::sscanf(p + 1, "%u", &v) != 1) {
                    return -3;
                }
                *size = v;
                return 0;
            }
        }
    }
    if (spaces == 5) {
        *size = 1260;
        return 0;
    }
    return -2 - spaces;
}

int32_t get_def_tr_offset(nexo_cfg* ctx, const st2110_chan* chan, uint32_t* offset) {
    static constexpr const char* kw = "ST2110_ENC_DEF_TR_OFFSET";
    char buf[52];
    if (get_chan_request(ctx, chan, kw, buf, sizeof buf) != 0) {
        return -1;
    }
    const char* sp = std::strchr(channel_start(buf, kw), ' ');
    if (sp == nullptr) {
        return -2;
    }
    unsigned int v = 0;
    if (std::sscanf(sp + 1, "%u", &v) != 1) {
        return -3;
    }
    *offset = v;
    return 0;
}

int32_t check_rtp_lock(nexo_cfg* ctx, const st2110_chan* chan) {
    char buf[44];
    if (get_chan_request(ctx, chan, "ST2110_DEC_STREAM_SYNC", buf, sizeof buf) != 0) {
        return -1;
    }
    unsigned char type = 0;
    unsigned char index = 0;
    unsigned char sync = 0;
    if (std::sscanf(buf, "RGET ST2110_DEC_STREAM_SYNC %hhu:%hhu %hhu\n", &type, &index, &sync) <
        3) {
        return -2;
    }
    if (type != chan->type) {
        return -3;
    }
    if (index != chan->index) {
        return -4;
    }
    return sync == 1 ? 0 : 1;
}

int32_t get_playout_delay(nexo_cfg* ctx, const st2110_chan* chan, int32_t* delay) {
    char buf[54];
    std::snprintf(buf, sizeof buf, "%s%s %hhu:%hhu\n", "GET ", "ST2110_DEC_PLAYOUT_DELAY",
                  chan->type, chan->index);
    auto len = static_cast<int32_t>(std::strlen(buf));
    if (send_message(ctx, kLinkMedia, buf, static_cast<std::size_t>(len)) < len) {
        return -1;
    }
    std::memset(buf, 0, sizeof buf);
    if (await_message(ctx, kLinkMedia, buf, sizeof buf, 100) <= 0) {
        return -2;
    }
    unsigned char type = 0;
    unsigned char index = 0;
    if (std::sscanf(buf, "RGET ST2110_DEC_PLAYOUT_DELAY %hhu:%hhu %d", &type, &index, delay) < 3) {
        return -3;
    }
    if (type != chan->type) {
        return -4;
    }
    if (index != chan->index) {
        return -5;
    }
    return 0;
}

int32_t get_media_delay_stats(nexo_cfg* ctx, const st2110_chan* chan, media_delay_stats* stats) {
    char buf[104];
    if (get_chan_request(ctx, chan, "ST2110_DEC_MEDIA_DELAY_STATS", buf, sizeof buf) != 0) {
        return -1;
    }
    unsigned char type = 0;
    unsigned char index = 0;
    // The reply's values land in S1, S3, S4, S2 and U, in that order.
    if (std::sscanf(buf, "RGET ST2110_DEC_MEDIA_DELAY_STATS %hhu:%hhu %d %d %d %d %u\n", &type,
                    &index, &stats->s1, &stats->s3, &stats->s4, &stats->s2, &stats->u) < 7) {
        return -2;
    }
    if (type != chan->type) {
        return -3;
    }
    if (index != chan->index) {
        return -4;
    }
    return 0;
}

int32_t set_trs_offset(nexo_cfg* ctx, const st2110_chan* chan, uint32_t offset) {
    char buf[52];
    std::snprintf(buf, sizeof buf, "%s%s %hhu:%hhu %u\n", "SET ", "ST2110_ENC_TRF_SHP_OFFSET",
                  chan->type, chan->index, offset);
    return exchange(ctx, buf, sizeof buf, "ST2110_ENC_TRF_SHP_OFFSET") != 0 ? -1 : 0;
}

int32_t get_traffic_shaping_mode(nexo_cfg* ctx, const st2110_chan* chan, uint32_t* mode) {
    if (!is_video_type(chan->type)) {
        return -1;
    }
    switch (read_mode(ctx, chan, "ST2110_21_OPMODE", 48, trf_sh_mode_mode_table, mode)) {
        case mode_read::ok:
            return 0;
        case mode_read::exchange:
            return -2;
        case mode_read::empty:
            return -4;
        case mode_read::no_space:
        case mode_read::unknown:
            break;
    }
    return -3;
}

}  // namespace nexo
