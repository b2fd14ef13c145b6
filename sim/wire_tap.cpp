#include "wire_tap.h"

#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "unique_fd.h"
#include "video_meter.h"

namespace nexo::sim {
namespace {

using clock = std::chrono::steady_clock;

constexpr int kDetectors = 4;
constexpr size_t kBatch = 64;
constexpr size_t kFrameBuf = 2048;  // above eth1's MTU
constexpr auto kTick = std::chrono::milliseconds(20);
constexpr auto kLossTimeout = std::chrono::milliseconds(250);
constexpr int kRcvBuf = 16 << 20;

std::string dotted(uint32_t ip) {
    return std::to_string(ip >> 24) + "." + std::to_string(ip >> 16 & 0xff) + "." +
           std::to_string(ip >> 8 & 0xff) + "." + std::to_string(ip & 0xff);
}

}  // namespace

struct wire_tap::impl {
    fpga& dev;
    unique_fd sock;
    unique_fd stop_fd;
    std::thread thread;

    // Everything below is the capture thread's; mu guards it against stats() and clears.
    mutable std::mutex mu;
    decap_filter filter;
    uint64_t generation = ~uint64_t{0};
    uint64_t not_udp = 0;
    uint64_t socket_drops = 0;
    struct detector {
        video_meter meter;
        bool enabled = false;
        bool had_signal = false;
        clock::time_point last_rx{};
        uint32_t state = kDetDisabled;
        detected_format fmt;
    };
    std::array<detector, kDetectors> det;

    explicit impl(fpga& d) : dev(d) {}

    void refresh_rules() {
        const uint64_t g = dev.filter_generation();
        if (g == generation) {
            return;
        }
        // Read the generation first: a change while copying shows up again next time.
        generation = g;
        std::vector<filter_rule> rules;
        for (const filter_channel& ch : dev.filter_table()) {
            rules.push_back(decode_filter_record(ch.cfg, ch.enable));
        }
        // A detector whose filter channel now takes another stream measures it afresh.
        for (size_t chan : filter.set_rules(std::move(rules))) {
            if (chan < det.size()) {
                det[chan].meter.reset();
                det[chan].had_signal = false;
            }
        }
    }

    void packet(const uint8_t* data, size_t len, clock::time_point now) {
        udp_view v;
        if (!parse_ipv4_udp(data, len, v)) {
            ++not_udp;
            return;
        }
        const int chan = filter.account(v);
        if (chan >= 0 && chan < kDetectors && det[static_cast<size_t>(chan)].enabled) {
            detector& d = det[static_cast<size_t>(chan)];
            d.meter.feed(v.payload, v.len);
            d.last_rx = now;
        }
    }

    // Moves each detector on from what its meter saw and tells the node model what changed.
    void update_detectors(clock::time_point now) {
        for (int i = 0; i < kDetectors; ++i) {
            detector& d = det[static_cast<size_t>(i)];
            const bool enabled = dev.detector_enabled(i);
            if (enabled != d.enabled) {
                d.meter.reset();
                d.had_signal = false;
                d.last_rx = {};
                d.state = enabled ? kDetBusy : kDetDisabled;
                d.fmt = {};
                d.enabled = enabled;
            }
            if (!enabled) {
                continue;
            }
            uint32_t state = kDetBusy;
            detected_format fmt;
            if (d.meter.packets() > 0 && now - d.last_rx < kLossTimeout) {
                d.had_signal = true;
                if (d.meter.complete()) {
                    state = kDetFormatDetected;
                    fmt = d.meter.format();
                } else {
                    state = kDetStreamDetected;
                }
            } else if (d.had_signal) {
                // The stream is gone: report the loss and measure afresh when it comes back.
                d.meter.reset();
                d.had_signal = false;
            }
            // Told every tick, not only on a change: a detector switched off and on again
            // between two ticks has been reset to BUSY by the node model meanwhile.
            d.state = state;
            d.fmt = fmt;
            dev.report_detector(i, state, fmt);
        }
    }

    void run() {
        std::array<std::array<uint8_t, kFrameBuf>, kBatch> bufs;
        std::array<iovec, kBatch> iov;
        std::array<mmsghdr, kBatch> msgs;
        pollfd fds[2] = {{sock.get(), POLLIN, 0}, {stop_fd.get(), POLLIN, 0}};
        auto next_tick = clock::now();
        for (;;) {
            const auto wait =
                std::chrono::duration_cast<std::chrono::milliseconds>(next_tick - clock::now());
            int r = ::poll(fds, 2, wait.count() > 0 ? static_cast<int>(wait.count()) : 0);
            if (r < 0 && errno != EINTR) {
                return;
            }
            if ((fds[1].revents & POLLIN) != 0) {
                return;
            }
            if (r > 0 && (fds[0].revents & POLLIN) != 0) {
                for (size_t i = 0; i < kBatch; ++i) {
                    iov[i] = {bufs[i].data(), kFrameBuf};
                    msgs[i] = {};
                    msgs[i].msg_hdr.msg_iov = &iov[i];
                    msgs[i].msg_hdr.msg_iovlen = 1;
                }
                const int n = ::recvmmsg(sock.get(), msgs.data(), kBatch, MSG_DONTWAIT, nullptr);
                if (n > 0) {
                    const auto now = clock::now();
                    std::lock_guard lock(mu);
                    refresh_rules();
                    for (int i = 0; i < n; ++i) {
                        const size_t len =
                            std::min<size_t>(msgs[static_cast<size_t>(i)].msg_len, kFrameBuf);
                        packet(bufs[static_cast<size_t>(i)].data(), len, now);
                    }
                }
            }
            const auto now = clock::now();
            if (now >= next_tick) {
                next_tick = now + kTick;
                tpacket_stats st{};
                socklen_t sl = sizeof st;
                std::lock_guard lock(mu);
                if (::getsockopt(sock.get(), SOL_PACKET, PACKET_STATISTICS, &st, &sl) == 0) {
                    socket_drops += st.tp_drops;  // the kernel resets them on each read
                }
                refresh_rules();
                update_detectors(now);
            }
        }
    }
};

wire_tap::wire_tap(fpga& dev) : p_(std::make_unique<impl>(dev)) {}

wire_tap::~wire_tap() {
    stop();
}

bool wire_tap::start(const std::string& iface, std::string* error) {
    auto fail = [&](const char* what) {
        if (error != nullptr) {
            *error = std::string(what) + ": " + std::strerror(errno);
        }
        return false;
    };
    stop();
    // Cooked packets from the IP header on, incoming only: the daemon's own IGMP reports are
    // not the wire's traffic.
    unique_fd s(::socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC, htons(ETH_P_IP)));
    if (!s.valid()) {
        return fail("capture socket");
    }
    const unsigned index = ::if_nametoindex(iface.c_str());
    if (index == 0) {
        return fail(iface.c_str());
    }
    int one = 1;
    ::setsockopt(s.get(), SOL_PACKET, PACKET_IGNORE_OUTGOING, &one, sizeof one);
    // Video comes in bursts of a frame's packets; give the capture room for a few frames.
    if (::setsockopt(s.get(), SOL_SOCKET, SO_RCVBUFFORCE, &kRcvBuf, sizeof kRcvBuf) != 0) {
        ::setsockopt(s.get(), SOL_SOCKET, SO_RCVBUF, &kRcvBuf, sizeof kRcvBuf);
    }
    sockaddr_ll sll{};
    sll.sll_family = AF_PACKET;
    sll.sll_protocol = htons(ETH_P_IP);
    sll.sll_ifindex = static_cast<int>(index);
    if (::bind(s.get(), reinterpret_cast<const sockaddr*>(&sll), sizeof sll) != 0) {
        return fail("binding the capture");
    }
    unique_fd ev(::eventfd(0, EFD_CLOEXEC));
    if (!ev.valid()) {
        return fail("eventfd");
    }
    p_->sock = std::move(s);
    p_->stop_fd = std::move(ev);
    p_->thread = std::thread([this] { p_->run(); });
    return true;
}

void wire_tap::stop() {
    if (p_->thread.joinable()) {
        uint64_t one = 1;
        (void)!::write(p_->stop_fd.get(), &one, sizeof one);
        p_->thread.join();
    }
    p_->sock.reset();
    p_->stop_fd.reset();
}

tap_stats wire_tap::stats() const {
    std::lock_guard lock(p_->mu);
    tap_stats s;
    for (size_t i = 0; i < p_->filter.channels(); ++i) {
        s.channels.push_back(p_->filter.counters(i));
    }
    s.rules = p_->filter.rules();
    s.dropped = p_->filter.dropped();
    s.not_udp = p_->not_udp;
    s.socket_drops = p_->socket_drops;
    for (int i = 0; i < kDetectors; ++i) {
        const impl::detector& d = p_->det[static_cast<size_t>(i)];
        s.detectors[i] = {d.enabled, d.state, d.fmt, d.meter.packets(), d.meter.frames()};
    }
    return s;
}

void wire_tap::clear_counters() {
    std::lock_guard lock(p_->mu);
    p_->filter.clear_counters();
    p_->not_udp = 0;
    p_->socket_drops = 0;
}

std::string format_stats(const tap_stats& s) {
    std::string out;
    char line[256];
    for (size_t i = 0; i < s.channels.size(); ++i) {
        const channel_counters& c = s.channels[i];
        const filter_rule r = i < s.rules.size() ? s.rules[i] : filter_rule{};
        if (c.packets == 0 && !r.enabled) {
            continue;
        }
        std::snprintf(line, sizeof line,
                      "filter %2zu %-3s %s:%u <- %s:%u flags 0x%x: %llu packets %llu bytes "
                      "%llu gaps %llu ts steps, last ts %u\n",
                      i, r.enabled ? "on" : "off", dotted(r.dst_ip).c_str(), r.dst_port,
                      dotted(r.src_ip).c_str(), r.src_port, r.flags,
                      static_cast<unsigned long long>(c.packets),
                      static_cast<unsigned long long>(c.bytes),
                      static_cast<unsigned long long>(c.seq_gaps),
                      static_cast<unsigned long long>(c.ts_steps), c.last_ts);
        out += line;
    }
    std::snprintf(line, sizeof line,
                  "dropped %llu (no filter channel), %llu not UDP, %llu lost by "
                  "the capture\n",
                  static_cast<unsigned long long>(s.dropped),
                  static_cast<unsigned long long>(s.not_udp),
                  static_cast<unsigned long long>(s.socket_drops));
    out += line;
    static const char* const kStates[] = {"DISABLED", "BUSY", "STREAM_DETECTED", "FORMAT_DETECTED"};
    for (int i = 0; i < kDetectors; ++i) {
        const detector_view& d = s.detectors[i];
        std::snprintf(line, sizeof line,
                      "detector %d %s: %llu packets, %llu frames; format %ux%u cspace %u bpc %u "
                      "trnsp %u rate %u\n",
                      i, d.enabled ? kStates[d.state & 3] : "DISABLED",
                      static_cast<unsigned long long>(d.packets),
                      static_cast<unsigned long long>(d.frames), d.fmt.width, d.fmt.height,
                      d.fmt.cspace, d.fmt.bpc, d.fmt.trnsp, d.fmt.rate);
        out += line;
    }
    return out;
}

}  // namespace nexo::sim
