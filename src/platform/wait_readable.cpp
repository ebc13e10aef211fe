// SPDX-License-Identifier: Apache-2.0
#include <poll.h>

#include <cerrno>
#include <chrono>

#include "platform/posix_io.h"

namespace larkspur::platform {

bool wait_readable(int fd, std::chrono::milliseconds timeout) noexcept {
  pollfd ready{fd, POLLIN, 0};
  int polled;
  do {
    polled = ::poll(&ready, 1, static_cast<int>(timeout.count()));
  } while (polled < 0 && errno == EINTR);
  return polled != 0;
}

}  // namespace larkspur::platform
