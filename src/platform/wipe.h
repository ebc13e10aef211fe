// Wiping memory that held a secret, in a way the compiler cannot drop.
#pragma once

#include <cstddef>

namespace larkspur::platform {

void secure_wipe(void* data, std::size_t size) noexcept;

}  // namespace larkspur::platform
