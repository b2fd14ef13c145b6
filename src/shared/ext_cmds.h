// Routing vocabulary: the keyword tables of the three links.
//
// The router picks a control-client line's link by the first table entry that is a prefix of
// its keyword (case ignored), searching links 0, 1 and 2 in this order and each table in its
// order, so the order of the entries matters. Each table ends with a null entry.
#pragma once

#include <cstddef>

namespace nexo {

inline constexpr std::size_t kSt2059CmdCount = 72;
inline constexpr std::size_t kNexoCmdCount = 14;
inline constexpr std::size_t kSmpte2110CmdCount = 42;

// Link 0: the timing daemon.
extern const char* const st2059_if_cmds[kSt2059CmdCount + 1];
// Link 1: the daemon's own command interpreter.
extern const char* const nexo_cmds[kNexoCmdCount + 1];
// Link 2: the media-transport daemon.
extern const char* const smpte2110_cmds[kSmpte2110CmdCount + 1];

}  // namespace nexo
