// The pipe transport: the client library's exchange, its outcome told as a link_reply.
#include "control_link.h"

namespace nexo::nmos {

pipe_control_link::pipe_control_link(std::string dir, std::chrono::milliseconds timeout)
    : exchange_(std::move(dir), timeout, [this](const std::string& message) { why_ = message; }) {}

client::link_reply pipe_control_link::exchange(const std::string& line) {
    std::lock_guard guard(mu_);
    why_.clear();
    // The session's pipe is opened with its first line, so that a session that sends nothing
    // takes nothing from the other clients.
    if (sessions_ > 0 && !exchange_.in_session()) {
        (void)exchange_.begin_session();
    }
    client::link_reply r;
    r.status = static_cast<client::link_status>(exchange_.exchange(line, &r.text));
    if (r.status == client::link_status::failure) {
        r.text = why_.empty() ? "the nexo daemon cannot be reached" : why_;
    }
    return r;
}

void pipe_control_link::begin_session() {
    std::lock_guard guard(mu_);
    ++sessions_;
}

void pipe_control_link::end_session() {
    std::lock_guard guard(mu_);
    if (--sessions_ == 0) {
        exchange_.end_session();
    }
}

}  // namespace nexo::nmos
