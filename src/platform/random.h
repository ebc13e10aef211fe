// SPDX-License-Identifier: Apache-2.0
// Random bytes from the operating system's generator, for salts.
#pragma once

#include <cstddef>

namespace larkspur::platform {

// Fills `size` bytes at `out`. False when the generator failed.
bool random_bytes(void* out, std::size_t size) noexcept;

}  // namespace larkspur::platform
