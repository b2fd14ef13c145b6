// Arbitrary bytes from the control client, written in pieces of arbitrary sizes, through the
// line reader and the router, with the peers answering in different ways. Checks that nothing
// crashes or reads past a buffer, that the reader consumes exactly what the pipe semantics say
// (a line and nothing behind it; a partial line dropped; an over-long line dropped up to its
// newline) and that every routed line has one outcome on the pipes.
#include <sys/ioctl.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "nexo-alert-parse.h"
#include "test_ctx.h"

namespace {

// What a peer has queued before the daemon relays to it or asks it something.
const char* const kPeerAnswers[] = {
    "RGET PTP_TIME 1 2\n", "\n", "ERROR\n", "RSET ST2110_DEC_NET_PARAMS 20:0 R 96 OK\n", "RGET X",
};

// Bytes still to come on a link: those it holds and those in its pipe.
int queued(const nexo::pipe_link& l) {
    int n = 0;
    ::ioctl(l.rd_fd.get(), FIONREAD, &n);
    return n + static_cast<int>(nexo::held_bytes(l));
}

void top_up(nexo::test::test_ctx& f, int link, uint8_t pick) {
    if (queued(f.ctx->links[link]) == 0) {
        const char* a = kPeerAnswers[pick % (sizeof kPeerAnswers / sizeof kPeerAnswers[0])];
        ssize_t w = ::write(f.to_daemon[link], a, std::strlen(a));
        (void)w;
    }
}

// The reader's model: what the pipe holds and whether an over-long line is being dropped.
struct model {
    std::string pending;
    bool discarding = false;

    // Applies one read; returns the line the reader must have returned (or "" / "-").
    std::string read() {
        if (discarding) {
            drop_rest();
            return "";
        }
        size_t window = pending.size() < nexo::kLineSize ? pending.size() : nexo::kLineSize;
        size_t nl = pending.find('\n');
        if (nl != std::string::npos && nl < window) {
            std::string line = pending.substr(0, nl + 1);
            pending.erase(0, nl + 1);
            return line;
        }
        if (pending.size() < nexo::kLineSize) {
            pending.clear();
            return "";
        }
        pending.erase(0, nexo::kLineSize);
        discarding = true;
        drop_rest();
        return "-";
    }
    void drop_rest() {
        size_t nl = pending.find('\n');
        if (nl == std::string::npos) {
            pending.clear();
        } else {
            pending.erase(0, nl + 1);
            discarding = false;
        }
    }
};

// Back to the state of a fresh daemon: nothing queued anywhere, no line half dropped.
void reset(nexo::test::test_ctx& f) {
    for (uint32_t link = 0; link < 3; ++link) {
        nexo::flush_input(f.ctx, link);
        f.written(static_cast<int>(link));
        f.ctx->links[link].discarding = false;
    }
    nexo::clear_deferred_alerts(f.ctx);
    nexo::init_chans(f.ctx);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static nexo::test::test_ctx& f = []() -> nexo::test::test_ctx& {
        auto* t = new nexo::test::test_ctx();
        t->ctx->verbose = 0;
        return *t;
    }();
    reset(f);
    model m;
    static char line[nexo::kLineSize + 1];
    size_t pos = 0;
    while (pos < size) {
        // [piece length][peer answer pick][piece bytes]
        size_t len = data[pos++] % 64;
        uint8_t pick = pos < size ? data[pos++] : 0;
        if (len > size - pos) {
            len = size - pos;
        }
        std::string piece(reinterpret_cast<const char*>(data + pos), len);
        pos += len;
        if (!piece.empty()) {
            ssize_t w = ::write(f.to_daemon[1], piece.data(), piece.size());
            (void)w;
            m.pending += piece;
        }
        int rounds = 0;
        while (queued(f.ctx->links[1]) > 0 && rounds++ < 64) {
            top_up(f, 0, pick);
            top_up(f, 2, pick + 1);
            int32_t n = nexo::read_line(f.ctx, 1, line);
            std::string expected = m.read();
            if (expected == "-") {
                if (n != -1) {
                    __builtin_trap();
                }
                nexo::send_error_reply(f.ctx, 1);
                m.pending.clear();
            } else if (expected.empty()) {
                if (n != 0) {
                    __builtin_trap();
                }
            } else {
                if (n != static_cast<int32_t>(expected.size()) ||
                    std::memcmp(line, expected.data(), expected.size()) != 0 ||
                    line[nexo::kLineSize] != '\0') {
                    __builtin_trap();
                }
                nexo::route_line(f.ctx, 1, line, n);
                std::string to_client = f.written(1);
                std::string to_peers = f.written(0) + f.written(2);
                if (to_client.empty() && to_peers.empty()) {
                    __builtin_trap();  // a routed line always has an outcome
                }
                if (to_client.find('\n') != to_client.rfind('\n')) {
                    __builtin_trap();  // and at most one line for the client
                }
                // An error reply discards what the client had queued.
                if (to_client == "ERROR\n" && queued(f.ctx->links[1]) == 0) {
                    m.pending.clear();
                    m.discarding = false;
                }
            }
            if (static_cast<size_t>(queued(f.ctx->links[1])) != m.pending.size()) {
                __builtin_trap();
            }
            nexo::handle_deferred_alerts(f.ctx);
            f.written(1);
            f.written(0);
            f.written(2);
        }
    }
    return 0;
}
