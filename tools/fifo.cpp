#include "fifo.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>

#include <cerrno>
#include <ctime>

namespace nexo::client {

int make_fifo(const std::string& path, mode_t mode) {
    if (::mkfifo(path.c_str(), mode) == 0) {
        // mkfifo applies the umask, and clearing the umask around it would change it for every
        // thread of the process; chmod is not subject to it.
        return ::chmod(path.c_str(), mode) == 0 ? 0 : errno;
    }
    if (errno != EEXIST) {
        return errno;
    }
    return is_fifo(path) ? 0 : EEXIST;
}

unique_fd open_fifo_rw(const std::string& path, int flags) {
    return unique_fd(::open(path.c_str(), O_RDWR | O_CLOEXEC | flags));
}

unique_fd open_fifo_writer(const std::string& path) {
    return unique_fd(::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
}

bool is_fifo(int fd) {
    struct stat st {};
    return ::fstat(fd, &st) == 0 && S_ISFIFO(st.st_mode);
}

bool is_fifo(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISFIFO(st.st_mode);
}

bool write_all(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        bytes.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

bool write_all_no_sigpipe(int fd, std::string_view bytes) {
    sigset_t pipe_set;
    sigset_t old;
    sigemptyset(&pipe_set);
    sigaddset(&pipe_set, SIGPIPE);
    ::pthread_sigmask(SIG_BLOCK, &pipe_set, &old);
    const bool ok = write_all(fd, bytes);
    const int err = errno;
    if (!ok && err == EPIPE) {
        const timespec zero{};
        ::sigtimedwait(&pipe_set, nullptr, &zero);
    }
    ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
    errno = err;
    return ok;
}

}  // namespace nexo::client
