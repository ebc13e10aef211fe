// SPDX-License-Identifier: Apache-2.0
// Random bytes from the operating system's generator, for salts.
#pragma once

#include <cstddef>

#include "platform/result.h"

namespace larkspur::platform {

// Fills `size` bytes at `out`.
Status random_bytes(void* out, std::size_t size) noexcept;

}  // namespace larkspur::platform
