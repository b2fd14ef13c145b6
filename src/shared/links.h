// What the daemon's peers rely on to find and meet it: the pipes of its three links, and the
// banner it writes once it runs.
#pragma once

#include <array>

namespace nexo {

// Where the daemon keeps its pipes.
inline constexpr const char* kPipeDir = "/var/run";

// The two pipes of one link: the one the daemon reads (its peer writes it) and the one the
// daemon writes (its peer reads it).
struct link_pipes {
    const char* daemon_reads;
    const char* daemon_writes;
};

inline constexpr link_pipes kTimingPipes{"ST2059_rd.p", "ST2059_wr.p"};   // link 0
inline constexpr link_pipes kControlPipes{"nexo_wr.p", "nexo_rd.p"};      // link 1
inline constexpr link_pipes kMediaPipes{"smpte2110r.p", "smpte2110w.p"};  // link 2
inline constexpr std::array<link_pipes, 3> kLinkPipes{kTimingPipes, kControlPipes, kMediaPipes};

// Written to standard error once the daemon runs; whoever starts it may wait for it.
inline constexpr char kStartBanner[] =
    "nexo : 28/05/2020 : ATTENTION : LOADING OF DEFAULT CONFIG BYPASSED.\n";

}  // namespace nexo
