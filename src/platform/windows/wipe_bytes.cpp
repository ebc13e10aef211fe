// SPDX-License-Identifier: Apache-2.0
// Windows: SecureZeroMemory is the wipe the compiler may not drop.
#include <windows.h>

#include "platform/wipe.h"

namespace larkspur::platform {

void secure_wipe(void* data, std::size_t size) noexcept {
  if (data != nullptr && size != 0) ::SecureZeroMemory(data, size);
}

}  // namespace larkspur::platform
