#include "http_limits.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>

namespace nexo::nmos {

namespace {

using steady = std::chrono::steady_clock;
using std::chrono::milliseconds;

// How often a waiting connection looks whether the server is stopping.
constexpr milliseconds kStopCheck{100};
constexpr milliseconds kWriteTime{5000};

// Set on the accepting thread while it closes a connection beyond the cap.
thread_local bool refuse_here = false;
// Set on a connection's thread when a request was answered without its body being read: what
// follows on the connection is no request.
thread_local bool close_after = false;

// A thread per connection while fewer than `cap` are served; beyond that the connection is
// closed at once on the accepting thread. shutdown() waits for the connections to end (they
// notice the stopped server within kStopCheck).
class connection_threads : public httplib::TaskQueue {
  public:
    explicit connection_threads(std::size_t cap) : state_(std::make_shared<state>()), cap_(cap) {}

    void enqueue(std::function<void()> fn) override {
        {
            std::lock_guard lk(state_->mu);
            if (state_->active >= cap_) {
                refuse_here = true;
            } else {
                ++state_->active;
            }
        }
        if (refuse_here) {
            fn();
            refuse_here = false;
            return;
        }
        // The thread keeps the counter alive by itself: it may still be unwinding when
        // shutdown() has seen the count drop and the queue is gone.
        std::thread([s = state_, fn = std::move(fn)] {
            fn();
            std::lock_guard lk(s->mu);
            --s->active;
            s->cv.notify_all();
        }).detach();
    }

    void shutdown() override {
        std::unique_lock lk(state_->mu);
        state_->cv.wait(lk, [this] { return state_->active == 0; });
    }

  private:
    struct state {
        std::mutex mu;
        std::condition_variable cv;
        std::size_t active = 0;
    };
    std::shared_ptr<state> state_;
    std::size_t cap_;
};

// The connection's socket as httplib reads it, one request at a time: a request's bytes are
// counted against the header allowance up to the blank line that ends its headers, then against
// the body allowance, and the whole request must come within its time. A read beyond either
// fails, which ends the connection.
class limited_stream : public httplib::Stream {
  public:
    limited_stream(int fd, const http_limits& l, const std::atomic<socket_t>& listening,
                   SSL* tls = nullptr)
        : fd_(fd), limits_(l), listening_(listening), tls_(tls) {}

    // Waits up to the idle time for the next request; false when none came or the server stops.
    bool next_request() {
        header_bytes_ = body_bytes_ = 0;
        in_body_ = false;
        ends_ = 0;
        if (pos_ == end_ && !tls_pending() && !wait(POLLIN, steady::now() + limits_.idle_time)) {
            return false;
        }
        deadline_ = steady::now() + limits_.request_time;
        return true;
    }

    bool is_readable() const override {
        return pos_ < end_ || tls_pending() || wait(POLLIN, deadline_);
    }
    bool is_writable() const override { return wait(POLLOUT, steady::now() + kWriteTime); }

    ssize_t read(char* ptr, size_t size) override {
        if (pos_ == end_ && !fill()) {
            return -1;
        }
        std::size_t n = std::min(size, end_ - pos_);
        if (!in_body_) {
            // Up to the end of the headers at most, so that the body is counted as body.
            std::size_t k = 0;
            while (k < n && !in_body_) {
                char c = buf_[pos_ + k++];
                ends_ = (c == '\r' && (ends_ == 0 || ends_ == 2))   ? ends_ + 1
                        : (c == '\n' && (ends_ == 1 || ends_ == 3)) ? ends_ + 1
                        : c == '\r'                                 ? 1
                                                                    : 0;
                in_body_ = ends_ == 4;
            }
            n = k;
            header_bytes_ += n;
            if (header_bytes_ > limits_.max_header_bytes) {
                return -1;
            }
        } else {
            body_bytes_ += n;
            if (body_bytes_ > limits_.max_body_bytes) {
                return -1;
            }
        }
        std::copy_n(buf_ + pos_, n, ptr);
        pos_ += n;
        return static_cast<ssize_t>(n);
    }

    ssize_t write(const char* ptr, size_t size) override {
        if (!is_writable()) {
            return -1;
        }
        if (tls_ != nullptr) {
            // The socket blocks, bounded by its send time-out: a whole record or nothing.
            int n = SSL_write(tls_, ptr, static_cast<int>(std::min<size_t>(size, 1 << 30)));
            return n > 0 ? n : -1;
        }
        ssize_t n;
        while ((n = ::send(fd_, ptr, size, MSG_NOSIGNAL)) < 0 && errno == EINTR) {
        }
        return n;
    }

    void get_remote_ip_and_port(std::string& ip, int& port) const override {
        address(::getpeername, ip, port);
    }
    void get_local_ip_and_port(std::string& ip, int& port) const override {
        address(::getsockname, ip, port);
    }
    socket_t socket() const override { return fd_; }

  private:
    bool stopping() const { return listening_ == INVALID_SOCKET; }

    // Polls in short slices until `events` or the deadline, or until the server stops.
    bool wait(short events, steady::time_point deadline) const {
        while (!stopping()) {
            auto left = std::chrono::duration_cast<milliseconds>(deadline - steady::now());
            if (left <= milliseconds{0}) {
                return false;
            }
            pollfd p{fd_, events, 0};
            int r = ::poll(&p, 1, static_cast<int>(std::min(left, kStopCheck).count()));
            if (r > 0) {
                return true;
            }
            if (r < 0 && errno != EINTR) {
                return false;
            }
        }
        return false;
    }

    // Decrypted bytes the TLS layer holds already: readable without the socket.
    bool tls_pending() const { return tls_ != nullptr && SSL_pending(tls_) > 0; }

    bool fill() {
        if (!tls_pending() && !wait(POLLIN, deadline_)) {
            return false;
        }
        if (tls_ != nullptr) {
            // A record may come in pieces; the socket's receive time-out bounds the wait for the
            // rest, and the request's deadline is checked again before the next read.
            int n = SSL_read(tls_, buf_, sizeof buf_);
            if (n <= 0) {
                return false;
            }
            pos_ = 0;
            end_ = static_cast<std::size_t>(n);
            return true;
        }
        ssize_t n;
        while ((n = ::recv(fd_, buf_, sizeof buf_, 0)) < 0 && errno == EINTR) {
        }
        if (n <= 0) {
            return false;
        }
        pos_ = 0;
        end_ = static_cast<std::size_t>(n);
        return true;
    }

    template <typename F>
    void address(F get, std::string& ip, int& port) const {
        sockaddr_storage ss{};
        socklen_t len = sizeof ss;
        ip.clear();
        port = 0;
        if (get(fd_, reinterpret_cast<sockaddr*>(&ss), &len) != 0) {
            return;
        }
        char text[INET6_ADDRSTRLEN] = {};
        if (ss.ss_family == AF_INET) {
            auto* a = reinterpret_cast<sockaddr_in*>(&ss);
            ::inet_ntop(AF_INET, &a->sin_addr, text, sizeof text);
            port = ntohs(a->sin_port);
        } else if (ss.ss_family == AF_INET6) {
            auto* a = reinterpret_cast<sockaddr_in6*>(&ss);
            ::inet_ntop(AF_INET6, &a->sin6_addr, text, sizeof text);
            port = ntohs(a->sin6_port);
        }
        ip = text;
    }

    int fd_;
    const http_limits& limits_;
    const std::atomic<socket_t>& listening_;
    SSL* tls_;
    char buf_[4096];
    std::size_t pos_ = 0, end_ = 0;
    steady::time_point deadline_;
    std::size_t header_bytes_ = 0, body_bytes_ = 0;
    int ends_ = 0;  // how much of "\r\n\r\n" was just read
    bool in_body_ = false;
};

}  // namespace

bool json_depth_within(std::string_view text, std::size_t max_depth) {
    std::size_t depth = 0;
    bool in_string = false;
    bool escaped = false;
    for (char c : text) {
        if (in_string) {
            if (escaped) {
                escaped = false;
            } else if (c == '\\') {
                escaped = true;
            } else if (c == '"') {
                in_string = false;
            }
        } else if (c == '"') {
            in_string = true;
        } else if (c == '[' || c == '{') {
            if (++depth > max_depth) {
                return false;
            }
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return true;
}

int bounded_request(httplib::Client& c, httplib::Request req, std::size_t max_body,
                    std::string* body) {
    std::string got;
    std::size_t total = 0;
    bool too_long = false;
    // Bodies are counted as they arrive (after any decompression), never held beyond the cap.
    req.content_receiver = [&](const char* data, size_t n, uint64_t, uint64_t) {
        total += n;
        if (total > max_body) {
            too_long = true;
            return false;
        }
        if (body != nullptr) {
            got.append(data, n);
        }
        return true;
    };
    httplib::Response res;
    httplib::Error error = httplib::Error::Success;
    if (!c.send(req, res, error) || too_long) {
        return 0;
    }
    if (body != nullptr) {
        *body = std::move(got);
    }
    return res.status;
}

bounded_server::bounded_server(const http_limits& limits, std::function<bool(SSL_CTX&)> setup_tls)
    : limits_(limits), tls_wanted_(setup_tls != nullptr) {
    if (setup_tls) {
        tls_ = SSL_CTX_new(TLS_server_method());
        if (tls_ != nullptr && !setup_tls(*tls_)) {
            SSL_CTX_free(tls_);
            tls_ = nullptr;
        }
    }
    new_task_queue = [cap = limits.max_connections] { return new connection_threads(cap); };
    set_payload_max_length(limits.max_body_bytes);
    // Checked once the headers are in and before the body is read: a compressed body would be
    // inflated without bound by the library, so only plain bodies are taken.
    set_pre_routing_handler(
        [this, max = limits.max_headers](const httplib::Request& req, httplib::Response& res) {
            std::string encoding = req.get_header_value("Content-Encoding");
            if (req.headers.size() > max) {
                res.status = 431;
            } else if (!encoding.empty() && encoding != "identity") {
                res.status = 415;
            } else {
                return gate_ ? gate_(req, res) : HandlerResponse::Unhandled;
            }
            res.set_header("Connection", "close");
            close_after = true;
            return HandlerResponse::Handled;
        });
    // Refusals made here and by the library carry the APIs' error body too.
    set_error_handler(HandlerWithResponse([](const httplib::Request&, httplib::Response& res) {
        if (!res.body.empty()) {
            return HandlerResponse::Unhandled;
        }
        const char* why = res.status == 413   ? "the request body is too large"
                          : res.status == 415 ? "only a body without Content-Encoding is taken"
                          : res.status == 431 ? "too many header fields"
                                              : "the request could not be read";
        nlohmann::json body = {{"code", res.status}, {"error", why}, {"debug", nullptr}};
        res.set_content(body.dump(), "application/json");
        return HandlerResponse::Handled;
    }));
}

bounded_server::~bounded_server() {
    if (tls_ != nullptr) {
        SSL_CTX_free(tls_);
    }
}

bool bounded_server::is_valid() const {
    return !tls_wanted_ || tls_ != nullptr;
}

void bounded_server::add_pre_routing(HandlerWithResponse gate) {
    gate_ = std::move(gate);
}

bool bounded_server::bind_with_backlog(const std::string& host, int port) {
    return bind_to_port(host, port) && ::listen(svr_sock_, SOMAXCONN) == 0;
}

bool bounded_server::process_and_close_socket(socket_t sock) {
    bool ok = false;
    SSL* tls = nullptr;
    if (!refuse_here && tls_ != nullptr) {
        // A client that stalls its handshake, or a record, holds its own thread for at most the
        // request time, never another client's.
        timeval tv{};
        tv.tv_sec = static_cast<time_t>(limits_.request_time.count() / 1000);
        tv.tv_usec = static_cast<suseconds_t>(limits_.request_time.count() % 1000 * 1000);
        ::setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        ::setsockopt(sock, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        tls = SSL_new(tls_);
        if (tls == nullptr || SSL_set_fd(tls, sock) != 1 || SSL_accept(tls) != 1) {
            if (tls != nullptr) {
                SSL_free(tls);
            }
            ::shutdown(sock, SHUT_RDWR);
            ::close(sock);
            return false;
        }
    }
    if (!refuse_here && (tls_ == nullptr || tls != nullptr)) {
        limited_stream s(sock, limits_, svr_sock_, tls);
        for (std::size_t left = limits_.keep_alive_requests; left > 0 && s.next_request(); --left) {
            bool closed = false;
            close_after = false;
            ok = process_request(s, left == 1, closed, nullptr);
            if (!ok || closed || close_after) {
                break;
            }
        }
    }
    if (tls != nullptr) {
        SSL_shutdown(tls);
        SSL_free(tls);
    }
    ::shutdown(sock, SHUT_RDWR);
    ::close(sock);
    return ok;
}

}  // namespace nexo::nmos
