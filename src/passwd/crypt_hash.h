// SPDX-License-Identifier: Apache-2.0
// The crypt(3) schemes, through the system's libcrypt. Kept apart so that a
// build without libcrypt can leave this file out.
#pragma once

#include <cstddef>

namespace larkspur::passwd {

// Whether this build can make sha256, sha512 and yescrypt hashes.
bool crypt_schemes_available();

// A fresh hash in the scheme of `prefix` ("$5$", "$6$", "$y$") with `cost`
// (0: libcrypt's default), its salt drawn by libcrypt from the operating
// system. 0 on success; otherwise non-zero and `result` holds "".
int crypt_encode(const char* password, const char* prefix, unsigned long cost, char* result,
                 std::size_t size);

}  // namespace larkspur::passwd
