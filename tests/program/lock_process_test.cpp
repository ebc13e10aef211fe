// SPDX-License-Identifier: Apache-2.0
// The update lock between processes: a held lock makes a change give up, a
// killed holder frees it, and concurrent changes of one file all land.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <set>
#include <sstream>
#include <thread>

#include "cgi_site.h"

namespace larkspur::test {
namespace {

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

class LockProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    site_.write_ini("[path]\nauth_user_file=htpasswd\nlog_file=activity.log\n");
    original_ = htpasswd_line("alice", "old-secret") + "\n";
    write_file(site_.auth_file(), original_);
  }

  // The lock is "<AuthUserFile>.lock", held with flock. The first change
  // that reaches the lock creates it; nothing goes to TMPDIR.
  std::string lock_file() {
    site_.post(change_body("nobody", "x", "y", "y"));
    const std::string path = site_.auth_file() + ".lock";
    EXPECT_TRUE(file_exists(path));
    EXPECT_TRUE(std::filesystem::is_empty(site_.tmp_dir()));
    std::filesystem::remove(site_.log_file());
    return path;
  }

  Site site_;
  std::string original_;
};

TEST_F(LockProcess, ChangeGivesUpWhileAnotherProcessHoldsTheLock) {
  const std::string path = lock_file();
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::flock(fd, LOCK_EX), 0);

  const auto start = std::chrono::steady_clock::now();
  ProcessResult r = site_.post(change_body("alice", "old-secret", "n1", "n1"));
  const auto waited = std::chrono::steady_clock::now() - start;
  ::close(fd);

  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(r.out, framed(linked_message("Server error...")));
  EXPECT_GE(waited, std::chrono::milliseconds(4900));
  EXPECT_TRUE(read_file(site_.log_file()).ends_with("] Wait for mutex error\n"));
  EXPECT_EQ(read_file(site_.auth_file()), original_);
  EXPECT_EQ(r.err, "larkspur: the update lock htpasswd.lock was not free within 5 seconds\n");
}

TEST_F(LockProcess, HolderKilledWithSigkillReleasesTheLock) {
  const std::string path = lock_file();
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t holder = ::fork();
  ASSERT_GE(holder, 0);
  if (holder == 0) {
    const int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0 || ::flock(fd, LOCK_EX) != 0) ::_exit(1);
    if (::write(ready[1], "x", 1) != 1) ::_exit(1);
    for (;;) ::pause();
  }
  ::close(ready[1]);
  char byte = 0;
  ASSERT_EQ(::read(ready[0], &byte, 1), 1);
  ::close(ready[0]);

  const int probe = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(probe, 0);
  EXPECT_NE(::flock(probe, LOCK_EX | LOCK_NB), 0);  // the holder has it
  ::close(probe);

  ::kill(holder, SIGKILL);
  int status = 0;
  ::waitpid(holder, &status, 0);

  ProcessResult r = site_.post(change_body("alice", "old-secret", "n1", "n1"));
  EXPECT_EQ(r.out, framed(plain_message("alice:changed password successfully")));
  EXPECT_TRUE(htpasswd_verifies(site_.auth_file(), "alice", "n1"));
}

TEST_F(LockProcess, TwentyConcurrentChangesOfOneFileAllLand) {
  constexpr int kUsers = 20;
  auto user = [](int i) {
    char name[8];
    std::snprintf(name, sizeof name, "u%02d", i);
    return std::string(name);
  };
  original_ = htpasswd_line("keep-first", "k1") + "\n";
  for (int i = 0; i < kUsers; ++i) {
    original_ += htpasswd_line(user(i), "old-" + user(i)) + "\n";
    if (i == kUsers / 2) original_ += htpasswd_line("keep-middle", "k2") + "\n";
  }
  original_ += htpasswd_line("keep-last", "k3") + "\n";
  write_file(site_.auth_file(), original_);

  std::vector<ProcessResult> results(kUsers);
  std::vector<std::thread> requests;
  for (int i = 0; i < kUsers; ++i) {
    requests.emplace_back([&, i] {
      results[i] =
          site_.post(change_body(user(i), "old-" + user(i), "new-" + user(i), "new-" + user(i)));
    });
  }
  for (std::thread& t : requests) t.join();

  for (int i = 0; i < kUsers; ++i) {
    EXPECT_EQ(results[i].exit_status, 0) << results[i].err;
    EXPECT_EQ(results[i].out, framed(plain_message(user(i) + ":changed password successfully")));
    EXPECT_TRUE(htpasswd_verifies(site_.auth_file(), user(i), "new-" + user(i))) << user(i);
  }
  const auto before = lines_of(original_);
  const auto after = lines_of(read_file(site_.auth_file()));
  ASSERT_EQ(after.size(), before.size());
  for (std::size_t i = 0; i < before.size(); ++i) {
    const std::string name = before[i].substr(0, before[i].find(':') + 1);
    EXPECT_EQ(after[i].rfind(name, 0), 0u) << after[i];
    if (name.starts_with("keep-")) {
      EXPECT_EQ(after[i], before[i]);
    }
  }

  std::set<std::string> logged;
  for (const std::string& line : lines_of(read_file(site_.log_file()))) {
    const std::string prefix = "] [10.0.0.5][webuser] ";
    const std::size_t at = line.find(prefix);
    ASSERT_NE(at, std::string::npos) << line;
    logged.insert(line.substr(at + prefix.size()));
  }
  std::set<std::string> expected;
  for (int i = 0; i < kUsers; ++i) expected.insert(user(i) + ":changed password");
  EXPECT_EQ(logged, expected);
  EXPECT_EQ(lines_of(read_file(site_.log_file())).size(), static_cast<std::size_t>(kUsers));
}

}  // namespace
}  // namespace larkspur::test
