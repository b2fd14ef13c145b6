// nexo-wire-bench: how many packets per second the simulated board's receive path keeps up
// with on this machine — IPv4/UDP parsing, the decapsulation filter with its per-channel
// counters, and the video meter of each detector — without the capture itself.
//
//   nexo-wire-bench [--seconds S] [--streams N] [--rounds R]
//
// N video streams of 1280x720p50 4:2:2 10-bit (3200 bytes a line, packets of up to 1400 bytes
// with lines split across packets, as a real sender packs them) to N filter channels, plus one
// datagram in ten to a group no channel takes. Packets are built once and replayed with fresh
// sequence numbers and timestamps. Prints the median of R rounds and what the meters measured.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "decap_filter.h"
#include "video_meter.h"

namespace {

using namespace nexo::sim;

constexpr uint32_t kWidth = 1280;
constexpr uint32_t kHeight = 720;
constexpr uint32_t kLineBytes = kWidth * 5 / 2;  // 10-bit 4:2:2: 5 bytes per 2 pixels
constexpr size_t kMaxRtp = 1400;
constexpr uint32_t kTicksPerFrame = 90000 / 50;

void put16(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

void put32(uint8_t* p, uint32_t v) {
    put16(p, v >> 16);
    put16(p + 2, v);
}

// The RTP packets of one frame: as many whole or partial lines as fit, split on pixel groups.
std::vector<std::vector<uint8_t>> frame_packets() {
    std::vector<std::vector<uint8_t>> out;
    uint32_t line = 0;
    uint32_t offset = 0;  // pixels
    while (line < kHeight) {
        std::vector<uint8_t> rtp(14, 0);
        rtp[0] = 0x80;
        rtp[1] = 96;
        struct seg {
            uint32_t line, offset, bytes;
        };
        std::vector<seg> segs;
        size_t room = kMaxRtp - 14;
        while (line < kHeight && room > 6 + 5) {
            room -= 6;
            const uint32_t left = (kWidth - offset) * 5 / 2;
            const uint32_t bytes = std::min<uint32_t>(left, static_cast<uint32_t>(room / 5 * 5));
            segs.push_back({line, offset, bytes});
            room -= bytes;
            offset += bytes * 2 / 5;
            if (offset == kWidth) {
                offset = 0;
                ++line;
            }
        }
        for (size_t i = 0; i < segs.size(); ++i) {
            uint8_t h[6];
            put16(h, segs[i].bytes);
            put16(h + 2, segs[i].line);
            put16(h + 4, segs[i].offset | (i + 1 < segs.size() ? 0x8000 : 0));
            rtp.insert(rtp.end(), h, h + 6);
        }
        for (const seg& s : segs) {
            rtp.insert(rtp.end(), s.bytes, 0x80);
        }
        if (line == kHeight) {
            rtp[1] |= 0x80;
        }
        out.push_back(std::move(rtp));
    }
    return out;
}

std::vector<uint8_t> datagram(uint32_t dst, uint16_t dport, const std::vector<uint8_t>& rtp) {
    const size_t udp_len = 8 + rtp.size();
    std::vector<uint8_t> p(20 + udp_len, 0);
    p[0] = 0x45;
    put16(p.data() + 2, static_cast<uint32_t>(p.size()));
    p[8] = 64;
    p[9] = 17;
    put32(p.data() + 12, 0xc0000214);  // 192.0.2.20
    put32(p.data() + 16, dst);
    put16(p.data() + 20, 40000);
    put16(p.data() + 22, dport);
    put16(p.data() + 24, static_cast<uint32_t>(udp_len));
    std::copy(rtp.begin(), rtp.end(), p.begin() + 28);
    return p;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Packets per second through the filter model and the video meters."};
    double seconds = 1.0;
    unsigned streams = 4;
    unsigned rounds = 5;
    app.add_option("--seconds", seconds, "length of one round (default 1)")
        ->check(CLI::PositiveNumber);
    app.add_option("--streams", streams, "video streams, 1 to 4 (default 4)")
        ->check(CLI::Range(1, 4));
    app.add_option("--rounds", rounds, "rounds, the median is reported (default 5)")
        ->check(CLI::Range(1, 100));
    CLI11_PARSE(app, argc, argv);

    const std::vector<std::vector<uint8_t>> frame = frame_packets();
    // Interleave the streams packet by packet, and one datagram in ten nobody asked for.
    std::vector<std::vector<uint8_t>> wire;
    for (const auto& rtp : frame) {
        for (unsigned s = 0; s < streams; ++s) {
            wire.push_back(datagram(0xef010101 + s, 5004, rtp));
            if (wire.size() % 10 == 9) {
                wire.push_back(datagram(0xef0101ff, 5004, rtp));
            }
        }
    }

    decap_filter filter;
    std::vector<filter_rule> rules(16);
    for (unsigned s = 0; s < streams; ++s) {
        rules[s] = {0, 0xef010101 + s, 0, 5004, kFlagDstIp | kFlagDstPort, true};
    }
    filter.set_rules(rules);
    video_meter meters[4];

    uint16_t seq[4] = {};
    uint32_t ts[4] = {};
    std::vector<double> rates;
    for (unsigned r = 0; r < rounds; ++r) {
        uint64_t n = 0;
        const auto start = std::chrono::steady_clock::now();
        const auto end = start + std::chrono::duration<double>(seconds);
        auto now = start;
        while (now < end) {
            for (unsigned s = 0; s < streams; ++s) {
                ts[s] += kTicksPerFrame;
            }
            for (std::vector<uint8_t>& p : wire) {
                const unsigned s = p[19] - 1;  // low byte of the group
                uint8_t* rtp = p.data() + 28;
                if (s < streams) {
                    put16(rtp + 2, seq[s]++);
                    put32(rtp + 4, ts[s]);
                }
                udp_view v;
                if (parse_ipv4_udp(p.data(), p.size(), v)) {
                    const int chan = filter.account(v);
                    if (chan >= 0 && chan < 4) {
                        meters[chan].feed(v.payload, v.len);
                    }
                }
            }
            n += wire.size();
            now = std::chrono::steady_clock::now();
        }
        rates.push_back(static_cast<double>(n) /
                        std::chrono::duration<double>(now - start).count());
    }
    std::sort(rates.begin(), rates.end());
    const double median = rates[rates.size() / 2];
    std::printf("%u streams of 1280x720p50 10-bit, %zu packets a frame each, 1 in 10 unmatched\n",
                streams, frame.size());
    // The model reads headers only, so bytes per second would say nothing about it.
    std::printf(
        "median %.0f packets/s (min %.0f, max %.0f) over %u rounds of %.1f s; %.0f ns a "
        "packet\n",
        median, rates.front(), rates.back(), rounds, seconds, 1e9 / median);
    for (unsigned s = 0; s < streams; ++s) {
        const detected_format f = meters[s].format();
        std::printf(
            "channel %u: %llu packets, %llu gaps; measured %ux%u cspace %u bpc %u trnsp %u "
            "rate %u\n",
            s, static_cast<unsigned long long>(filter.counters(s).packets),
            static_cast<unsigned long long>(filter.counters(s).seq_gaps), f.width, f.height,
            f.cspace, f.bpc, f.trnsp, f.rate);
    }
    std::printf("dropped %llu\n", static_cast<unsigned long long>(filter.dropped()));
    return 0;
}
