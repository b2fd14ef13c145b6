// Session descriptions: the text a stream's sender publishes (one session, one or more media
// sections), read into a record and written back.
//
// The reader is strict about what decides how a stream is received (the order v=, o=, s=; the
// m=, c=, a=rtpmap, a=fmtp, a=ptime and a=source-filter syntax; numbers that must be numbers)
// and lenient where senders' files vary: CRLF or LF line ends, a missing final line end, blank
// lines, extra blanks between words, ';' with or without a following blank, a trailing ';' in
// a=fmtp, an a=fmtp value folded onto lines that begin with blanks, and lines or attributes it
// does not know, which it skips. It never throws and accepts any bytes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace nexo::client {

// A rate as numerator over denominator (exactframerate=30000/1001 is {30000, 1001}).
struct sdp_rate {
    uint64_t num = 0;
    uint32_t den = 1;
    bool operator==(const sdp_rate&) const = default;
};

// c=IN IP4 239.1.1.1/64: network type, address type, address and, for IPv4 multicast, the TTL
// (0 when not written) and the address count (1 when not written).
struct sdp_connection {
    std::string net_type;
    std::string addr_type;
    std::string address;
    uint32_t ttl = 0;
    uint32_t count = 1;
    int line = 0;
    bool operator==(const sdp_connection&) const = default;
};

// a=source-filter: incl IN IP4 <destination or *> <source> [<source>...]
struct sdp_source_filter {
    bool include = true;
    std::string net_type;
    std::string addr_type;
    std::string destination;
    std::vector<std::string> sources;
    int line = 0;
    bool operator==(const sdp_source_filter&) const = default;
};

// a=rtpmap:<payload type> <encoding>/<clock rate>[/<channels>]; channels 0 when not written.
struct sdp_rtpmap {
    int payload_type = -1;
    std::string encoding;
    uint32_t clock_rate = 0;
    uint32_t channels = 0;
    int line = 0;
    bool operator==(const sdp_rtpmap&) const = default;
};

// One parameter of a=fmtp, as written: "width=1920" or the flag "interlace" (no value).
struct sdp_fmtp_param {
    std::string name;
    std::string value;
    bool has_value = false;
    bool operator==(const sdp_fmtp_param&) const = default;
};

// The parameters of a=fmtp that this system knows, read from the list. Names are compared
// without regard to case. Numbers that are not numbers are parse errors; a name written twice
// keeps its last value (DID_SDID collects every value).
struct sdp_format_params {
    // Uncompressed video.
    std::string sampling;
    uint32_t width = 0;  // 0: not given
    uint32_t height = 0;
    std::optional<sdp_rate> exactframerate;
    std::string depth;  // "10", or "16f" for floating point
    std::string colorimetry;
    bool interlace = false;
    bool segmented = false;
    std::string tcs;
    std::string range;
    std::string par;
    std::string pm;
    std::string ssn;
    std::string tp;
    uint32_t maxudp = 0;  // 0: not given
    // Audio.
    std::string channel_order;
    // Ancillary data.
    std::vector<std::string> did_sdid;
    std::string vpid_code;
    bool operator==(const sdp_format_params&) const = default;
};

struct sdp_media {
    int line = 0;       // line number of its m= line (1 is the first line of the text)
    std::string media;  // "video", "audio", ...
    uint32_t port = 0;
    uint32_t port_count = 1;
    std::string proto;                         // "RTP/AVP"
    std::vector<std::string> formats;          // payload types as written
    std::optional<sdp_connection> connection;  // its own c= line
    std::vector<sdp_rtpmap> rtpmaps;
    int fmtp_payload_type = -1;  // -1: no a=fmtp
    int fmtp_line = 0;
    std::vector<sdp_fmtp_param> fmtp;
    sdp_format_params params;          // read from fmtp
    std::optional<uint32_t> ptime_us;  // a=ptime in microseconds (1 ms is 1000)
    std::string ptime_text;            // as written, for messages
    int ptime_line = 0;
    std::vector<sdp_source_filter> source_filters;
    std::vector<std::string> ts_refclk;
    std::string mediaclk;
    std::string mid;
    bool operator==(const sdp_media&) const = default;

    // The rtpmap of the first payload type of the m= line, or null.
    const sdp_rtpmap* first_rtpmap() const;
};

struct sdp_group {
    std::string semantics;  // "DUP"
    std::vector<std::string> mids;
    int line = 0;
    bool operator==(const sdp_group&) const = default;
};

struct sdp_session {
    std::string origin_user = "-";
    std::string origin_session_id = "0";
    std::string origin_version = "0";
    std::string origin_net_type = "IN";
    std::string origin_addr_type = "IP4";
    std::string origin_address = "0.0.0.0";
    std::string name = "-";
    std::optional<sdp_connection> connection;       // session-level c=
    std::vector<sdp_source_filter> source_filters;  // session-level, for every media section
    std::vector<sdp_group> groups;
    std::vector<std::string> ts_refclk;
    std::string mediaclk;
    std::vector<sdp_media> media;
    bool operator==(const sdp_session&) const = default;
};

// Where and why the text is not a session description: the 1-based line number, the line
// as written (without its line end), and what is wrong with it.
struct sdp_error {
    int line = 0;
    std::string text;
    std::string message;
};

struct sdp_parse_result {
    std::optional<sdp_session> session;  // set on success
    sdp_error error;                     // set on failure
    bool ok() const { return session.has_value(); }
};

// Reads a session description. A text without media sections is a description (the caller
// decides whether it has anything to receive).
sdp_parse_result parse_sdp(std::string_view text);

// "line 7: a=rtpmap:96 raw: rtpmap needs <encoding>/<clock rate>"
std::string to_string(const sdp_error& error);

// Writes the record as a session description with CRLF line ends: v=, o=, s=, the session
// c=, t=0 0, the session attributes and every media section with its c=, a=source-filter,
// a=rtpmap, a=fmtp, a=ptime, a=ts-refclk, a=mediaclk and a=mid. Reading the text back gives
// the same record but for the line numbers.
std::string write_sdp(const sdp_session& session);

// The effective connection of a media section: its own c= line, or the session's.
const sdp_connection* effective_connection(const sdp_session& session, const sdp_media& media);
// The effective source filters: the section's own, or the session's.
const std::vector<sdp_source_filter>& effective_source_filters(const sdp_session& session,
                                                               const sdp_media& media);

// "25" or "30000/1001", and back; nullopt for anything else (a zero denominator included).
std::string rate_to_string(sdp_rate rate);
std::optional<sdp_rate> rate_from_string(std::string_view text);

}  // namespace nexo::client
