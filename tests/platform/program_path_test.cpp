// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "platform/platform.h"

namespace larkspur::platform {
namespace {

TEST(ProgramPath, InvocationNameAsGiven) {
  // A link must not be resolved: its own name picks the INI file.
  set_invocation_name("/var/www/cgi-bin/passwd.cgi");
  EXPECT_EQ(program_path(), "/var/www/cgi-bin/passwd.cgi");
  set_invocation_name("passwd.cgi");
  EXPECT_EQ(program_path(), "passwd.cgi");
}

TEST(ProgramPath, FallsBackToExecutable) {
  set_invocation_name("");
  char buffer[4096] = {};
  ASSERT_GT(::readlink("/proc/self/exe", buffer, sizeof buffer - 1), 0);
  EXPECT_EQ(program_path(), buffer);
}

}  // namespace
}  // namespace larkspur::platform
