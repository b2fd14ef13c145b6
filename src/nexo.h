// Daemon context, receive channel table, start-up, shutdown and the main loop.
#pragma once

#include <poll.h>

#include <array>
#include <csignal>
#include <cstdint>
#include <variant>

#include "ip-filter.h"
#include "nexo-cmd-parse.h"
#include "nexo-net.h"
#include "pipe-if.h"
#include "unique_fd.h"

namespace nexo {

inline constexpr std::size_t kNbrChans = 12;
inline constexpr std::size_t kNbrVidDevs = 4;
inline constexpr uint8_t kNone8 = 255;
inline constexpr uint32_t kDefault32 = 0xFFFFFFFF;

// Written to standard error once the daemon runs; whoever starts it may wait for it.
inline constexpr char kStartBanner[] =
    "nexo : 28/05/2020 : ATTENTION : LOADING OF DEFAULT CONFIG BYPASSED.\n";

// Channel states.
inline constexpr uint32_t kStateOff = 0;
inline constexpr uint32_t kStateOn = 1;
inline constexpr uint32_t kStateMeas = 2;

// Channel flags.
inline constexpr uint32_t kChanFmtConfigured = 0x00000002;
inline constexpr uint32_t kChanAutoDetPending = 0x10000000;
inline constexpr uint32_t kChanAutoDetEnabled = 0x20000000;
inline constexpr uint32_t kChanFixedMac = 0x40000000;

// Stream entry flags.
inline constexpr uint32_t kIfAssigned = 0x01;
inline constexpr uint32_t kIfEnabled = 0x02;
inline constexpr uint32_t kIfSrcSet = 0x10;
inline constexpr uint32_t kIfDestSet = 0x20;

// Sys flags.
inline constexpr uint32_t kSysPtpMaster = 0x100;

// Address block of a stream: source or destination.
struct ip_blk {
    uint32_t proto;  // 0 'U', 1 'R', 2 'T'
    std::array<uint8_t, 4> ip;
    std::array<uint8_t, 6> mac;
    uint16_t port;
    uint8_t proto_arg;
    uint16_t payload_size;
    uint8_t ttl;
    uint8_t tos;
};

// The stream received on the channel's network interface.
struct st2110_if {
    net_if_rec* net_if;
    ip_blk src;
    ip_blk dest;
    uint16_t decap_chan;
    uint32_t flags;
};

struct aud_fmt {
    uint8_t nbr_chan;
    uint64_t sample_rate;
    uint16_t packet_time;
    char encoding[8];
};

// A channel's format record: video for 20:x, audio for 30:x, none for 40:x. The records
// themselves live in the daemon context.
using chan_fmt = std::variant<std::monostate, vid_fmt*, aud_fmt*>;

struct st2110_chan {
    uint8_t type;   // 20 video, 30 audio, 40 ancillary
    uint8_t index;  // 0..3
    uint32_t state;
    uint8_t nbr_if;  // 0 or 1
    std::array<st2110_if, 1> ifs;
    uint32_t flags;
    chan_fmt fmt;
    uint8_t psg;  // 255: none
    device_rec* vid_out;
    device_rec* fmt_det;
    uint32_t tx_ts_delay;   // kDefault32: DEFAULT
    uint32_t recons_delay;  // kDefault32: DEFAULT
};

struct dec_default {
    uint8_t type;
    uint8_t index;
    bool has_net_if;  // the one interface, "eth1"
    uint8_t decap_chan;
    uint8_t psg;
    uint8_t vid_out;  // 255: none
    uint8_t fmt_det;  // 255: none
};

inline constexpr std::array<dec_default, kNbrChans> dec_defaults = {{
    {20, 0, true, 0, 255, 0, 0},
    {20, 1, true, 1, 255, 1, 1},
    {20, 2, true, 2, 255, 2, 2},
    {20, 3, true, 3, 255, 3, 3},
    {30, 0, true, 4, 255, 255, 255},
    {30, 1, true, 5, 255, 255, 255},
    {30, 2, true, 6, 255, 255, 255},
    {30, 3, true, 7, 255, 255, 255},
    {40, 0, true, 8, 255, 255, 255},
    {40, 1, true, 9, 255, 255, 255},
    {40, 2, true, 10, 255, 255, 255},
    {40, 3, true, 11, 255, 255, 255},
}};

// Poll slots of the main loop. The order matters: links first, by number, then rtnetlink.
enum poll_slot { kPollLink0, kPollLink1, kPollLink2, kPollNetlink, kPollSlots };

// The one record that holds all of the daemon's state.
struct nexo_cfg {
    uint32_t daemonize;
    uint32_t verbose;
    volatile sig_atomic_t running;
    uint32_t sys_flags;
    char cfg_path[128];
    std::array<pipe_link, 3> links;
    uint32_t tcg_drop_frame;
    std::array<st2110_chan, kNbrChans> chans;
    std::array<device_rec, kNbrVidDevs> vid_out;
    std::array<device_rec, kNbrVidDevs> fmt_det;
    net_if_rec* net_if;
    unique_fd nl_sock;
    device_rec ip_filter;

    // Storage of the format records that the video and audio channels point at.
    std::array<vid_fmt, kNbrVidDevs> vid_fmts;
    std::array<aud_fmt, 4> aud_fmts;
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
