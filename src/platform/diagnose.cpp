// SPDX-License-Identifier: Apache-2.0
#include "platform/diagnose.h"

#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>

#include "platform/posix_io.h"

namespace larkspur::platform {

void diagnose(std::string_view message) noexcept {
  // Gathered rather than joined: no allocation, so it works when memory has
  // run out, which is one of the things worth saying.
  constexpr std::string_view kPrefix = "larkspur: ";
  iovec parts[3] = {
      {const_cast<char*>(kPrefix.data()), kPrefix.size()},
      {const_cast<char*>(message.data()), message.size()},
      {const_cast<char*>("\n"), 1},
  };
  const std::size_t total = kPrefix.size() + message.size() + 1;
  ssize_t n;
  do {
    n = ::writev(STDERR_FILENO, parts, 3);
  } while (n < 0 && errno == EINTR);
  if (n <= 0 || static_cast<std::size_t>(n) == total) return;
  // A long message on a pipe may go out in pieces: finish it.
  std::size_t done = static_cast<std::size_t>(n);
  for (const iovec& part : parts) {
    if (done >= part.iov_len) {
      done -= part.iov_len;
      continue;
    }
    if (!write_all(STDERR_FILENO, static_cast<const char*>(part.iov_base) + done,
                   part.iov_len - done)) {
      return;
    }
    done = 0;
  }
}

}  // namespace larkspur::platform
