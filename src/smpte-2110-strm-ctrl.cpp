#include "smpte-2110-strm-ctrl.h"

#include <cstdio>
#include <cstring>

#include "axis2vid.h"
#include "ip-filter.h"
#include "nexo-net.h"
#include "nexo.h"
#include "rtp-fmt-det.h"
#include "smpte-2059-if.h"
#include "smpte-2110-if.h"

namespace nexo {
namespace {

// The playout delay of a channel in timed alignment: transmit-timestamp offset plus
// reconstruction delay, each the channel's own unless DEFAULT. False when it cannot be had.
bool playout_delay(nexo_cfg* ctx, st2110_chan* chan, uint32_t* delay) {
    uint32_t tx = chan->tx_ts_delay;
    if (tx == kDefault32) {
        tx = 0;
        if (is_video_type(chan->type)) {
            vid_fmt* v = video_of(*chan);
            if (v == nullptr || get_def_tr_offset_from_mode(ctx, v, &tx) != 0) {
                return false;
            }
        } else if (chan->type == kChanAudio) {
            aud_fmt* a = audio_of(*chan);
            tx = a != nullptr ? a->packet_time * kAudioTxTsFactor : 0;
        }
    }
    uint32_t recons = chan->recons_delay;
    if (recons == kDefault32) {
        if (is_video_type(chan->type) || chan->type == kChanAudio) {
            recons = kDefaultReconsDelay;
        } else if (chan->type == kChanAncillary) {
            // An ancillary channel in timed alignment needs an explicit reconstruction delay.
            return false;
        } else {
            recons = 0;
        }
    }
    *delay = tx + recons;
    return true;
}

int32_t switch_on(nexo_cfg* ctx, st2110_chan* chan, uint32_t new_state) {
    if (check_net_flags(chan, 0) != 0) {
        return -5;
    }
    if (new_state == kStateOn) {
        uint32_t mode = 0;
        if (get_dec_mc_opmode(ctx, chan, &mode) != 0) {
            return -6;
        }
        if (mode == kMcOpmodeTimedAlign) {
            uint32_t delay = 0;
            if (!playout_delay(ctx, chan, &delay) ||
                set_playout_delay(ctx, chan, static_cast<int32_t>(delay)) != 0) {
                return -6;
            }
        }
    }
    // With automatic detection the decoder is enabled only once its format is known.
    if (!(chan->flags & kChanAutoDetEnabled) &&
        set_dec_chan_ena(ctx, chan, enc_state_to_str(new_state)) != 0) {
        return -8;
    }
    if (set_ip_decap_channels_enable(ctx, chan, 1) != 0) {
        return -9;
    }
    if (join_multicast(ctx, chan) != 0) {
        return -10;
    }
    if (chan->fmt_det != nullptr && set_rtp_vid_fmt_det_enable(chan->fmt_det, 1) != 0) {
        return -11;
    }
    if (chan->flags & kChanAutoDetEnabled) {
        chan->flags |= kChanAutoDetPending;
    }
    chan->state = new_state;
    return 0;
}

int32_t switch_off(nexo_cfg* ctx, st2110_chan* chan) {
    leave_multicast(ctx, chan);
    if (set_ip_decap_channels_enable(ctx, chan, 0) != 0) {
        return -6;
    }
    if (set_dec_chan_ena(ctx, chan, enc_state_to_str(kStateOff)) != 0) {
        return -7;
    }
    if (chan->fmt_det != nullptr && set_rtp_vid_fmt_det_enable(chan->fmt_det, 0) != 0) {
        return -12;
    }
    chan->flags &= ~kChanAutoDetPending;
    chan->state = kStateOff;
    return 0;
}

}  // namespace

const char* enc_state_to_str(uint32_t state) {
    for (const state_row& row : state_str_tbl) {
        if (row.name == nullptr) {
            break;
        }
        if (row.code == state) {
            return row.name;
        }
    }
    return "";
}

int32_t check_net_flags(const st2110_chan* chan, uint32_t required) {
    bool any = false;
    for (uint8_t i = 0; i < chan->nbr_if; ++i) {
        const st2110_if& e = chan->ifs[i];
        if (!(e.flags & kIfEnabled)) {
            continue;
        }
        any = true;
        uint32_t need = kIfAssigned | kIfDestSet | required;
        if ((e.flags & need) != need || !(e.net_if->flags & kNetIfIpValid)) {
            return -(i + 1);
        }
    }
    return any ? 0 : -(chan->nbr_if + 1);
}

int32_t set_rx_chan_async(nexo_cfg* ctx, st2110_chan* chan, uint8_t asynchronous) {
    return set_dec_mc_opmode(ctx, chan, asynchronous ? kMcOpmodePassthrough : kMcOpmodeTimedAlign);
}

int32_t set_rx_chan_state(nexo_cfg* ctx, st2110_chan* chan, uint32_t new_state, uint32_t options) {
    if (new_state == kDefault32) {
        return -1;
    }
    if (new_state == chan->state) {
        return 0;
    }
    if (new_state != kStateOff) {
        if (new_state == kStateOn && (options & (kOptAsync | kOptTimedAlign))) {
            if (set_rx_chan_async(ctx, chan, (options & kOptAsync) ? 1 : 0) != 0) {
                return -2;
            }
        }
        for (uint8_t i = 0; i < chan->nbr_if; ++i) {
            const st2110_if& e = chan->ifs[i];
            if (!(e.flags & kIfEnabled)) {
                continue;
            }
            if (!(e.net_if->flags & kNetIfIpValid) || !(e.flags & kIfDestSet)) {
                return -3;
            }
            // A unicast destination is only taken with a source address.
            if (!is_multicast(e.dest.ip) && !(e.flags & kIfSrcSet)) {
                return -4;
            }
        }
    }
    if (new_state == kStateOff) {
        return switch_off(ctx, chan);
    }
    if (new_state == kStateOn || new_state == kStateMeas) {
        return switch_on(ctx, chan, new_state);
    }
    // Other codes are never asked for by the daemon; they are recorded as they are.
    chan->state = new_state;
    return 0;
}

int32_t set_rx_vid_fmt(nexo_cfg* ctx, st2110_chan* chan, const vid_fmt& fmt, const char* tok,
                       const char* words) {
    if (chan->psg != kNone8) {
        // A PSG runs at the frame rate: half the field rate of interlaced and PsF formats.
        freq f = {fmt.rate_num, fmt.rate_den};
        if (fmt.trnsp != 1) {
            f.num >>= 1;
        }
        if (set_psg_freq(ctx, chan->psg, &f) != 0) {
            return -3;
        }
    }
    char buf[64];
    std::snprintf(buf, sizeof buf, "%s%s %.8s %s\n", "SET ", "ST2110_DEC_VID_FMT", tok, words);
    if (send_and_check_cmd(ctx, kLinkMedia, buf, "ST2110_DEC_VID_FMT", buf, sizeof buf) != 0) {
        return -4;
    }
    if (set_axis2vid_format(chan->vid_out, &fmt) != 0) {
        return -5;
    }
    if (vid_fmt* own = video_of(*chan); own != nullptr) {
        *own = fmt;
    }
    chan->flags |= kChanFmtConfigured;
    return 0;
}

int32_t poll_rtp_vid_fmt_det(nexo_cfg* ctx) {
    for (st2110_chan& chan : ctx->chans) {
        if (chan.type != kChanVideo || !(chan.flags & kChanAutoDetPending) ||
            chan.fmt_det == nullptr) {
            continue;
        }
        uint32_t state = 0;
        if (get_rtp_vid_fmt_det_state_value(chan.fmt_det, &state) != 0 ||
            state != kFmtDetFormatDetected) {
            continue;
        }
        vid_fmt fmt = kVidFmtUnset;
        if (get_rtp_vid_fmt_det_format(chan.fmt_det, &fmt) != 0) {
            continue;
        }
        // The detected format is configured as a client's SET of it would be, with its text as
        // the words and the channel address as the token, and no reply. A format whose text
        // would not read back (a field without a name) is not configured.
        if (!name_vid_fmt(&fmt)) {
            continue;
        }
        char words[kVidFmtTextSize];
        vid_fmt_to_string(&fmt, words, sizeof words);
        char tok[8];
        std::snprintf(tok, sizeof tok, "%hhu:%hhu", chan.type, chan.index);
        if (set_rx_vid_fmt(ctx, &chan, fmt, tok, words) != 0) {
            continue;
        }
        if (set_dec_chan_ena(ctx, &chan, "ON") == 0) {
            chan.flags &= ~kChanAutoDetPending;
        }
    }
    return 0;
}

}  // namespace nexo
