// http_limits: what one HTTP client may cost the node. Every connection gets a thread of its own
// (up to a cap), a request must arrive whole within a time limit, and the bytes of its request
// line and headers and of its body are counted as they are read, so that neither a slow, an idle
// nor a talkative client can hold the node's workers or its memory.
#pragma once

#include <httplib.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace nexo::nmos {

struct http_limits {
    std::size_t max_connections = 1000;             // served at once; further ones are closed
    std::size_t max_header_bytes = 32 * 1024;       // request line and headers of one request
    std::size_t max_headers = 100;                  // header fields of one request (else 431)
    std::size_t max_body_bytes = 256 * 1024;        // body of one request (else 413)
    std::size_t max_json_depth = 32;                // nesting of a JSON body (else 400)
    std::chrono::milliseconds request_time{10000};  // first byte to end of body
    std::chrono::milliseconds idle_time{5000};      // between requests on one connection
    std::size_t keep_alive_requests = 100;          // requests on one connection
};

// True when `text`, read as JSON, nests arrays and objects no deeper than `max_depth`. Counts
// brackets outside strings without building anything, so that it is safe on any input; whether
// the text is JSON at all is left to the parser.
bool json_depth_within(std::string_view text, std::size_t max_depth);

// The most the node reads of an answer to its own requests.
inline constexpr std::size_t kMaxRegistryReply = 1024 * 1024;  // a registry's (it echoes)
inline constexpr std::size_t kMaxManifest = 64 * 1024;         // a sender's description

// Sends `req` through `c`, reading at most `max_body` bytes of the answer's body (into *body
// when not null). The status, or 0 when nothing usable came back or the body was longer.
int bounded_request(httplib::Client& c, httplib::Request req, std::size_t max_body,
                    std::string* body = nullptr);

// httplib's server with the limits above: its own keep-alive loop over a stream that counts
// and times what it reads, and a thread per connection. With `setup_tls` it serves https only:
// the TLS context is made once and handed to `setup_tls` (false: the server is not valid), each
// connection's handshake must end within the request time, and the same limits apply to the
// decrypted bytes.
class bounded_server : public httplib::Server {
  public:
    explicit bounded_server(const http_limits& limits,
                            std::function<bool(SSL_CTX&)> setup_tls = nullptr);
    ~bounded_server() override;
    bounded_server(const bounded_server&) = delete;
    bounded_server& operator=(const bounded_server&) = delete;

    bool is_valid() const override;
    bool serves_tls() const { return tls_wanted_; }
    // bind_to_port() with a backlog that holds a burst of connections (the library's is 5, and
    // a dropped SYN costs its client a second).
    bool bind_with_backlog(const std::string& host, int port);
    // Checks run before routing, after the server's own (header count, encoding): the first
    // that handles a request answers it.
    void add_pre_routing(HandlerWithResponse gate);

  private:
    bool process_and_close_socket(socket_t sock) override;
    http_limits limits_;
    SSL_CTX* tls_ = nullptr;
    bool tls_wanted_ = false;
    HandlerWithResponse gate_;
};

}  // namespace nexo::nmos
