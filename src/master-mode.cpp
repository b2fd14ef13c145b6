#include "master-mode.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

namespace nexo {
namespace {

constexpr char kMasterModeProgram[] = "/usr/bin/set_master_mode";

}  // namespace

int32_t run_master_mode(char c) {
    char prog[sizeof kMasterModeProgram];
    std::memcpy(prog, kMasterModeProgram, sizeof prog);
    char arg[2] = {c, '\0'};
    char* argv[] = {prog, arg, nullptr};
    // The program gets the signal dispositions and mask of a fresh process, whatever the daemon
    // ignores or blocks.
    posix_spawnattr_t attr;
    if (posix_spawnattr_init(&attr) != 0) {
        return -1;
    }
    sigset_t none;
    sigset_t defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = -1;
    int r = posix_spawn(&pid, prog, nullptr, &attr, argv, environ);
    posix_spawnattr_destroy(&attr);
    if (r != 0) {
        return -1;
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            return -1;
        }
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace nexo
