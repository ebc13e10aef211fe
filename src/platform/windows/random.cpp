// SPDX-License-Identifier: Apache-2.0
// Windows: the system's preferred generator, through BCryptGenRandom.
#include "platform/random.h"

#include <windows.h>

// After windows.h, which it needs.
#include <bcrypt.h>

#include <algorithm>

namespace larkspur::platform {

bool random_bytes(void* out, std::size_t size) noexcept {
  auto* bytes = static_cast<unsigned char*>(out);
  while (size > 0) {
    const ULONG chunk = static_cast<ULONG>(std::min<std::size_t>(size, 1u << 20));
    if (!BCRYPT_SUCCESS(
            ::BCryptGenRandom(nullptr, bytes, chunk, BCRYPT_USE_SYSTEM_PREFERRED_RNG))) {
      return false;
    }
    bytes += chunk;
    size -= chunk;
  }
  return true;
}

}  // namespace larkspur::platform
