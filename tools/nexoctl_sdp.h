// nexoctl's SDP and status commands:
//
//   nexoctl sdp check FILE [--channel CH]     parse and check only; print the daemon lines
//   nexoctl sdp apply CH FILE|- [--enable] [--dry-run] [--force]
//   nexoctl sdp get CH                        the channel as a session description
//   (apply and get: --state-dir DIR, where apply keeps what it applied; /var/lib/nexo)
//   nexoctl status [--json]                   all twelve channels
//
// Exit status as for single lines (0, 1 ERROR, 2 no reply, 3 no daemon or usage), and 4 for
// a description refused before anything was sent.
#pragma once

#include <string>
#include <vector>

#include "chan_io.h"

namespace nexo::ctl {

inline constexpr int kExitRefused = 4;

// Whether the first word of nexoctl's command line names one of these commands.
bool is_sdp_command(const std::string& word);

// Runs the command (words[0] is "sdp" or "status"). check never uses the link.
int run_sdp_command(const std::vector<std::string>& words, client::daemon_link& link);

// The lines for nexoctl --help.
extern const char* const kSdpHelp;

}  // namespace nexo::ctl
