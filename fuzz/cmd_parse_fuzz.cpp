// Arbitrary lines through the command interpreter: no crash, no read past the line, and no
// reply longer than the largest reply buffer (76 bytes).
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "nexo-cmd-parse.h"
#include "test_ctx.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static nexo::test::test_ctx* f = [] {
        auto* t = new nexo::test::test_ctx();
        t->ctx->verbose = 0;
        return t;
    }();
    if (size == 0 || size > nexo::kLineSize) {
        return 0;
    }
    // The external program of PTP master mode is not run under the fuzzer.
    static constexpr char kMaster[] = "SET PTP_MASTER_ENA";
    if (size >= sizeof kMaster - 1 && std::memcmp(data, kMaster, sizeof kMaster - 1) == 0) {
        return 0;
    }
    // The line as the main loop hands it over: its bytes and a terminating zero, nothing more.
    auto line = std::make_unique<char[]>(size + 1);
    std::memcpy(line.get(), data, size);
    line[size] = '\0';
    // Peers answer at once: the media-transport daemon accepts whatever it is asked.
    static const char kAnswer[] = "RSET ST2110_DEC_NET_PARAMS OK\n";
    ssize_t w = ::write(f->to_daemon[2], kAnswer, sizeof kAnswer - 1);
    (void)w;
    nexo::process_input_cmd(f->ctx, line.get(), static_cast<int32_t>(size), 1);
    std::string reply = f->written(1);
    f->written(0);
    f->written(2);
    char junk[256];
    while (::read(f->ctx->links[2].rd_fd.get(), junk, sizeof junk) > 0) {
    }
    if (reply.size() > 75) {
        __builtin_trap();
    }
    // Channels change only through the commands; reset so that each input starts afresh.
    nexo::init_chans(f->ctx);
    return 0;
}
