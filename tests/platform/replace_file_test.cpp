// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <string>

#include "platform/platform.h"
#include "platform/wipe.h"
#include "support/process.h"

namespace larkspur::platform {
namespace {

TEST(ReplaceFile, ReplacesTargetAndRemovesSource) {
  test::TempDir dir;
  const std::string source = dir.file("users.tmp");
  const std::string target = dir.file("users");
  test::write_file(source, "new\n");
  test::write_file(target, "old\n");
  ASSERT_TRUE(replace_file(source, target));
  EXPECT_EQ(test::read_file(target), "new\n");
  EXPECT_FALSE(test::file_exists(source));
}

TEST(ReplaceFile, CreatesTargetWhenMissing) {
  test::TempDir dir;
  test::write_file(dir.file("a.tmp"), "x");
  ASSERT_TRUE(replace_file(dir.file("a.tmp"), dir.file("a")));
  EXPECT_EQ(test::read_file(dir.file("a")), "x");
}

TEST(ReplaceFile, MissingSourceLeavesTargetIntact) {
  test::TempDir dir;
  const std::string target = dir.file("users");
  test::write_file(target, "old\n");
  EXPECT_FALSE(replace_file(dir.file("users.tmp"), target));
  EXPECT_EQ(test::read_file(target), "old\n");
}

}  // namespace
}  // namespace larkspur::platform
