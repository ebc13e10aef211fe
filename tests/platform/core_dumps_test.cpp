// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/platform.h"

namespace larkspur::platform {
namespace {

// In a child, so that the test process itself stays dumpable.
TEST(ForbidCoreDumps, LeavesTheProcessUndumpableWithNoCoreLimit) {
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const rlimit some{4096, RLIM_INFINITY};
    ::setrlimit(RLIMIT_CORE, &some);
    ::prctl(PR_SET_DUMPABLE, 1, 0, 0, 0);
    forbid_core_dumps();
    rlimit now{};
    ::getrlimit(RLIMIT_CORE, &now);
    const int bad = (::prctl(PR_GET_DUMPABLE, 0, 0, 0, 0) != 0 ? 1 : 0) |
                    (now.rlim_cur != 0 ? 2 : 0) | (now.rlim_max != 0 ? 4 : 0);
    ::_exit(bad);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "1: dumpable, 2: soft limit, 4: hard limit";
}

}  // namespace
}  // namespace larkspur::platform
