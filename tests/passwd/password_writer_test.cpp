// SPDX-License-Identifier: Apache-2.0
// Rewriting the AuthUserFile: what reaches the disk, what survives a failure
// and what a crash at any moment leaves behind.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <string>
#include <thread>

#include "passwd/password_file.h"
#include "support/process.h"
#include "support/scratch_xfs.h"

namespace larkspur::passwd {
namespace {

struct stat stat_of(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
  return st;
}

class SaveTest : public testing::Test {
 protected:
  void SetUp() override { test::write_file(path_, "#admins\r\nalice:h1\r\nbob:h2\r\n"); }

  PasswordFile loaded() {
    PasswordFile file;
    EXPECT_TRUE(file.load(path_));
    return file;
  }

  test::TempDir dir_;
  const std::string path_ = dir_.file("site.htpasswd");
  const std::string temp_ = path_ + ".tmp";
};

TEST_F(SaveTest, WritesNewTextAndLeavesNoTemporaryFile) {
  PasswordFile file = loaded();
  file.set_hash("bob", "NEW");
  ASSERT_TRUE(file.save());
  EXPECT_EQ(test::read_file(path_), "#admins\nalice:h1\nbob:NEW\n");
  EXPECT_FALSE(test::file_exists(temp_));
  EXPECT_EQ(file.find_hash("bob"), "NEW");  // save leaves the file in memory alone
}

TEST_F(SaveTest, FileWithoutRecordsIsWrittenEmpty) {
  test::write_file(path_, "");
  PasswordFile file = loaded();
  ASSERT_TRUE(file.save());
  EXPECT_EQ(test::read_file(path_), "");
}

TEST_F(SaveTest, KeepsPermissionBitsOwnerAndGroup) {
  const mode_t old_umask = ::umask(077);
  for (mode_t mode : {0640, 0604, 0600, 0444}) {
    SCOPED_TRACE(mode);
    ASSERT_EQ(::chmod(path_.c_str(), mode), 0);
    ASSERT_EQ(::chown(path_.c_str(), 1234, 5678), 0);  // we run as root
    PasswordFile file = loaded();
    file.set_hash("bob", "NEW");
    ASSERT_TRUE(file.save());
    struct stat st = stat_of(path_);
    EXPECT_EQ(st.st_mode & 07777, mode);
    EXPECT_EQ(st.st_uid, 1234u);
    EXPECT_EQ(st.st_gid, 5678u);
  }
  ::umask(old_umask);
}

TEST_F(SaveTest, StaleTemporaryFileIsOverwritten) {
  ASSERT_EQ(::chmod(path_.c_str(), 0640), 0);
  test::write_file(temp_, std::string(10000, 'x') + "\nmallory:evil\n");
  ASSERT_EQ(::chmod(temp_.c_str(), 0666), 0);
  PasswordFile file = loaded();
  ASSERT_TRUE(file.save());
  EXPECT_EQ(test::read_file(path_), "#admins\nalice:h1\nbob:h2\n");
  EXPECT_EQ(stat_of(path_).st_mode & 07777, 0640u);
  EXPECT_FALSE(test::file_exists(temp_));
}

// The temporary name is the whole file name with ".tmp" after it; when that
// name is taken by something that is not a plain file, nothing is replaced.
TEST_F(SaveTest, BlockedTemporaryNameLeavesFileUntouched) {
  const std::string before = test::read_file(path_);
  const std::string elsewhere = dir_.file("elsewhere");
  test::write_file(elsewhere, "precious\n");
  const std::vector<std::pair<const char*, int (*)(const std::string&, const std::string&)>>
      blockers = {
          {"directory",
           [](const std::string& t, const std::string&) { return ::mkdir(t.c_str(), 0700); }},
          {"symlink", [](const std::string& t,
                         const std::string& e) { return ::symlink(e.c_str(), t.c_str()); }},
          {"dangling symlink",
           [](const std::string& t, const std::string& e) {
             return ::symlink((e + ".none").c_str(), t.c_str());
           }},
          {"fifo",
           [](const std::string& t, const std::string&) { return ::mkfifo(t.c_str(), 0600); }},
          {"hard link to another file",
           [](const std::string& t, const std::string& e) { return ::link(e.c_str(), t.c_str()); }},
      };
  for (const auto& [name, make] : blockers) {
    SCOPED_TRACE(name);
    ASSERT_EQ(make(temp_, elsewhere), 0);
    PasswordFile file = loaded();
    file.set_hash("bob", "NEW");
    EXPECT_FALSE(file.save());
    EXPECT_EQ(test::read_file(path_), before);
    EXPECT_EQ(test::read_file(elsewhere), "precious\n");
    EXPECT_FALSE(test::file_exists(elsewhere + ".none"));
    EXPECT_TRUE(test::file_exists(temp_));  // not ours to remove
    ASSERT_EQ(::remove(temp_.c_str()), 0);
  }
  // A directory named "site.tmp" is no obstacle: the extension stays.
  ASSERT_EQ(::mkdir(dir_.file("site.tmp").c_str(), 0700), 0);
  PasswordFile file = loaded();
  EXPECT_TRUE(file.save());
}

TEST_F(SaveTest, RefusesWhatCannotBeWrittenFaithfully) {
  const std::string before = test::read_file(path_);
  PasswordFile never_loaded;
  EXPECT_FALSE(never_loaded.save());

  PasswordFile line_break = loaded();
  line_break.set_hash("bob", "x\nmallory:y");
  EXPECT_FALSE(line_break.save());

  PasswordFile carriage_return = loaded();
  carriage_return.set_hash("bob", "x\r");
  EXPECT_FALSE(carriage_return.save());

  EXPECT_EQ(test::read_file(path_), before);
  EXPECT_FALSE(test::file_exists(temp_));
}

std::string big_file(const std::string& hash_prefix) {
  std::string text;
  for (int i = 0; i < 20000; ++i) {
    text += "user" + std::to_string(i) + ":" + hash_prefix + std::to_string(i) + "\n";
  }
  return text;
}

// Puts `text` in place as a new file, as a save does, so that a file loaded
// from `path` before keeps its own text.
void replace_with(const std::string& path, const std::string& text) {
  test::write_file(path + ".new", text);
  ASSERT_EQ(::rename((path + ".new").c_str(), path.c_str()), 0);
}

// A file of many megabytes is written in pieces, each handed to the disk as
// it is done: byte for byte the text it should be, whether the changed
// hash keeps its length (the blocks around it line up), changes it
// (everything after it shifts) or the file has carriage returns (written
// line by line), and wherever the changes fall.
TEST(LargeSaveTest, ManyMegabytesComeOutExact) {
  struct Case {
    const char* name;
    std::string line_end;
    std::string new_hash;
  };
  const Case cases[] = {
      {"same length", "\n", "$apr1$zzzzzzzz$"},
      {"longer", "\n", "$apr1$zzzzzzzz$and then some"},
      {"carriage returns", "\r\n", "$apr1$zzzzzzzz$"},
  };
  test::TempDir dir;
  const std::string path = dir.file("users");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string text, expected;
    constexpr int kUsers = 300000;  // about 10 MB
    for (int i = 0; i < kUsers; ++i) {
      const std::string name = "user" + std::to_string(i);
      const bool changed = i == 3 || i == kUsers / 2 || i == kUsers - 1;
      text += name + ":$apr1$aaaaaaaa$" + c.line_end;
      expected += name + ":" + (changed ? c.new_hash : std::string("$apr1$aaaaaaaa$")) + "\n";
    }
    replace_with(path, text);
    PasswordFile file;
    ASSERT_TRUE(file.load(path));
    for (const int i : {3, kUsers / 2, kUsers - 1})
      file.set_hash("user" + std::to_string(i), c.new_hash);
    ASSERT_TRUE(file.save());
    EXPECT_TRUE(test::read_file(path) == expected);
  }
}

// A writer killed at any moment leaves exactly the old text or the new one,
// never a mixture, a truncation or no file. One save changes a hash in place
// (whole blocks around it shared or copied), the other a hash of another
// length (everything after it shifts).
void kill_writers_and_check(const std::string& dir) {
  const std::string path = dir + "/users";
  PasswordFile file_a, file_b;
  replace_with(path, big_file("$apr1$bbbbbbbb$xyz"));
  ASSERT_TRUE(file_b.load(path));
  file_b.set_hash("user7", "$apr1$cccccccc$longer than it was");
  replace_with(path, big_file("$apr1$aaaaaaaa$"));
  ASSERT_TRUE(file_a.load(path));
  file_a.set_hash("user19000", "$apr1$dddddddd$19000");
  std::string a, b;
  ASSERT_TRUE(file_a.text(a));
  ASSERT_TRUE(file_b.text(b));

  auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(file_b.save());
  ASSERT_TRUE(file_a.save());
  ASSERT_EQ(test::read_file(path), a);
  const auto save_time = std::max<long>(1, std::chrono::duration_cast<std::chrono::microseconds>(
                                               std::chrono::steady_clock::now() - start)
                                                   .count() /
                                               2);

  std::mt19937 random(std::random_device{}());
  std::uniform_int_distribution<long> delay(0, 3 * save_time);
  int seen_a = 0, seen_b = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  for (int i = 0; i < 50 && std::chrono::steady_clock::now() < deadline; ++i) {
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      ::close(ready[0]);
      (void)!::write(ready[1], "r", 1);
      for (;;) {
        (void)file_b.save();
        (void)file_a.save();
      }
    }
    ::close(ready[1]);
    char byte;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);
    ::close(ready[0]);
    std::this_thread::sleep_for(std::chrono::microseconds(delay(random)));
    ASSERT_EQ(::kill(pid, SIGKILL), 0);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);

    const std::string now = test::read_file(path);
    ASSERT_TRUE(now == a || now == b) << "iteration " << i << ": " << now.size() << " bytes";
    (now == a ? seen_a : seen_b)++;
  }
  // The kills landed while saves were under way, not only before the first.
  EXPECT_GT(seen_b, 0);
  // And a stale temporary file from a killed writer does no harm.
  ASSERT_TRUE(file_b.save());
  EXPECT_EQ(test::read_file(path), b);
}

TEST(CrashTest, KilledWriterLeavesOneWholeText) {
  test::TempDir dir;
  kill_writers_and_check(dir.path());
}

TEST(CrashTest, KilledWriterLeavesOneWholeTextWithSharedExtents) {
  test::ScratchXfs xfs;
  if (!xfs.mounted()) GTEST_SKIP() << xfs.reason();
  kill_writers_and_check(xfs.dir());
}

}  // namespace
}  // namespace larkspur::passwd
