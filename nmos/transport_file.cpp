// Reads the few lines of a session description that the receiver's transport needs: the media
// line, its connection address, its source filter and its payload type. The channel's format
// itself is left to the channel's own settings.
#include "transport_file.h"

#include <arpa/inet.h>

#include <sstream>

namespace nexo::nmos {

namespace {

const char* expected_media(channel_kind k) {
    switch (k) {
        case channel_kind::video:
            return "video/raw";
        case channel_kind::audio:
            return "audio/L24";
        case channel_kind::data:
            break;
    }
    return "video/smpte291";
}

bool is_ipv4(const std::string& s) {
    in_addr a{};
    return ::inet_pton(AF_INET, s.c_str(), &a) == 1;
}

}  // namespace

nlohmann::json receiver_caps(const channel_def& ch) {
    nlohmann::json types = nlohmann::json::array({expected_media(ch.kind)});
    if (ch.kind == channel_kind::audio) {
        types.push_back("audio/L16");
    }
    return {{"media_types", types}};
}

transport_file_result read_transport_file(const channel_def& ch, const std::string& sdp) {
    transport_file_result r;
    std::istringstream in(sdp);
    std::string line;
    bool in_media = false, seen_media = false;
    std::string session_c, media_c, encoding;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.rfind("m=", 0) == 0) {
            if (seen_media) {
                break;  // the first media section is the one this board receives
            }
            std::istringstream m(line.substr(2));
            std::string media, proto;
            m >> media >> r.destination_port >> proto >> r.payload_type;
            in_media = seen_media = true;
        } else if (line.rfind("c=IN IP4 ", 0) == 0) {
            std::string addr = line.substr(9);
            addr = addr.substr(0, addr.find('/'));
            (in_media ? media_c : session_c) = addr;
        } else if (in_media && line.rfind("a=rtpmap:", 0) == 0) {
            std::istringstream a(line.substr(9));
            std::string pt, enc;
            a >> pt >> enc;
            encoding = enc.substr(0, enc.find('/'));
        } else if (in_media && line.rfind("a=source-filter:", 0) == 0) {
            std::istringstream a(line.substr(16));
            std::string incl, net, fam, dest, src;
            a >> incl >> net >> fam >> dest >> src;
            if (incl == "incl" && is_ipv4(src)) {
                r.source_ip = src;
            }
        }
    }
    if (!seen_media) {
        r.refusal = "no media section (m=)";
        return r;
    }
    std::string addr = media_c.empty() ? session_c : media_c;
    if (!is_ipv4(addr)) {
        r.refusal = "c=: \"" + addr + "\" is not an IPv4 connection address";
        return r;
    }
    std::string media =
        std::string(ch.kind == channel_kind::audio ? "audio/" : "video/") + encoding;
    std::string want = expected_media(ch.kind);
    if (media != want && !(ch.kind == channel_kind::audio && media == "audio/L16")) {
        r.refusal = "a=rtpmap: " + media + " cannot be received on channel " + ch.token +
                    ", which takes " + want;
        return r;
    }
    in_addr a{};
    ::inet_pton(AF_INET, addr.c_str(), &a);
    if ((ntohl(a.s_addr) >> 28) == 0xe) {
        r.multicast_ip = addr;
    }
    return r;
}

}  // namespace nexo::nmos
