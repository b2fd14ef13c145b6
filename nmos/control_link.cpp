// The pipe transport: the client library's exchange, its outcome told in the node's terms.
#include "control_link.h"

namespace nexo::nmos {

pipe_control_link::pipe_control_link(std::string dir, std::chrono::milliseconds timeout)
    : exchange_(std::move(dir), timeout, [this](const std::string& message) { why_ = message; }) {}

link_reply pipe_control_link::exchange(const std::string& line) {
    std::lock_guard guard(mu_);
    why_.clear();
    link_reply r;
    std::string got;
    switch (exchange_.exchange(line, &got)) {
        case client::kReply:
        case client::kErrorReply:
            r.what = link_reply::status::reply;
            r.line = std::move(got);
            break;
        case client::kNoReply:
            r.what = link_reply::status::no_reply;
            break;
        default:
            r.what = link_reply::status::no_daemon;
            r.why = why_.empty() ? "the nexo daemon cannot be reached" : why_;
            break;
    }
    return r;
}

}  // namespace nexo::nmos
