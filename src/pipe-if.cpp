#include "pipe-if.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
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

bool is_fifo(int fd) {
    struct stat st;
    return ::fstat(fd, &st) == 0 && S_ISFIFO(st.st_mode);
}

void drop_held(pipe_link& l) {
    l.held_at = 0;
    l.held_end = 0;
}

// Moves up to size held bytes to out; how many.
std::size_t take_held(pipe_link& l, char* out, std::size_t size) {
    std::size_t n = std::min(held_bytes(l), size);
    std::memcpy(out, l.held + l.held_at, n);
    l.held_at += static_cast<uint32_t>(n);
    if (l.held_at == l.held_end) {
        drop_held(l);
    }
    return n;
}

}  // namespace

int32_t open_read_pipe(pipe_set* ctx, uint32_t link) {
    if (link >= kNbrLinks) {
        return kBadLink;
    }
    pipe_link& l = ctx->links[link];
    l.rd_fd.reset();
    ++l.rd_opens;
    l.discarding = false;
    drop_held(l);
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
    l.rd_bytewise = !is_fifo(fd);
    flush_input(ctx, link);
    return 0;
}

int32_t open_write_pipe(pipe_set* ctx, uint32_t link) {
    if (link >= kNbrLinks) {
        return kBadLink;
    }
    pipe_link& l = ctx->links[link];
    l.wr_fd.reset();
    l.wr_sync = false;
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
    l.wr_sync = !is_fifo(fd);
    return 0;
}

int32_t close_read_pipe(pipe_set* ctx, uint32_t link) {
    if (link >= kNbrLinks) {
        return kBadLink;
    }
    ctx->links[link].rd_fd.reset();
    ++ctx->links[link].rd_opens;
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
    pipe_link& l = ctx->links[link];
    drop_held(l);
    ssize_t n;
    do {
        n = ::read(l.rd_fd.get(), l.held, sizeof l.held);  // dropped as soon as read
    } while (n > 0);
    return static_cast<int32_t>(n);
}

int32_t send_message(pipe_set* ctx, uint32_t link, const char* buffer, std::size_t length) {
    if (link >= kNbrLinks) {
        return kBadLink;
    }
    const pipe_link& l = ctx->links[link];
    ssize_t n = ::write(l.wr_fd.get(), buffer, length);
    if (n >= 1 && l.wr_sync) {
        ::fsync(l.wr_fd.get());
    }
    return static_cast<int32_t>(n);
}

int32_t await_message(pipe_set* ctx, uint32_t link, char* buffer, std::size_t size,
                      int timeout_ms) {
    if (link >= kNbrLinks) {
        return kBadLink;
    }
    pipe_link& l = ctx->links[link];
    if (held_bytes(l) == 0) {
        pollfd pfd = {l.rd_fd.get(), POLLIN, 0};
        int r = ::poll(&pfd, 1, timeout_ms);
        if (r <= 0) {
            return r;
        }
        if (!(pfd.revents & POLLIN)) {
            if (pfd.revents & POLLHUP) {
                l.rd_fd.reset();
                open_read_pipe(ctx, link);
            }
            return -1;
        }
    }
    // One read of what is queued: the held bytes, then as much of the pipe as still fits.
    std::memset(buffer, 0, size);
    auto n = static_cast<ssize_t>(take_held(l, buffer, size));
    if (n < static_cast<ssize_t>(size)) {
        ssize_t r = ::read(l.rd_fd.get(), buffer + n, size - static_cast<std::size_t>(n));
        if (r > 0 || n == 0) {
            n += r;
        }
    }
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

void clear_alerts(alert_ring& ring) {
    ring.count = 0;
}

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

int32_t send_and_check_cmd(pipe_set* ctx, uint32_t link, const char* request, const char* keyword,
                           char* reply, std::size_t size) {
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
// The main loop takes one line per link and iteration and must leave every byte behind the
// newline as input to come: flushes, reopenings and exchanges deal with what stays. A read
// brings in whatever is queued; what it brought beyond the line is held by the link and is, to
// every other operation, still queued. A line is taken from the first kLineSize bytes of the
// held bytes followed by the pipe's, as if all of them were in the pipe.

namespace {

char* find_newline(pipe_link& l, std::size_t within) {
    return static_cast<char*>(
        std::memchr(l.held + l.held_at, '\n', std::min(held_bytes(l), within)));
}

// Appends one read of what is queued in the pipe to the held bytes, moved to the front first.
// The read's result.
ssize_t read_more(pipe_link& l) {
    std::size_t n = held_bytes(l);
    std::memmove(l.held, l.held + l.held_at, n);
    l.held_at = 0;
    l.held_end = static_cast<uint32_t>(n);
    ssize_t r = ::read(l.rd_fd.get(), l.held + n, sizeof l.held - n);
    if (r > 0) {
        l.held_end += static_cast<uint32_t>(r);
    }
    return r;
}

// Drops the rest of an over-long line, as far as it has come; clears the link's discarding
// mark once its newline has gone. What follows the newline stays.
void discard_rest(pipe_link& l) {
    for (;;) {
        char* nl = find_newline(l, held_bytes(l));
        if (nl != nullptr) {
            l.held_at = static_cast<uint32_t>(nl - l.held + 1);
            l.discarding = false;
            return;
        }
        drop_held(l);
        if (read_more(l) <= 0) {
            return;
        }
    }
}

// The same one byte per read, for a read path that is not a FIFO.
void discard_rest_bytewise(pipe_link& l) {
    char c;
    while (::read(l.rd_fd.get(), &c, 1) == 1) {
        if (c == '\n') {
            l.discarding = false;
            return;
        }
    }
}

// One byte per read: a read path that is not a FIFO is read no further than the line.
int32_t read_line_bytewise(pipe_link& l, char* buffer) {
    if (l.discarding) {
        discard_rest_bytewise(l);
        return 0;
    }
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
    discard_rest_bytewise(l);
    return -1;
}

}  // namespace

int32_t read_line(pipe_set* ctx, uint32_t link, char* buffer) {
    pipe_link& l = ctx->links[link];
    std::memset(buffer, 0, kLineSize + 1);
    if (l.rd_bytewise) {
        return read_line_bytewise(l, buffer);
    }
    if (l.discarding) {
        discard_rest(l);
        return 0;
    }
    char* nl = find_newline(l, kLineSize);
    if (nl == nullptr && held_bytes(l) < kLineSize) {
        read_more(l);
        nl = find_newline(l, kLineSize);
    }
    if (nl != nullptr) {
        std::size_t len =
            take_held(l, buffer, static_cast<std::size_t>(nl - (l.held + l.held_at)) + 1);
        return static_cast<int32_t>(len);
    }
    // No newline in the window. A partial line is all there is and is dropped; a line that
    // fills the whole window is dropped up to its newline, whenever that comes.
    if (held_bytes(l) < kLineSize) {
        drop_held(l);
        return 0;
    }
    l.held_at += static_cast<uint32_t>(kLineSize);
    l.discarding = true;
    discard_rest(l);
    return -1;
}

}  // namespace nexo
