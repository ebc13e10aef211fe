// SPDX-License-Identifier: Apache-2.0
#include "store/failure_counts.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/address_block.h"
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
            "a 31302e302e302e35 1799999995\nn 6120623a0a00ff5d 1800000000\n"
            "n 616c696365 1799999995\n");
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
      // One line per key: times, each with its count when more than one.
      {"n 61 1800000000\n", 1},
      {"n 61 1799999990 1800000000*3\na 6162 1800000000*2\n", 6},
      {"n  1800000000\n", 1},
      {"n 61\n", 0},
      {"n 61 \n", 0},
      {"n 61 1800000000*0\n", 0},
      {"n 61 1800000000*-1\n", 0},
      {"n 61 1800000000*\n", 0},
      {"n 61 1800000000x\n", 0},
      {"n 61  1800000000\n", 0},
      {"x 61 1800000000\n", 0},
      {"n 6 1800000000\n", 0},
      {"n 61 1800000000*99999999999\n", 0},
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

// However many failures come, a key holds a bounded number of slots, and
// merging them never lowers its count within the window.
TEST(FailureCounts, SlotsOfAKeyAreBoundedWithoutLosingFailures) {
  FailureCounts counts;
  for (int i = 0; i < 100; ++i) counts.add(Kind::kName, "alice", kNow - 99 + i);
  EXPECT_EQ(counts.count(Kind::kName, "alice", kNow, 900), 100);
  const std::string text = counts.serialize();
  EXPECT_EQ(std::count(text.begin(), text.end(), ' '), 1 + int{FailureCounts::kMaxTimes});
  EXPECT_EQ(FailureCounts::parse(text).count(Kind::kName, "alice", kNow, 900), 100);
  EXPECT_EQ(counts.count(Kind::kName, "alice", kNow + 868, 900), 100)
      << "merged failures are counted as long as the later time";
  EXPECT_EQ(counts.count(Kind::kName, "alice", kNow + 869, 900), 31);
}

// A full table takes no new key and forgets none with a failure in the
// window: a flood of other names and addresses cannot lower a count.
TEST(FailureCounts, FullTableTakesNoNewKeyAndForgetsNone) {
  FailureCounts counts;
  for (int i = 0; i < 10; ++i) counts.add(Kind::kName, "alice", kNow);
  for (std::size_t i = 1; i < FailureCounts::kMaxKeys; ++i) {
    ASSERT_TRUE(counts.add(Kind::kName, "junk" + std::to_string(i), kNow - 100));
  }
  EXPECT_FALSE(counts.add(Kind::kAddress, "10.0.0.1", kNow));
  EXPECT_FALSE(counts.contains(Kind::kAddress, "10.0.0.1"));
  EXPECT_TRUE(counts.add(Kind::kName, "junk1", kNow - 100)) << "a held key still counts";
  counts.prune(kNow, 900);
  counts = FailureCounts::parse(counts.serialize() + "a 31 1800000000\n");
  EXPECT_EQ(counts.keys(), FailureCounts::kMaxKeys);
  EXPECT_EQ(counts.count(Kind::kName, "alice", kNow, 900), 10);
  EXPECT_FALSE(counts.contains(Kind::kAddress, "1"));

  counts.prune(kNow + 850, 900);  // the junk has expired, alice has not
  EXPECT_EQ(counts.keys(), 1u);
  EXPECT_TRUE(counts.add(Kind::kAddress, "10.0.0.1", kNow + 850));
}

// A file of the earlier form, one line per failure, keeps its counts.
TEST(FailureCounts, EarlierFormReadsAsOneFailurePerLine) {
  const FailureCounts counts = FailureCounts::parse(
      "1799999990 n 616c696365\n1799999990 a 31302e302e302e35\n1799999995 n 616c696365\n"
      "1800000000 n 616c696365\n");
  EXPECT_EQ(counts.count(Kind::kName, "alice", kNow, 900), 3);
  EXPECT_EQ(counts.serialize(),
            "a 31302e302e302e35 1799999990\nn 616c696365 1799999990 1799999995 1800000000\n");
}

TEST(FailureCounts, TakeBackRemovesOneFailure) {
  FailureCounts counts;
  counts.add(Kind::kAddress, "10.0.0.5", kNow);
  counts.add(Kind::kAddress, "10.0.0.5", kNow);
  counts.take_back(Kind::kAddress, "10.0.0.5", kNow);
  EXPECT_EQ(counts.count(Kind::kAddress, "10.0.0.5", kNow, 900), 1);
  counts.take_back(Kind::kAddress, "10.0.0.5", kNow + 1);  // none at or after that time
  counts.take_back(Kind::kAddress, "10.0.0.5", kNow);
  EXPECT_FALSE(counts.contains(Kind::kAddress, "10.0.0.5"));
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

// An attempt is counted before its check; a check that succeeds takes its
// failure back from the address, and only its own, whatever others counted
// from there meanwhile or however the slots were merged.
TEST_F(ThrottleTest, ASuccessLeavesTheAddressCountAsItWas) {
  std::vector<int> full, later;
  for (int i = 1; i <= static_cast<int>(FailureCounts::kMaxTimes); ++i) {
    full.push_back(-40 + i);
    later.push_back(i);
  }
  const struct {
    const char* what;
    std::vector<int> before;   // the address's failures, seconds from now
    std::vector<int> between;  // others' failures from there while it was checked
    ThrottleLimits limits;
  } cases[] = {
      {"none before", {}, {}, {3, 5, 900}},
      {"earlier ones", {-100, -50}, {}, {3, 5, 900}},
      {"one in the same second", {0}, {}, {3, 5, 900}},
      {"others counted meanwhile", {-5}, {0, 1, 2}, {3, 5, 900}},
      {"every slot taken, earlier ones", full, {}, {3, 100, 900}},
      {"every slot taken, its own merged into a later one", later, {}, {3, 100, 900}},
      {"the address not counted", {-50, 0, 5}, {}, {3, 0, 900}},
  };
  const auto count_of = [&](Kind kind, const char* key) {
    return FailureCounts::parse(test::read_file(file_)).count(kind, key, kNow, 900);
  };
  for (const auto& c : cases) {
    limits_ = c.limits;
    FailureCounts prior;
    for (const int t : c.before) prior.add(Kind::kAddress, "1.1.1.1", kNow + t);
    prior.add(Kind::kName, "alice", kNow - 10);
    test::write_file(file_, prior.serialize());
    const int before = count_of(Kind::kAddress, "1.1.1.1");

    at("alice", "1.1.1.1").count_failure();
    for (const int t : c.between) at("carol", "1.1.1.1", kNow + t).count_failure();
    at("alice", "1.1.1.1").forget_name();
    EXPECT_EQ(count_of(Kind::kAddress, "1.1.1.1"), before + static_cast<int>(c.between.size()))
        << c.what;
    EXPECT_EQ(count_of(Kind::kName, "alice"), 0) << c.what;
  }
}

TEST_F(ThrottleTest, AnIPv6ClientIsCountedByItsSlash64) {
  const struct {
    const char* address;
    const char* block;
  } cases[] = {
      {"10.0.0.5", "10.0.0.5"},
      {"2001:db8:1:2:aaaa:bbbb:cccc:dddd", "2001:db8:1:2::/64"},
      {"2001:DB8:1:2::1", "2001:db8:1:2::/64"},
      {"::1", "::/64"},
      {"::ffff:192.0.2.7", "192.0.2.7"},  // an IPv4 client, not the block of all of them
      {"fe80::1%eth0", "fe80::1%eth0"},
      {"junk:", "junk:"},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(platform::address_block(c.address), c.block) << c.address;

  for (int i = 1; i <= 5; ++i) at("u", ("2001:db8::" + std::to_string(i)).c_str()).count_failure();
  EXPECT_TRUE(at("v", "2001:db8::ffff").refuses());
  EXPECT_FALSE(at("v", "2001:db8:0:1::1").refuses());
}

TEST_F(ThrottleTest, AFullTableRefusesOnlyWhatItCannotCount) {
  std::string text = "n 626f62 1800000000\na 312e312e312e31 1800000000\n";
  for (std::size_t i = 2; i < FailureCounts::kMaxKeys; ++i) {
    text += "n " + std::to_string(100000 + i) + " 1800000000\n";
  }
  test::write_file(file_, text);
  EXPECT_FALSE(at("bob", "1.1.1.1").refuses());
  EXPECT_TRUE(at("alice", "1.1.1.1").refuses()) << "a new name";
  EXPECT_TRUE(at("bob", "2.2.2.2").refuses()) << "a new address";
  EXPECT_FALSE(at("alice", "2.2.2.2", kNow + 900).refuses()) << "all expired";
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
