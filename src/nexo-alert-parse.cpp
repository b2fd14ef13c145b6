#include "nexo-alert-parse.h"

#include <cstdio>
#include <cstring>

#include "nexo.h"
#include "pipe-if.h"

namespace nexo {
namespace {

// Every forwarding handler does the same: pass the alert on to the media-transport daemon.
int32_t forward_alert(nexo_cfg* ctx, const char* text) {
    char line[64];
    std::snprintf(line, sizeof line, "%s%s\n", "ALRT ", text);
    send_message(ctx, kLinkMedia, line, std::strlen(line));
    return 0;
}

// Strips the trailing newlines of text in place, logs it, and returns its row, or null.
const alert_row* look_up(nexo_cfg* ctx, char* text) {
    std::size_t n = std::strlen(text);
    while (n > 0 && text[n - 1] == '\n') {
        text[--n] = '\0';
    }
    if (ctx->verbose) {
        std::fprintf(stderr, "Received alert \"%s\"\n", text);
    }
    for (const alert_row& r : alert_list) {
        if (r.keyword == nullptr) {
            break;
        }
        if (r.handler != nullptr && std::strncmp(text, r.keyword, std::strlen(r.keyword)) == 0) {
            return &r;
        }
    }
    return nullptr;
}

}  // namespace

int32_t handle_smpte_fr_change(nexo_cfg* ctx, char* text, int64_t) {
    return forward_alert(ctx, text);
}

int32_t handle_smpte_taf_change(nexo_cfg* ctx, char* text, int64_t) {
    return forward_alert(ctx, text);
}

int32_t handle_ptp_sync_fault(nexo_cfg* ctx, char* text, int64_t) {
    return forward_alert(ctx, text);
}

int32_t check_alert(nexo_cfg* ctx, char* text, int64_t length, int deferred) {
    if (deferred) {
        return push_alert(ctx->alerts, text) ? 0 : -1;
    }
    const alert_row* row = look_up(ctx, text);
    return row != nullptr ? row->handler(ctx, text, length) : -1;
}

int32_t handle_deferred_alerts(nexo_cfg* ctx) {
    alert_ring& ring = ctx->alerts;
    int32_t count = 0;
    for (std::size_t i = 0; i < ring.count; ++i) {
        char* text = ring.texts[i].data();
        const alert_row* row = look_up(ctx, text);
        if (row == nullptr) {
            continue;
        }
        // A peer that repeats an alert during a long exchange gets it passed on once.
        bool repeated = false;
        for (std::size_t j = 0; j < i && !repeated; ++j) {
            repeated = std::strcmp(ring.texts[j].data(), text) == 0;
        }
        if (!repeated) {
            row->handler(ctx, text, static_cast<int64_t>(std::strlen(text)));
            ++count;
        }
    }
    clear_alerts(ring);
    return count;
}

void clear_deferred_alerts(nexo_cfg* ctx) {
    clear_alerts(ctx->alerts);
}

int32_t send_alert(nexo_cfg* ctx, const char* text, uint32_t link, const uint8_t* chan) {
    char line[128];
    if (chan != nullptr) {
        std::snprintf(line, sizeof line, "%s%s %hhu:%hhu\n", "ALRT ", text, chan[0], chan[1]);
    } else {
        std::snprintf(line, sizeof line, "%s%s\n", "ALRT ", text);
    }
    send_message(ctx, link, line, std::strlen(line));
    return 0;
}

}  // namespace nexo
