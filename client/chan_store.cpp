#include "chan_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>

namespace nexo::client {
namespace {

bool same_name(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

// The stored parameter's value replaces the implied one; parameters the board implies nothing
// for (MAXUDP, RANGE, PAR, channel-order, ...) are added.
void merge_fmtp(std::vector<sdp_fmtp_param>& into, const std::vector<sdp_fmtp_param>& from) {
    for (const sdp_fmtp_param& p : from) {
        auto it = std::find_if(into.begin(), into.end(),
                               [&](const sdp_fmtp_param& q) { return same_name(q.name, p.name); });
        if (it != into.end()) {
            *it = p;
        } else {
            into.push_back(p);
        }
    }
}

}  // namespace

std::string stored_path(const std::string& dir, channel_id channel) {
    return dir + "/" + std::to_string(channel.type) + "-" + std::to_string(channel.index) + ".sdp";
}

bool store_description(const std::string& dir, channel_id channel, std::string_view text,
                       std::string* error) {
    auto fail = [&](const std::string& what) {
        *error = what + ": " + std::strerror(errno);
        return false;
    };
    if (::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
        return fail(dir);
    }
    const std::string path = stored_path(dir, channel);
    const std::string tmp = path + ".tmp";
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        return fail(tmp);
    }
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            const int e = errno;
            ::close(fd);
            ::unlink(tmp.c_str());
            errno = e;
            return fail(tmp);
        }
        done += static_cast<std::size_t>(n);
    }
    if (::fsync(fd) != 0 || ::close(fd) != 0) {
        const int e = errno;
        ::unlink(tmp.c_str());
        errno = e;
        return fail(tmp);
    }
    if (::rename(tmp.c_str(), path.c_str()) != 0) {
        const int e = errno;
        ::unlink(tmp.c_str());
        errno = e;
        return fail(path);
    }
    return true;
}

std::optional<std::string> load_description(const std::string& dir, channel_id channel) {
    std::ifstream in(stored_path(dir, channel), std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string restore_unstored(sdp_session& described, const channel_config& board,
                             const std::string& stored) {
    const std::string ch = board.channel.name();
    sdp_parse_result parsed = parse_sdp(stored);
    if (!parsed.ok() || described.media.size() != 1) {
        return "the description stored for " + ch + " cannot be read";
    }
    channel_plan plan = plan_channel(*parsed.session, board.channel, board.interface);
    // What the board stores, with its own address where the channel says "self".
    channel_config now = board;
    const sdp_connection* conn = effective_connection(described, described.media[0]);
    if (conn != nullptr) {
        now.destination = conn->address;
    }
    plan.config.payload_size = now.payload_size;
    if (plan.refused || plan.config != now) {
        return "the board's configuration of " + ch +
               " has changed since its description was applied";
    }
    const sdp_media& from = parsed.session->media[static_cast<std::size_t>(plan.media_index)];
    sdp_media& to = described.media[0];
    merge_fmtp(to.fmtp, from.fmtp);
    if (to.fmtp_payload_type < 0 && !from.fmtp.empty()) {
        to.fmtp_payload_type = to.rtpmaps.empty() ? 0 : to.rtpmaps.front().payload_type;
    }
    const std::vector<std::string>& refclk =
        !from.ts_refclk.empty() ? from.ts_refclk : parsed.session->ts_refclk;
    if (!refclk.empty()) {
        to.ts_refclk = refclk;
    }
    const std::string& mediaclk = !from.mediaclk.empty() ? from.mediaclk : parsed.session->mediaclk;
    if (!mediaclk.empty()) {
        to.mediaclk = mediaclk;
    }
    described.name = parsed.session->name;
    return "";
}

}  // namespace nexo::client
