// SPDX-License-Identifier: Apache-2.0
// Confinement: once the configuration has named the few files a request may
// touch, and before the first request byte is read, the process gives up
// everything else, so that a memory-safety bug in a decoder cannot reach
// beyond those files. What a system cannot offer is done without.
#pragma once

#include <string>
#include <vector>

namespace larkspur::platform {

// The paths a request may use. An empty path grants nothing. Nothing else
// is reachable by name afterwards: the log is appended to through a
// descriptor opened before confining, and uploads live in memory.
struct ConfinePaths {
  std::string auth_user_file;  // its directory: read, write, create, remove, rename within
  // Files and directories read and never written: the new-password rules'
  // lists, dictionary and configuration.
  std::vector<std::string> read_only;
  // A database store: the system calls of its client library are let
  // through, and where the kernel's Landlock restricts the network, TCP
  // reaches this port alone (0: none, for a Unix socket or SQLite).
  bool database_client = false;
  int tcp_port = 0;
};

// What took effect. On a system without the means, nothing does.
struct Confinement {
  bool no_new_privileges = false;
  int landlock_abi = 0;  // 0: no file-system restriction
  bool syscall_filter = false;
};

// Confines the process for the rest of its life. Never fails the request:
// whatever cannot be set up is left out and named in one diagnostic line.
// Under the sanitizers the system-call filter is left out on purpose (their
// runtime needs calls no allow-list should hold); that is not reported.
Confinement confine(const ConfinePaths& paths) noexcept;

// Whether this build installs the system-call filter at all.
bool confine_filters_syscalls() noexcept;

}  // namespace larkspur::platform
