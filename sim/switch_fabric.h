// Switch fabric: turns the far end of the sandbox's wire into a facility switch, for runs that
// carry real streams.
//
// switch_enable() builds, in the far-end namespace, a Linux bridge "br0" with IGMPv3 snooping
// and a querier. The wire's far end "wire0" becomes a bridge port that gets multicast only for
// groups (and, for a source-specific join, sources) that eth1 has joined, as a switch port
// with unregistered multicast flooding off. The far end's address and MAC (kHostAddr,
// kHostMac) move to the bridge, so ARP and the daemon's MAC resolution see the same peer.
// Senders run in their own namespace kSenderNetns behind a second bridge port, with the
// addresses kSenderAddrs on "tx0".
//
// Without switch_enable() the far end stays a plain veth end, as the tests without streams want:
// a fresh bridge ignores joins for its first seconds, which they should not wait for.
#pragma once

#include <array>
#include <chrono>

namespace nexo::sim {

inline constexpr const char* kSenderNetns = "nexo-tx";
inline constexpr const char* kSenderIface = "tx0";
// Source addresses a sender can send from (the first is the default).
inline constexpr std::array<const char*, 4> kSenderAddrs = {"192.0.2.20", "192.0.2.21",
                                                            "192.0.2.22", "192.0.2.23"};

// Builds the switch and the senders' namespace. Call after sandbox_enter(), once. Returns 0, or
// -1 after printing what failed on standard error.
int switch_enable();

// True once switch_enable() has succeeded.
bool switch_enabled();

// Waits until the bridge forwards a group that eth1 has joined: joins a probe group on eth1,
// sends to it from the senders' namespace and waits for the first datagram. False on timeout.
bool switch_wait_settled(std::chrono::milliseconds timeout = std::chrono::seconds(30));

}  // namespace nexo::sim
