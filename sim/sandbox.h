// Sandbox: runs the calling process in fresh Linux namespaces that stand in for the board.
//
// After sandbox_enter() the process has
//  - its own mount namespace with a private tmpfs on /run (so /var/run and its FIFOs are private),
//  - its own network namespace with lo up and "eth1", one end of a veth pair, holding
//    192.0.2.10/24 and the MAC 02:00:00:00:00:10,
//  - the other end, "wire0", in a second network namespace named "nexo-host" (the network),
//    holding 192.0.2.1/24 and the MAC 02:00:00:00:00:01.
//  - a fresh sysfs on /sys, so that /sys/class/net lists this namespace's interfaces.
// Everything disappears with the last process inside; nothing is left on the host.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace nexo::sim {

inline constexpr const char* kEth1Addr = "192.0.2.10";
inline constexpr const char* kEth1Mac = "02:00:00:00:00:10";
inline constexpr const char* kHostAddr = "192.0.2.1";
inline constexpr const char* kHostMac = "02:00:00:00:00:01";
inline constexpr const char* kHostNetns = "nexo-host";

// Moves the calling process into the sandbox. Must be called while the process has a single
// thread (first thing in main). As root it uses mount and network namespaces; as a normal user
// it adds a user namespace mapping the caller to root. Returns 0, or -1 after printing why on
// standard error (for example when unprivileged user namespaces are disabled).
int sandbox_enter();

// True once sandbox_enter() has succeeded in this process.
bool in_sandbox();

// Runs a program (argv[0] looked up in PATH) and waits for it. Returns its exit status, or -1
// if it could not be started. Standard output is appended to *out when out is given.
int run(const std::vector<std::string>& argv, std::string* out = nullptr);

// The null-terminated pointer array that execv() takes, pointing into `words` (which must
// outlive it). Made before fork: the child of a threaded process may not allocate.
std::vector<char*> exec_argv(std::vector<std::string>& words);

// Starts a program (argv[0] looked up in PATH) in the background, standard input from
// /dev/null, standard output and error written to `log_path` (created or truncated). Returns its
// pid, or -1 if it could not be started.
pid_t spawn(const std::vector<std::string>& argv, const std::string& log_path);

// Sends `sig` to a child from spawn(), waits up to `grace` for it to end, then kills it.
// Returns its exit status (128+signal when a signal ended it).
int end_child(pid_t pid, int sig, std::chrono::milliseconds grace);

// Runs `ip ARGS...` in the sandbox's own network namespace (where eth1 lives).
int ip(const std::vector<std::string>& args, std::string* out = nullptr);

// Runs a program inside the "nexo-host" namespace (the far end of the wire).
int run_on_host(const std::vector<std::string>& argv, std::string* out = nullptr);

// Runs `fn` on a thread of its own inside the "nexo-host" namespace and waits for it: the
// sockets it opens, and the threads it starts, belong to the far end of the wire. False when
// the namespace cannot be entered (then `fn` is not run).
bool on_host_thread(const std::function<void()>& fn);

// Whole contents of a file ("" when it cannot be read), e.g. /proc/net/igmp.
std::string read_file(const std::string& path);

}  // namespace nexo::sim
