// SPDX-License-Identifier: Apache-2.0
#include "platform/random.h"

#include <sys/random.h>

#include <cerrno>

namespace larkspur::platform {

bool random_bytes(void* out, std::size_t size) noexcept {
  auto* bytes = static_cast<unsigned char*>(out);
  std::size_t filled = 0;
  while (filled < size) {
    const ssize_t got = ::getrandom(bytes + filled, size - filled, 0);
    if (got > 0) {
      filled += static_cast<std::size_t>(got);
    } else if (got < 0 && errno == EINTR) {
      continue;
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace larkspur::platform
