#include "board.h"

#include <signal.h>

#include <chrono>
#include <thread>

#include "fifo.h"
#include "fpga.h"
#include "links.h"
#include "peer.h"
#include "switch_fabric.h"
#include "wire_tap.h"

namespace nexo::sim {

namespace {

using clock = std::chrono::steady_clock;

bool fifos_exist(const std::string& dir) {
    for (const nexo::client::link_pipes& link : nexo::client::kLinkPipes) {
        for (const char* name : {link.daemon_reads, link.daemon_writes}) {
            if (!nexo::client::is_fifo(dir + "/" + name)) {
                return false;
            }
        }
    }
    return true;
}

}  // namespace

struct board::impl {
    std::unique_ptr<fpga> dev;
    std::unique_ptr<peer_sim> timing;
    std::unique_ptr<peer_sim> media;
    daemon_process daemon;
    std::unique_ptr<control_client> client;
    std::unique_ptr<wire_tap> tap;
    bool started = false;
};

board::board(board_options opts) : p_(std::make_unique<impl>()) {
    const std::string dir = nexo::client::kPipeDir;
    // The switch first: it settles while the rest starts.
    const bool switch_ok = !opts.streams || switch_enable() == 0;
    p_->dev = std::make_unique<fpga>(opts.omit_nodes);
    p_->timing = std::make_unique<peer_sim>(peer_kind::timing, dir);
    p_->media = std::make_unique<peer_sim>(peer_kind::media, dir);
    if (opts.start_peers) {
        p_->timing->start();
        p_->media->start();
    }
    p_->client = std::make_unique<control_client>(dir);
    if (!opts.start_daemon) {
        return;
    }
    daemon_options d = opts.daemon;
    std::vector<std::string> env = p_->dev->preload_env();
    env.insert(env.end(), d.env.begin(), d.env.end());  // later entries win
    d.env = std::move(env);
    if (!p_->daemon.start(d)) {
        return;
    }
    // The daemon opens its pipes before it detaches, so they should be there already. It hooks
    // SIGINT and SIGTERM after detaching and then sets its running flag once more, so a signal
    // is only sure to stop it once the banner that follows is out.
    const auto deadline = clock::now() + std::chrono::seconds(5);
    while (!fifos_exist(dir) && clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    p_->started = fifos_exist(dir) && p_->daemon.wait_stderr(kStartBanner, std::chrono::seconds(5));
    p_->started = p_->started && switch_ok;
    if (p_->started && opts.streams) {
        p_->tap = std::make_unique<wire_tap>(*p_->dev);
        std::string error;
        p_->started = switch_wait_settled() && p_->tap->start("eth1", &error);
    }
}

board::~board() {
    p_->tap.reset();
    p_->client.reset();
    if (p_->daemon.running()) {
        p_->daemon.stop(SIGTERM);
    }
    if (p_->media) {
        p_->media->stop();
    }
    if (p_->timing) {
        p_->timing->stop();
    }
    p_->media.reset();
    p_->timing.reset();
    p_->dev.reset();
}

fpga& board::dev() {
    return *p_->dev;
}
peer_sim& board::timing() {
    return *p_->timing;
}
peer_sim& board::media() {
    return *p_->media;
}
daemon_process& board::daemon() {
    return p_->daemon;
}
wire_tap* board::tap() {
    return p_->tap.get();
}
control_client& board::client() {
    return *p_->client;
}
bool board::started() const {
    return p_->started;
}

}  // namespace nexo::sim
