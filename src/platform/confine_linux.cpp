// SPDX-License-Identifier: Apache-2.0
// Confinement on Linux: no new privileges, then Landlock, then seccomp.
#include "platform/confine_linux.h"

#include <string.h>
#include <sys/prctl.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <string_view>

#include "platform/confine.h"
#include "platform/diagnose.h"

namespace larkspur::platform {
namespace linux_confine {

void Problems::add(const char* what, int error) noexcept {
  const char* name = ::strerrorname_np(error);
  const int n = std::snprintf(text_ + length_, sizeof text_ - length_, "%s%s (%s)",
                              length_ == 0 ? "" : ", ", what, name != nullptr ? name : "?");
  if (n > 0) length_ = std::min(sizeof text_ - 1, length_ + static_cast<std::size_t>(n));
}

}  // namespace linux_confine

bool confine_filters_syscalls() noexcept {
#ifdef LARKSPUR_SANITIZED
  return false;
#else
  return true;
#endif
}

Confinement confine(const ConfinePaths& paths) noexcept {
  linux_confine::Problems problems;
  Confinement done;
  // Both Landlock and seccomp require it of an unprivileged process, and it
  // keeps a set-user-ID program from undoing them.
  done.no_new_privileges = ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0;
  if (!done.no_new_privileges) problems.add("no_new_privs", errno);
  done.landlock_abi = linux_confine::restrict_file_access(paths, problems);
  if (confine_filters_syscalls())
    done.syscall_filter = linux_confine::filter_system_calls(paths.database_client, problems);
  if (!problems.empty()) {
    char line[300];
    const int n = std::snprintf(line, sizeof line, "could not confine: %s", problems.text());
    if (n > 0)
      diagnose(std::string_view(line, std::min(sizeof line - 1, static_cast<std::size_t>(n))));
  }
  return done;
}

}  // namespace larkspur::platform
