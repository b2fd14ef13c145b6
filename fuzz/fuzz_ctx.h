// A daemon context wired to real pipes for the fuzz targets (no FIFOs, devices or sockets).
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <string>

#include "nexo.h"

namespace nexo::fuzz {

struct fuzz_ctx {
    nexo_cfg* ctx;
    std::array<int, 3> from_daemon{-1, -1, -1};
    std::array<int, 3> to_daemon{-1, -1, -1};

    fuzz_ctx() : ctx(new nexo_cfg{}) {
        init_config(ctx);
        ctx->verbose = 0;
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
        int p[2];
        if (::pipe2(p, O_NONBLOCK) == 0) {
            ctx->peek_rd.reset(p[0]);
            ctx->peek_wr.reset(p[1]);
        }
        if_list.flags = kNetIfMacValid | kNetIfIpValid;
        if_list.ip_addr = {192, 0, 2, 10};
        if_list.ifindex = 7;
    }
    ~fuzz_ctx() {
        for (int fd : from_daemon) {
            ::close(fd);
        }
        for (int fd : to_daemon) {
            ::close(fd);
        }
        delete ctx;
    }
    fuzz_ctx(const fuzz_ctx&) = delete;
    fuzz_ctx& operator=(const fuzz_ctx&) = delete;

    std::string drain(int link) {
        std::string out;
        char buf[1024];
        ssize_t n;
        while ((n = ::read(from_daemon[link], buf, sizeof buf)) > 0) {
            out.append(buf, static_cast<size_t>(n));
        }
        return out;
    }
};

}  // namespace nexo::fuzz
