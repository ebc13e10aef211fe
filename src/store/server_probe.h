// SPDX-License-Identifier: Apache-2.0
// Waits, within a deadline, for a database server to speak first, as
// MariaDB's does with its greeting: a client library that would wait
// without bound for it then connects to a server known to answer.
#pragma once

#include <chrono>
#include <string>

#include "platform/result.h"

namespace larkspur::store {

struct ServerAddress {
  std::string socket_path;  // a Unix socket, or else:
  std::string host;
  std::string port;
};

// Connects, waits until the server has sent something, and disconnects.
// Step::kConnect when it cannot connect or nothing came before `deadline`.
platform::Status wait_for_greeting(const ServerAddress& address,
                                   std::chrono::steady_clock::time_point deadline);

}  // namespace larkspur::store
