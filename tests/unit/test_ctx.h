// A daemon context for tests and fuzz targets that run the modules in this process: start
// values as at start-up, and real pipes in place of the links' FIFOs, so that a test reads
// exactly the bytes the daemon writes.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <string>

#include "nexo-cmd-parse.h"
#include "nexo.h"

namespace nexo::test {

struct test_ctx {
    nexo_cfg* ctx = nullptr;
    // For each link: the test's end of the pipe the daemon writes, and of the one it reads.
    std::array<int, 3> from_daemon{-1, -1, -1};
    std::array<int, 3> to_daemon{-1, -1, -1};

    test_ctx() {
        ctx = new nexo_cfg{};
        init_config(ctx);
        ctx->verbose = 1;
        for (int link = 0; link < 3; ++link) {
            int out[2];
            int in[2];
            if (::pipe2(out, O_NONBLOCK) == 0) {
                from_daemon[link] = out[0];
                ctx->links[link].wr_fd.reset(out[1]);
            }
            if (::pipe2(in, O_NONBLOCK) == 0) {
                to_daemon[link] = in[1];
                ctx->links[link].rd_fd.reset(in[0]);
            }
        }
        if_list.flags = kNetIfMacValid | kNetIfIpValid;
        if_list.ip_addr = {192, 0, 2, 10};
        if_list.mac = {0x02, 0, 0, 0, 0, 0x10};
        if_list.ifindex = 7;
        channel_mcast_subs = {};
    }
    ~test_ctx() {
        for (int fd : from_daemon) {
            ::close(fd);
        }
        for (int fd : to_daemon) {
            ::close(fd);
        }
        delete ctx;
    }
    test_ctx(const test_ctx&) = delete;
    test_ctx& operator=(const test_ctx&) = delete;

    // Everything the daemon has written to the link so far.
    std::string written(int link) {
        std::string out;
        char buf[512];
        ssize_t n;
        while ((n = ::read(from_daemon[link], buf, sizeof buf)) > 0) {
            out.append(buf, static_cast<size_t>(n));
        }
        return out;
    }
    // Everything still to come on the link from its peer: what the link holds, then what its
    // read pipe has queued. Consumes it.
    std::string pending(int link) {
        pipe_link& l = ctx->links[link];
        std::string out(l.held + l.held_at, held_bytes(l));
        l.held_at = l.held_end = 0;
        char buf[512];
        ssize_t n;
        while ((n = ::read(l.rd_fd.get(), buf, sizeof buf)) > 0) {
            out.append(buf, static_cast<size_t>(n));
        }
        return out;
    }
    void feed(int link, const std::string& bytes) {
        ssize_t n = ::write(to_daemon[link], bytes.data(), bytes.size());
        (void)n;
    }
    // Runs one control line through the interpreter; the reply written on link 1 goes to *out.
    int32_t run(const std::string& line, std::string* out = nullptr) {
        std::string buf = line;
        int32_t r = process_input_cmd(ctx, buf.data(), static_cast<int32_t>(buf.size()), 1);
        std::string w = written(1);
        if (out != nullptr) {
            *out = w;
        }
        return r;
    }
};

}  // namespace nexo::test
