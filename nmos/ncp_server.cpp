// Asio's awaitable.hpp (Boost 1.74) uses std::exchange without including <utility>.
#include <utility>
//
#include <openssl/ssl.h>

#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>
#include <cstdio>
#include <deque>
#include <optional>
#include <set>

#include "ncp_protocol.h"
#include "ncp_server.h"

namespace nexo::nmos::ncp {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = net::ip::tcp;

struct session_base {
    virtual ~session_base() = default;
    virtual void notify(const std::vector<property_event>& events) = 0;
    virtual void close() = 0;
};

struct server::impl {
    model& m;
    server_limits lim;
    net::io_context io{1};
    tcp::acceptor acceptor{io};
    std::optional<net::ssl::context> tls;
    request_gate gate;
    // Token checks may wait for the Authorization Server's keys: they run here, off the
    // I/O thread, so that one client's check never holds up the others.
    net::thread_pool checks{1};
    std::set<std::shared_ptr<session_base>> sessions;  // I/O thread only
    std::atomic<std::size_t> count{0};

    impl(model& mm, server_limits l) : m(mm), lim(l) {}
    void accept();
    void start(tcp::socket s);
    void end(const std::shared_ptr<session_base>& s) {
        if (sessions.erase(s) != 0) {
            --count;
        }
    }
};

namespace {

// The query parameter's value in a request target ("" when absent).
std::string query_param(std::string_view target, std::string_view name) {
    auto q = target.find('?');
    if (q == std::string_view::npos) {
        return "";
    }
    std::string_view rest = target.substr(q + 1);
    while (!rest.empty()) {
        auto amp = rest.find('&');
        std::string_view kv = rest.substr(0, amp);
        if (kv.size() > name.size() && kv.substr(0, name.size()) == name &&
            kv[name.size()] == '=') {
            return std::string(kv.substr(name.size() + 1));
        }
        if (amp == std::string_view::npos) {
            break;
        }
        rest = rest.substr(amp + 1);
    }
    return "";
}

template <class Stream>
class session : public session_base, public std::enable_shared_from_this<session<Stream>> {
  public:
    template <class... Args>
    session(server::impl& owner, Args&&... args)
        : owner_(owner), ws_(std::forward<Args>(args)...) {}

    void start() {
        beast::get_lowest_layer(ws_).expires_after(owner_.lim.handshake_time);
        if constexpr (std::is_same_v<Stream, beast::tcp_stream>) {
            read_request();
        } else {
            ws_.next_layer().async_handshake(
                net::ssl::stream_base::server,
                [self = this->shared_from_this()](beast::error_code ec) {
                    if (ec) {
                        return self->finish();
                    }
                    self->read_request();
                });
        }
    }

    void notify(const std::vector<property_event>& events) override {
        if (!open_) {
            return;
        }
        std::string msg = notification_message(state_, events);
        if (!msg.empty()) {
            send(std::move(msg));
        }
    }

    void close() override {
        beast::error_code ec;
        beast::get_lowest_layer(ws_).socket().close(ec);
    }

  private:
    void read_request() {
        parser_.emplace();
        parser_->header_limit(static_cast<std::uint32_t>(owner_.lim.max_request_bytes));
        parser_->body_limit(0);
        http::async_read(ws_.next_layer(), buffer_, *parser_,
                         [self = this->shared_from_this()](beast::error_code ec, std::size_t) {
                             if (ec) {
                                 return self->finish();
                             }
                             self->on_request();
                         });
    }

    void on_request() {
        req_ = parser_->release();
        std::string_view target(req_.target().data(), req_.target().size());
        std::string_view path = target.substr(0, target.find('?'));
        if (path != kPath && path != std::string(kPath) + "/") {
            return refuse(http::status::not_found,
                          "no such endpoint: the control protocol is at " + std::string(kPath));
        }
        if (!websocket::is_upgrade(req_)) {
            return refuse(http::status::bad_request, "a WebSocket upgrade is expected here");
        }
        if (!owner_.gate) {
            return accept();
        }
        std::string authorization(req_[http::field::authorization]);
        if (authorization.empty()) {
            if (std::string token = query_param(target, "access_token"); !token.empty()) {
                authorization = "Bearer " + token;
            }
        }
        net::post(owner_.checks, [self = this->shared_from_this(),
                                  authorization = std::move(authorization)] {
            auto refusal = self->owner_.gate("GET", std::string(kPath) + "/", authorization);
            net::post(self->owner_.io, [self, refusal = std::move(refusal)] {
                if (refusal) {
                    self->refuse(static_cast<http::status>(refusal->code),
                                 refusal->body.dump(-1, ' ', false, json::error_handler_t::replace),
                                 refusal->www_authenticate);
                } else {
                    self->accept();
                }
            });
        });
    }

    void refuse(http::status code, const std::string& body, const std::string& challenge = "") {
        auto res = std::make_shared<http::response<http::string_body>>(code, req_.version());
        res->set(http::field::server, "nexo-nmos");
        res->set(http::field::content_type,
                 body.empty() || body[0] != '{' ? "text/plain" : "application/json");
        if (!challenge.empty()) {
            res->set(http::field::www_authenticate, challenge);
        }
        res->keep_alive(false);
        res->body() = body;
        res->prepare_payload();
        http::async_write(ws_.next_layer(), *res,
                          [self = this->shared_from_this(), res](beast::error_code, std::size_t) {
                              self->finish();
                          });
    }

    void accept() {
        beast::get_lowest_layer(ws_).expires_never();
        websocket::stream_base::timeout t;
        t.handshake_timeout = owner_.lim.handshake_time;
        t.idle_timeout = owner_.lim.idle_time;
        t.keep_alive_pings = true;
        ws_.set_option(t);
        ws_.set_option(websocket::stream_base::decorator(
            [](websocket::response_type& res) { res.set(http::field::server, "nexo-nmos"); }));
        ws_.read_message_max(kMaxMessageBytes);
        ws_.async_accept(req_, [self = this->shared_from_this()](beast::error_code ec) {
            if (ec) {
                return self->finish();
            }
            self->open_ = true;
            self->read();
        });
    }

    void read() {
        ws_.async_read(buffer_,
                       [self = this->shared_from_this()](beast::error_code ec, std::size_t) {
                           if (ec) {
                               // Closed by the client, timed out, or a message over the size limit
                               // (the stream closes with "message too big" then).
                               return self->finish();
                           }
                           self->on_message();
                       });
    }

    void on_message() {
        std::string text = beast::buffers_to_string(buffer_.data());
        buffer_.consume(buffer_.size());
        std::vector<property_event> events;
        std::string reply;
        if (!ws_.got_text()) {
            reply = error_message(status::bad_command_format, "messages are JSON text");
        } else {
            try {
                reply = handle_message(owner_.m, state_, text, &events);
            } catch (const std::exception& e) {
                reply = error_message(status::device_error, "the command failed");
            }
        }
        send(std::move(reply));
        if (!events.empty()) {
            // Every subscriber, this client included, hears of the change after this reply.
            net::post(owner_.io, [&o = owner_, ev = std::move(events)] {
                for (const auto& s : o.sessions) {
                    s->notify(ev);
                }
            });
        }
        if (open_) {
            read();
        }
    }

    void send(std::string msg) {
        if (queued_ + msg.size() > owner_.lim.max_queued_bytes) {
            // It does not read what it is sent: drop it rather than hold its backlog.
            std::fprintf(stderr, "nexo-nmos: control client dropped: %zu bytes unread\n", queued_);
            open_ = false;
            close();
            return;
        }
        queued_ += msg.size();
        out_.push_back(std::move(msg));
        if (out_.size() == 1) {
            write();
        }
    }

    void write() {
        ws_.text(true);
        ws_.async_write(net::buffer(out_.front()),
                        [self = this->shared_from_this()](beast::error_code ec, std::size_t) {
                            self->queued_ -= self->out_.front().size();
                            self->out_.pop_front();
                            if (ec) {
                                self->open_ = false;
                                return self->finish();
                            }
                            if (!self->out_.empty()) {
                                self->write();
                            }
                        });
    }

    // The session leaves the server's list once its last operation ends; the handlers still
    // pending keep it alive until then.
    void finish() {
        open_ = false;
        owner_.end(this->shared_from_this());
    }

    server::impl& owner_;
    websocket::stream<Stream> ws_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::empty_body>> parser_;
    http::request<http::empty_body> req_;
    session_state state_;
    std::deque<std::string> out_;
    std::size_t queued_ = 0;
    bool open_ = false;
};

}  // namespace

void server::impl::start(tcp::socket s) {
    std::shared_ptr<session_base> made;
    if (tls) {
        auto x = std::make_shared<session<beast::ssl_stream<beast::tcp_stream>>>(
            *this, std::move(s), *tls);
        made = x;
        sessions.insert(made);
        ++count;
        x->start();
    } else {
        auto x = std::make_shared<session<beast::tcp_stream>>(*this, std::move(s));
        made = x;
        sessions.insert(made);
        ++count;
        x->start();
    }
}

void server::impl::accept() {
    acceptor.async_accept([this](beast::error_code ec, tcp::socket s) {
        if (ec == net::error::operation_aborted) {
            return;
        }
        if (!ec) {
            if (count >= lim.max_clients) {
                beast::error_code ignored;
                s.close(ignored);
            } else {
                start(std::move(s));
            }
        }
        accept();
    });
}

server::server(model& m, server_limits limits, std::function<bool(ssl_ctx_st&)> tls)
    : p_(std::make_unique<impl>(m, limits)) {
    if (tls) {
        p_->tls.emplace(net::ssl::context::tls_server);
        if (!tls(*p_->tls->native_handle())) {
            p_->tls.reset();
            throw std::runtime_error("the control endpoint's TLS setup failed");
        }
    }
}

server::~server() {
    stop();
    p_->checks.join();
}

void server::set_gate(request_gate gate) {
    p_->gate = std::move(gate);
}

bool server::bind(const std::string& host, int port) {
    beast::error_code ec;
    auto addr = net::ip::make_address(host, ec);
    if (ec) {
        return false;
    }
    tcp::endpoint ep(addr, static_cast<unsigned short>(port));
    p_->acceptor.open(ep.protocol(), ec);
    if (!ec) {
        p_->acceptor.set_option(net::socket_base::reuse_address(true), ec);
    }
    if (!ec) {
        p_->acceptor.bind(ep, ec);
    }
    if (!ec) {
        p_->acceptor.listen(net::socket_base::max_listen_connections, ec);
    }
    return !ec;
}

int server::port() const {
    beast::error_code ec;
    auto ep = p_->acceptor.local_endpoint(ec);
    return ec ? 0 : ep.port();
}

void server::run() {
    p_->accept();
    p_->io.run();
}

void server::stop() {
    net::post(p_->io, [this] {
        beast::error_code ec;
        p_->acceptor.close(ec);
        for (const auto& s : p_->sessions) {
            s->close();
        }
    });
    p_->io.stop();
}

void server::publish(std::vector<property_event> events) {
    if (events.empty()) {
        return;
    }
    net::post(p_->io, [this, ev = std::move(events)] {
        for (const auto& s : p_->sessions) {
            s->notify(ev);
        }
    });
}

std::size_t server::clients() const {
    return p_->count;
}

}  // namespace nexo::nmos::ncp
