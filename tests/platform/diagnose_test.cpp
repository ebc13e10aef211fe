// SPDX-License-Identifier: Apache-2.0
#include "platform/diagnose.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "support/process.h"

namespace larkspur::platform {
namespace {

// What diagnose writes to standard error, caught in a file.
std::string diagnosed(std::string_view message) {
  test::TempDir dir;
  const std::string path = dir.file("err");
  const int file = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  const int saved = ::dup(STDERR_FILENO);
  ::dup2(file, STDERR_FILENO);
  diagnose(message);
  ::dup2(saved, STDERR_FILENO);
  ::close(saved);
  ::close(file);
  return test::read_file(path);
}

TEST(Diagnose, WritesOnePrefixedLine) {
  const std::string long_message(100000, 'm');
  struct Case {
    std::string message;
    std::string line;
  };
  const Case cases[] = {
      {"cannot open /etc/x.ini", "larkspur: cannot open /etc/x.ini\n"},
      {"", "larkspur: \n"},
      {std::string("a\0b", 3), std::string("larkspur: a\0b\n", 14)},
      {long_message, "larkspur: " + long_message + "\n"},
  };
  for (const Case& c : cases) EXPECT_EQ(diagnosed(c.message), c.line) << c.message.size();
}

}  // namespace
}  // namespace larkspur::platform
