// SPDX-License-Identifier: Apache-2.0
// POSIX reads and writes bytes as they are: nothing to do.
#include "platform/platform.h"

namespace larkspur::platform {

void use_binary_io() noexcept {}

}  // namespace larkspur::platform
