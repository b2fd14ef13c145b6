// Requests of the daemon's own to the timing daemon (link 0): generator frequencies, time-code
// settings, the PTP lock state and the ST 2059 frame rate.
#pragma once

#include <cstddef>
#include <cstdint>

namespace nexo {

struct nexo_cfg;
struct freq;
struct vid_std;

inline constexpr int kTimingAttempts = 5;

// The SET requests are tried up to five times (resync once) and return the last exchange's
// result: 0 accepted, or its failure. -22 for a refused argument, nothing sent.
int32_t set_freq(nexo_cfg* ctx, uint8_t number, const freq* f, const char* keyword);
// psg 255 (no generator) is refused.
int32_t set_psg_freq(nexo_cfg* ctx, uint8_t psg, const freq* f);
int32_t set_rcg_freq(nexo_cfg* ctx, uint8_t rcg, const freq* f);
int32_t set_tcg_psg(nexo_cfg* ctx, uint8_t tcg, uint8_t psg);
// Modes 0, 1, 2 go out as '0', '1', 'S', any other as 'Y'; the accepted mode is kept in the
// context.
int32_t set_tcg_drop_frame(nexo_cfg* ctx, uint8_t tcg, uint32_t mode);
int32_t set_tcg_resync(nexo_cfg* ctx, uint8_t tcg);

// Copies the lock state text into dst (bounded as strncpy), "UNKNOWN" until a reply says
// otherwise. 0 (also when no reply came within 100 ms), -1 wrong reply, or the failed write's
// or wait's result.
int32_t get_ptp_lock_state(nexo_cfg* ctx, char* dst, std::size_t size);
// Reads the frame rate as numerator and denominator. 0; -1 wrong reply; -61 not two numbers;
// -62 no reply within 100 ms; or the failed write's or wait's result.
int32_t get_smpte2059_frame_rate(nexo_cfg* ctx, freq* f);

// Copies the catalogue row into *out; a row that follows the ST 2059 frame rate asks the
// timing daemon for it (link 0, at most 100 ms) and becomes the fixed-rate row of that rate.
// 0; -22 index outside 0 to 32 or no out; -61 no frame rate from the timing daemon; -124 a
// rate with no fixed-rate row. After -61 or -124 *out holds the row as far as it was resolved.
int32_t get_vid_std(nexo_cfg* ctx, int32_t index, vid_std* out);

}  // namespace nexo
