// SPDX-License-Identifier: Apache-2.0
// Builds without libcrypt (Windows): no crypt(3) scheme can be written.
#include "passwd/crypt_hash.h"

namespace larkspur::passwd {

bool crypt_schemes_available() { return false; }

int crypt_encode(const char*, const char*, unsigned long, char* result, std::size_t size) {
  if (result != nullptr && size > 0) result[0] = '\0';
  return -1;
}

}  // namespace larkspur::passwd
