// Daemon context, receive channel table, start-up, shutdown and the main loop.
#pragma once

#include <poll.h>

#include <array>
#include <csignal>
#include <cstdint>

#include "ip-filter.h"
#include "nexo-net.h"
#include "pipe-if.h"
#include "st2110-chan.h"
#include "unique_fd.h"
#include "vid-fmt.h"

namespace nexo {

// Written to standard error once the daemon runs; whoever starts it may wait for it.
inline constexpr char kStartBanner[] =
    "nexo : 28/05/2020 : ATTENTION : LOADING OF DEFAULT CONFIG BYPASSED.\n";

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

// The one record that holds all of the daemon's state. The shares of the pipe layer (links, the
// scratch pipe of the line reader, alerts received during exchanges) and of the device modules
// (the device records) are its bases, so that those modules need not see the rest.
struct nexo_cfg : pipe_set, device_set {
    uint32_t daemonize;
    uint32_t verbose;
    volatile sig_atomic_t running;
    uint32_t sys_flags;
    char cfg_path[128];
    uint32_t tcg_drop_frame;
    std::array<st2110_chan, kNbrChans> chans;
    net_if_rec* net_if;
    unique_fd nl_sock;

    // Storage of the format records that the video and audio channels point at.
    std::array<vid_fmt, kNbrVidDevs> vid_fmts;
    std::array<aud_fmt, kNbrAudChans> aud_fmts;
    std::array<pollfd, kPollSlots> fds;
};

// Set while the main loop may run, for the signal handler.
extern nexo_cfg* global_cfg;

// Start values of everything but the command line: paths, links, devices, channels.
void init_config(nexo_cfg* ctx);
// Fills the channel table from dec_defaults.
void init_chans(nexo_cfg* ctx);
// Releases what start-up acquired, in order, and the context itself. 0.
int32_t deinit_config(nexo_cfg* ctx);
// Name of interface number n: "eth1" for 0, null for any other.
const char* get_sys_net_if_name(uint8_t n);
void signal_handler(int signum);

// Routes one line read from a link (length bytes, newline included, zero-terminated).
void route_line(nexo_cfg* ctx, uint32_t link, char* line, int32_t length);
// One iteration of the main loop (deferred alerts, poll, lines, rtnetlink, idle detection).
void main_loop_iteration(nexo_cfg* ctx);

// The whole program: start-up, main loop, shutdown. Returns the exit code.
int nexo_main(int argc, char** argv);

}  // namespace nexo
