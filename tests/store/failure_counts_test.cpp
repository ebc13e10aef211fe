// SPDX-License-Identifier: Apache-2.0
#include "store/failure_counts.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "support/process.h"

namespace larkspur::store {
namespace {

using Kind = FailureCounts::Kind;
constexpr std::time_t kNow = 1'800'000'000;

TEST(FailureCounts, SerializedFormReadsBackAndHoldsKeysOnlyInHex) {
  FailureCounts counts;
  const std::string odd("a b:\n\x00\xff]", 8);
  counts.add(Kind::kName, "alice", kNow - 5);
  counts.add(Kind::kAddress, "10.0.0.5", kNow - 5);
  counts.add(Kind::kName, odd, kNow);
  const std::string text = counts.serialize();
  EXPECT_EQ(text,
            "1799999995 n 616c696365\n1799999995 a 31302e302e302e35\n1800000000 n "
            "6120623a0a00ff5d\n");
  const FailureCounts back = FailureCounts::parse(text);
  EXPECT_EQ(back.serialize(), text);
  EXPECT_EQ(back.count(Kind::kName, odd, kNow, 900), 1);
  EXPECT_EQ(back.count(Kind::kAddress, "10.0.0.5", kNow, 900), 1);
  EXPECT_EQ(back.count(Kind::kAddress, "alice", kNow, 900), 0) << "kinds are apart";
}

TEST(FailureCounts, DamagedLinesAreSkipped) {
  const struct {
    const char* text;
    std::size_t kept;
  } cases[] = {
      {"", 0},
      {"1800000000 n 61\n", 1},
      {"1800000000 n 61", 1},  // cut short after a whole key
      {"1800000000 n 6\n", 0},
      {"1800000000 n 6g\n", 0},
      {"1800000000 n 4A\n", 0},  // only lower-case hex is written
      {"1800000000 x 61\n", 0},
      {"1800000000 n\n", 0},
      {"1800000000n 61\n", 0},
      {"x800000000 n 61\n", 0},
      {"\n\n1800000000 a 61\ngarbage\n\x01\x02\n1800000001 n \n", 2},
      {"99999999999999999999999 n 61\n", 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FailureCounts::parse(c.text).size(), c.kept) << c.text;
  }
}

TEST(FailureCounts, CountsOnlyWithinTheWindow) {
  FailureCounts counts;
  for (const std::time_t t : {kNow - 900, kNow - 899, kNow - 1, kNow, kNow + 899, kNow + 900}) {
    counts.add(Kind::kName, "alice", t);
  }
  // A clock set back keeps future entries for one window at most.
  EXPECT_EQ(counts.count(Kind::kName, "alice", kNow, 900), 4);
  EXPECT_EQ(counts.count(Kind::kName, "alice", kNow, 1), 1);
  EXPECT_EQ(counts.count(Kind::kName, "alice", kNow, 0), 0);
  counts.prune(kNow, 900);
  EXPECT_EQ(counts.size(), 4u);
}

TEST(FailureCounts, SizeIsBoundedOldestDroppedFirst) {
  FailureCounts counts;
  for (std::size_t i = 0; i < FailureCounts::kMaxEntries + 5; ++i) {
    counts.add(Kind::kAddress, i < 5 ? "old" : "new", kNow);
  }
  counts.prune(kNow, 900);
  EXPECT_EQ(counts.size(), FailureCounts::kMaxEntries);
  EXPECT_EQ(counts.count(Kind::kAddress, "old", kNow, 900), 0);

  const FailureCounts reread = FailureCounts::parse(counts.serialize() + "1800000000 n 61\n");
  EXPECT_EQ(reread.size(), FailureCounts::kMaxEntries);
  EXPECT_EQ(reread.count(Kind::kName, "a", kNow, 900), 1) << "the newest line is kept";
}

TEST(FailureCounts, LongKeysAreCutAlike) {
  FailureCounts counts;
  const std::string long_key(400, 'k');
  counts.add(Kind::kAddress, long_key, kNow);
  EXPECT_EQ(counts.count(Kind::kAddress, long_key, kNow, 900), 1);
  EXPECT_EQ(FailureCounts::parse(counts.serialize()).count(Kind::kAddress, long_key, kNow, 900), 1);
  counts.forget(Kind::kAddress, long_key + "x");
  EXPECT_EQ(counts.size(), 0u);
}

class ThrottleTest : public ::testing::Test {
 protected:
  test::TempDir dir_;
  std::string auth_ = dir_.file("users");
  std::string file_ = auth_ + ".failures";
  ThrottleLimits limits_{3, 5, 900};

  Throttle at(const char* name, const char* address, std::time_t now = kNow) {
    return Throttle(auth_, name, address, limits_, now);
  }
};

TEST_F(ThrottleTest, NameAndAddressLimitsApartAndSuccessClearsTheName) {
  for (int i = 0; i < 3; ++i) {
    EXPECT_FALSE(at("alice", "1.1.1.1").refuses()) << i;
    at("alice", "1.1.1.1").count_failure();
  }
  EXPECT_TRUE(at("alice", "2.2.2.2").refuses()) << "the name reached 3";
  EXPECT_FALSE(at("bob", "1.1.1.1").refuses()) << "the address is at 3 of 5";
  at("bob", "1.1.1.1").count_failure();
  at("carol", "1.1.1.1").count_failure();
  EXPECT_TRUE(at("dave", "1.1.1.1").refuses()) << "the address reached 5";
  EXPECT_FALSE(at("dave", "3.3.3.3").refuses());
  EXPECT_FALSE(at("alice", "2.2.2.2", kNow + 900).refuses()) << "the window has passed";

  at("alice", "2.2.2.2").forget_name();
  EXPECT_FALSE(at("alice", "2.2.2.2").refuses());
  EXPECT_TRUE(at("dave", "1.1.1.1").refuses()) << "the address keeps its count";

  struct stat st;
  ASSERT_EQ(::stat(file_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(test::read_file(file_).find("alice"), std::string::npos);
}

TEST_F(ThrottleTest, ZeroTurnsACountOff) {
  limits_ = {0, 0, 900};
  at("alice", "1.1.1.1").count_failure();
  EXPECT_FALSE(test::file_exists(file_)) << "nothing counted, nothing written";
  limits_ = {0, 2, 900};
  for (int i = 0; i < 5; ++i) at("alice", "", kNow).count_failure();
  EXPECT_FALSE(at("alice", "").refuses()) << "no name count, no address";
  for (int i = 0; i < 2; ++i) at("alice", "1.1.1.1", kNow).count_failure();
  EXPECT_TRUE(at("bob", "1.1.1.1").refuses());
}

TEST_F(ThrottleTest, ABadFileNeverBlocksAndIsRewritten) {
  // Damaged: counts as empty, then rewritten whole.
  test::write_file(file_, std::string("\x00\x01garbage\n1800000000 n 61", 25));
  at("alice", "1.1.1.1").count_failure();
  EXPECT_EQ(FailureCounts::parse(test::read_file(file_)).size(), 3u);
  EXPECT_EQ(test::read_file(file_).find("garbage"), std::string::npos);

  // Not a regular file: nothing is counted, nothing refused, nothing blocks.
  ::unlink(file_.c_str());
  ASSERT_EQ(::mkfifo(file_.c_str(), 0600), 0);
  at("alice", "1.1.1.1").count_failure();
  EXPECT_FALSE(at("alice", "1.1.1.1").refuses());

  // A link is not followed.
  ::unlink(file_.c_str());
  test::write_file(dir_.file("target"), "keep");
  ASSERT_EQ(::symlink(dir_.file("target").c_str(), file_.c_str()), 0);
  at("alice", "1.1.1.1").count_failure();
  EXPECT_EQ(test::read_file(dir_.file("target")), "keep");
}

}  // namespace
}  // namespace larkspur::store
