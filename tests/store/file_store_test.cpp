// SPDX-License-Identifier: Apache-2.0
#include "store/file_store.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "support/process.h"

namespace larkspur::store {
namespace {

using namespace std::chrono_literals;

// The old password is checked without the lock; under the lock the store
// must give the hash as it stands then, whether or not the file was replaced
// in between, and a change must land on the file in place.
TEST(FileStore, TheHashUnderTheLockIsTheFileInPlace) {
  const struct {
    const char* what;
    const char* between;  // the file put in place between check and lock; null: none
    const char* under_lock;
  } cases[] = {
      {"untouched", nullptr, "$apr1$a$old"},
      {"replaced, alice changed", "alice:$apr1$a$other\nbob:$apr1$b$x\n", "$apr1$a$other"},
      {"replaced, same bytes", "alice:$apr1$a$old\nbob:$apr1$b$x\n", "$apr1$a$old"},
      {"replaced, alice gone", "bob:$apr1$b$x\n", ""},
  };
  for (const auto& c : cases) {
    test::TempDir dir;
    const std::string users = dir.file("users");
    test::write_file(users, "alice:$apr1$a$old\nbob:$apr1$b$x\n");
    FileStore store(users);
    const Result<std::string> checked = store.look_up("alice");
    ASSERT_TRUE(checked.ok()) << c.what;
    EXPECT_EQ(checked.value(), "$apr1$a$old") << c.what;
    if (c.between != nullptr) {
      test::write_file(dir.file("next"), c.between);
      ASSERT_EQ(std::rename(dir.file("next").c_str(), users.c_str()), 0) << c.what;
    }
    ASSERT_TRUE(store.lock(5000ms).ok()) << c.what;
    const Result<std::string> now = store.look_up("alice");
    ASSERT_TRUE(now.ok()) << c.what;
    EXPECT_EQ(now.value(), c.under_lock) << c.what;
    if (!now.value().empty()) {
      ASSERT_TRUE(store.replace("alice", "$apr1$a$new").ok()) << c.what;
      EXPECT_EQ(test::read_file(users).substr(0, 18), "alice:$apr1$a$new\n") << c.what;
    }
    store.unlock();
  }
}

}  // namespace
}  // namespace larkspur::store
