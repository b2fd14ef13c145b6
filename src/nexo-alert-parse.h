// Alerts from the peer daemons: looked up in a small table and passed on to the
// media-transport daemon, at once from the main loop, or deferred when they arrive during an
// exchange (the pipe layer keeps those for the main loop).
#pragma once

#include <array>
#include <cstdint>

namespace nexo {

struct nexo_cfg;

using alert_handler = int32_t (*)(nexo_cfg* ctx, char* text, int64_t length);

struct alert_row {
    const char* keyword;
    alert_handler handler;
};

int32_t handle_smpte_fr_change(nexo_cfg* ctx, char* text, int64_t length);
int32_t handle_smpte_taf_change(nexo_cfg* ctx, char* text, int64_t length);
int32_t handle_ptp_sync_fault(nexo_cfg* ctx, char* text, int64_t length);

// First row whose keyword begins the alert text wins; ends with a null keyword.
inline constexpr std::array<alert_row, 4> alert_list = {{
    {"2059_FRA_CHANGED", handle_smpte_fr_change},
    {"2059_TAF_CHANGED", handle_smpte_taf_change},
    {"SYNC_FAULT", handle_ptp_sync_fault},
    {nullptr, nullptr},
}};

// Strips trailing newlines from text (in place), logs it and runs its handler at once
// (deferred == 0): the handler's result, or -1 when no row matches. deferred != 0 keeps the text
// for handle_deferred_alerts instead: 0, or -1 when the ring is full.
int32_t check_alert(nexo_cfg* ctx, char* text, int64_t length, int deferred);
// Takes the alerts kept while exchanges waited, in arrival order: each is logged and looked up
// as at once, and runs unless an equal text ran before it in this pass. The number run.
int32_t handle_deferred_alerts(nexo_cfg* ctx);
// Releases kept alerts without running them (shutdown).
void clear_deferred_alerts(nexo_cfg* ctx);
// Sends "ALRT <text>[ <type>:<index>]\n" (at most 127 characters) to link. 0.
int32_t send_alert(nexo_cfg* ctx, const char* text, uint32_t link, const uint8_t* chan);

}  // namespace nexo
