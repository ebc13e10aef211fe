// SPDX-License-Identifier: Apache-2.0
#include <fcntl.h>

#include "platform/posix_io.h"

namespace larkspur::platform {

UniqueFd open_for_appending(const std::string& path) noexcept {
  return UniqueFd(
      ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0640));
}

}  // namespace larkspur::platform
