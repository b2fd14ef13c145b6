// Arbitrary rtnetlink datagrams through the address walk: it must never read past the bytes
// received, whatever the lengths say.
#include <cstdint>
#include <cstring>
#include <memory>

#include "nexo-net.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // An exact-size heap copy, so that a read past the datagram is caught.
    auto buf = std::make_unique<uint8_t[]>(size);
    if (size > 0) {
        std::memcpy(buf.get(), data, size);
    }
    nexo::net_if_rec rec = {"eth1", {}, {}, 0, nexo::unique_fd(), 7};
    nexo::apply_netlink_datagram(rec, buf.get(), size);
    // Whatever came in, the address and its flag agree.
    if (!(rec.flags & nexo::kNetIfIpValid) && rec.ip_addr != std::array<uint8_t, 4>{0, 0, 0, 0}) {
        __builtin_trap();
    }
    return 0;
}
