// SPDX-License-Identifier: Apache-2.0
#include "passwd/crypt_hash.h"

#include <crypt.h>

#include <cstring>
#include <memory>
#include <new>

#include "platform/wipe.h"

namespace larkspur::passwd {

bool crypt_schemes_available() { return true; }

int crypt_encode(const char* password, const char* prefix, unsigned long cost, char* result,
                 std::size_t size) {
  if (result == nullptr || size == 0) return -1;
  result[0] = '\0';
  if (password == nullptr || prefix == nullptr) return -1;

  // No random bytes of ours: libcrypt then draws them from the kernel.
  char setting[CRYPT_GENSALT_OUTPUT_SIZE];
  if (crypt_gensalt_rn(prefix, cost, nullptr, 0, setting, sizeof setting) == nullptr) return -1;

  // Some 32 KiB of work area, which holds derivations of the password.
  std::unique_ptr<crypt_data> data(new (std::nothrow) crypt_data());
  if (!data) return -1;
  const char* hash = crypt_r(password, setting, data.get());
  int status = -1;
  // Failure comes back as NULL or as a text starting with '*'.
  if (hash != nullptr && std::strncmp(hash, prefix, std::strlen(prefix)) == 0) {
    const std::size_t length = std::strlen(hash);
    if (length < size) {
      std::memcpy(result, hash, length + 1);
      status = 0;
    }
  }
  platform::secure_wipe(data.get(), sizeof *data);
  return status;
}

}  // namespace larkspur::passwd
