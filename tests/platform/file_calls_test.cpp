// SPDX-License-Identifier: Apache-2.0
// The file calls the store, the INI and the log make through the platform:
// byte search, the rewrite's temporary file, appending to the log, random
// bytes.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <string>
#include <string_view>
#include <utility>

#include "platform/file_range.h"
#include "platform/posix_io.h"
#include "platform/random.h"
#include "platform/rewrite_temp.h"
#include "support/process.h"

namespace larkspur::platform {
namespace {

using namespace std::string_view_literals;

TEST(FindBytes, FindsTheFirstOccurrenceOrNone) {
  struct Case {
    std::string_view haystack, needle;
    std::size_t expected;
  };
  const Case cases[] = {
      {"\nalice:x\nbob:y\n", "\nbob:", 8},
      {"\nbob:x\nbob:y\n", "\nbob:", 0},
      {"alice:x", "\nalice:", std::string_view::npos},  // the first line has no LF before it
      {"ab", "abc", std::string_view::npos},            // needle longer than the text
      {"", "\na:", std::string_view::npos},
      {"xyz", "", 0},
      {"a\0b:c\0b:"sv, "\0b:"sv, 1},  // NUL bytes are bytes like any other
      {"aaab", "aab", 1},             // a partial match before the real one
  };
  for (const Case& c : cases) {
    EXPECT_EQ(find_bytes(c.haystack, c.needle), c.expected)
        << "needle '" << c.needle << "' in '" << c.haystack << "'";
  }
}

class RewriteTempTest : public ::testing::Test {
 protected:
  test::TempDir dir_;
  std::string temp_ = dir_.file("users.tmp");
  std::string target_ = dir_.file("users");
};

TEST_F(RewriteTempTest, CreatesAPrivateFile) {
  Result<UniqueFd> opened = open_rewrite_temp(temp_);
  ASSERT_TRUE(opened);
  const UniqueFd fd = std::move(opened).value();
  struct stat st {};
  ASSERT_EQ(::fstat(fd.get(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(RewriteTempTest, ReusesAndEmptiesAStaleOne) {
  test::write_file(temp_, "left by a crash");
  Result<UniqueFd> opened = open_rewrite_temp(temp_);
  ASSERT_TRUE(opened);
  UniqueFd fd = std::move(opened).value();
  ASSERT_TRUE(empty_file(fd.get()));
  ASSERT_TRUE(write_all(fd.get(), "new"));
  fd.reset();
  EXPECT_EQ(test::read_file(temp_), "new");
}

TEST_F(RewriteTempTest, RefusesWhatIsNotItsOwnFileAndLeavesItAlone) {
  const std::string victim = dir_.file("victim");
  struct Case {
    const char* what;
    int (*plant)(const std::string& victim, const std::string& temp);
  };
  const Case cases[] = {
      {"symlink",
       [](const std::string& v, const std::string& t) { return ::symlink(v.c_str(), t.c_str()); }},
      {"hard link",
       [](const std::string& v, const std::string& t) { return ::link(v.c_str(), t.c_str()); }},
      {"FIFO", [](const std::string&, const std::string& t) { return ::mkfifo(t.c_str(), 0600); }},
      {"directory",
       [](const std::string&, const std::string& t) { return ::mkdir(t.c_str(), 0700); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    test::write_file(victim, "keep me");
    ASSERT_EQ(c.plant(victim, temp_), 0);
    const Result<UniqueFd> opened = open_rewrite_temp(temp_);
    ASSERT_FALSE(opened);
    EXPECT_NE(opened.error().reason(), "unknown reason");
    EXPECT_EQ(opened.error().subject, temp_);
    EXPECT_EQ(test::read_file(victim), "keep me");
    ::unlink(temp_.c_str());
    ::rmdir(temp_.c_str());
  }
}

TEST_F(RewriteTempTest, TakesTheModeOfTheFileItReplaces) {
  test::write_file(target_, "alice:x\n");
  ASSERT_EQ(::chmod(target_.c_str(), 0640), 0);
  Result<UniqueFd> opened = open_rewrite_temp(temp_);
  ASSERT_TRUE(opened);
  const UniqueFd fd = std::move(opened).value();
  ASSERT_TRUE(copy_file_attributes(fd.get(), target_));
  struct stat st {};
  ASSERT_EQ(::fstat(fd.get(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  // Nothing to copy from is no failure.
  EXPECT_TRUE(copy_file_attributes(fd.get(), dir_.file("missing")));
}

TEST_F(RewriteTempTest, RemoveFileRemoves) {
  test::write_file(temp_, "x");
  remove_file(temp_);
  EXPECT_NE(::access(temp_.c_str(), F_OK), 0);
}

TEST(OpenForAppending, CreatesAndAppendsWithoutFollowingALink) {
  test::TempDir dir;
  const std::string log = dir.file("activity.log");
  for (std::string_view line : {"one\n", "two\n"}) {
    const Result<UniqueFd> fd = open_for_appending(log);
    ASSERT_TRUE(fd);
    ASSERT_TRUE(write_all(fd.value().get(), line));
  }
  EXPECT_EQ(test::read_file(log), "one\ntwo\n");

  const std::string elsewhere = dir.file("elsewhere");
  test::write_file(elsewhere, "");
  ASSERT_EQ(::symlink(elsewhere.c_str(), dir.file("link.log").c_str()), 0);
  EXPECT_FALSE(open_for_appending(dir.file("link.log")));
  EXPECT_EQ(test::read_file(elsewhere), "");
}

TEST(RandomBytes, FillsEveryByte) {
  // 64 bytes all zero after a fill would mean nothing was written.
  std::array<unsigned char, 64> a{}, b{};
  ASSERT_TRUE(random_bytes(a.data(), a.size()));
  ASSERT_TRUE(random_bytes(b.data(), b.size()));
  EXPECT_TRUE(std::any_of(a.begin(), a.end(), [](unsigned char c) { return c != 0; }));
  EXPECT_NE(a, b);
}

}  // namespace
}  // namespace larkspur::platform
