#include "nexo-alert-parse.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "nexo.h"
#include "pipe-if.h"

namespace nexo {
namespace {

struct alert_entry {
    alert_handler handler;
    char* text;  // owned
    int64_t length;
    alert_entry* next;
};

// Deferred alerts, run from the head. Only the main loop and the exchanges it runs touch it.
alert_entry* alert_queue = nullptr;

void free_entry(alert_entry* e) {
    delete[] e->text;
    delete e;
}

// Every forwarding handler does the same: pass the alert on to the media-transport daemon.
int32_t forward_alert(nexo_cfg* ctx, const char* text) {
    char line[64];
    std::snprintf(line, sizeof line, "%s%s\n", "ALRT ", text);
    send_message(ctx, 2, line, std::strlen(line));
    return 0;
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
    std::size_t n = std::strlen(text);
    while (n > 0 && text[n - 1] == '\n') {
        text[--n] = '\0';
    }
    if (ctx->verbose) {
        std::fprintf(stderr, "Received alert \"%s\"\n", text);
    }
    const alert_row* row = nullptr;
    for (const alert_row& r : alert_list) {
        if (r.keyword == nullptr) {
            break;
        }
        if (r.handler != nullptr && std::strncmp(text, r.keyword, std::strlen(r.keyword)) == 0) {
            row = &r;
            break;
        }
    }
    if (row == nullptr) {
        return -1;
    }
    if (!deferred) {
        return row->handler(ctx, text, length);
    }
    // A peer that repeats an alert during a long exchange must not grow the queue.
    alert_entry** tail = &alert_queue;
    for (alert_entry* e = alert_queue; e != nullptr; e = e->next) {
        if (std::strcmp(e->text, text) == 0) {
            return 0;
        }
        tail = &e->next;
    }
    auto* e = new (std::nothrow) alert_entry{};
    char* copy = new (std::nothrow) char[n + 1];
    if (e == nullptr || copy == nullptr) {
        delete e;
        delete[] copy;
        return -1;
    }
    std::memcpy(copy, text, n + 1);
    e->handler = row->handler;
    e->text = copy;
    e->length = length;
    *tail = e;
    return 0;
}

int32_t handle_deferred_alerts(nexo_cfg* ctx) {
    int32_t count = 0;
    while (alert_queue != nullptr) {
        alert_entry* e = alert_queue;
        e->handler(ctx, e->text, e->length);
        alert_queue = e->next;
        free_entry(e);
        ++count;
    }
    return count;
}

void clear_deferred_alerts() {
    while (alert_queue != nullptr) {
        alert_entry* e = alert_queue;
        alert_queue = e->next;
        free_entry(e);
    }
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
