#include "smpte-2059-if.h"

#include <array>
#include <cstdio>
#include <cstring>

#include "nexo.h"
#include "pipe-if.h"
#include "vid-fmt.h"
#include "video_types.h"

namespace nexo {
namespace {

constexpr char kDropFrameLetters[] = "01S";

// The whole-number part of an ST 2059 frame rate names the rate: 29 is 30000/1001, 59 is
// 60000/1001, and so on; whether it is the 1000/1001 rate comes from the denominator.
struct quotient_row {
    uint64_t quotient;
    uint32_t rate;
};
constexpr std::array<quotient_row, 9> quotient_to_rate = {{
    {23, 1},
    {24, 2},
    {25, 3},
    {29, 4},
    {30, 5},
    {50, 6},
    {59, 7},
    {60, 8},
    {72, 9},
}};
constexpr int kDirectWaitMs = 100;

// Builds the line with build(buf, N) and exchanges it until accepted or out of attempts; the
// buffer bounds both the line and the reply. The reply overwrites the line, so each attempt
// builds it again.
template <std::size_t N, typename Build>
int32_t exchange_retrying(nexo_cfg* ctx, char (&buf)[N], const char* keyword, int attempts,
                          Build build) {
    int32_t r = -1;
    for (int i = 0; i < attempts; ++i) {
        build(buf, N);
        r = send_and_check_cmd(ctx, kLinkTiming, buf, keyword, buf, N);
        if (r == 0) {
            break;
        }
    }
    return r;
}

// The GET requests that wait for their reply themselves: sends "GET <keyword>\n" and waits
// 100 ms for one line in buf. True with the line in buf; false with *rc set to what ended it
// (the short write's count, 0 when no line came, or the wait's error).
bool direct_get(nexo_cfg* ctx, const char* keyword, char* buf, std::size_t size, int32_t* rc) {
    std::snprintf(buf, size, "%s%s\n", "GET ", keyword);
    auto len = static_cast<int32_t>(std::strlen(buf));
    int32_t w = send_message(ctx, kLinkTiming, buf, static_cast<std::size_t>(len));
    if (w < len) {
        *rc = w;
        return false;
    }
    std::memset(buf, 0, size);
    int32_t n = await_message(ctx, kLinkTiming, buf, size, kDirectWaitMs);
    if (n <= 0) {
        *rc = n;
        return false;
    }
    return true;
}

}  // namespace

int32_t set_freq(nexo_cfg* ctx, uint8_t number, const freq* f, const char* keyword) {
    char buf[52];
    // The SET lines are built one byte short of their buffer.
    return exchange_retrying(ctx, buf, keyword, kTimingAttempts, [&](char* b, std::size_t n) {
        std::snprintf(b, n - 1, "%s%s %hhu %lu %u\n", "SET ", keyword, number,
                      static_cast<unsigned long>(f->num), f->den);
    });
}

int32_t set_psg_freq(nexo_cfg* ctx, uint8_t psg, const freq* f) {
    if (ctx == nullptr || f == nullptr || psg == 255) {
        return -22;
    }
    return set_freq(ctx, psg, f, "PSG_FRQ");
}

int32_t set_rcg_freq(nexo_cfg* ctx, uint8_t rcg, const freq* f) {
    if (ctx == nullptr || f == nullptr) {
        return -22;
    }
    return set_freq(ctx, rcg, f, "RCG_FRQ");
}

int32_t set_tcg_psg(nexo_cfg* ctx, uint8_t tcg, uint8_t psg) {
    if (ctx == nullptr) {
        return -22;
    }
    char buf[24];
    return exchange_retrying(ctx, buf, "TCG_PSG", kTimingAttempts, [&](char* b, std::size_t n) {
        std::snprintf(b, n - 1, "%s%s %hhu %hhu\n", "SET ", "TCG_PSG", tcg, psg);
    });
}

int32_t set_tcg_drop_frame(nexo_cfg* ctx, uint8_t tcg, uint32_t mode) {
    if (ctx == nullptr) {
        return -22;
    }
    char letter = mode <= 2 ? kDropFrameLetters[mode] : 'Y';
    char buf[28];
    int32_t r =
        exchange_retrying(ctx, buf, "TCG_DROP_FRAME", kTimingAttempts, [&](char* b, std::size_t n) {
            std::snprintf(b, n - 1, "%s%s %hhu %c\n", "SET ", "TCG_DROP_FRAME", tcg, letter);
        });
    if (r == 0) {
        ctx->tcg_drop_frame = mode;
    }
    return r;
}

int32_t set_tcg_resync(nexo_cfg* ctx, uint8_t tcg) {
    if (ctx == nullptr) {
        return -22;
    }
    char buf[24];
    return exchange_retrying(ctx, buf, "TCG_RESYNC", 1, [&](char* b, std::size_t n) {
        std::snprintf(b, n, "%s%s %hhu\n", "SET ", "TCG_RESYNC", tcg);
    });
}

int32_t get_ptp_lock_state(nexo_cfg* ctx, char* dst, std::size_t size) {
    if (ctx == nullptr) {
        return -22;
    }
    std::strncpy(dst, "UNKNOWN", size);
    char buf[64];
    int32_t rc = 0;
    if (!direct_get(ctx, "PTP_LOCK_STATE", buf, sizeof buf, &rc)) {
        return rc;
    }
    const char* value = nullptr;
    if (get_reply_val(buf, "PTP_LOCK_STATE", &value) != 0) {
        return -1;
    }
    std::strncpy(dst, value, size);
    return 0;
}

int32_t get_smpte2059_frame_rate(nexo_cfg* ctx, freq* f) {
    if (ctx == nullptr || f == nullptr) {
        return -22;
    }
    char buf[48];
    int32_t rc = 0;
    if (!direct_get(ctx, "2059_FRA", buf, sizeof buf, &rc)) {
        return rc == 0 ? -62 : rc;  // -ETIME: no line within the wait
    }
    const char* value = nullptr;
    if (get_reply_val(buf, "2059_FRA", &value) != 0) {
        return -1;
    }
    unsigned long num = 0;
    unsigned int den = 0;
    int got = std::sscanf(value, "%lu %u", &num, &den);
    if (got >= 1) {
        f->num = num;
    }
    if (got != 2) {
        return -61;
    }
    f->den = den;
    return 0;
}

// The catalogue is data; resolving a row that follows the ST 2059 frame rate is a request to the
// timing daemon, and lives here with the others.
int32_t get_vid_std(nexo_cfg* ctx, int32_t index, vid_std* out) {
    const vid_std* row = get_vid_std_ptr(index);
    if (row == nullptr || out == nullptr) {
        return -22;
    }
    *out = *row;
    if (out->rate != 0) {
        return 0;
    }
    // The timing daemon's own result codes (no reply, a bad line) do not matter to callers of
    // the catalogue: they only learn that the rate is not known.
    freq f = {0, 0};
    if (get_smpte2059_frame_rate(ctx, &f) != 0) {
        return -61;
    }
    if (f.den == 1001) {
        out->flags |= kVidStdPromilleLess;
    }
    uint64_t quotient = f.den == 0 ? 0 : f.num / f.den;
    const quotient_row* q = quotient_to_rate.data();
    const quotient_row* q_end = q + quotient_to_rate.size();
    while (q != q_end && q->quotient != quotient) {
        ++q;
    }
    if (q == q_end) {
        return -124;
    }
    out->rate = q->rate;
    // Only the fixed-rate rows in front of the first ST 2059 row are candidates; their flags
    // carry the data-rate class, which the ST 2059 rows cannot know for every rate.
    for (int32_t i = 0; i < get_nbr_supported_video_stds(); ++i) {
        const vid_std& fixed = *get_vid_std_ptr(i);
        if (fixed.rate == 0) {
            break;
        }
        if (fixed.frame_type == out->frame_type && fixed.rate == out->rate &&
            fixed.subsampling == out->subsampling) {
            out->flags = fixed.flags;
            return 0;
        }
    }
    return -124;
}

}  // namespace nexo
