#include "line_reader.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace nexo::client {

namespace {

using steady = std::chrono::steady_clock;

// Waits for fd to become readable; 1 when it has (or has hung up), 0 on timeout, -1 on error.
int wait_readable(int fd, int timeout_ms) {
    pollfd pfd{fd, POLLIN, 0};
    int r;
    while ((r = ::poll(&pfd, 1, timeout_ms)) < 0 && errno == EINTR) {
    }
    return r;
}

}  // namespace

void line_reader::reset(int fd) {
    fd_ = fd;
    len_ = 0;
    used_ = 0;
}

std::string_view line_reader::next(int timeout_ms) {
    if (used_ > 0) {
        std::memmove(buf_.data(), buf_.data() + used_, len_ - used_);
        len_ -= used_;
        used_ = 0;
    }
    const auto deadline = steady::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        const void* nl = std::memchr(buf_.data(), '\n', len_);
        if (nl != nullptr) {
            used_ = static_cast<std::size_t>(static_cast<const char*>(nl) - buf_.data()) + 1;
            return {buf_.data(), used_};
        }
        if (len_ == buf_.size()) {
            return {};
        }
        int wait = -1;
        if (timeout_ms >= 0) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - steady::now());
            wait = static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
        }
        if (wait_readable(fd_, wait) <= 0) {
            return {};
        }
        ssize_t n = ::read(fd_, buf_.data() + len_, buf_.size() - len_);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue;
        }
        if (n <= 0) {
            return {};
        }
        len_ += static_cast<std::size_t>(n);
    }
}

std::string line_reader::take_held() {
    std::string bytes(held());
    len_ = 0;
    used_ = 0;
    return bytes;
}

void line_reader::discard() {
    len_ = 0;
    used_ = 0;
    // Polled first, so that a blocking descriptor with nothing queued does not wait.
    while (wait_readable(fd_, 0) > 0 && ::read(fd_, buf_.data(), buf_.size()) > 0) {
    }
}

}  // namespace nexo::client
