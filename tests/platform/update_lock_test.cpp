// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>

#include "platform/platform.h"
#include "support/process.h"

namespace larkspur::platform {
namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

TEST(LockFilePath, LiesBesideTheAuthUserFile) {
  struct Case {
    const char* auth_user_file;
    const char* expected;
  };
  const Case cases[] = {
      {"/srv/auth/users", "/srv/auth/users.lock"},
      {"users", "users.lock"},
      {"/srv/auth/.htpasswd", "/srv/auth/.htpasswd.lock"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(UpdateLock::lock_file_path(c.auth_user_file), c.expected) << c.auth_user_file;
  }
}

class UpdateLockTest : public ::testing::Test {
 protected:
  test::TempDir dir_;
  const std::string name_ = dir_.file("users");
  std::string path() const { return name_ + ".lock"; }
};

// A child process that takes the lock, reports that over a pipe and then
// holds it until it is killed.
pid_t spawn_holder(const std::string& name) {
  int fds[2];
  if (::pipe(fds) != 0) return -1;
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    UpdateLock lock(name);
    const char ok = lock.open().ok() && lock.wait(milliseconds(5000)) ? 'y' : 'n';
    (void)!::write(fds[1], &ok, 1);
    for (;;) ::pause();
  }
  ::close(fds[1]);
  char answer = 0;
  const bool held = ::read(fds[0], &answer, 1) == 1 && answer == 'y';
  ::close(fds[0]);
  if (!held && pid > 0) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    return -1;
  }
  return pid;
}

TEST_F(UpdateLockTest, CreatesAPrivateLockFileBesideTheAuthUserFile) {
  const mode_t old_umask = ::umask(0);
  UpdateLock lock(name_);
  const bool opened = lock.open().ok();
  ::umask(old_umask);
  ASSERT_TRUE(opened);
  struct stat st;
  ASSERT_EQ(::lstat(path().c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(UpdateLockTest, OpensExistingLockFile) {
  test::write_file(path(), "");
  ::chmod(path().c_str(), 0444);
  UpdateLock lock(name_);
  ASSERT_TRUE(lock.open());
  EXPECT_TRUE(lock.wait(milliseconds(0)));
}

TEST_F(UpdateLockTest, RefusesSymlinkAndOtherNonRegularFiles) {
  const std::string target = dir_.file("target");
  test::write_file(target, "keep");
  struct Case {
    const char* what;
    int (*make)(const std::string& lock_path, const std::string& target);
  };
  const Case cases[] = {
      {"symlink to a file",
       [](const std::string& p, const std::string& t) { return ::symlink(t.c_str(), p.c_str()); }},
      {"dangling symlink",
       [](const std::string& p, const std::string& t) {
         return ::symlink((t + ".missing").c_str(), p.c_str());
       }},
      {"fifo", [](const std::string& p, const std::string&) { return ::mkfifo(p.c_str(), 0600); }},
      {"directory",
       [](const std::string& p, const std::string&) { return ::mkdir(p.c_str(), 0700); }},
  };
  for (const Case& c : cases) {
    ::unlink(path().c_str());
    ::rmdir(path().c_str());
    ASSERT_EQ(c.make(path(), target), 0) << c.what;
    UpdateLock lock(name_);
    const Status opened = lock.open();
    ASSERT_FALSE(opened) << c.what;
    EXPECT_EQ(opened.error().step, Step::kLock) << c.what;
    EXPECT_FALSE(lock.wait(milliseconds(0))) << c.what;
  }
  EXPECT_EQ(test::read_file(target), "keep");
  EXPECT_FALSE(test::file_exists(target + ".missing"));
}

TEST_F(UpdateLockTest, TellsAMissingDirectoryFromOtherFailures) {
  struct Case {
    std::string auth_user_file;
    Step expected;
  };
  test::write_file(dir_.file("plain"), "");
  const Case cases[] = {
      {dir_.file("no/such/users"), Step::kMissing},
      {dir_.file("plain/users"), Step::kMissing},
      {"", Step::kLock},
      {std::string(dir_.file("x")) + '\0' + "y", Step::kLock},
  };
  for (const Case& c : cases) {
    UpdateLock lock(c.auth_user_file);
    const Status opened = lock.open();
    ASSERT_FALSE(opened) << c.auth_user_file;
    EXPECT_EQ(opened.error().step, c.expected) << c.auth_user_file;
    const Status waited = lock.wait(milliseconds(0));
    ASSERT_FALSE(waited);
    EXPECT_EQ(waited.error().step, Step::kWait);
  }
}

TEST_F(UpdateLockTest, HeldByAnotherProcessUntilItDies) {
  const pid_t holder = spawn_holder(name_);
  ASSERT_GT(holder, 0);

  UpdateLock lock(name_);
  ASSERT_TRUE(lock.open());
  const auto start = Clock::now();
  EXPECT_FALSE(lock.wait(milliseconds(200)));
  const auto waited = Clock::now() - start;
  EXPECT_GE(waited, milliseconds(200));
  EXPECT_LT(waited, milliseconds(10000));

  // The kernel drops the lock of a process that dies without releasing it.
  ::kill(holder, SIGKILL);
  ::waitpid(holder, nullptr, 0);
  const auto after_kill = Clock::now();
  EXPECT_TRUE(lock.wait(milliseconds(5000)));
  EXPECT_LT(Clock::now() - after_kill, milliseconds(2000));
}

TEST_F(UpdateLockTest, ReleaseHandsLockToAnotherProcess) {
  UpdateLock lock(name_);
  ASSERT_TRUE(lock.open());
  ASSERT_TRUE(lock.wait(milliseconds(0)));

  // While we hold it, a child cannot take it.
  pid_t child = ::fork();
  if (child == 0) {
    UpdateLock other(name_);
    ::_exit(other.open().ok() && !other.wait(milliseconds(50)) ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

  lock.release();
  lock.release();  // harmless when not owned
  child = ::fork();
  if (child == 0) {
    UpdateLock other(name_);
    ::_exit(other.open().ok() && other.wait(milliseconds(2000)) ? 0 : 1);
  }
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// flock belongs to the open file, which a forked child shares: closing our
// descriptor alone would leave the lock held for as long as the child lives.
TEST_F(UpdateLockTest, DestructionReleasesEvenWhileAChildSharesTheFile) {
  pid_t sharer = -1;
  {
    UpdateLock lock(name_);
    ASSERT_TRUE(lock.open());
    ASSERT_TRUE(lock.wait(milliseconds(0)));
    sharer = ::fork();
    if (sharer == 0) {
      for (;;) ::pause();
    }
    ASSERT_GT(sharer, 0);
  }
  const pid_t child = ::fork();
  if (child == 0) {
    UpdateLock other(name_);
    ::_exit(other.open().ok() && other.wait(milliseconds(2000)) ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ::kill(sharer, SIGKILL);
  ::waitpid(sharer, nullptr, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST_F(UpdateLockTest, WaitWithoutOpenFails) {
  UpdateLock lock(name_);
  EXPECT_FALSE(lock.wait(milliseconds(0)));
  lock.release();
}

}  // namespace
}  // namespace larkspur::platform
