// SPDX-License-Identifier: Apache-2.0
// Windows writes no core file of a crashed process; a dump by Windows Error
// Reporting is the machine administrator's setting, not the program's.
#include "platform/platform.h"

namespace larkspur::platform {

void forbid_core_dumps() {}

}  // namespace larkspur::platform
