// Pipe links: the three named-pipe pairs to the peers, the one-line text protocol and the
// request/reply exchange that the daemon's own requests go through.
//
// Links are numbered 0 (timing daemon), 1 (control client) and 2 (media-transport daemon).
// Operations that check the number return -44 for any other.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "unique_fd.h"

namespace nexo {

// The three links, numbered as every operation names its peer.
enum link_id : uint32_t {
    kLinkTiming = 0,  // timing daemon
    kLinkClient = 1,  // control client
    kLinkMedia = 2,   // media-transport daemon
    kNbrLinks = 3,
};

inline constexpr int32_t kBadLink = -44;  // -ECHRNG
inline constexpr uint32_t kNoLink = 0xFFFFFFFF;
inline constexpr std::size_t kPipePathSize = 64;
// The main loop reads at most this many bytes for one line.
inline constexpr std::size_t kLineSize = 256;
// How much one read of a read pipe may bring in; several lines at once when a peer sends them
// back to back.
inline constexpr std::size_t kHoldSize = 4096;
static_assert(kHoldSize >= 2 * kLineSize, "a line and its successor's start must fit");

struct pipe_link {
    char rd_path[kPipePathSize];  // the pipe the daemon reads
    unique_fd rd_fd;
    char wr_path[kPipePathSize];  // the pipe the daemon writes
    unique_fd wr_fd;
    const char* const* cmds;  // routing keywords, null-terminated
    // Counts the openings and closings of rd_fd, so that a watcher of the descriptor can tell a
    // new pipe from the old one when the number is the same.
    uint32_t rd_opens;
    // Set while the rest of an over-long line is being dropped.
    bool discarding;
    // Set at opening when the read path is not a FIFO: lines are then read one byte per call
    // and nothing is ever held.
    bool rd_bytewise;
    // Set at opening when the write path is not a FIFO: what is sent is then synced (on a FIFO
    // fsync can only fail).
    bool wr_sync;
    // What a read brought in beyond the line taken, held[held_at, held_end). It is input still
    // to come, exactly as if it were queued in the pipe ahead of what the pipe holds: every
    // read of the link takes it first, and whatever drops the pipe's contents drops it too.
    uint32_t held_at;
    uint32_t held_end;
    char held[kHoldSize];
};

// The bytes the link holds, ready to be read without a system call.
inline std::size_t held_bytes(const pipe_link& l) {
    return l.held_end - l.held_at;
}

// Alerts that arrive while an exchange waits for its reply, kept for the main loop in arrival
// order: the text behind "ALRT " as it was read. The pipe layer only keeps them; what an alert
// means is decided when the main loop takes them.
inline constexpr std::size_t kAlertRingSize = 32;
struct alert_ring {
    std::array<std::array<char, kLineSize + 1>, kAlertRingSize> texts;
    std::size_t count;  // queued, from texts[0]
};

// Queues a copy of text, cut to kLineSize characters. false when the ring is full: the main loop
// has not taken the alerts of kAlertRingSize earlier arrivals, and this one is dropped.
bool push_alert(alert_ring& ring, const char* text);
// Empties the ring.
void clear_alerts(alert_ring& ring);

// The pipe layer's share of the daemon context: the links and the alerts kept for the main loop.
struct pipe_set {
    std::array<pipe_link, kNbrLinks> links;
    alert_ring alerts;
};

// Creates the FIFO (mode 0660 whatever the umask) when the path does not exist, opens it for
// reading, non-blocking, and discards what is already queued, held bytes included. 0, -1 after
// a message, or -44.
int32_t open_read_pipe(pipe_set* ctx, uint32_t link);
// The same for the write pipe, opened read-write so that writes never fail for want of a
// reader and wait in the pipe while the peer is away. 0, -1 after a message, or -44.
int32_t open_write_pipe(pipe_set* ctx, uint32_t link);
// 0, or -44.
int32_t close_read_pipe(pipe_set* ctx, uint32_t link);
int32_t close_write_pipe(pipe_set* ctx, uint32_t link);

// Throws away everything queued in the link's read pipe and everything the link holds; the
// last read's result (0 or -1).
int32_t flush_input(pipe_set* ctx, uint32_t link);

// One write of length bytes, then fsync when something was written to a write path that is
// not a FIFO. Bytes written, -1, -44.
int32_t send_message(pipe_set* ctx, uint32_t link, const char* buffer, std::size_t length);

// Waits up to timeout ms and reads once, at most size bytes, into a zeroed buffer; bytes the
// link holds are taken first and count as queued, so there is no wait then. The length
// of the text without its final newline (size when the buffer filled up, its last byte then
// zeroed), 0 on timeout or end of file, -1 on error or hang-up (the pipe is then reopened), -44.
int32_t await_message(pipe_set* ctx, uint32_t link, char* buffer, std::size_t size, int timeout_ms);

// Discards what the peer has queued, then writes "ERROR\n". The write's result.
int32_t send_error_reply(pipe_set* ctx, uint32_t link);

// 0 when reply begins with prefix then keyword, -1 otherwise, 1 when it was an alert (kept in
// the ring for the main loop), -22 when reply is missing.
int32_t reply_check(pipe_set* ctx, char* reply, const char* prefix, const char* keyword);

// 0 and *value set behind "RGET <keyword> " when reply begins so; -1 otherwise.
int32_t get_reply_val(const char* reply, const char* keyword, const char** value);

// Sends request (a "GET " or "SET " line) and waits 200 ms for a line that begins with
// "RGET "/"RSET " and keyword, waiting afresh after every alert. reply may be the request's own
// buffer. 0 accepted, -1 refused or no reply, or the failed send's or wait's result.
int32_t send_and_check_cmd(pipe_set* ctx, uint32_t link, const char* request, const char* keyword,
                           char* reply, std::size_t size);

// Reads one line from the link's read pipe into buffer (kLineSize + 1 bytes, zeroed first).
// Every byte behind the newline stays input to come: held by the link when the read brought
// it in, else queued in the pipe. Returns the line's length with its newline, 0 when no
// complete line was there (a partial line is consumed and dropped), or -1 for the first piece
// of a line of kLineSize bytes or more without newline: the line is then dropped up to and
// including its newline, now or as it arrives.
int32_t read_line(pipe_set* ctx, uint32_t link, char* buffer);

}  // namespace nexo
