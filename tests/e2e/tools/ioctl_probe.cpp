// ioctl_probe: opens one device node and issues ioctl requests on it, printing what came back.
//
//   ioctl_probe NODE REQUEST ARG BUFLEN [REQUEST ARG BUFLEN]...
//
// ARG is one of
//   none       no argument at all (the request is issued with two arguments)
//   null       a null address
//   value:N    the number N itself as the argument
//   HEX        a record: a heap buffer of exactly BUFLEN bytes, the bytes HEX at its start and
//              0xee in the rest, passed by address ("-" for no bytes)
// Each request prints one line "RESULT ERRNO BYTES", BYTES being the whole buffer afterwards in
// hex, or "-" when no buffer was passed. ERRNO is 0 when RESULT is not -1.
// Exit codes: 0 all requests issued (whatever their results), 2 usage, 3 the node did not open
// (after printing "open ERRNO").
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

int usage() {
    std::fprintf(stderr, "usage: ioctl_probe NODE REQUEST none|null|value:N|HEX BUFLEN ...\n");
    return 2;
}

bool parse_hex(const std::string& s, std::vector<unsigned char>& out) {
    if (s == "-") {
        return true;
    }
    if (s.size() % 2 != 0) {
        return false;
    }
    for (size_t i = 0; i < s.size(); i += 2) {
        char pair[3] = {s[i], s[i + 1], 0};
        char* end = nullptr;
        unsigned long b = std::strtoul(pair, &end, 16);
        if (*end != 0) {
            return false;
        }
        out.push_back(static_cast<unsigned char>(b));
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 5 || (argc - 2) % 3 != 0) {
        return usage();
    }
    int fd = open(argv[1], O_RDWR);
    if (fd < 0) {
        std::printf("open %d\n", errno);
        return 3;
    }
    for (int i = 2; i + 2 < argc; i += 3) {
        unsigned long request = std::strtoul(argv[i], nullptr, 0);
        std::string arg = argv[i + 1];
        size_t len = std::strtoul(argv[i + 2], nullptr, 0);
        int r = 0;
        std::vector<unsigned char> bytes;
        unsigned char* buf = nullptr;
        if (arg == "none") {
            r = ioctl(fd, request);
        } else if (arg == "null") {
            r = ioctl(fd, request, static_cast<void*>(nullptr));
        } else if (arg.rfind("value:", 0) == 0) {
            r = ioctl(fd, request, std::strtoul(arg.c_str() + 6, nullptr, 0));
        } else {
            if (!parse_hex(arg, bytes) || bytes.size() > len) {
                return usage();
            }
            // Exactly len bytes, so that the buffer ends where the caller says it does.
            buf = static_cast<unsigned char*>(std::malloc(len > 0 ? len : 1));
            std::memset(buf, 0xee, len);
            if (!bytes.empty()) {
                std::memcpy(buf, bytes.data(), bytes.size());
            }
            r = ioctl(fd, request, buf);
        }
        int err = r == -1 ? errno : 0;
        std::printf("%d %d ", r, err);
        if (buf == nullptr) {
            std::printf("-");
        }
        for (size_t k = 0; buf != nullptr && k < len; ++k) {
            std::printf("%02x", buf[k]);
        }
        std::printf("\n");
        std::free(buf);
    }
    close(fd);
    return 0;
}
