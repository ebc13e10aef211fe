// SPDX-License-Identifier: Apache-2.0
// Installs one of the system-call filters that libseccomp compiled from
// syscall_allow_list.h when the program was built: the file store's, or a
// database store's.
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <iterator>

#include "platform/confine_linux.h"
#include "syscall_filter.inc"

namespace larkspur::platform::linux_confine {

bool filter_system_calls(bool database_client, Problems& problems) noexcept {
  sock_fprog program{static_cast<unsigned short>(std::size(kSyscallFilter)),
                     const_cast<sock_filter*>(kSyscallFilter)};
  if (database_client) {
    program = {static_cast<unsigned short>(std::size(kDatabaseSyscallFilter)),
               const_cast<sock_filter*>(kDatabaseSyscallFilter)};
  }
  if (::syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &program) != 0) {
    problems.add("seccomp", errno);
    return false;
  }
  return true;
}

}  // namespace larkspur::platform::linux_confine
