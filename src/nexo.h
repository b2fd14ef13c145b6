// Daemon context, receive channel table, start-up, shutdown and the main loop.
#pragma once

#include <poll.h>

#include <array>
#include <csignal>
#include <cstddef>
#include <cstdint>

#include "ip-filter.h"
#include "links.h"
#include "nexo-net.h"
#include "pipe-if.h"
#include "st2110-chan.h"
#include "unique_fd.h"
#include "vid-fmt.h"

namespace nexo {

// Sys flags.
inline constexpr uint32_t kSysPtpMaster = 0x100;

// Poll slots of the main loop. The order matters: links first, by number, then rtnetlink.
enum poll_slot {
    kPollTiming = kLinkTiming,
    kPollClient = kLinkClient,
    kPollMedia = kLinkMedia,
    kPollNetlink = kNbrLinks,
    kPollSlots
};

// How the main loop waits, set up by its first wait. The client's pipe is polled directly; the
// peers' pipes, rtnetlink and the idle timer stay registered in an epoll instance, which is
// polled beside it: a sleep then enters and leaves two wait queues, not one per descriptor. The
// idle timeout is a timer that is set again only when it would fire too late, about once per
// timeout, where a poll with a timeout sets and cancels a kernel timer on every call.
struct loop_wait {
    bool tried;  // whether the instance and the timer were created
    unique_fd ep;
    unique_fd timer;
    int64_t due_ns;  // when timer fires (CLOCK_MONOTONIC); 0 when it is not set
    // Slot by slot, for the slots in the instance: the descriptor registered (-1 none), the
    // link's rd_opens at the time, and whether the registration took.
    std::array<int, kPollSlots> fd;
    std::array<uint32_t, kPollSlots> opens;
    std::array<bool, kPollSlots> ok;
};

// The routing keywords of the three links, bucketed by their first letter (case folded) so that
// a keyword is compared only with the entries that can begin it. Within a bucket the entries keep
// the order of the search: link 0, 1, 2, each table in its order.
inline constexpr std::size_t kMaxRouteEntries = 128;
struct route_index {
    struct entry {
        const char* text;
        uint8_t len;
        uint8_t link;
    };
    std::array<entry, kMaxRouteEntries> entries;
    // Bucket b holds entries[bucket_at[b], bucket_at[b + 1]).
    std::array<uint16_t, 257> bucket_at;
    // The first link with an empty entry, which begins every keyword; -1 for none.
    int empty_link;
};

// The one record that holds all of the daemon's state. The shares of the pipe layer (links, the
// scratch pipe of the line reader, alerts received during exchanges), of the device modules
// (the device records) and of the network module (interface, rtnetlink socket, a view of the
// channel table) are its bases, so that those modules need not see the rest.
struct nexo_cfg : pipe_set, device_set, net_set {
    uint32_t daemonize;
    uint32_t verbose;
    volatile sig_atomic_t running;
    uint32_t sys_flags;
    char cfg_path[128];
    uint32_t tcg_drop_frame;
    std::array<st2110_chan, kNbrChans> chans;

    // Storage of the format records that the video and audio channels point at.
    std::array<vid_fmt, kNbrVidDevs> vid_fmts;
    std::array<aud_fmt, kNbrAudChans> aud_fmts;
    std::array<pollfd, kPollSlots> fds;
    loop_wait wait;
    // Built from the links' keyword tables by init_config.
    route_index routes;
};

// Set while the main loop may run, for the signal handler.
extern nexo_cfg* global_cfg;

// Start values of everything but the command line: paths, links, devices, channels.
void init_config(nexo_cfg* ctx);
// Fills the channel table from dec_defaults.
void init_chans(nexo_cfg* ctx);
// Releases what start-up acquired, in order, and the context itself. 0.
int32_t deinit_config(nexo_cfg* ctx);
void signal_handler(int signum);

// Indexes the keyword tables of ctx's links for route_link.
void build_route_index(nexo_cfg* ctx);
// The link whose keyword table holds an entry that begins keyword (case ignored), searching
// links 0, 1 and 2 in order; -1 when none does.
int route_link(const nexo_cfg* ctx, const char* keyword);

// Routes one line read from a link (length bytes, newline included, zero-terminated).
void route_line(nexo_cfg* ctx, uint32_t link, char* line, int32_t length);
// One iteration of the main loop (deferred alerts, poll, lines, rtnetlink, idle detection).
void main_loop_iteration(nexo_cfg* ctx);

// The whole program: start-up, main loop, shutdown. Returns the exit code.
int nexo_main(int argc, char** argv);

}  // namespace nexo
