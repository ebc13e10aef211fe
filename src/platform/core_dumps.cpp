// SPDX-License-Identifier: Apache-2.0
#include <sys/prctl.h>
#include <sys/resource.h>

#include "platform/platform.h"

namespace larkspur::platform {

void forbid_core_dumps() {
  // Not dumpable: no core file (unless an administrator set
  // fs.suid_dumpable), and no other process of the same user may attach or
  // read our memory through /proc. The zero limit is the second guard, which
  // core helpers such as systemd-coredump honour as well.
  ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
  const rlimit none{0, 0};
  ::setrlimit(RLIMIT_CORE, &none);
}

}  // namespace larkspur::platform
