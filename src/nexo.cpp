#include "nexo.h"

#include <fcntl.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <strings.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>

#include "ext_cmds.h"
#include "nexo-alert-parse.h"
#include "nexo-cmd-parse.h"
#include "smpte-2110-strm-ctrl.h"

namespace nexo {

nexo_cfg* global_cfg = nullptr;

namespace {

constexpr int kPollTimeoutMs = 500;
constexpr int kRelayWaitMs = 500;
constexpr std::size_t kKeywordSize = 64;
constexpr uint32_t kRtmgrpIpv4Ifaddr = 0x10;
constexpr socklen_t kNlAddrLen = 12;
static_assert(sizeof(sockaddr_nl) == kNlAddrLen);
static_assert(kRtmgrpIpv4Ifaddr == RTMGRP_IPV4_IFADDR);
static_assert(kSt2059CmdCount + kNexoCmdCount + kSmpte2110CmdCount <= kMaxRouteEntries);

// The routing keywords of each link. The pipe names of link 1 are the control client's: the
// daemon reads what the client writes.
constexpr std::array<const char* const*, kNbrLinks> kLinkCmds = {st2059_if_cmds, nexo_cmds,
                                                                 smpte2110_cmds};

bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// ASCII case folding, as the C locale's strncasecmp does it.
unsigned char fold(char c) {
    auto u = static_cast<unsigned char>(c);
    return u >= 'a' && u <= 'z' ? static_cast<unsigned char>(u - 'a' + 'A') : u;
}

bool begins_folded(const char* keyword, const char* entry, std::size_t len) {
    for (std::size_t i = 0; i < len; ++i) {
        if (fold(keyword[i]) != fold(entry[i])) {
            return false;
        }
    }
    return true;
}

// The routing keyword of a control-client line: the second word, cut to 63 characters; its
// length, or 0 when the line has no second word.
std::size_t extract_keyword(const char* line, char* keyword) {
    const char* p = line;
    while (*p != '\0' && *p != ' ' && *p != '\t') {
        ++p;
    }
    if (*p == '\0') {
        return 0;
    }
    while (*p == ' ' || *p == '\t') {
        ++p;
    }
    if (*p == '\0') {
        return 0;
    }
    std::size_t n = 0;
    while (p[n] != '\0' && !is_space(p[n]) && n < kKeywordSize - 1) {
        keyword[n] = p[n];
        ++n;
    }
    keyword[n] = '\0';
    return n;
}

void route_client_line(nexo_cfg* ctx, char* line, int32_t length) {
    char keyword[kKeywordSize];
    int link = extract_keyword(line, keyword) > 0 ? route_link(ctx, keyword) : -1;
    if (link < 0) {
        send_error_reply(ctx, kLinkClient);
        return;
    }
    if (link == kLinkClient) {
        if (process_input_cmd(ctx, line, length, kLinkClient) != 0) {
            send_error_reply(ctx, kLinkClient);
        }
        return;
    }
    if (send_message(ctx, static_cast<uint32_t>(link), line, static_cast<std::size_t>(length)) <=
        0) {
        return;
    }
    // The relay takes the first line the peer writes, whatever it is; a reply that comes later
    // reaches the client as an ordinary peer line.
    std::memset(line, 0, kLineSize + 1);
    if (await_message(ctx, static_cast<uint32_t>(link), line, kLineSize, kRelayWaitMs) > 0) {
        std::size_t n = std::strlen(line);
        line[n] = '\n';
        send_message(ctx, kLinkClient, line, n + 1);
    }
}

void route_peer_line(nexo_cfg* ctx, char* line, int32_t length) {
    if (std::strncmp(line, "ALRT ", 5) == 0) {
        check_alert(ctx, line + 5, length - 5, 0);
        return;
    }
    ssize_t ignored =
        ::write(ctx->links[kLinkClient].wr_fd.get(), line, static_cast<std::size_t>(length));
    (void)ignored;
}

int64_t monotonic_ns() {
    timespec ts;
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

// The epoll event of the idle timer; the slots' events carry their slot number.
constexpr uint32_t kIdleTimerEvent = kPollSlots;

// Creates the instance and the timer at the first wait, and brings the instance in line with the
// poll set: a slot other than the client's whose descriptor is new, or whose pipe was reopened
// under the same number, is registered afresh (the descriptor it replaced was closed, which took
// it out). false when the loop must wait with a plain poll().
bool sync_loop_wait(nexo_cfg* ctx) {
    loop_wait& w = ctx->wait;
    if (!w.tried) {
        w.tried = true;
        w.ep.reset(::epoll_create1(EPOLL_CLOEXEC));
        w.timer.reset(::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC));
        w.due_ns = 0;
        w.fd.fill(-1);
        w.ok.fill(true);
        epoll_event ev = {};
        ev.events = EPOLLIN;
        ev.data.u32 = kIdleTimerEvent;
        if (!w.ep.valid() || !w.timer.valid() ||
            ::epoll_ctl(w.ep.get(), EPOLL_CTL_ADD, w.timer.get(), &ev) != 0) {
            w.ep.reset();
            w.timer.reset();
        }
    }
    if (!w.ep.valid()) {
        return false;
    }
    bool all = true;
    for (uint32_t slot = 0; slot < kPollSlots; ++slot) {
        if (slot == kPollClient) {
            continue;
        }
        const pollfd& p = ctx->fds[slot];
        const uint32_t opens = slot < kNbrLinks ? ctx->links[slot].rd_opens : 0;
        if (p.fd != w.fd[slot] || opens != w.opens[slot]) {
            w.fd[slot] = p.fd;
            w.opens[slot] = opens;
            w.ok[slot] = true;
            if (p.fd >= 0) {
                epoll_event ev = {};
                ev.events = static_cast<uint16_t>(p.events);
                ev.data.u32 = slot;
                w.ok[slot] =
                    ::epoll_ctl(w.ep.get(), EPOLL_CTL_ADD, p.fd, &ev) == 0 ||
                    (errno == EEXIST && ::epoll_ctl(w.ep.get(), EPOLL_CTL_MOD, p.fd, &ev) == 0);
            }
        }
        all = all && w.ok[slot];
    }
    return all;
}

// Sets the idle timer to fire at at_ns, which also clears an expiry not yet read. false when it
// cannot be set.
bool set_idle_timer(loop_wait& w, int64_t at_ns) {
    itimerspec its = {};
    its.it_value.tv_sec = at_ns / 1000000000;
    its.it_value.tv_nsec = at_ns % 1000000000;
    if (::timerfd_settime(w.timer.get(), TFD_TIMER_ABSTIME, &its, nullptr) != 0) {
        w.due_ns = 0;
        return false;
    }
    w.due_ns = at_ns;
    return true;
}

// One sleep on the client's pipe and the instance; the events go into the poll set's revents.
// The number of slots with events, -1 on failure; *fired tells whether the idle timer fired.
int sleep_once(nexo_cfg* ctx, bool* fired) {
    loop_wait& w = ctx->wait;
    std::array<pollfd, 2> two = {
        {{ctx->fds[kPollClient].fd, ctx->fds[kPollClient].events, 0}, {w.ep.get(), POLLIN, 0}}};
    if (::poll(two.data(), two.size(), -1) < 0) {
        return -1;
    }
    for (pollfd& p : ctx->fds) {
        p.revents = 0;
    }
    ctx->fds[kPollClient].revents = two[0].revents;
    *fired = false;
    if (two[1].revents != 0) {
        std::array<epoll_event, kPollSlots + 1> ev;
        int n = ::epoll_wait(w.ep.get(), ev.data(), static_cast<int>(ev.size()), 0);
        for (std::size_t i = 0; i < static_cast<std::size_t>(std::max(n, 0)); ++i) {
            if (ev[i].data.u32 == kIdleTimerEvent) {
                *fired = true;
            } else {
                ctx->fds[ev[i].data.u32].revents = static_cast<short>(ev[i].events);
            }
        }
    }
    int slots = 0;
    for (const pollfd& p : ctx->fds) {
        slots += p.revents != 0 ? 1 : 0;
    }
    return slots;
}

// Waits for the poll set as poll() with timeout_ms would, and reports the same way: the number
// of entries with events in their revents, 0 when timeout_ms passed without any, -1 on failure
// (interrupted by a signal). The sleep itself has no timeout: the idle timer ends it.
int wait_poll_set(nexo_cfg* ctx, int timeout_ms) {
    loop_wait& w = ctx->wait;
    if (!sync_loop_wait(ctx) || timeout_ms == 0) {
        return ::poll(ctx->fds.data(), kPollSlots, timeout_ms);
    }
    const int64_t since = monotonic_ns();
    const int64_t due = since + int64_t{timeout_ms} * 1000000;
    // A timer set by an earlier wait that fires before this one is due is kept: it wakes the
    // loop early, and only then is it set again, to the due time. One that has fired (or not
    // been set) is set now.
    if ((w.due_ns <= since || w.due_ns > due) && !set_idle_timer(w, due)) {
        return ::poll(ctx->fds.data(), kPollSlots, timeout_ms);
    }
    for (;;) {
        bool fired = false;
        int n = sleep_once(ctx, &fired);
        if (n != 0) {
            return n;
        }
        // Woken by the instance for nothing (an event a relay or an exchange has taken since),
        // or by the timer before the wait was due.
        if (!fired) {
            continue;
        }
        if (monotonic_ns() >= due) {
            // Fired when due: left expired, so the next wait sets it afresh.
            w.due_ns = 0;
            return 0;
        }
        if (!set_idle_timer(w, due)) {
            return ::poll(ctx->fds.data(), kPollSlots,
                          static_cast<int>((due - monotonic_ns()) / 1000000) + 1);
        }
    }
}

void reopen_read_pipe(nexo_cfg* ctx, uint32_t link) {
    close_read_pipe(ctx, link);
    open_read_pipe(ctx, link);
    ctx->fds[link].fd = ctx->links[link].rd_fd.get();
}

int open_netlink(nexo_cfg* ctx) {
    int s = ::socket(AF_NETLINK, SOCK_RAW, NETLINK_ROUTE);
    if (s < 0) {
        std::perror("couldn't open NETLINK_ROUTE socket");
        return -1;
    }
    ctx->nl_sock.reset(s);
    sockaddr_nl addr = {};
    addr.nl_family = AF_NETLINK;
    addr.nl_pid = 0;
    addr.nl_groups = kRtmgrpIpv4Ifaddr;
    if (::bind(s, reinterpret_cast<const sockaddr*>(&addr), kNlAddrLen) != 0) {
        std::perror("couldn't bind NETLINK_ROUTE socket");
        return -1;
    }
    int fl = ::fcntl(s, F_GETFL);
    if (fl < 0 || ::fcntl(s, F_SETFL, fl | O_NONBLOCK) < 0) {
        std::perror("couldn't set O_NONBLOCK on NETLINK_ROUTE socket");
        return -1;
    }
    return 0;
}

// Steps that acquire resources; any failure ends start-up with exit code 3.
bool acquire(nexo_cfg* ctx) {
    for (uint32_t link = 0; link < kNbrLinks; ++link) {
        if (ctx->links[link].rd_path[0] == '\0') {
            std::fprintf(stderr, "FATAL: Read pipe not set for interface %d\n",
                         static_cast<int>(link));
            return false;
        }
        if (open_read_pipe(ctx, link) != 0) {
            return false;
        }
    }
    for (uint32_t link = 0; link < kNbrLinks; ++link) {
        if (ctx->links[link].wr_path[0] == '\0') {
            std::fprintf(stderr, "FATAL: Write pipe not set for interface %d\n",
                         static_cast<int>(link));
            return false;
        }
        if (open_write_pipe(ctx, link) != 0) {
            return false;
        }
    }
    if (open_device(&ctx->ip_filter) != 0) {
        return false;
    }
    for (device_rec& d : ctx->vid_out) {
        if (open_device(&d) != 0) {
            return false;
        }
    }
    for (device_rec& d : ctx->fmt_det) {
        if (open_device(&d) != 0) {
            return false;
        }
    }
    if (open_netlink(ctx) != 0) {
        return false;
    }
    if (get_net_if_mac_addr(ctx, 0) != 0) {
        return false;
    }
    // An interface without an address does not stop the daemon: rtnetlink tells it later.
    get_net_if_ip_addr(ctx, 0);
    return true;
}

void build_poll_set(nexo_cfg* ctx) {
    for (uint32_t link = 0; link < kNbrLinks; ++link) {
        ctx->fds[link] = {ctx->links[link].rd_fd.get(), POLLIN, 0};
    }
    ctx->fds[kPollNetlink] = {ctx->nl_sock.get(), POLLIN | POLLERR | POLLHUP, 0};
}

}  // namespace

void init_chans(nexo_cfg* ctx) {
    std::size_t vid = 0;
    std::size_t aud = 0;
    for (std::size_t i = 0; i < kNbrChans; ++i) {
        const dec_default& d = dec_defaults[i];
        st2110_chan& c = ctx->chans[i];
        c = st2110_chan{};
        if (d.type == kChanVideo && vid < ctx->vid_fmts.size()) {
            ctx->vid_fmts[vid] = kVidFmtUnset;
            c.fmt = &ctx->vid_fmts[vid++];
        } else if (d.type == kChanAudio && aud < ctx->aud_fmts.size()) {
            ctx->aud_fmts[aud] = aud_fmt{};
            c.fmt = &ctx->aud_fmts[aud++];
        }
        c.flags |= kChanFixedMac;
        c.type = d.type;
        c.index = d.index;
        c.state = kStateOff;
        c.nbr_if = 0;
        c.psg = d.psg;
        c.tx_ts_delay = kDefault32;
        c.recons_delay = kDefault32;
        if (d.has_net_if) {
            c.nbr_if = 1;
            st2110_if& e = c.ifs[0];
            e.flags |= kIfAssigned | kIfEnabled;
            e.net_if = ctx->net_if;
            e.src.ttl = 64;
            e.dest.ttl = 64;
            e.src.tos = 136;
            e.dest.tos = 136;
            e.decap_chan = d.decap_chan;
        }
        if (d.type == kChanAncillary) {
            c.flags |= kChanFmtConfigured;
        }
        c.vid_out = d.vid_out != kNone8 ? &ctx->vid_out[d.vid_out] : nullptr;
        c.fmt_det = d.fmt_det != kNone8 ? &ctx->fmt_det[d.fmt_det] : nullptr;
    }
}

void init_config(nexo_cfg* ctx) {
    std::snprintf(ctx->cfg_path, sizeof ctx->cfg_path, "%s", "/etc/nexo.cfg");
    for (std::size_t i = 0; i < ctx->links.size(); ++i) {
        pipe_link& l = ctx->links[i];
        std::snprintf(l.rd_path, sizeof l.rd_path, "%s/%s", kPipeDir, kLinkPipes[i].daemon_reads);
        std::snprintf(l.wr_path, sizeof l.wr_path, "%s/%s", kPipeDir, kLinkPipes[i].daemon_writes);
        l.cmds = kLinkCmds[i];
        l.rd_fd.reset();
        l.wr_fd.reset();
    }
    ctx->net_if = &if_list;
    ctx->chan_table = ctx->chans;
    if_list.sock.reset();
    std::snprintf(ctx->ip_filter.path, kDevPathSize, "/dev/zeb-ip-filter-%hhu", uint8_t{0});
    for (uint8_t i = 0; i < kNbrVidDevs; ++i) {
        std::snprintf(ctx->vid_out[i].path, kDevPathSize, "/dev/axis2vid-%hhu", i);
        std::snprintf(ctx->fmt_det[i].path, kDevPathSize, "/dev/rtp-vid-fmt-det-%hhu", i);
    }
    ctx->nl_sock.reset();
    build_route_index(ctx);
    init_chans(ctx);
}

int32_t deinit_config(nexo_cfg* ctx) {
    for (uint32_t link = 0; link < kNbrLinks; ++link) {
        close_read_pipe(ctx, link);
    }
    for (uint32_t link = 0; link < kNbrLinks; ++link) {
        close_write_pipe(ctx, link);
    }
    close_device(&ctx->ip_filter);
    for (device_rec& d : ctx->vid_out) {
        close_device(&d);
    }
    for (device_rec& d : ctx->fmt_det) {
        close_device(&d);
    }
    ctx->nl_sock.reset();
    ctx->wait.timer.reset();
    ctx->wait.ep.reset();
    // Memberships belong to this socket and end with it.
    ctx->net_if->sock.reset();
    clear_deferred_alerts(ctx);
    delete ctx;
    return 0;
}

void build_route_index(nexo_cfg* ctx) {
    route_index& ix = ctx->routes;
    // Counting sort by bucket; within a bucket, the order of the search.
    std::array<uint16_t, 257> count = {};
    ix.empty_link = -1;
    auto each_entry = [ctx, &ix](auto f) {
        for (uint32_t link = 0; link < kNbrLinks; ++link) {
            for (const char* const* e = ctx->links[link].cmds; e != nullptr && *e != nullptr; ++e) {
                std::size_t len = std::strlen(*e);
                if (len == 0 && ix.empty_link < 0) {
                    ix.empty_link = static_cast<int>(link);
                }
                // An entry longer than any keyword can begin none.
                if (len > 0 && len < kKeywordSize) {
                    f(route_index::entry{*e, static_cast<uint8_t>(len),
                                         static_cast<uint8_t>(link)});
                }
            }
        }
    };
    std::size_t total = 0;
    each_entry([&](const route_index::entry& e) {
        if (total < ix.entries.size()) {
            ++count[fold(e.text[0])];
            ++total;
        }
    });
    ix.bucket_at[0] = 0;
    for (std::size_t b = 0; b < 256; ++b) {
        ix.bucket_at[b + 1] = static_cast<uint16_t>(ix.bucket_at[b] + count[b]);
    }
    std::array<uint16_t, 256> next = {};
    std::copy(ix.bucket_at.begin(), ix.bucket_at.end() - 1, next.begin());
    std::size_t placed = 0;
    each_entry([&](const route_index::entry& e) {
        if (placed++ < total) {
            ix.entries[next[fold(e.text[0])]++] = e;
        }
    });
}

int route_link(const nexo_cfg* ctx, const char* keyword) {
    const route_index& ix = ctx->routes;
    const std::size_t klen = std::strlen(keyword);
    const unsigned char b = fold(keyword[0]);
    for (std::size_t i = ix.bucket_at[b]; i < ix.bucket_at[b + 1]; ++i) {
        const route_index::entry& e = ix.entries[i];
        if (ix.empty_link >= 0 && ix.empty_link < e.link) {
            break;
        }
        if (e.len <= klen && begins_folded(keyword, e.text, e.len)) {
            return e.link;
        }
    }
    return ix.empty_link;
}

void signal_handler(int signum) {
    if (global_cfg != nullptr && (signum == SIGINT || signum == SIGTERM)) {
        global_cfg->running = 0;
    }
}

void route_line(nexo_cfg* ctx, uint32_t link, char* line, int32_t length) {
    if (link == kLinkClient) {
        route_client_line(ctx, line, length);
    } else {
        route_peer_line(ctx, line, length);
    }
}

void main_loop_iteration(nexo_cfg* ctx) {
    // One line buffer for the daemon's life: nothing is allocated per line.
    static char line[kLineSize + 1];

    handle_deferred_alerts(ctx);
    bool held = false;
    for (uint32_t link = 0; link < kNbrLinks; ++link) {
        ctx->fds[link].fd = ctx->links[link].rd_fd.get();
        held = held || held_bytes(ctx->links[link]) > 0;
    }
    // Bytes a link holds are input that is there already, as if still in its pipe: the poll
    // must not wait, and their link counts as readable (also for the idle-time detection,
    // which runs only when nothing at all was there).
    int r = wait_poll_set(ctx, held ? 0 : kPollTimeoutMs);
    if (r >= 0 && held) {
        for (uint32_t link = 0; link < kNbrLinks; ++link) {
            if (held_bytes(ctx->links[link]) > 0) {
                ctx->fds[link].revents |= POLLIN;
                ++r;
            }
        }
    }
    if (r > 0) {
        for (uint32_t link = 0; link < kNbrLinks; ++link) {
            pollfd& pfd = ctx->fds[link];
            if (pfd.revents & POLLIN) {
                int32_t n = read_line(ctx, link, line);
                if (n > 0) {
                    route_line(ctx, link, line, n);
                } else if (n < 0 && link == kLinkClient) {
                    // A line too long for the buffer is never acted on, nor any piece of it.
                    send_error_reply(ctx, kLinkClient);
                }
            }
            if (pfd.revents & POLLHUP) {
                reopen_read_pipe(ctx, link);
            }
        }
        if (ctx->fds[kPollNetlink].revents != 0) {
            ctx->fds[kPollNetlink].revents = 0;
            handle_netlink_event(ctx);
        }
    } else if (r == 0) {
        poll_rtp_vid_fmt_det(ctx);
    } else {
        // Interrupted: only the hang-ups of the last completed poll are looked at.
        for (uint32_t link = 0; link < kNbrLinks; ++link) {
            if (ctx->fds[link].revents & POLLHUP) {
                reopen_read_pipe(ctx, link);
            }
        }
    }
}

int nexo_main(int argc, char** argv) {
    ssize_t ignored = ::nice(10);
    (void)ignored;
    // Standard error may be a pipe whose reader has gone (a shell pipeline, a logger): a failed
    // write is handled where it happens and must never end the daemon.
    ::signal(SIGPIPE, SIG_IGN);

    auto* ctx = new (std::nothrow) nexo_cfg{};
    if (ctx == nullptr) {
        std::fprintf(stderr, "%s FATAL: Cannot allocate memory for config.\n", argv[0]);
        return 1;
    }
    global_cfg = ctx;
    ctx->running = 1;
    init_config(ctx);

    int opt;
    while ((opt = ::getopt(argc, argv, "vdh?f:")) != -1) {
        switch (opt) {
            case 'd':
                ctx->daemonize = 1;
                break;
            case 'v':
                ctx->verbose = 1;
                break;
            case 'f':
                std::snprintf(ctx->cfg_path, sizeof ctx->cfg_path, "%s", optarg);
                break;
            default:
                // -h, -?, an unknown option or -f without its path (getopt has said so).
                global_cfg = nullptr;
                delete ctx;
                return 0;
        }
    }
    // The daemon always detaches and always logs received alerts.
    ctx->daemonize = 1;
    ctx->verbose = 1;

    if (!acquire(ctx)) {
        global_cfg = nullptr;
        deinit_config(ctx);
        return 3;
    }
    if (ctx->daemonize) {
        ignored = ::daemon(1, static_cast<int>(ctx->verbose));
    }
    struct sigaction sa = {};
    sa.sa_handler = signal_handler;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no SA_RESTART: a signal must end the poll
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);

    build_poll_set(ctx);
    ctx->running = 1;
    std::fputs(kStartBanner, stderr);

    while (ctx->running) {
        main_loop_iteration(ctx);
    }

    global_cfg = nullptr;
    deinit_config(ctx);
    return 0;
}

}  // namespace nexo
