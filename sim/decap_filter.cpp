#include "decap_filter.h"

#include <utility>

#include "video_meter.h"

namespace nexo::sim {
namespace {

// Configuration record offsets.
constexpr size_t kCfgSrcIp = 2;
constexpr size_t kCfgSrcPort = 6;
constexpr size_t kCfgDstIp = 8;
constexpr size_t kCfgDstPort = 12;
constexpr size_t kCfgFlags = 16;
static_assert(kCfgFlags + 4 == 20);

constexpr size_t kIpv4MinHeader = 20;
constexpr size_t kUdpHeader = 8;
constexpr uint8_t kProtoUdp = 17;

uint16_t le16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

uint32_t le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

bool matches(const filter_rule& r, const udp_view& p) {
    constexpr uint32_t kAny = kFlagSrcIp | kFlagDstIp | kFlagSrcPort | kFlagDstPort;
    return r.enabled && (r.flags & kAny) != 0 &&
           ((r.flags & kFlagSrcIp) == 0 || r.src_ip == p.src_ip) &&
           ((r.flags & kFlagDstIp) == 0 || r.dst_ip == p.dst_ip) &&
           ((r.flags & kFlagSrcPort) == 0 || r.src_port == p.src_port) &&
           ((r.flags & kFlagDstPort) == 0 || r.dst_port == p.dst_port);
}

}  // namespace

filter_rule decode_filter_record(const std::array<uint8_t, 20>& cfg, uint8_t enable) {
    filter_rule r;
    r.src_ip = read_be32(cfg.data() + kCfgSrcIp);  // dotted order, as the daemon writes it
    r.src_port = le16(cfg.data() + kCfgSrcPort);
    r.dst_ip = read_be32(cfg.data() + kCfgDstIp);
    r.dst_port = le16(cfg.data() + kCfgDstPort);
    r.flags = le32(cfg.data() + kCfgFlags);
    r.enabled = enable != 0;
    return r;
}

bool parse_ipv4_udp(const uint8_t* data, size_t len, udp_view& out) {
    if (len < kIpv4MinHeader || (data[0] >> 4) != 4) {
        return false;
    }
    const size_t ihl = static_cast<size_t>(data[0] & 0x0f) * 4;
    const size_t total = read_be16(data + 2);
    // More fragments, or a fragment offset: the filter sees whole datagrams only.
    const bool fragment = (read_be16(data + 6) & 0x3fff) != 0;
    if (ihl < kIpv4MinHeader || total > len || total < ihl + kUdpHeader || data[9] != kProtoUdp ||
        fragment) {
        return false;
    }
    const uint8_t* udp = data + ihl;
    const size_t udp_len = read_be16(udp + 4);
    if (udp_len < kUdpHeader || udp_len > total - ihl) {
        return false;
    }
    out.src_ip = read_be32(data + 12);
    out.dst_ip = read_be32(data + 16);
    out.src_port = read_be16(udp);
    out.dst_port = read_be16(udp + 2);
    out.payload = udp + kUdpHeader;
    out.len = udp_len - kUdpHeader;
    return true;
}

std::vector<size_t> decap_filter::set_rules(std::vector<filter_rule> rules) {
    std::vector<size_t> changed;
    for (size_t i = 0; i < rules.size() && i < rules_.size(); ++i) {
        const filter_rule& a = rules_[i];
        const filter_rule& b = rules[i];
        if (a.src_ip != b.src_ip || a.dst_ip != b.dst_ip || a.src_port != b.src_port ||
            a.dst_port != b.dst_port || a.flags != b.flags) {
            changed.push_back(i);
            if (i < counters_.size()) {
                counters_[i] = channel_counters{};
            }
        }
    }
    rules_ = std::move(rules);
    if (counters_.size() < rules_.size()) {
        counters_.resize(rules_.size());
    }
    return changed;
}

int decap_filter::classify(const udp_view& p) const {
    for (size_t i = 0; i < rules_.size(); ++i) {
        if (matches(rules_[i], p)) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

int decap_filter::account(const udp_view& p) {
    const int chan = classify(p);
    if (chan < 0) {
        ++dropped_;
        return -1;
    }
    channel_counters& c = counters_[static_cast<size_t>(chan)];
    ++c.packets;
    c.bytes += p.len;
    rtp_info rtp;
    if (parse_rtp(p.payload, p.len, rtp)) {
        if (c.have_seq && rtp.seq != c.next_seq) {
            // A late or repeated packet looks like a jump backwards; count it as one gap.
            const uint16_t missing = static_cast<uint16_t>(rtp.seq - c.next_seq);
            c.seq_gaps += missing < 0x8000 ? missing : 1;
        }
        if (c.packets > 1 && rtp.timestamp != c.last_ts) {
            ++c.ts_steps;
        }
        c.have_seq = true;
        c.next_seq = static_cast<uint16_t>(rtp.seq + 1);
        c.last_ts = rtp.timestamp;
    }
    return chan;
}

const channel_counters& decap_filter::counters(size_t chan) const {
    static const channel_counters none;
    return chan < counters_.size() ? counters_[chan] : none;
}

void decap_filter::clear_counters() {
    for (channel_counters& c : counters_) {
        c = channel_counters{};
    }
    dropped_ = 0;
}

}  // namespace nexo::sim
