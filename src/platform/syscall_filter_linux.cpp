// SPDX-License-Identifier: Apache-2.0
// Installs the system-call filter that libseccomp compiled from
// syscall_allow_list.h when the program was built.
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <iterator>

#include "platform/confine_linux.h"
#include "syscall_filter.inc"

namespace larkspur::platform::linux_confine {

bool filter_system_calls(Problems& problems) noexcept {
  sock_fprog program{static_cast<unsigned short>(std::size(kSyscallFilter)),
                     const_cast<sock_filter*>(kSyscallFilter)};
  if (::syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &program) != 0) {
    problems.add("seccomp", errno);
    return false;
  }
  return true;
}

}  // namespace larkspur::platform::linux_confine
