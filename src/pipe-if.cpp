#include "pipe-if.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>


namespace nexo {
namespace {

constexpr int kExchangeWaitMs = 200;

// Restores the file-creation mask on every way out of a pipe opening.
class umask_guard {
public:
    umask_guard() : old_(::umask(0)) {}
    ~umask_guard() { ::umask(old_); }
    umask_guard(const umask_guard&) = delete;
    umask_guard& operator=(const umask_guard&) = delete;

private:
    mode_t old_;
};

// Creates the FIFO when nothing exists at path; a path that exists is used as it is.
bool create_fifo(const char* path, const char* what) {
    struct stat st;
    if (::stat(path, &st) != 0 && ::mkfifo(path, 0660) != 0 && errno != EEXIST) {
        std::fprintf(stderr, "Error creating %s pipe %s. Error: %s\n", what, path,
                     std::strerror(errno));
        return false;
    }
    return true;
}

}  // namespace

int32_t open_read_pipe(pipe_set* ctx, uint32_t link) {
    if (link >= kNbrLinks) {
        return kBadLink;
    }
    pipe_link& l = ctx->links[link];
    l.rd_fd.reset();
    l.discarding = false;
    umask_guard mask;
    if (!create_fifo(l.rd_path, "read")) {
        return -1;
    }
    int fd = ::open(l.rd_path, O_RDONLY | O_NONBLOCK);
    if (fd < 0) {
        std::fprintf(stderr, "Error opening read pipe %s. Error: %s\n", l.rd_path,
                     std::strerror(errno));
        return -1;
    }
    l.rd_fd.reset(fd);
    flush_input(ctx, link);
    return 0;
}

int32_t open_write_pipe(pipe_set* ctx, uint32_t link) {
    if (link >= kNbrLinks) {
        return kBadLink;
    }
    pipe_link& l = ctx->links[link];
    l.wr_fd.reset();
    umask_guard mask;
    if (!create_fifo(l.wr_path, "write")) {
        return -1;
    }
    int fd = ::open(l.wr_path, O_RDWR | O_NONBLOCK);
    if (fd < 0) {
        std::fprintf(stderr, "Error opening write pipe %s. Error: %s\n", l.wr_path,
                     std::strerror(errno));
        return -1;
    }
    l.wr_fd.reset(fd);
    return 0;
}

int32_t close_read_pipe(pipe_set* ctx, uint32_t link) {
    if (link >= kNbrLinks) {
        return kBadLink;
    }
    ctx->links[link].rd_fd.reset();
    return 0;
}

int32_t close_write_pipe(pipe_set* ctx, uint32_t link) {
    if (link >= kNbrLinks) {
        return kBadLink;
    }
    ctx->links[link].wr_fd.reset();
    return 0;
}

int32_t flush_input(pipe_set* ctx, uint32_t link) {
    char junk[8];
    ssize_t n;
    do {
        n = ::read(ctx->links[link].rd_fd.get(), junk, sizeof junk);
    } while (n > 0);
    return static_cast<int32_t>(n);
}

int32_t send_message(pipe_set* ctx, uint32_t link, const char* buffer, std::size_t length) {
    if (link > 2) {
        return kBadLink;
    }
    int fd = ctx->links[link].wr_fd.get();
    ssize_t n = ::write(fd, buffer, length);
    if (n >= 1) {
        ::fsync(fd);
    }
    return static_cast<int32_t>(n);
}

int32_t await_message(pipe_set* ctx, uint32_t link, char* buffer, std::size_t size,
                      int timeout_ms) {
    if (link > 2) {
        return kBadLink;
    }
    pipe_link& l = ctx->links[link];
    pollfd pfd = {l.rd_fd.get(), POLLIN, 0};
    int r = ::poll(&pfd, 1, timeout_ms);
    if (r <= 0) {
        return r;
    }
    if (pfd.revents & POLLIN) {
        std::memset(buffer, 0, size);
        ssize_t n = ::read(pfd.fd, buffer, size);
        if (n == static_cast<ssize_t>(size)) {
            buffer[size - 1] = '\0';
            return static_cast<int32_t>(size);
        }
        if (n >= 1 && buffer[n - 1] == '\n') {
            buffer[n - 1] = '\0';
            return static_cast<int32_t>(n - 1);
        }
        return static_cast<int32_t>(n);
    }
    if (pfd.revents & POLLHUP) {
        l.rd_fd.reset();
        open_read_pipe(ctx, link);
    }
    return -1;
}

int32_t send_error_reply(pipe_set* ctx, uint32_t link) {
    flush_input(ctx, link);
    return static_cast<int32_t>(::write(ctx->links[link].wr_fd.get(), "ERROR\n", 6));
}

bool push_alert(alert_ring& ring, const char* text) {
    if (ring.count == ring.texts.size()) {
        return false;
    }
    std::array<char, kLineSize + 1>& slot = ring.texts[ring.count++];
    std::snprintf(slot.data(), slot.size(), "%s", text);
    return true;
}

void clear_alerts(alert_ring& ring) { ring.count = 0; }

int32_t reply_check(pipe_set* ctx, char* reply, const char* prefix, const char* keyword) {
    if (reply == nullptr) {
        return -22;
    }
    std::size_t plen = std::strlen(prefix);
    if (std::strncmp(reply, prefix, plen) == 0) {
        return std::strncmp(reply + plen, keyword, std::strlen(keyword)) == 0 ? 0 : -1;
    }
    if (std::strncmp(reply, "ALRT ", 5) == 0) {
        push_alert(ctx->alerts, reply + 5);
        return 1;
    }
    return -1;
}

int32_t get_reply_val(const char* reply, const char* keyword, const char** value) {
    if (std::strncmp(reply, "RGET ", 5) != 0) {
        return -1;
    }
    std::size_t klen = std::strlen(keyword);
    if (std::strncmp(reply + 5, keyword, klen) != 0 || reply[5 + klen] != ' ') {
        return -1;
    }
    *value = reply + 5 + klen + 1;
    return 0;
}

int32_t send_and_check_cmd(pipe_set* ctx, uint32_t link, const char* request,
                           const char* keyword, char* reply, std::size_t size) {
    char prefix[8];
    std::snprintf(prefix, sizeof prefix, "R%cET ", request[0]);
    std::size_t len = std::strlen(request);
    int32_t n = send_message(ctx, link, request, len);
    if (n != static_cast<int32_t>(len)) {
        return n;
    }
    for (;;) {
        int32_t r = await_message(ctx, link, reply, size, kExchangeWaitMs);
        if (r < 0) {
            return r;
        }
        if (r == 0) {
            return -1;
        }
        r = reply_check(ctx, reply, prefix, keyword);
        if (r != 1) {
            return r;
        }
    }
}

// --- Line reader -----------------------------------------------------------------------------
//
// The main loop must leave every byte behind a line's newline in the pipe: flushes, reopenings
// and exchanges read what stays there. Reading one byte per call does that but costs a system
// call per byte; instead the reader duplicates what is queued into a scratch pipe with tee(2),
// which consumes nothing, finds the newline in the copy, and then reads exactly the line.

namespace {

constexpr int32_t kNoPeek = -2;

// Copies up to len queued bytes into buf without consuming them: the count, 0 when nothing is
// queued (or the writer is gone), -1 on error, kNoPeek when the descriptor cannot be peeked.
int32_t peek(pipe_set* ctx, int fd, char* buf, std::size_t len) {
    if (!ctx->peek_wr.valid()) {
        return kNoPeek;
    }
    ssize_t n = ::tee(fd, ctx->peek_wr.get(), len, SPLICE_F_NONBLOCK);
    if (n < 0) {
        if (errno == EAGAIN) {
            return 0;
        }
        return errno == EINVAL ? kNoPeek : -1;
    }
    ssize_t got = 0;
    while (got < n) {
        ssize_t r = ::read(ctx->peek_rd.get(), buf + got, static_cast<std::size_t>(n - got));
        if (r <= 0) {
            break;
        }
        got += r;
    }
    return static_cast<int32_t>(got);
}

// Consumes exactly len bytes that a peek has seen.
void consume(int fd, char* scratch, std::size_t len) {
    while (len > 0) {
        ssize_t r = ::read(fd, scratch, len);
        if (r <= 0) {
            return;
        }
        len -= static_cast<std::size_t>(r);
    }
}

// Drops the rest of an over-long line that is queued now; clears the link's discarding mark
// once its newline has gone.
void discard_rest(pipe_set* ctx, pipe_link& l, char* buffer) {
    int fd = l.rd_fd.get();
    for (;;) {
        int32_t n = peek(ctx, fd, buffer, kLineSize);
        if (n == kNoPeek) {
            char c;
            while (::read(fd, &c, 1) == 1) {
                if (c == '\n') {
                    l.discarding = false;
                    return;
                }
            }
            return;
        }
        if (n <= 0) {
            return;
        }
        auto* nl = static_cast<char*>(std::memchr(buffer, '\n', static_cast<std::size_t>(n)));
        if (nl != nullptr) {
            consume(fd, buffer, static_cast<std::size_t>(nl - buffer + 1));
            l.discarding = false;
            return;
        }
        consume(fd, buffer, static_cast<std::size_t>(n));
    }
}

// One byte per read, for a read "pipe" that is not a pipe (tee refuses it). Called only while
// no over-long line is being dropped.
int32_t read_line_bytewise(pipe_link& l, char* buffer) {
    int fd = l.rd_fd.get();
    std::size_t len = 0;
    while (len < kLineSize) {
        if (::read(fd, buffer + len, 1) != 1) {
            std::memset(buffer, 0, kLineSize + 1);
            return 0;
        }
        if (buffer[len++] == '\n') {
            return static_cast<int32_t>(len);
        }
    }
    std::memset(buffer, 0, kLineSize + 1);
    l.discarding = true;
    return -1;
}

}  // namespace

int32_t read_line(pipe_set* ctx, uint32_t link, char* buffer) {
    pipe_link& l = ctx->links[link];
    int fd = l.rd_fd.get();
    std::memset(buffer, 0, kLineSize + 1);
    int32_t n = peek(ctx, fd, buffer, kLineSize);
    if (n == kNoPeek) {
        if (l.discarding) {
            discard_rest(ctx, l, buffer);
            std::memset(buffer, 0, kLineSize + 1);
            return 0;
        }
        int32_t n = read_line_bytewise(l, buffer);
        if (n < 0) {
            discard_rest(ctx, l, buffer);
            std::memset(buffer, 0, kLineSize + 1);
        }
        return n;
    }
    if (n <= 0) {
        return 0;
    }
    if (l.discarding) {
        discard_rest(ctx, l, buffer);
        std::memset(buffer, 0, kLineSize + 1);
        return 0;
    }
    auto* nl = static_cast<char*>(std::memchr(buffer, '\n', static_cast<std::size_t>(n)));
    if (nl != nullptr) {
        auto len = static_cast<std::size_t>(nl - buffer + 1);
        consume(fd, buffer, len);  // the very bytes just peeked at
        std::memset(buffer + len, 0, kLineSize + 1 - len);
        return static_cast<int32_t>(len);
    }
    // No newline among what is queued. A partial line is dropped; a line that fills the whole
    // buffer without ending is dropped up to its newline, whenever that comes.
    std::memset(buffer, 0, kLineSize + 1);
    consume(fd, buffer, static_cast<std::size_t>(n));
    std::memset(buffer, 0, kLineSize + 1);
    if (n < static_cast<int32_t>(kLineSize)) {
        return 0;
    }
    l.discarding = true;
    discard_rest(ctx, l, buffer);
    std::memset(buffer, 0, kLineSize + 1);
    return -1;
}

}  // namespace nexo
