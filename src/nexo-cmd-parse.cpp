#include "nexo-cmd-parse.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "master-mode.h"
#include "nexo-net.h"
#include "nexo.h"
#include "pipe-if.h"
#include "rtp-fmt-det.h"
#include "smpte-2059-if.h"
#include "smpte-2110-strm-ctrl.h"

namespace nexo {
namespace {

constexpr std::size_t kTokSize = 8;
constexpr std::size_t kTokenMax = 12;  // a token or interface name holds at most 11 characters
constexpr char kUrt[] = "URT";

// Keywords of the commands whose queries and settings differ only in the field they reach.
constexpr char kIpSrc[] = "RX_IP_SRC";
constexpr char kIpDest[] = "RX_IP_DEST";
constexpr char kTxTsDelay[] = "RX_TX_TS_DELAY";
constexpr char kReconsDelay[] = "RX_RECONS_DELAY";

bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

// One "%hhu" conversion as sscanf makes it on a word without white space of at most 11
// characters (too short to overflow): an optional sign and at least one digit, the value's low
// 8 bits, negated for '-'. false, *out unchanged, when no digit follows the sign.
bool scan_hhu(const char*& p, unsigned char* out) {
    const char* q = p;
    bool negative = *q == '-';
    if (*q == '-' || *q == '+') {
        ++q;
    }
    if (*q < '0' || *q > '9') {
        return false;
    }
    uint64_t v = 0;
    while (*q >= '0' && *q <= '9') {
        v = v * 10 + static_cast<uint64_t>(*q++ - '0');
    }
    *out = static_cast<unsigned char>(negative ? 0 - v : v);
    p = q;
    return true;
}

// Writes a finished reply to the reply link; what happens to it there is not the handler's
// concern (the reply link 0xFFFFFFFF takes nothing).
void reply(nexo_cfg* ctx, uint32_t link, const char* buf) {
    send_message(ctx, link, buf, std::strlen(buf));
}

char urt_letter(uint32_t proto) {
    return proto <= 2 ? kUrt[proto] : '?';
}

// Length of the word that begins p after white space; the word runs to the next white space.
std::size_t word_len(const char* p) {
    while (std::isspace(static_cast<unsigned char>(*p))) {
        ++p;
    }
    std::size_t n = 0;
    while (p[n] != '\0' && !std::isspace(static_cast<unsigned char>(p[n]))) {
        ++n;
    }
    return n;
}

// The position of c (either case) among the lower-case letters, or -1.
int letter_code(const char* letters, char c) {
    const char* at =
        c != '\0' ? std::strchr(letters, std::tolower(static_cast<unsigned char>(c))) : nullptr;
    return at != nullptr ? static_cast<int>(at - letters) : -1;
}

// The longest reply of any handler, with its terminating zero.
constexpr std::size_t kReplySize = 76;

// Formats a reply as a buffer of size bytes would hold it (cut, then without its line feed)
// and writes it.
[[gnu::format(printf, 4, 5)]] void reply_fmt(nexo_cfg* ctx, uint32_t link, std::size_t size,
                                             const char* fmt, ...) {
    char buf[kReplySize];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(buf, size < sizeof buf ? size : sizeof buf, fmt, ap);
    va_end(ap);
    reply(ctx, link, buf);
}

// A reply of words only, put together as a formatted print into size bytes would make it: what
// does not fit is cut, then sent without its line feed. The common replies take this way, which
// costs a fraction of the formatted print's.
class reply_text {
  public:
    explicit reply_text(std::size_t size) : cap_(std::min(size, sizeof buf_) - 1) {}

    reply_text& put(const char* s) { return put(s, std::strlen(s)); }
    reply_text& put(const char* s, std::size_t n) {
        n = std::min(n, cap_ - len_);
        std::memcpy(buf_ + len_, s, n);
        len_ += n;
        return *this;
    }
    // A channel token as the client wrote it: at most 8 characters, maybe unterminated.
    reply_text& put_tok(const char* tok) { return put(tok, strnlen(tok, kTokSize)); }

    void send(nexo_cfg* ctx, uint32_t link) { send_message(ctx, link, buf_, len_); }

  private:
    char buf_[kReplySize];
    std::size_t cap_;
    std::size_t len_ = 0;
};

// "RGET <text> <format>\n" in size bytes.
void reply_vid_fmt(nexo_cfg* ctx, uint32_t link, std::size_t size, const char* text,
                   const vid_fmt& fmt) {
    char fmt_text[kVidFmtTextSize];
    vid_fmt_to_string(&fmt, fmt_text, sizeof fmt_text);
    reply_text(size).put("RGET ").put(text).put(" ").put(fmt_text).put("\n").send(ctx, link);
}

// "RSET <keyword> <token> OK\n", the token as the client wrote it (at most 8 characters): every
// such reply fits.
void reply_ok(nexo_cfg* ctx, uint32_t link, const char* keyword, const char* tok) {
    reply_text(kReplySize)
        .put("RSET ")
        .put(keyword)
        .put(" ")
        .put_tok(tok)
        .put(" OK\n")
        .send(ctx, link);
}

// The word after a channel token: 1 "on", 0 "off" (either case), -1 no word, -2 another word.
int on_off_word(const char* rest) {
    char word[8] = {};
    if (std::sscanf(rest, "%7s", word) != 1) {
        return -1;
    }
    if (strcasecmp(word, "off") == 0) {
        return 0;
    }
    return strcasecmp(word, "on") == 0 ? 1 : -2;
}

// A command's channel argument beside the channel: the token as written and where the words
// after it begin.
struct chan_arg {
    char tok[kTokSize];
    char* rest;
};

// Runs body on the channel named after keyword, with its token and the rest; no such channel
// is the handler's -1.
template <typename Body>
int32_t with_chan(nexo_cfg* ctx, const char* keyword, char* text, Body body) {
    chan_arg a = {{}, nullptr};
    st2110_chan* chan = find_st2110_chan(keyword, text, ctx->chans.data(), a.tok, &a.rest);
    return chan != nullptr ? body(*chan, a) : -1;
}

// As with_chan, for a command that only a video channel takes (another is -2).
template <typename Body>
int32_t with_video_chan(nexo_cfg* ctx, const char* keyword, char* text, Body body) {
    return with_chan(ctx, keyword, text, [&](auto& chan, auto& a) {
        return chan.type == kChanVideo ? body(chan, a) : -2;
    });
}

// Sets or clears bit in flags.
void set_flag(uint32_t& flags, uint32_t bit, bool on) {
    flags = on ? (flags | bit) : (flags & ~bit);
}

// "RGET <keyword> <token> <value>\n" in size bytes.
void reply_chan_get(nexo_cfg* ctx, uint32_t link, std::size_t size, const char* keyword,
                    const chan_arg& a, const char* value) {
    reply_text(size)
        .put("RGET ")
        .put(keyword)
        .put(" ")
        .put_tok(a.tok)
        .put(" ")
        .put(value)
        .put("\n")
        .send(ctx, link);
}

// The token copy is 8 bytes and holds no terminating zero when the token has 8 or more
// characters: replies print it with "%.8s".
const char* on_off(bool on) {
    return on ? "ON" : "OFF";
}

}  // namespace

// --- Dispatcher --------------------------------------------------------------------------------

int32_t process_input_cmd(nexo_cfg* ctx, char* line, int32_t length, uint32_t reply_link) {
    if (ctx == nullptr || line == nullptr || length < 1) {
        return -1;
    }
    if (line[length - 1] != '\n') {
        return -1;
    }
    line[length - 1] = '\0';
    const parse_row* list;
    if (std::strncmp(line, "GET ", 4) == 0) {
        list = getcommand_parse_list;
    } else if (std::strncmp(line, "SET ", 4) == 0) {
        list = setcommand_parse_list;
    } else {
        return -1;
    }
    return nexo_parse_command(list, ctx, line + 4, length - 5, reply_link);
}

uint32_t count_args(const char* text) {
    uint32_t words = 0;
    bool in_word = false;
    for (const char* p = text; *p != '\0' && *p != '\n'; ++p) {
        if (is_blank(*p)) {
            in_word = false;
        } else if (!in_word) {
            in_word = true;
            ++words;
        }
    }
    return words == 0 ? 0 : words - 1;
}

int32_t nexo_parse_command(const parse_row* list, nexo_cfg* ctx, char* text, int32_t length,
                           uint32_t reply_link) {
    uint32_t nbr_args = count_args(text);
    for (const parse_row* row = list; row->keyword != nullptr; ++row) {
        if (std::strncmp(text, row->keyword, std::strlen(row->keyword)) != 0) {
            continue;
        }
        if (row->nbr_args == kAnyArgs || row->nbr_args == nbr_args) {
            return row->handler(ctx, text, length, nbr_args, reply_link);
        }
    }
    return -1;
}

st2110_chan* find_st2110_chan(const char* keyword, char* text, st2110_chan* chans, char* tok,
                              char** rest) {
    std::size_t klen = std::strlen(keyword);
    // The character right after the keyword is skipped whatever it is; a text that ends there
    // has no token.
    if (text[klen] == '\0') {
        return nullptr;
    }
    char* start = text + klen + 1;
    std::size_t n = 0;
    while (std::isgraph(static_cast<unsigned char>(start[n]))) {
        if (++n == kTokenMax) {
            return nullptr;
        }
    }
    char token[kTokenMax] = {};
    std::memcpy(token, start, n);
    unsigned char type = 0;
    unsigned char index = 0;
    // "type:index" or a bare type, which names index 0.
    const char* p = token;
    if (!scan_hhu(p, &type)) {
        return nullptr;
    }
    if (*p == ':') {
        ++p;
        scan_hhu(p, &index);
    }
    st2110_chan* found = std::find_if(chans, chans + kNbrChans, [&](const st2110_chan& c) {
        return c.type == type && c.index == index;
    });
    if (found == chans + kNbrChans) {
        return nullptr;
    }
    if (tok != nullptr) {
        // At most 8 characters, zero-filled when shorter, unterminated when not.
        std::memset(tok, 0, kTokSize);
        std::memcpy(tok, token, n < kTokSize ? n : kTokSize);
    }
    if (rest != nullptr) {
        // The character after the token (normally a blank) is skipped whatever it is.
        *rest = start[n] == '\0' ? start + n : start + n + 1;
    }
    return found;
}

st2110_chan* find_st2110_chan_and_if(const char* keyword, char* text, st2110_chan* chans,
                                     uint8_t* net_if, char* tok, char** rest) {
    char token[kTokSize];
    char* after = nullptr;
    st2110_chan* chan = find_st2110_chan(keyword, text, chans, token, &after);
    if (chan == nullptr) {
        return nullptr;
    }
    char name[kTokenMax] = {};
    std::size_t n = 0;
    while (std::isalnum(static_cast<unsigned char>(after[n]))) {
        name[n] = after[n];
        if (++n == kTokenMax) {
            return nullptr;
        }
    }
    if (chan->nbr_if == 0) {
        return nullptr;
    }
    if (std::strcmp(name, chan->ifs[0].net_if->name) != 0) {
        return nullptr;
    }
    *net_if = 0;
    std::memcpy(tok, token, kTokSize);
    if (rest != nullptr) {
        *rest = after[n] == '\0' ? after + n : after + n + 1;
    }
    return chan;
}

int32_t get_if_name_and_state(const char* pair, char* name, std::size_t name_size, uint8_t* state) {
    const char* slash = std::strchr(pair, '/');
    if (slash == nullptr || slash == pair) {
        return -1;
    }
    auto len = std::min(static_cast<std::size_t>(slash - pair), name_size - 1);
    std::memcpy(name, pair, len);
    name[len] = '\0';
    unsigned char st = 0;
    if (std::sscanf(slash + 1, "%hhu", &st) != 1) {
        return -2;
    }
    *state = st;
    return 0;
}

int32_t default_or_uint_val(const char* word, uint32_t* value, uint32_t def) {
    if (strcasecmp(word, "default") == 0) {
        *value = def;
        return 0;
    }
    unsigned int v = 0;
    if (std::sscanf(word, "%u", &v) == 1) {
        *value = v;
        return 0;
    }
    return -1;
}

// --- Queries -----------------------------------------------------------------------------------

int32_t nexo_parse_get_ptp_master_ena(nexo_cfg* ctx, char*, int32_t, uint32_t,
                                      uint32_t reply_link) {
    reply_fmt(ctx, reply_link, 24, "%s%s %c\n", "RGET ", "PTP_MASTER_ENA",
              (ctx->sys_flags & kSysPtpMaster) ? '1' : '0');
    return 0;
}

int32_t nexo_parse_get_rx_vid_fmt(nexo_cfg* ctx, char* text, int32_t, uint32_t,
                                  uint32_t reply_link) {
    return with_chan(ctx, "RX_VID_FMT", text, [&](auto& chan, auto&) {
        vid_fmt* fmt = video_of(chan);
        if (fmt == nullptr) {
            return -2;
        }
        reply_vid_fmt(ctx, reply_link, 64, text, *fmt);
        return 0;
    });
}

int32_t nexo_parse_get_rx_aud_fmt(nexo_cfg* ctx, char* text, int32_t, uint32_t,
                                  uint32_t reply_link) {
    return with_chan(ctx, "RX_AUD_FMT", text, [&](auto& chan, auto& a) {
        aud_fmt* fmt = audio_of(chan);
        if (fmt == nullptr) {
            return -2;
        }
        reply_fmt(ctx, reply_link, 56, "%s%s %.8s %hhu %s %lu %hu\n", "RGET ", "RX_AUD_FMT", a.tok,
                  fmt->nbr_chan, fmt->encoding, static_cast<unsigned long>(fmt->sample_rate),
                  fmt->packet_time);
        return 0;
    });
}

int32_t nexo_parse_get_rx_net_if_nbr(nexo_cfg* ctx, char* text, int32_t, uint32_t,
                                     uint32_t reply_link) {
    uint8_t nbr = 0;
    for (const st2110_chan& c : ctx->chans) {
        nbr = std::max(nbr, c.nbr_if);
    }
    reply_fmt(ctx, reply_link, 28, "%s%s %hhu\n", "RGET ", text, nbr);
    return 0;
}

int32_t nexo_parse_get_rx_net_if_name(nexo_cfg* ctx, char* text, int32_t, uint32_t,
                                      uint32_t reply_link) {
    const char* sp = std::strchr(text, ' ');
    if (sp == nullptr) {
        return -1;
    }
    unsigned char n = 0;
    if (std::sscanf(sp + 1, "%hhu", &n) != 1) {
        return -2;
    }
    if (n != 0) {
        return -3;
    }
    reply_fmt(ctx, reply_link, 32, "%s%s %s\n", "RGET ", text, get_sys_net_if_name(0));
    return 0;
}

int32_t nexo_parse_get_ip_all(nexo_cfg* ctx, const char* keyword, char* text, st2110_chan* chans,
                              uint32_t reply_link) {
    char tok[kTokSize];
    uint8_t i = 0;
    st2110_chan* chan = find_st2110_chan_and_if(keyword, text, chans, &i, tok, nullptr);
    if (chan == nullptr) {
        return -1;
    }
    const st2110_if& e = chan->ifs[i];
    const ip_blk& blk = std::strcmp(keyword, "RX_IP_SRC") == 0 ? e.src : e.dest;
    char addr[20] = "self";
    if (blk.ip != e.net_if->ip_addr) {
        std::snprintf(addr, sizeof addr, "%hhu.%hhu.%hhu.%hhu", blk.ip[0], blk.ip[1], blk.ip[2],
                      blk.ip[3]);
    }
    // A payload size of 0 is left out; the longest reply still fits its 76 bytes.
    char payload[8] = "";
    if (blk.payload_size != 0) {
        std::snprintf(payload, sizeof payload, " %hu", blk.payload_size);
    }
    reply_fmt(ctx, reply_link, kReplySize, "%s%s %.8s %s %c %s %hu %hhu%s\n", "RGET ", keyword, tok,
              e.net_if->name, urt_letter(blk.proto), addr, blk.port, blk.proto_arg, payload);
    return 0;
}

namespace {

template <const char* Keyword>
int32_t get_ip(nexo_cfg* ctx, char* text, int32_t, uint32_t, uint32_t reply_link) {
    return nexo_parse_get_ip_all(ctx, Keyword, text, ctx->chans.data(), reply_link);
}

}  // namespace

int32_t nexo_parse_get_rx_str_ena(nexo_cfg* ctx, char* text, int32_t, uint32_t,
                                  uint32_t reply_link) {
    return with_chan(ctx, "RX_STR_ENA", text, [&](auto& chan, auto& a) {
        reply_chan_get(ctx, reply_link, 40, "RX_STR_ENA", a, on_off(chan.state == kStateOn));
        return 0;
    });
}

int32_t nexo_parse_get_rx_ip_if_ena(nexo_cfg* ctx, char* text, int32_t, uint32_t,
                                    uint32_t reply_link) {
    return with_chan(ctx, "RX_IP_IF_ENA", text, [&](auto& chan, auto&) {
        char buf[60];
        std::snprintf(buf, sizeof buf, "%s%s", "RGET ", text);
        // Pieces and the line feed go in only as far as the buffer holds them.
        auto append = [&buf](const char* piece) {
            std::strncat(buf, piece, sizeof buf - 1 - std::strlen(buf));
        };
        for (uint8_t i = 0; i < chan.nbr_if; ++i) {
            const st2110_if& e = chan.ifs[i];
            if (!(e.flags & kIfAssigned)) {
                continue;
            }
            char piece[12];
            std::snprintf(piece, sizeof piece, " %s/%c", e.net_if->name,
                          (e.flags & kIfEnabled) ? '1' : '0');
            append(piece);
        }
        append("\n");
        reply(ctx, reply_link, buf);
        return 0;
    });
}

namespace {

template <const char* Keyword, uint32_t st2110_chan::*Field>
int32_t get_delay(nexo_cfg* ctx, char* text, int32_t, uint32_t, uint32_t reply_link) {
    return with_chan(ctx, Keyword, text, [&](auto& chan, auto&) {
        if (chan.*Field == kDefault32) {
            reply_fmt(ctx, reply_link, 44, "%s%s %s\n", "RGET ", text, "DEFAULT");
        } else {
            reply_fmt(ctx, reply_link, 44, "%s%s %u\n", "RGET ", text, chan.*Field);
        }
        return 0;
    });
}

}  // namespace

int32_t nexo_parse_get_rx_fmt_auto_det_ena(nexo_cfg* ctx, char* text, int32_t, uint32_t,
                                           uint32_t reply_link) {
    return with_chan(ctx, "RX_FMT_AUTO_DET_ENA", text, [&](auto& chan, auto& a) {
        reply_chan_get(ctx, reply_link, 40, "RX_FMT_AUTO_DET_ENA", a,
                       on_off(chan.flags & kChanAutoDetEnabled));
        return 0;
    });
}

int32_t nexo_parse_get_rx_fmt_auto_det_state(nexo_cfg* ctx, char* text, int32_t, uint32_t,
                                             uint32_t reply_link) {
    return with_video_chan(ctx, "RX_FMT_AUTO_DET_STATE", text, [&](auto& chan, auto& a) {
        char state[20];
        if (get_rtp_vid_fmt_det_state(chan.fmt_det, state, sizeof state) != 0) {
            return -3;
        }
        reply_chan_get(ctx, reply_link, 60, "RX_FMT_AUTO_DET_STATE", a, state);
        return 0;
    });
}

int32_t nexo_parse_get_rx_fmt_auto_det_fmt(nexo_cfg* ctx, char* text, int32_t, uint32_t,
                                           uint32_t reply_link) {
    return with_video_chan(ctx, "RX_FMT_AUTO_DET_FMT", text, [&](auto& chan, auto&) {
        vid_fmt fmt = kVidFmtUnset;
        if (get_rtp_vid_fmt_det_format(chan.fmt_det, &fmt) != 0) {
            return -3;
        }
        reply_vid_fmt(ctx, reply_link, 70, text, fmt);
        return 0;
    });
}

// --- Stream addresses --------------------------------------------------------------------------

int32_t nexo_parse_ip_all(const char* keyword, char* text, uint32_t nbr_args, st2110_chan* chans,
                          uint32_t* pos, uint8_t* net_if) {
    char tok[kTokSize];
    char* rest = nullptr;
    uint8_t i = 0;
    st2110_chan* chan = find_st2110_chan_and_if(keyword, text, chans, &i, tok, &rest);
    if (chan == nullptr) {
        return -1;
    }
    ip_blk blk = {};
    // The address word goes into a 16-byte field: a longer word is refused outright rather
    // than cut, whatever the other words are. It follows the transport letter, whatever that is.
    if (word_len(*rest != '\0' ? rest + 1 : rest) > 15) {
        return -2;
    }
    char letter = 0;
    char word[16] = {};
    unsigned short port = 0;
    unsigned char arg = 0;
    unsigned short payload = 0;
    if (nbr_args == 6) {
        if (std::sscanf(rest, "%c %15s 0x%hx %hhu", &letter, word, &port, &arg) != 4 &&
            std::sscanf(rest, "%c %15s %hu %hhu", &letter, word, &port, &arg) != 4) {
            return -2;
        }
        payload = 1260;
    } else {
        if (std::sscanf(rest, "%c %15s 0x%hx %hhu %hu", &letter, word, &port, &arg, &payload) !=
                5 &&
            std::sscanf(rest, "%c %15s %hu %hhu %hu", &letter, word, &port, &arg, &payload) != 5) {
            return -2;
        }
    }
    blk.port = port;
    blk.proto_arg = arg;
    blk.payload_size = payload;
    int proto = letter_code("urt", letter);
    if (proto < 0) {
        return -3;
    }
    blk.proto = static_cast<uint32_t>(proto);
    st2110_if& e = chan->ifs[i];
    if (strcasecmp(word, "self") == 0) {
        if (!(e.net_if->flags & kNetIfIpValid)) {
            return -4;
        }
        blk.ip = e.net_if->ip_addr;
        blk.mac = e.net_if->mac;
    } else if (std::sscanf(word, "%hhu.%hhu.%hhu.%hhu", &blk.ip[0], &blk.ip[1], &blk.ip[2],
                           &blk.ip[3]) != 4) {
        return -5;
    }
    if (blk.ip[0] == 127) {
        return -6;
    }
    bool is_src = std::strcmp(keyword, "RX_IP_SRC") == 0;
    // A source of 0.x.x.x (0.0.0.0: no source) is allowed; everything else goes by the table.
    if (!(is_src && blk.ip[0] == 0)) {
        for (const illegal_ip_row& row : illegal_ip_addresses) {
            if (row.n == 0) {
                break;
            }
            if (std::memcmp(blk.ip.data(), row.prefix.data(), row.n) == 0) {
                return -6;
            }
        }
    }
    if (is_src) {
        e.src = blk;
    } else {
        blk.ttl = e.dest.ttl;
        blk.tos = e.dest.tos;
        e.dest = blk;
    }
    *pos = static_cast<uint32_t>(chan - chans);
    *net_if = 0;
    return 0;
}

namespace {

// Ends the command text right after the first occurrence of the interface's name (a token
// such as 20eth1 can hold an earlier one than the name itself).
void cut_after_if_name(char* text, const char* name) {
    char* at = std::strstr(text, name);
    if (at != nullptr) {
        at[std::strlen(name)] = '\0';
    }
}

// SET RX_IP_SRC and SET RX_IP_DEST: the address goes into a copy of the table; the live record
// is left, told, programmed and joined again around it. A destination is first announced to the
// media-transport daemon. The failures after the parse count from -2 in the order of the steps.
template <const char* Keyword, ip_blk st2110_if::*Field>
int32_t set_ip_addr(nexo_cfg* ctx, char* text, int32_t, uint32_t nbr_args, uint32_t reply_link) {
    std::array<st2110_chan, kNbrChans> work = ctx->chans;
    uint32_t pos = 0;
    uint8_t i = 0;
    if (nexo_parse_ip_all(Keyword, text, nbr_args, work.data(), &pos, &i) != 0) {
        return -1;
    }
    st2110_chan& live = ctx->chans[pos];
    st2110_chan& chan = work[pos];
    st2110_if& e = chan.ifs[i];
    ip_blk& blk = e.*Field;
    const bool dest = Field == &st2110_if::dest;
    // Leave with the old addresses, which only the live record still holds.
    if (live.state != kStateOff) {
        leave_multicast(ctx, &live);
    }
    int32_t code = -2;
    if (dest) {
        char buf[68];
        std::snprintf(buf, sizeof buf, "%s%s %hhu:%hhu %c %hhu\n", "SET ", "ST2110_DEC_NET_PARAMS",
                      chan.type, chan.index, urt_letter(blk.proto), blk.proto_arg);
        if (send_and_check_cmd(ctx, kLinkMedia, buf, "ST2110_DEC_NET_PARAMS", buf, sizeof buf) !=
            0) {
            return code;
        }
        --code;
        if (blk.ttl == 0) {
            blk.ttl = 64;
        }
    }
    if (get_stream_mac_addr(ctx, &chan, i, &blk) != 0) {
        return code;
    }
    if (dest) {
        e.flags |= kIfDestSet;
    } else if (blk.ip != std::array<uint8_t, 4>{0, 0, 0, 0}) {
        e.flags |= kIfSrcSet;
    } else {
        e.flags &= ~kIfSrcSet;
    }
    if (set_ip_decap_channel_cfg(ctx, &chan, i) != 0) {
        return code - 1;
    }
    live = chan;
    if (live.state != kStateOff) {
        join_multicast(ctx, &live);
    }
    cut_after_if_name(text, live.ifs[i].net_if->name);
    reply_fmt(ctx, reply_link, dest ? 68 : 36, "%s%s OK\n", "RSET ", text);
    return 0;
}

}  // namespace

int32_t nexo_parse_set_rx_ip_if_ena(nexo_cfg* ctx, char* text, int32_t, uint32_t nbr_args,
                                    uint32_t reply_link) {
    if (nbr_args < 2) {
        return -1;
    }
    return with_chan(ctx, "RX_IP_IF_ENA", text, [&](auto& chan, auto& a) {
        // Each pair becomes a string of its own.
        char* end = text + std::strlen(text);
        for (char* p = a.rest; p < end; ++p) {
            if (*p == ' ') {
                *p = '\0';
            }
        }
        char* pair = a.rest;
        for (uint32_t n = 0; n < nbr_args - 1; ++n) {
            // Pairs are taken one after another; one that would start past the text is empty.
            const char* this_pair = pair < end ? pair : "";
            char name[32];
            uint8_t state = 0;
            if (get_if_name_and_state(this_pair, name, sizeof name, &state) != 0) {
                return -2;
            }
            // A name longer than the field is cut there and so never equals the interface's.
            if (chan.nbr_if == 0 || std::strcmp(name, chan.ifs[0].net_if->name) != 0) {
                return -3;
            }
            pair = pair < end ? pair + std::strlen(pair) + 1 : end;
            st2110_if& e = chan.ifs[0];
            bool want = state != 0;
            if (want == ((e.flags & kIfEnabled) != 0)) {
                continue;
            }
            set_flag(e.flags, kIfEnabled, want);
            if (chan.state == kStateOff) {
                continue;
            }
            if (set_ip_if_decap_channel_enable(ctx, &chan, 0, 1) != 0) {
                return -4;
            }
            // Membership changes act only on an entry enabled on its interface.
            e.flags |= kIfEnabled;
            if (want) {
                join_iface_multicast(ctx, &chan, 0);
            } else {
                leave_iface_multicast(ctx, &chan, 0);
            }
            set_flag(e.flags, kIfEnabled, want);
        }
        reply_ok(ctx, reply_link, "RX_IP_IF_ENA", a.tok);
        return 0;
    });
}

// --- Format, enable and delay commands ---------------------------------------------------------

int32_t nexo_parse_set_ptp_master_ena(nexo_cfg* ctx, char* text, int32_t, uint32_t,
                                      uint32_t reply_link) {
    // The first character after the keyword and its one separator; the external program gets it
    // before it is examined.
    char c = text[15];
    if (run_master_mode(c) != 0) {
        return -1;
    }
    if (c == '0') {
        ctx->sys_flags &= ~kSysPtpMaster;
    } else if (c == '1') {
        ctx->sys_flags |= kSysPtpMaster;
    } else {
        return -1;
    }
    reply_fmt(ctx, reply_link, 28, "%s%s OK\n", "RSET ", "PTP_MASTER_ENA");
    return 0;
}

namespace {

template <const char* Keyword, uint32_t st2110_chan::*Field>
int32_t set_delay(nexo_cfg* ctx, char* text, int32_t, uint32_t, uint32_t reply_link) {
    return with_chan(ctx, Keyword, text, [&](auto& chan, auto& a) {
        if (default_or_uint_val(a.rest, &(chan.*Field), kDefault32) != 0) {
            return -2;
        }
        reply_ok(ctx, reply_link, Keyword, a.tok);
        return 0;
    });
}

}  // namespace

int32_t nexo_parse_set_rx_fmt_auto_det_ena(nexo_cfg* ctx, char* text, int32_t, uint32_t,
                                           uint32_t reply_link) {
    return with_video_chan(ctx, "RX_FMT_AUTO_DET_ENA", text, [&](auto& chan, auto& a) {
        int on = on_off_word(a.rest);
        if (on < 0) {
            return on - 2;
        }
        // Takes effect at the next switch-on; clearing it leaves a pending
        // detection pending.
        set_flag(chan.flags, kChanAutoDetEnabled, on != 0);
        reply_ok(ctx, reply_link, "RX_FMT_AUTO_DET_ENA", a.tok);
        return 0;
    });
}

int32_t nexo_parse_set_rx_vid_fmt(nexo_cfg* ctx, char* text, int32_t, uint32_t,
                                  uint32_t reply_link) {
    return with_chan(ctx, "RX_VID_FMT", text, [&](auto& chan, auto& a) {
        if (audio_of(chan) != nullptr) {
            return -2;
        }
        vid_fmt* own = video_of(chan);
        vid_fmt work = own != nullptr ? *own : kVidFmtUnset;

        // Six words; the colour space goes into an 8-byte field and the rate into a 64-byte one,
        // so a longer word is refused rather than cut.
        char cspace[8] = {};
        char rate[64] = {};
        unsigned char bpc = 0;
        char letter = 0;
        unsigned short width = 0;
        unsigned short height = 0;
        if (word_len(a.rest) > sizeof cspace - 1) {
            return -2;
        }
        int used = 0;
        if (std::sscanf(a.rest, "%7s %hhu %c %hu %hu %n", cspace, &bpc, &letter, &width, &height,
                        &used) != 5 ||
            word_len(a.rest + used) > sizeof rate - 1 ||
            std::sscanf(a.rest + used, "%63s", rate) != 1) {
            return -2;
        }
        const colorspace_row* cs = colorspace_by_name(cspace);
        int trnsp = letter_code("ips", letter);
        const f_rate_row* fr = f_rate_by_name(rate);
        if (cs == nullptr || trnsp < 0 || fr == nullptr) {
            return -2;
        }
        work.trnsp = static_cast<uint32_t>(trnsp);
        work.cspace = static_cast<uint32_t>(cs->code);
        work.bpc = bpc;
        work.width = width;
        work.height = height;
        work.rate_num = fr->rate.num;
        work.rate_den = fr->rate.den;

        if (int32_t r = set_rx_vid_fmt(ctx, &chan, work, a.tok, a.rest); r != 0) {
            return r;
        }
        reply_ok(ctx, reply_link, "RX_VID_FMT", a.tok);
        return 0;
    });
}

int32_t nexo_parse_set_rx_aud_fmt(nexo_cfg* ctx, char* text, int32_t, uint32_t,
                                  uint32_t reply_link) {
    return with_chan(ctx, "RX_AUD_FMT", text, [&](auto& chan, auto& a) {
        aud_fmt* own = audio_of(chan);
        if (own == nullptr) {
            return -2;
        }
        unsigned char nbr_chan = 0;
        char encoding[8] = {};
        unsigned long sample_rate = 0;
        unsigned short packet_time = 0;
        if (std::sscanf(a.rest, "%hhu %7s %lu %hu", &nbr_chan, encoding, &sample_rate,
                        &packet_time) != 4) {
            return -3;
        }
        char buf[60];
        std::snprintf(buf, sizeof buf, "%s%s %.8s %s\n", "SET ", "ST2110_DEC_AUD_FMT", a.tok,
                      a.rest);
        if (send_and_check_cmd(ctx, kLinkMedia, buf, "ST2110_DEC_AUD_FMT", buf, sizeof buf) != 0) {
            return -4;
        }
        chan.flags |= kChanFmtConfigured;
        own->nbr_chan = nbr_chan;
        std::memcpy(own->encoding, encoding, sizeof own->encoding);
        own->sample_rate = sample_rate;
        own->packet_time = packet_time;
        reply_ok(ctx, reply_link, "RX_AUD_FMT", a.tok);
        return 0;
    });
}

int32_t nexo_parse_set_rx_str_ena(nexo_cfg* ctx, char* text, int32_t, uint32_t,
                                  uint32_t reply_link) {
    return with_chan(ctx, "RX_STR_ENA", text, [&](auto& chan, auto& a) {
        int on = on_off_word(a.rest);
        if (on < 0) {
            return on - 1;
        }
        // The state machine's codes follow the handler's own -1 to -3.
        if (int32_t r = set_rx_chan_state(ctx, &chan, on ? kStateOn : kStateOff, 0); r != 0) {
            return r - 3;
        }
        reply_ok(ctx, reply_link, "RX_STR_ENA", a.tok);
        return 0;
    });
}

// --- Parse lists ------------------------------------------------------------------------------

// Rows are matched in order and the first whose keyword prefixes the command and whose count
// fits wins: keep this order.
const parse_row getcommand_parse_list[] = {
    {"PTP_MASTER_ENA", 0, nexo_parse_get_ptp_master_ena},
    {"RX_VID_FMT", 1, nexo_parse_get_rx_vid_fmt},
    {"RX_AUD_FMT", 1, nexo_parse_get_rx_aud_fmt},
    {"RX_NET_IF_NBR", 0, nexo_parse_get_rx_net_if_nbr},
    {"RX_NET_IF_NAME", 1, nexo_parse_get_rx_net_if_name},
    {kIpDest, 2, get_ip<kIpDest>},
    {kIpSrc, 2, get_ip<kIpSrc>},
    {"RX_STR_ENA", 1, nexo_parse_get_rx_str_ena},
    {"RX_IP_IF_ENA", 1, nexo_parse_get_rx_ip_if_ena},
    {kTxTsDelay, 1, get_delay<kTxTsDelay, &st2110_chan::tx_ts_delay>},
    {kReconsDelay, 1, get_delay<kReconsDelay, &st2110_chan::recons_delay>},
    {"RX_FMT_AUTO_DET_ENA", 1, nexo_parse_get_rx_fmt_auto_det_ena},
    {"RX_FMT_AUTO_DET_STATE", 1, nexo_parse_get_rx_fmt_auto_det_state},
    {"RX_FMT_AUTO_DET_FMT", 1, nexo_parse_get_rx_fmt_auto_det_fmt},
    {nullptr, 0, nullptr},
};

const parse_row setcommand_parse_list[] = {
    {"PTP_MASTER_ENA", 1, nexo_parse_set_ptp_master_ena},
    {"RX_VID_FMT", 7, nexo_parse_set_rx_vid_fmt},
    {"RX_AUD_FMT", 5, nexo_parse_set_rx_aud_fmt},
    {kIpDest, 6, set_ip_addr<kIpDest, &st2110_if::dest>},
    {kIpDest, 7, set_ip_addr<kIpDest, &st2110_if::dest>},
    {kIpSrc, 6, set_ip_addr<kIpSrc, &st2110_if::src>},
    {kIpSrc, 7, set_ip_addr<kIpSrc, &st2110_if::src>},
    {"RX_STR_ENA", 2, nexo_parse_set_rx_str_ena},
    {"RX_IP_IF_ENA", kAnyArgs, nexo_parse_set_rx_ip_if_ena},
    {kTxTsDelay, 2, set_delay<kTxTsDelay, &st2110_chan::tx_ts_delay>},
    {kReconsDelay, 2, set_delay<kReconsDelay, &st2110_chan::recons_delay>},
    {"RX_FMT_AUTO_DET_ENA", 2, nexo_parse_set_rx_fmt_auto_det_ena},
    {nullptr, 0, nullptr},
};

}  // namespace nexo
