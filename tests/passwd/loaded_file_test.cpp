// SPDX-License-Identifier: Apache-2.0
// A loaded file is read in windows and rewritten by copying ranges file to
// file; a text given in memory takes neither path. On files of several
// windows, both must give the same records and the same bytes.

#include <errno.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "passwd/password_file.h"
#include "support/process.h"
#include "support/scratch_xfs.h"

namespace larkspur::passwd {
namespace {

using Records = std::vector<std::pair<std::string, std::string>>;

Records records_of(const PasswordFile& file) {
  Records out;
  file.for_each_record([&](const PasswordRecord& r) { out.emplace_back(r.user, r.hash); });
  return out;
}

// Users "u0" ... with hashes of uneven lengths, so that changes land at every
// place within a block; `end` ends each line.
std::string many_users(int count, const std::string& end, unsigned seed = 7) {
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> length(1, 90);
  std::string text;
  for (int i = 0; i < count; ++i) {
    text += "u" + std::to_string(i) + ":" + std::string(length(random), 'a' + i % 26) + end;
  }
  return text;
}

struct Change {
  std::string user;
  std::string hash;  // empty: one as long as the old one, so nothing shifts
};

struct LoadedCase {
  const char* name;
  std::function<std::string()> text;
  std::vector<Change> changes;
};

class LoadedFileTest : public testing::TestWithParam<LoadedCase> {
 protected:
  // Saves the loaded file in `dir` and checks it against the same changes
  // made to the text in memory.
  void check_in(const std::string& dir) {
    const LoadedCase& c = GetParam();
    const std::string path = dir + "/users";
    const std::string input = c.text();
    test::write_file(path, input);
    PasswordFile loaded, given;
    ASSERT_TRUE(loaded.load(path));
    given.parse(input);
    for (const Change& change : c.changes) {
      const std::string old = given.find_hash(change.user);
      ASSERT_EQ(loaded.find_hash(change.user), old) << change.user;
      const std::string hash = change.hash.empty() ? std::string(old.size(), 'S') : change.hash;
      loaded.set_hash(change.user, hash);
      given.set_hash(change.user, hash);
      ASSERT_EQ(loaded.find_hash(change.user), given.find_hash(change.user)) << change.user;
    }
    std::string expected;
    ASSERT_TRUE(given.text(expected));
    ASSERT_TRUE(loaded.save());
    const std::string written = test::read_file(path);
    ASSERT_EQ(written.size(), expected.size());
    ASSERT_TRUE(written == expected);
    EXPECT_TRUE(records_of(loaded) == records_of(given));
  }
};

TEST_P(LoadedFileTest, SavesWhatTheTextInMemoryWouldBe) {
  test::TempDir dir;
  check_in(dir.path());
}

TEST_P(LoadedFileTest, SavesWhatTheTextInMemoryWouldBeWithSharedExtents) {
  test::ScratchXfs xfs;
  if (!xfs.mounted()) GTEST_SKIP() << xfs.reason();
  check_in(xfs.dir());
}

std::vector<Change> every_nth(int count, int step, std::size_t hash_length) {
  std::vector<Change> changes;
  for (int i = 0; i < count; i += step) {
    changes.push_back({"u" + std::to_string(i), std::string(hash_length, 'N')});
  }
  return changes;
}

const std::string kLongLine(std::size_t{9} << 19, 'x');  // longer than a window

INSTANTIATE_TEST_SUITE_P(
    Windows, LoadedFileTest,
    testing::Values(LoadedCase{"NoChange", [] { return many_users(200000, "\n"); }, {}},
                    LoadedCase{"SameLengthHashes",
                               [] { return many_users(200000, "\n"); },
                               {{"u0", ""}, {"u199999", ""}, {"u17337", ""}, {"u17338", ""}}},
                    LoadedCase{"HashesOfOtherLengths", [] { return many_users(200000, "\n"); },
                               every_nth(200000, 13003, 61)},
                    LoadedCase{"NoFinalLineFeed",
                               [] { return many_users(200000, "\n") + "last:h"; },
                               {{"u100", "NEW"}, {"last", "LAST"}}},
                    LoadedCase{"NoFinalLineFeedUnchanged",
                               [] { return many_users(200000, "\n") + "#end"; },
                               {{"u100", "NEW"}}},
                    LoadedCase{"CarriageReturns",
                               [] { return many_users(200000, "\r\n") + "#c\r\r"; },
                               every_nth(200000, 20011, 40)},
                    LoadedCase{"DuplicateUserFarApart",
                               [] { return "dup:1\n" + many_users(200000, "\n") + "dup:2\n"; },
                               {{"dup", "BOTH"}}},
                    LoadedCase{"LinesLongerThanAWindow",
                               [] {
                                 return "a:1\n" + kLongLine + "\nlong:" + kLongLine + "\nb:2\n" +
                                        kLongLine;
                               },
                               {{"b", "B"}, {"long", "short now"}, {"a", "A"}}},
                    LoadedCase{"UsersWithoutRecord",
                               [] { return many_users(200000, "\n"); },
                               {{"nobody", "X"}, {"u1:x", "X"}, {"\n", "X"}}}),
    [](const auto& info) { return std::string(info.param.name); });

// Another program rewrote the file in place after it was read: its offsets
// mean nothing now, so nothing is written over it.
TEST(LoadedFileChanged, InPlaceRewriteIsNotOverwritten) {
  test::TempDir dir;
  const std::string path = dir.file("users");
  test::write_file(path, "alice:1\nbob:2\n");
  PasswordFile file;
  ASSERT_TRUE(file.load(path));
  file.set_hash("bob", "NEW");
  test::write_file(path, "alice:1\nbob:2\ncarol:3\n");
  const platform::Status saved = file.save();
  ASSERT_FALSE(saved);
  EXPECT_EQ(saved.error().reason(), platform::kFileChanged);
  EXPECT_EQ(test::read_file(path), "alice:1\nbob:2\ncarol:3\n");
  EXPECT_FALSE(test::file_exists(path + ".tmp"));
}

// A failed save says why, for the server's error log.
TEST(LoadedFileChanged, FailedSaveSaysWhy) {
  struct Case {
    const char* name;
    std::function<void(const std::string& dir)> obstacle;
    int error;
  };
  const std::vector<Case> cases = {
      {"TemporaryNameIsADirectory",
       [](const std::string& dir) { ::mkdir((dir + "/users.tmp").c_str(), 0700); }, EISDIR},
      {"TemporaryNameIsADanglingLink",
       [](const std::string& dir) {
         ::symlink((dir + "/none").c_str(), (dir + "/users.tmp").c_str());
       },
       ELOOP},
      {"DirectoryGone",
       [](const std::string& dir) {
         ::unlink((dir + "/users").c_str());
         ::rmdir(dir.c_str());
       },
       ENOENT},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    test::TempDir dir;
    const std::string sub = dir.file("site");
    ASSERT_EQ(::mkdir(sub.c_str(), 0700), 0);
    test::write_file(sub + "/users", "bob:1\n");
    PasswordFile file;
    ASSERT_TRUE(file.load(sub + "/users"));
    file.set_hash("bob", "2");
    c.obstacle(sub);
    const platform::Status saved = file.save();
    ASSERT_FALSE(saved);
    EXPECT_EQ(saved.error().code, c.error);
  }
}

}  // namespace
}  // namespace larkspur::passwd
