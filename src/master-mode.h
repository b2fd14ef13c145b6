// The external program that switches the board's PTP master mode.
#pragma once

#include <cstdint>

namespace nexo {

// Runs "/usr/bin/set_master_mode" with c as its one argument, never through a shell, and waits
// for it: its exit status, or -1 when it could not be started or did not exit normally.
int32_t run_master_mode(char c);

}  // namespace nexo
