#include "sandbox.h"

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "unique_fd.h"

namespace nexo::sim {

namespace {

bool entered = false;

bool write_file(const char* path, const std::string& text) {
    unique_fd fd(::open(path, O_WRONLY | O_CLOEXEC));
    if (!fd.valid()) {
        return false;
    }
    return ::write(fd.get(), text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

// Number of threads of this process. unshare(CLONE_NEWNS) moves only the calling thread, and
// CLONE_NEWUSER refuses outright, so entering with a second thread would leave that thread on
// the host.
int thread_count() {
    DIR* d = ::opendir("/proc/self/task");
    if (d == nullptr) {
        return -1;
    }
    int n = 0;
    while (const dirent* e = ::readdir(d)) {
        if (e->d_name[0] != '.') {
            ++n;
        }
    }
    ::closedir(d);
    return n;
}

// A program name without a slash is looked up in PATH here, in the parent, so that the forked
// child only has to call execv (nothing but async-signal-safe calls after fork in a process
// that may have threads).
std::string find_program(const std::string& name) {
    if (name.find('/') != std::string::npos) {
        return name;
    }
    const char* path = std::getenv("PATH");
    std::string dirs = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
    // iproute2 and friends live in sbin, which a normal user's PATH often lacks.
    dirs += ":/usr/local/sbin:/usr/sbin:/sbin";
    size_t start = 0;
    while (start <= dirs.size()) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos) {
            end = dirs.size();
        }
        std::string dir = dirs.substr(start, end - start);
        if (!dir.empty()) {
            std::string candidate = dir + "/" + name;
            if (::access(candidate.c_str(), X_OK) == 0) {
                return candidate;
            }
        }
        start = end + 1;
    }
    return "";
}

bool ip_or_complain(const std::vector<std::string>& args) {
    std::string out;
    int status = ip(args, &out);
    if (status != 0) {
        std::string line = "ip";
        for (const auto& a : args) {
            line += " " + a;
        }
        std::fprintf(stderr, "sandbox: '%s' failed (status %d)\n", line.c_str(), status);
        return false;
    }
    return true;
}

void explain_userns_refusal(int err) {
    std::fprintf(stderr,
                 "sandbox: the kernel refused an unprivileged user namespace (%s).\n"
                 "  Run as root, or allow unprivileged user namespaces:\n"
                 "    sysctl -w kernel.unprivileged_userns_clone=1             (Debian kernels)\n"
                 "    sysctl -w kernel.apparmor_restrict_unprivileged_userns=0 (AppArmor, "
                 "Ubuntu 23.10+)\n"
                 "    sysctl -w user.max_user_namespaces=15000                 (when it is 0)\n",
                 std::strerror(err));
}

}  // namespace

int sandbox_enter() {
    if (entered) {
        return 0;
    }
    int threads = thread_count();
    if (threads != 1) {
        std::fprintf(stderr, "sandbox: must be entered by a single-threaded process (%d threads)\n",
                     threads);
        return -1;
    }

    const uid_t uid = ::geteuid();
    const gid_t gid = ::getegid();
    const bool user_ns = uid != 0;
    int flags = CLONE_NEWNS | CLONE_NEWNET;
    if (user_ns) {
        flags |= CLONE_NEWUSER;
    }
    if (::unshare(flags) != 0) {
        int err = errno;
        if (user_ns) {
            explain_userns_refusal(err);
        } else {
            std::fprintf(stderr, "sandbox: unshare(mount, net): %s (CAP_SYS_ADMIN needed)\n",
                         std::strerror(err));
        }
        return -1;
    }
    if (user_ns) {
        // setgroups must be denied before an unprivileged process may write gid_map.
        if (!write_file("/proc/self/setgroups", "deny") ||
            !write_file("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1\n") ||
            !write_file("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1\n")) {
            std::fprintf(stderr, "sandbox: cannot map user %u to root in the user namespace: %s\n",
                         uid, std::strerror(errno));
            return -1;
        }
    }

    // Without this, our mounts would propagate back to the host's shared / (systemd makes it
    // shared) and the tmpfs on /run would appear there.
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        std::fprintf(stderr, "sandbox: making / private: %s\n", std::strerror(errno));
        if (user_ns) {
            explain_userns_refusal(errno);
        }
        return -1;
    }
    // /var/run is a symlink to /run: this gives the daemon and the peers private FIFOs, and
    // `ip netns add` below puts its bind mount here too.
    if (::mount("tmpfs", "/run", "tmpfs", MS_NOSUID | MS_NODEV, "mode=755") != 0) {
        std::fprintf(stderr, "sandbox: mounting a tmpfs on /run: %s\n", std::strerror(errno));
        if (user_ns) {
            explain_userns_refusal(errno);
        }
        return -1;
    }
    // The sysfs mounted on the host shows the host's interfaces; a fresh one shows ours, as
    // `ip netns exec` does. Not essential (the daemon asks the kernel by ioctl), so only warn.
    // The old one may refuse to go (locked in a user namespace); the new one then covers it.
    (void)::umount2("/sys", MNT_DETACH);
    if (::mount("sysfs", "/sys", "sysfs", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0) {
        std::fprintf(stderr, "sandbox: warning: remounting /sys: %s\n", std::strerror(errno));
    }
    entered = true;

    const std::string eth1_cidr = std::string(kEth1Addr) + "/24";
    const std::string host_cidr = std::string(kHostAddr) + "/24";
    // wire0 lives in a namespace of its own: with both ends in one namespace the kernel would
    // route locally and never send ARP, which the daemon's MAC resolution relies on.
    bool ok = ip_or_complain({"link", "set", "lo", "up"}) &&
              ip_or_complain({"link", "add", "eth1", "address", kEth1Mac, "type", "veth", "peer",
                              "name", "wire0", "address", kHostMac}) &&
              ip_or_complain({"netns", "add", kHostNetns}) &&
              ip_or_complain({"link", "set", "wire0", "netns", kHostNetns}) &&
              ip_or_complain({"-n", kHostNetns, "link", "set", "lo", "up"}) &&
              ip_or_complain({"-n", kHostNetns, "addr", "add", host_cidr, "dev", "wire0"}) &&
              ip_or_complain({"-n", kHostNetns, "link", "set", "wire0", "up"}) &&
              ip_or_complain({"addr", "add", eth1_cidr, "dev", "eth1"}) &&
              ip_or_complain({"link", "set", "eth1", "up"});
    if (!ok) {
        entered = false;
        return -1;
    }
    return 0;
}

bool in_sandbox() {
    return entered;
}

std::vector<char*> exec_argv(std::vector<std::string>& words) {
    std::vector<char*> p;
    p.reserve(words.size() + 1);
    for (std::string& w : words) {
        p.push_back(w.data());
    }
    p.push_back(nullptr);
    return p;
}

int run(const std::vector<std::string>& argv, std::string* out) {
    if (argv.empty()) {
        return -1;
    }
    const std::string path = find_program(argv[0]);
    if (path.empty()) {
        std::fprintf(stderr, "sandbox: %s: not found\n", argv[0].c_str());
        return -1;
    }
    std::vector<std::string> words = argv;
    std::vector<char*> args = exec_argv(words);

    int out_pipe[2] = {-1, -1};
    if (out != nullptr && ::pipe2(out_pipe, O_CLOEXEC) != 0) {
        return -1;
    }
    unique_fd out_rd(out_pipe[0]);
    unique_fd out_wr(out_pipe[1]);
    // The child reports a failed exec through this pipe; a successful exec closes it.
    int exec_pipe[2];
    if (::pipe2(exec_pipe, O_CLOEXEC) != 0) {
        return -1;
    }
    unique_fd exec_rd(exec_pipe[0]);
    unique_fd exec_wr(exec_pipe[1]);

    pid_t pid = ::fork();
    if (pid < 0) {
        return -1;
    }
    if (pid == 0) {
        // Only async-signal-safe calls from here: the parent may have threads.
        int devnull = ::open("/dev/null", O_RDONLY);
        if (devnull >= 0) {
            ::dup2(devnull, 0);
        }
        if (out_wr.valid()) {
            ::dup2(out_wr.get(), 1);
        }
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::signal(SIGPIPE, SIG_DFL);
        ::execv(path.c_str(), args.data());
        int err = errno;
        (void)!::write(exec_wr.get(), &err, sizeof err);
        ::_exit(127);
    }
    exec_wr.reset();
    out_wr.reset();
    if (out_rd.valid()) {
        char buf[4096];
        for (;;) {
            ssize_t n = ::read(out_rd.get(), buf, sizeof buf);
            if (n > 0) {
                out->append(buf, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                break;
            }
        }
    }
    int exec_err = 0;
    ssize_t got;
    do {
        got = ::read(exec_rd.get(), &exec_err, sizeof exec_err);
    } while (got < 0 && errno == EINTR);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            return -1;
        }
    }
    if (got == static_cast<ssize_t>(sizeof exec_err)) {
        std::fprintf(stderr, "sandbox: exec %s: %s\n", path.c_str(), std::strerror(exec_err));
        return -1;
    }
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    return 128 + WTERMSIG(status);
}

pid_t spawn(const std::vector<std::string>& argv, const std::string& log_path) {
    if (argv.empty()) {
        return -1;
    }
    const std::string path = find_program(argv[0]);
    unique_fd log(::open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    unique_fd devnull(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    if (path.empty() || !log.valid() || !devnull.valid()) {
        std::fprintf(stderr, "sandbox: cannot start %s\n", argv[0].c_str());
        return -1;
    }
    // Everything is prepared before fork: the child of a threaded process may only make
    // async-signal-safe calls.
    std::vector<std::string> words = argv;
    std::vector<char*> args = exec_argv(words);
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(devnull.get(), 0);
        ::dup2(log.get(), 1);
        ::dup2(log.get(), 2);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::signal(SIGPIPE, SIG_DFL);
        ::execv(path.c_str(), args.data());
        ::_exit(127);
    }
    return pid;
}

int end_child(pid_t pid, int sig, std::chrono::milliseconds grace) {
    if (pid <= 0) {
        return -1;
    }
    ::kill(pid, sig);
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + grace;
    pid_t got = 0;
    while ((got = ::waitpid(pid, &status, WNOHANG)) == 0 &&
           std::chrono::steady_clock::now() < deadline) {
        ::usleep(10000);
    }
    if (got == 0) {
        ::kill(pid, SIGKILL);
        got = ::waitpid(pid, &status, 0);
    }
    if (got != pid) {
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int ip(const std::vector<std::string>& args, std::string* out) {
    std::vector<std::string> argv{"ip"};
    argv.insert(argv.end(), args.begin(), args.end());
    return run(argv, out);
}

int run_on_host(const std::vector<std::string>& argv, std::string* out) {
    std::vector<std::string> full{"ip", "netns", "exec", kHostNetns};
    full.insert(full.end(), argv.begin(), argv.end());
    return run(full, out);
}

bool on_host_thread(const std::function<void()>& fn) {
    bool entered = false;
    std::thread t([&] {
        // The namespace is this thread's alone; the others stay on the board's side.
        unique_fd ns(
            ::open((std::string("/run/netns/") + kHostNetns).c_str(), O_RDONLY | O_CLOEXEC));
        if (!ns.valid() || ::setns(ns.get(), CLONE_NEWNET) != 0) {
            return;
        }
        entered = true;
        fn();
    });
    t.join();
    return entered;
}

std::string read_file(const std::string& path) {
    unique_fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) {
        return "";
    }
    // /proc files report a size of 0: read until end of file.
    std::string text;
    char buf[4096];
    for (;;) {
        ssize_t n = ::read(fd.get(), buf, sizeof buf);
        if (n > 0) {
            text.append(buf, static_cast<size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            break;
        }
    }
    return text;
}

}  // namespace nexo::sim
