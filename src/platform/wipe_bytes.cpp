// SPDX-License-Identifier: Apache-2.0
// The wipe itself; the rest of wipe.h builds on it on every system.
#include <string.h>

#include "platform/wipe.h"

namespace larkspur::platform {

void secure_wipe(void* data, std::size_t size) noexcept {
  if (data != nullptr && size != 0) ::explicit_bzero(data, size);
}

}  // namespace larkspur::platform
