// SPDX-License-Identifier: Apache-2.0
// Windows: no writev, so the line is put together in a buffer on the stack
// (no allocation: running out of memory is one of the things worth saying)
// and written with one write when it fits.
#include "platform/diagnose.h"

#include <io.h>

#include <algorithm>
#include <cstring>

#include "platform/posix_io.h"

namespace larkspur::platform {

void diagnose(std::string_view message) noexcept {
  constexpr std::string_view kPrefix = "larkspur: ";
  char line[2048];
  const std::size_t room = sizeof line - kPrefix.size() - 1;
  const std::string_view head = message.substr(0, std::min(message.size(), room));
  std::memcpy(line, kPrefix.data(), kPrefix.size());
  std::memcpy(line + kPrefix.size(), head.data(), head.size());
  if (head.size() == message.size()) {
    line[kPrefix.size() + head.size()] = '\n';
    write_all(2, line, kPrefix.size() + head.size() + 1);
    return;
  }
  // A longer message goes out in pieces.
  if (!write_all(2, line, kPrefix.size() + head.size())) return;
  if (!write_all(2, message.substr(head.size()))) return;
  write_all(2, "\n", 1);
}

}  // namespace larkspur::platform
