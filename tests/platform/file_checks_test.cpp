// SPDX-License-Identifier: Apache-2.0
// The questions --check asks of files: answered right for each kind of
// path, and answered without creating, writing or waiting on anything.
#include "platform/file_checks.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "support/process.h"

namespace larkspur::platform {
namespace {

using test::file_exists;
using test::write_file;

TEST(DirectoryOf, SplitsAtTheLastSlashOnly) {
  const struct {
    const char* path;
    const char* dir;
  } cases[] = {
      {"users", "."},
      {"/users", "/"},
      {"/srv/auth/users", "/srv/auth"},
      {"auth/users", "auth"},
      {"a\\b\\users", "."},  // a backslash is part of a name here
      {"/srv/auth/", "/srv/auth"},
  };
  for (const auto& c : cases) EXPECT_EQ(directory_of(c.path), c.dir) << c.path;
}

class FileChecksTest : public ::testing::Test {
 protected:
  void SetUp() override {
    write_file(file_, "x\n");
    ASSERT_EQ(::mkdir(subdir_.c_str(), 0755), 0);
    ASSERT_EQ(::symlink(file_.c_str(), link_.c_str()), 0);
    ASSERT_EQ(::symlink(dir_.file("gone").c_str(), dangling_.c_str()), 0);
    ASSERT_EQ(::mkfifo(fifo_.c_str(), 0600), 0);
  }

  test::TempDir dir_;
  std::string file_ = dir_.file("users");
  std::string subdir_ = dir_.file("sub");
  std::string link_ = dir_.file("link");
  std::string dangling_ = dir_.file("dangling");
  std::string fifo_ = dir_.file("fifo");
  std::string missing_ = dir_.file("missing");
};

// The kind, or the system's code when nothing could be learnt.
std::string seen(const Result<FileKind>& kind) {
  if (!kind) return "error " + std::to_string(kind.error().code);
  static const char* const kNames[] = {"regular", "directory", "link", "other"};
  return kNames[static_cast<int>(kind.value())];
}

std::string error(int code) { return "error " + std::to_string(code); }

TEST_F(FileChecksTest, FileKindTellsLinksApartUnlessFollowing) {
  const struct {
    std::string path;
    std::string itself, followed;
  } cases[] = {
      {file_, "regular", "regular"},
      {subdir_, "directory", "directory"},
      {link_, "link", "regular"},
      {dangling_, "link", error(ENOENT)},
      {fifo_, "other", "other"},
      {missing_, error(ENOENT), error(ENOENT)},
      {file_ + "/x", error(ENOTDIR), error(ENOTDIR)},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(seen(file_kind(c.path, false)), c.itself) << c.path;
    EXPECT_EQ(seen(file_kind(c.path, true)), c.followed) << c.path;
  }
  EXPECT_EQ(file_kind(missing_, false).error().step, Step::kMissing);
}

// The system's code of a failed check, 0 when it passed.
int code(const Status& status) { return status ? 0 : status.error().code; }

TEST_F(FileChecksTest, DirectoryWriteErrorAsksWithoutCreating) {
  EXPECT_EQ(code(check_directory_writable(dir_.path())), 0);
  EXPECT_EQ(code(check_directory_writable(missing_)), ENOENT);
  EXPECT_EQ(code(check_directory_writable(file_ + "/x")), ENOTDIR);
  // Root may write anywhere; only another user can be refused.
  if (::geteuid() != 0) {
    ASSERT_EQ(::chmod(subdir_.c_str(), 0555), 0);
    EXPECT_EQ(code(check_directory_writable(subdir_)), EACCES);
    ::chmod(subdir_.c_str(), 0755);
  }
  EXPECT_FALSE(file_exists(missing_));
}

TEST_F(FileChecksTest, AppendOpenErrorNeitherCreatesNorWritesNorWaits) {
  const struct {
    std::string path;
    int error;
  } cases[] = {
      // A check must not create the log, write through a link at its name
      // or wait for a FIFO's reader.
      {file_, 0}, {missing_, ENOENT}, {link_, ELOOP}, {subdir_, EISDIR}, {fifo_, ENXIO},
  };
  for (const auto& c : cases) EXPECT_EQ(code(check_appendable(c.path)), c.error) << c.path;
  EXPECT_FALSE(file_exists(missing_));
  struct stat st {};
  ASSERT_EQ(::stat(file_.c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 2);
}

}  // namespace
}  // namespace larkspur::platform
