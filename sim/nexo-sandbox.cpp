// nexo-sandbox: runs a program (by default $SHELL) inside the sandbox that stands in for the
// board: private /run, eth1 on a veth whose far end is the "nexo-host" namespace.
//
//   nexo-sandbox [--] [PROGRAM ARGS...]
//
// Exits with the program's status (128+signal when it was killed), or 125 when the sandbox
// cannot be entered, 127 when the program cannot be started. Processes that the program leaves
// behind (a nexo started from the shell detaches) are stopped before exit: they would otherwise
// keep the namespaces alive after we are gone.
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "daemon_process.h"
#include "sandbox.h"

namespace {

volatile sig_atomic_t forward_sig = 0;

void on_signal(int sig) {
    forward_sig = sig;
}

// Stops every process still parented to us: SIGTERM first, SIGKILL after two seconds. Orphans
// of orphans keep arriving while their parents die, so look again until none is left.
void stop_leftovers() {
    using clock = std::chrono::steady_clock;
    const auto kill_at = clock::now() + std::chrono::seconds(2);
    std::set<pid_t> termed;
    bool told = false;
    for (;;) {
        while (::waitpid(-1, nullptr, WNOHANG) > 0) {
        }
        std::vector<pid_t> kids = nexo::sim::child_pids();
        if (kids.empty()) {
            return;
        }
        if (!told) {
            std::fprintf(stderr, "nexo-sandbox: stopping %zu leftover process(es)\n", kids.size());
            told = true;
        }
        for (pid_t k : kids) {
            if (clock::now() >= kill_at) {
                ::kill(k, SIGKILL);
            } else if (termed.insert(k).second) {
                ::kill(k, SIGTERM);
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

}  // namespace

int main(int argc, char** argv) {
    int first = 1;
    if (argc > 1 && (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0)) {
        std::printf(
            "usage: nexo-sandbox [--] [PROGRAM ARGS...]\n"
            "Runs PROGRAM (default $SHELL) in a private /run and network namespace with\n"
            "eth1 %s/24; the far end of the wire is namespace %s (%s).\n",
            nexo::sim::kEth1Addr, nexo::sim::kHostNetns, nexo::sim::kHostAddr);
        return 0;
    }
    if (argc > 1 && std::strcmp(argv[1], "--") == 0) {
        first = 2;
    }
    std::vector<std::string> cmd(argv + first, argv + argc);
    if (cmd.empty()) {
        const char* shell = std::getenv("SHELL");
        cmd.push_back(shell != nullptr && shell[0] != '\0' ? shell : "/bin/sh");
    }

    if (nexo::sim::sandbox_enter() != 0) {
        return 125;
    }
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);

    std::vector<char*> args = nexo::sim::exec_argv(cmd);

    // Like system(): the terminal's interrupt belongs to the program. Termination requests
    // sent to us are passed on, so that the cleanup below still runs.
    // Installed before fork so that no window leaves us killable without cleanup.
    struct sigaction ign {};
    ign.sa_handler = SIG_IGN;
    ::sigaction(SIGINT, &ign, nullptr);
    ::sigaction(SIGQUIT, &ign, nullptr);
    struct sigaction fwd {};
    fwd.sa_handler = on_signal;
    ::sigaction(SIGTERM, &fwd, nullptr);
    ::sigaction(SIGHUP, &fwd, nullptr);

    pid_t child = ::fork();
    if (child < 0) {
        std::perror("nexo-sandbox: fork");
        return 125;
    }
    if (child == 0) {
        struct sigaction dfl {};
        dfl.sa_handler = SIG_DFL;
        for (int sig : {SIGINT, SIGQUIT, SIGTERM, SIGHUP}) {
            ::sigaction(sig, &dfl, nullptr);
        }
        ::execvp(args[0], args.data());
        std::fprintf(stderr, "nexo-sandbox: %s: %s\n", args[0], std::strerror(errno));
        ::_exit(127);
    }

    int status = 0;
    for (;;) {
        if (forward_sig != 0) {
            ::kill(child, forward_sig);
            forward_sig = 0;
        }
        if (::waitpid(child, &status, 0) == child) {
            break;
        }
        if (errno != EINTR) {
            std::perror("nexo-sandbox: waitpid");
            status = 125 << 8;
            break;
        }
    }
    stop_leftovers();
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    return 128 + WTERMSIG(status);
}
