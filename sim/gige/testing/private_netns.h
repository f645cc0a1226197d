#pragma once
// A private network namespace for tests that talk GigE Vision.
//
// GigE Vision discovery broadcasts to 255.255.255.255 on every interface
// (Aravis does so through each address getifaddrs reports), so a test that
// discovers must never run in the machine's own network namespace. This helper
// moves the calling process into a new user + network namespace, where only
// `lo` exists; the process is root in it and may bind 127.0.0.2 and up.
//
// Use: link the test executable with `zel_netns_gtest_main` (it replaces
// gtest's main and enters the namespace before any thread starts; unshare
// with CLONE_NEWUSER fails in a multi-threaded process) and begin each test
// that needs the namespace with
//
//     ZEL_REQUIRE_PRIVATE_NETNS();
//
// which skips the test, naming the reason, when user or network namespaces
// are unavailable (a kernel or container that forbids them). Child processes
// (arv-tool-0.8, zelsim serve) inherit the namespace, so they see the same
// loopback and nothing else. A program with its own main calls
// enterPrivateNetwork() first thing instead.
//
// Broadcasts on loopback: a datagram to 255.255.255.255 from a socket bound
// to 127.0.0.1 leaves through `lo` (the kernel routes a limited broadcast by
// its source address) and reaches every socket bound to 0.0.0.0 or
// 255.255.255.255 on the port. No extra route or dummy interface is needed;
// the helper checks this once and reports it as the skip reason if a kernel
// behaves otherwise.
#include <string>

namespace sim::netns {

// Enters a new user + network namespace (uid/gid maps written, `lo` up) and
// checks that a loopback broadcast arrives. Returns false and keeps the reason
// (see skipReason()) when that is not possible; the process then stays where
// it was. Call once, before any thread starts; later calls return the first
// result.
bool enterPrivateNetwork();

// True after enterPrivateNetwork() succeeded in this process.
bool inPrivateNetwork();

// Why inPrivateNetwork() is false ("" when it is true).
std::string skipReason();

}  // namespace sim::netns

#define ZEL_REQUIRE_PRIVATE_NETNS()                                                   \
  do {                                                                                \
    if (!::sim::netns::inPrivateNetwork())                                            \
      GTEST_SKIP() << "no private network namespace: " << ::sim::netns::skipReason(); \
  } while (0)
