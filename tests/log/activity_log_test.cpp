// SPDX-License-Identifier: Apache-2.0
#include "log/activity_log.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <ctime>
#include <string>
#include <vector>

#include "cgi/request_env.h"
#include "support/process.h"

namespace larkspur::logging {
namespace {

std::tm make_tm(int year, int month, int day, int hour, int minute, int second) {
  std::tm t{};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  return t;
}

TEST(FormatStamp, ZeroPaddedFields) {
  struct Case {
    std::tm time;
    const char* expected;
  };
  const Case cases[] = {
      {make_tm(2008, 3, 5, 9, 7, 2), "[2008-03-05 09:07:02]"},
      {make_tm(2008, 12, 31, 23, 59, 59), "[2008-12-31 23:59:59]"},
      {make_tm(2024, 1, 1, 0, 0, 0), "[2024-01-01 00:00:00]"},
      {make_tm(999, 1, 1, 0, 0, 0), "[0999-01-01 00:00:00]"},
      {make_tm(12345, 1, 1, 0, 0, 0), "[12345-01-01 00:00:00]"},
  };
  for (const Case& c : cases) EXPECT_EQ(format_stamp(c.time), c.expected);
}

TEST(FormatStamp, ExtremeFieldsDoNotOverflow) {
  std::tm t{};
  t.tm_year = INT_MAX;
  t.tm_mon = INT_MAX;
  EXPECT_EQ(format_stamp(t), "[2147485547-2147483648-00 00:00:00]");
}

std::string stamp_of(std::time_t when) {
  std::tm local{};
  ::localtime_r(&when, &local);
  return format_stamp(local);
}

// Splits a written line into its stamp and the rest, checking the stamp was
// taken between `before` and `after`.
void expect_line(const std::string& line, std::time_t before, std::time_t after,
                 const std::string& rest) {
  const std::string stamp = line.substr(0, std::string("[2008-03-05 09:07:02]").size());
  EXPECT_GE(stamp, stamp_of(before)) << line;
  EXPECT_LE(stamp, stamp_of(after)) << line;
  EXPECT_EQ(line.substr(stamp.size()), rest);
}

class LogFileTest : public ::testing::Test {
 protected:
  void SetUp() override { saved_ = cgi::request_env(); }
  void TearDown() override {
    cgi::request_env() = saved_;
    log_file_path().clear();
  }
  test::TempDir dir_;
  cgi::RequestEnv saved_;
};

TEST_F(LogFileTest, WritesExactLine) {
  ActivityLog log;
  log.path = dir_.file("activity.log");
  const std::time_t before = std::time(nullptr);
  EXPECT_EQ(log.write("[10.0.0.5][u1] u1:changed password"), 0);
  const std::time_t after = std::time(nullptr);
  expect_line(test::read_file(log.path), before, after, " [10.0.0.5][u1] u1:changed password\n");
}

TEST_F(LogFileTest, LogActivityAddsAddressAndUser) {
  struct Case {
    const char* addr;
    const char* user;
    const char* event;
    std::string expected;
  };
  const Case cases[] = {
      {"10.0.0.5", "u1", "u1:changed password", " [10.0.0.5][u1] u1:changed password\n"},
      {"10.0.0.5", "", "Enter no user name", " [10.0.0.5][] Enter no user name\n"},
      {"", "", "Wait for mutex error", " [][] Wait for mutex error\n"},
      {"::1", "w\xD0\xC2", "x:no this user", " [::1][w\xD0\xC2] x:no this user\n"},
      // A line feed in REMOTE_USER must not start a forged line of its own.
      {"10.0.0.5", "u\n[2008-03-05 09:07:02] [1.2.3.4][x] x:changed password", "Enter no user name",
       " [10.0.0.5][u\\x0a[2008-03-05 09:07:02] [1.2.3.4][x] x:changed password] Enter no user "
       "name\n"},
      {"1.2.3.4\r\x1b[2J", "u", "e", " [1.2.3.4\\x0d\\x1b[2J][u] e\n"},
  };
  int n = 0;
  for (const Case& c : cases) {
    log_file_path() = dir_.file("log" + std::to_string(n++));
    cgi::request_env().REMOTE_ADDR = c.addr;
    cgi::request_env().REMOTE_USER = c.user;
    const std::time_t before = std::time(nullptr);
    log_activity(c.event);
    const std::time_t after = std::time(nullptr);
    expect_line(test::read_file(log_file_path()), before, after, c.expected);
  }
}

TEST(EscapeLogText, ControlBytesBecomeHexEscapes) {
  struct Case {
    std::string text;
    std::string expected;
  };
  const Case cases[] = {
      {"alice", "alice"},
      {"", ""},
      {std::string("a\0b", 3), "a\\x00b"},
      {"\x01\x1f\x20\x7e\x7f\x80\xff", "\\x01\\x1f \x7e\\x7f\x80\xff"},
      {"tab\there\r\n", "tab\\x09here\\x0d\\x0a"},
      {"\x1b[31mred", "\\x1b[31mred"},
      {"back\\slash \\x41", "back\\slash \\x41"},  // only control bytes change
  };
  for (const Case& c : cases) EXPECT_EQ(escape_log_text(c.text), c.expected) << c.expected;
}

TEST_F(LogFileTest, OnlyARegularFileIsWrittenAndNothingBlocks) {
  const std::string fifo = dir_.file("fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  // A reader on the FIFO: an open without O_NONBLOCK would then succeed and
  // the line would go to whoever reads it.
  const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  const std::string paths[] = {fifo, "/dev/null"};
  for (const std::string& path : paths) {
    ActivityLog log;
    log.path = path;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(log.write("x"), 0) << path;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2)) << path;
  }
  char byte;
  EXPECT_LE(::read(reader, &byte, 1), 0) << "the line went into the FIFO";
  ::close(reader);

  // Without any reader, a FIFO would block a plain open for good.
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::alarm(5);
    ActivityLog log;
    log.path = dir_.file("lonely");
    ::mkfifo(log.path.c_str(), 0600);
    log.write("x");
    ::_exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the write hung on a FIFO";
}

TEST_F(LogFileTest, AppendKeepsEarlierLines) {
  const std::string path = dir_.file("activity.log");
  test::write_file(path, "earlier line\n");
  ActivityLog log;
  log.path = path;
  log.write("one");
  log.write("two");
  const std::string content = test::read_file(path);
  ASSERT_EQ(content.rfind("earlier line\n", 0), 0u) << content;
  const std::string rest = content.substr(13);
  const std::size_t line_length = std::string("[2008-03-05 09:07:02] one\n").size();
  ASSERT_EQ(rest.size(), 2 * line_length) << content;
  EXPECT_EQ(rest.substr(21, 5), " one\n");
  EXPECT_EQ(rest.substr(line_length + 21), " two\n");
}

TEST_F(LogFileTest, EmptyPathWritesNothing) {
  ActivityLog log;
  EXPECT_EQ(log.write("x"), -1);
  // log_activity without a configured path must not touch the working directory.
  char cwd[4096];
  ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(::chdir(dir_.path().c_str()), 0);
  log_activity("x");
  (void)!::chdir(cwd);
  EXPECT_EQ(::rmdir(dir_.path().c_str()), 0) << "directory is not empty";
}

TEST_F(LogFileTest, UnwritablePathIsSilent) {
  test::write_file(dir_.file("target"), "keep");
  ASSERT_EQ(::symlink(dir_.file("target").c_str(), dir_.file("link").c_str()), 0);
  const std::string paths[] = {
      dir_.file("no/such/dir/activity.log"),
      dir_.path(),        // a directory
      dir_.file("link"),  // a link is not followed
      dir_.file("nul") + std::string(1, '\0') + "x",
  };
  for (const std::string& path : paths) {
    ActivityLog log;
    log.path = path;
    EXPECT_EQ(log.write("x"), 0);
  }
  EXPECT_FALSE(test::file_exists(dir_.file("no")));
  EXPECT_FALSE(test::file_exists(dir_.file("nul")));
  EXPECT_EQ(test::read_file(dir_.file("target")), "keep");
}

TEST_F(LogFileTest, ConcurrentWritersNeverInterleave) {
  const std::string path = dir_.file("activity.log");
  constexpr int kWriters = 4;
  constexpr int kLines = 200;
  std::vector<pid_t> children;
  for (int w = 0; w < kWriters; ++w) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      ActivityLog log;
      log.path = path;
      const std::string message(1000, static_cast<char>('a' + w));
      for (int i = 0; i < kLines; ++i) log.write(message);
      ::_exit(0);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) ::waitpid(pid, nullptr, 0);
  const std::string content = test::read_file(path);
  const std::size_t line_length = 21 + 1 + 1000 + 1;
  ASSERT_EQ(content.size(), line_length * kWriters * kLines);
  for (std::size_t at = 0; at < content.size(); at += line_length) {
    const std::string line = content.substr(at, line_length);
    ASSERT_EQ(line.back(), '\n') << at;
    ASSERT_EQ(line.find_first_not_of(line[22], 22), line_length - 1) << at;
  }
}

}  // namespace
}  // namespace larkspur::logging
