#include "nmos_node.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <sstream>
#include <thread>

#include "sandbox.h"
#include "unique_fd.h"

namespace nexo::sim {

namespace {

using std::chrono::milliseconds;

bool connect_to(const std::string& address, int port, unique_fd* out) {
    unique_fd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    if (::inet_pton(AF_INET, address.c_str(), &a.sin_addr) != 1) {
        return false;
    }
    if (!s.valid() || ::connect(s.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        return false;
    }
    *out = std::move(s);
    return true;
}

// Copies both ways until either side closes.
void pump(unique_fd a, unique_fd b) {
    pollfd fds[2] = {{a.get(), POLLIN, 0}, {b.get(), POLLIN, 0}};
    char buf[16384];
    while (::poll(fds, 2, -1) >= 0) {
        for (int i = 0; i < 2; ++i) {
            if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
                continue;
            }
            ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
            if (n <= 0) {
                return;
            }
            for (ssize_t off = 0; off < n;) {
                ssize_t w = ::write(fds[1 - i].fd, buf + off, static_cast<size_t>(n - off));
                if (w <= 0) {
                    return;
                }
                off += w;
            }
        }
    }
}

}  // namespace

std::string nmos_binary() {
    const char* env = std::getenv("NEXO_NMOS_BINARY");
    return env != nullptr && *env != '\0' ? env : NEXO_NMOS_PATH;
}

int outside_listener(int port) {
    unique_fd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    int one = 1;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    if (!s.valid() || ::setsockopt(s.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
        ::bind(s.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(s.get(), 16) != 0) {
        std::fprintf(stderr, "nexo-sim: cannot listen on port %d: %s\n", port,
                     std::strerror(errno));
        return -1;
    }
    return s.release();
}

struct port_forward::impl {
    unique_fd outside;
    std::string address;
    int port = 0;
    std::thread thread;
    std::atomic<bool> stopping{false};
};

port_forward::port_forward(int outside_fd, int port, std::string address)
    : p_(std::make_unique<impl>()) {
    p_->outside.reset(outside_fd);
    p_->address = std::move(address);
    p_->port = port;
    p_->thread = std::thread([p = p_.get()] {
        while (!p->stopping) {
            pollfd pfd{p->outside.get(), POLLIN, 0};
            if (::poll(&pfd, 1, 200) <= 0) {
                continue;
            }
            unique_fd in(::accept4(p->outside.get(), nullptr, nullptr, SOCK_CLOEXEC));
            unique_fd to;
            if (in.valid() && connect_to(p->address, p->port, &to)) {
                std::thread(pump, std::move(in), std::move(to)).detach();
            }
        }
    });
}

port_forward::~port_forward() {
    p_->stopping = true;
    p_->thread.join();
}

struct nmos_node::impl {
    pid_t pid = -1;
    int port = 0;
    unique_fd out_read;
    std::thread reader;
    std::unique_ptr<port_forward> forward;
    mutable std::mutex mu;
    std::string output;
};

nmos_node::nmos_node() : p_(std::make_unique<impl>()) {}

nmos_node::~nmos_node() {
    stop();
}

bool nmos_node::start(int port, const std::vector<std::string>& extra, int outside_fd) {
    p_->port = port;
    int pipefd[2];
    if (::pipe2(pipefd, O_CLOEXEC) != 0) {
        return false;
    }
    unique_fd rd(pipefd[0]), wr(pipefd[1]);
    std::vector<std::string> args = {nmos_binary(), "--pipes", "/run", "--port",
                                     std::to_string(port)};
    args.insert(args.end(), extra.begin(), extra.end());
    // Further arguments for a node started by nexo-sim, e.g. "--registry http://192.0.2.1:8235".
    if (const char* env = std::getenv("NEXO_NMOS_ARGS"); env != nullptr) {
        std::istringstream words(env);
        for (std::string w; words >> w;) {
            args.push_back(w);
        }
    }
    std::vector<char*> argv = exec_argv(args);
    pid_t pid = ::fork();
    if (pid < 0) {
        return false;
    }
    if (pid == 0) {
        ::dup2(wr.get(), 1);
        ::dup2(wr.get(), 2);
        ::execv(argv[0], argv.data());
        _exit(127);
    }
    p_->pid = pid;
    wr.reset();
    p_->out_read = std::move(rd);
    p_->reader = std::thread([this] {
        char buf[4096];
        ssize_t n;
        while ((n = ::read(p_->out_read.get(), buf, sizeof buf)) > 0) {
            std::lock_guard lk(p_->mu);
            p_->output.append(buf, static_cast<size_t>(n));
        }
    });
    // Up once it accepts connections.
    bool up = false;
    for (int i = 0; i < 200 && !up; ++i) {
        unique_fd probe;
        up = connect_to("127.0.0.1", port, &probe);
        if (!up) {
            int st;
            if (::waitpid(pid, &st, WNOHANG) == pid) {
                p_->pid = -1;
                return false;
            }
            std::this_thread::sleep_for(milliseconds(25));
        }
    }
    if (up && outside_fd >= 0) {
        p_->forward = std::make_unique<port_forward>(outside_fd, port);
    }
    return up;
}

int nmos_node::stop() {
    p_->forward.reset();
    int code = -1;
    if (p_->pid > 0) {
        ::kill(p_->pid, SIGTERM);
        int st = 0;
        for (int i = 0; i < 200; ++i) {
            if (::waitpid(p_->pid, &st, WNOHANG) == p_->pid) {
                code = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
                break;
            }
            std::this_thread::sleep_for(milliseconds(25));
        }
        if (code < 0) {
            ::kill(p_->pid, SIGKILL);
            ::waitpid(p_->pid, &st, 0);
        }
        p_->pid = -1;
    }
    if (p_->reader.joinable()) {
        p_->reader.join();
    }
    return code;
}

pid_t nmos_node::pid() const {
    return p_->pid;
}

std::string nmos_node::output() const {
    std::lock_guard lk(p_->mu);
    return p_->output;
}

}  // namespace nexo::sim
