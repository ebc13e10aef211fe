// SPDX-License-Identifier: Apache-2.0
// Reading the AuthUserFile, finding and replacing hashes, and the text that
// goes back to disk.

#include "passwd/password_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <utility>
#include <vector>

#include "support/process.h"

namespace larkspur::passwd {
namespace {

using namespace std::string_literals;
using Records = std::vector<std::pair<std::string, std::string>>;

Records records_of(const PasswordFile& file) {
  Records out;
  file.for_each_record([&](const PasswordRecord& r) { out.emplace_back(r.user, r.hash); });
  return out;
}

std::string text_of(const PasswordFile& file) {
  std::string out;
  EXPECT_TRUE(file.text(out));
  return out;
}

struct ParseCase {
  const char* name;
  std::string input;
  Records records;
};

class ParseTest : public testing::TestWithParam<ParseCase> {};

TEST_P(ParseTest, SplitsRecordsAsApacheDoes) {
  PasswordFile file;
  file.parse(GetParam().input);
  EXPECT_EQ(records_of(file), GetParam().records);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, ParseTest,
    testing::Values(
        ParseCase{"Empty", "", {}},
        ParseCase{"Plain", "alice:h1\nbob:h2\n", {{"alice", "h1"}, {"bob", "h2"}}},
        ParseCase{"LastLineWithoutLineFeed", "alice:h1\nbob:h2", {{"alice", "h1"}, {"bob", "h2"}}},
        ParseCase{"CrLf", "alice:h1\r\nbob:h2\r\n", {{"alice", "h1"}, {"bob", "h2"}}},
        ParseCase{"SecondColonInHash", "bob:a:b\n", {{"bob", "a:b"}}},
        ParseCase{"HashCutAtCarriageReturn", "bob:abc\rdef\n", {{"bob", "abc"}}},
        ParseCase{"CarriageReturnInUserKept", "b\rob:h\n", {{"b\rob", "h"}}},
        ParseCase{"NonRecordLinesSkipped",
                  "\n# comment\n   \n\r\nno colon here\nbob:h\n",
                  {{"bob", "h"}}},
        ParseCase{"NumberSignWithColonIsRecord", "#bob:h\n", {{"#bob", "h"}}},
        ParseCase{"NothingTrimmed", " bob \t: h \n", {{" bob \t", " h "}}},
        ParseCase{
            "EmptyUserAndEmptyHash", ":h0\nalice:\n:\n", {{"", "h0"}, {"alice", ""}, {"", ""}}},
        ParseCase{"DuplicatesKept", "bob:1\nbob:2\n", {{"bob", "1"}, {"bob", "2"}}},
        ParseCase{"NulBytesAreBytes", "a\0b:h\0x\n"s, {{"a\0b"s, "h\0x"s}}}),
    [](const auto& info) { return std::string(info.param.name); });

struct LookupCase {
  const char* name;
  std::string input;
  std::string user;
  std::string hash;
};

class FindHashTest : public testing::TestWithParam<LookupCase> {};

TEST_P(FindHashTest, AnswersFromFirstMatchingRecord) {
  PasswordFile file;
  file.parse(GetParam().input);
  EXPECT_EQ(file.find_hash(GetParam().user), GetParam().hash);
}

INSTANTIATE_TEST_SUITE_P(
    Users, FindHashTest,
    testing::Values(LookupCase{"Found", "alice:h1\nbob:h2\n", "bob", "h2"},
                    LookupCase{"Absent", "alice:h1\n", "bob", ""},
                    LookupCase{"EmptyFile", "", "bob", ""},
                    LookupCase{"FirstOfTwo", "bob:first\nbob:second\n", "bob", "first"},
                    LookupCase{"EmptyHashFirstHidesLater", "bob:\nbob:second\n", "bob", ""},
                    LookupCase{"CaseMatters", "Bob:h1\n", "bob", ""},
                    LookupCase{"SpaceBeforeColonIsName", "bob :h1\nbob:h2\n", "bob", "h2"},
                    LookupCase{"PrefixIsNoMatch", "bobby:h1\n", "bob", ""},
                    LookupCase{"LongerIsNoMatch", "bo:h1\n", "bob", ""},
                    LookupCase{"EmptyUser", "alice:h1\n:h0\n", "", "h0"},
                    LookupCase{"NonRecordLineNeverMatches", "bob\n", "bob", ""},
                    LookupCase{"ColonInArgumentNeverMatches", "bob:x:y\n", "bob:x", ""}),
    [](const auto& info) { return std::string(info.param.name); });

struct RoundTripCase {
  const char* name;
  std::string input;
  std::string user;  // gets "NEW"
  std::string output;
};

class RoundTripTest : public testing::TestWithParam<RoundTripCase> {};

// Only the changed user's hash differs, apart from line ends; and what was
// written once comes back unchanged.
TEST_P(RoundTripTest, ChangesOnlyTheUsersHash) {
  PasswordFile file;
  file.parse(GetParam().input);
  file.set_hash(GetParam().user, "NEW");
  const std::string written = text_of(file);
  EXPECT_EQ(written, GetParam().output);

  PasswordFile again;
  again.parse(written);
  EXPECT_EQ(text_of(again), written);
  EXPECT_EQ(records_of(again), records_of(file));
}

INSTANTIATE_TEST_SUITE_P(
    Files, RoundTripTest,
    testing::Values(
        RoundTripCase{"Plain", "alice:h1\nbob:h2\ncarol:h3\n", "bob",
                      "alice:h1\nbob:NEW\ncarol:h3\n"},
        RoundTripCase{"Empty", "", "bob", ""},
        RoundTripCase{"UnknownUserChangesNothing", "alice:h1\n#x\n", "bob", "alice:h1\n#x\n"},
        RoundTripCase{"NonRecordLinesKeepTheirPlaces",
                      "# admins\n\nalice:h1\n   \nplain text\nbob:h2\n# end", "bob",
                      "# admins\n\nalice:h1\n   \nplain text\nbob:NEW\n# end\n"},
        RoundTripCase{"CrLfBecomesLf", "alice:h1\r\n# c\r\n\r\nbob:h2\r\n", "bob",
                      "alice:h1\n# c\n\nbob:NEW\n"},
        RoundTripCase{"TrailingCarriageReturnsOfNonRecordDropped", "#c\r\r\nx\r", "x", "#c\nx\n"},
        RoundTripCase{"CarriageReturnInsideNonRecordKept", "a\rb\nbob:h\n", "bob",
                      "a\rb\nbob:NEW\n"},
        RoundTripCase{"TextAfterCarriageReturnInHashDropped", "alice:a\rjunk\nbob:h\n", "bob",
                      "alice:a\nbob:NEW\n"},
        RoundTripCase{"LastLineWithoutLineFeed", "alice:h1\nbob:h2", "bob", "alice:h1\nbob:NEW\n"},
        RoundTripCase{"UnchangedLastLineGetsLineFeed", "bob:h2\nalice:h1", "bob",
                      "bob:NEW\nalice:h1\n"},
        RoundTripCase{"BothLinesOfDuplicateUser", "bob:1\nalice:a\nbob:2\n", "bob",
                      "bob:NEW\nalice:a\nbob:NEW\n"},
        RoundTripCase{"EmptyUserRecord", ":h0\nalice:\n", "", ":NEW\nalice:\n"},
        RoundTripCase{"CaseSensitive", "Bob:h1\nbob:h2\nBOB:h3\n", "bob",
                      "Bob:h1\nbob:NEW\nBOB:h3\n"},
        RoundTripCase{"SpaceBeforeColon", "bob :h1\nbob:h2\n", "bob", "bob :h1\nbob:NEW\n"},
        RoundTripCase{"NumberSignRecord", "#bob:h\nbob:h\n", "#bob", "#bob:NEW\nbob:h\n"},
        RoundTripCase{"NulBytesKept", "a\0:h\n\0\nbob:h\n"s, "bob", "a\0:h\n\0\nbob:NEW\n"s}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SetHashTest, DuplicateUserIsVerifiedAgainstFirstThenBothChange) {
  PasswordFile file;
  file.parse("bob:first\nbob:second\n");
  EXPECT_EQ(file.find_hash("bob"), "first");
  file.set_hash("bob", "NEW");
  EXPECT_EQ(records_of(file), (Records{{"bob", "NEW"}, {"bob", "NEW"}}));
  file.set_hash("bob", "NEWER");
  EXPECT_EQ(file.find_hash("bob"), "NEWER");
}

// Many changes scattered through a large file make more pieces than one
// system call takes at once; with and without carriage returns, which take
// different ways out.
TEST(SetHashTest, ManyScatteredChangesInLargeFile) {
  for (const std::string line_end : {"\n", "\r\n"}) {
    SCOPED_TRACE(line_end.size());
    std::string input, expected;
    PasswordFile file;
    for (int i = 0; i < 5000; ++i) {
      input += "user" + std::to_string(i) + ":hash" + std::to_string(i) + line_end;
      if (i % 7 == 0) input += "#note" + line_end;
    }
    file.parse(input);
    for (int i = 0; i < 5000; ++i) {
      std::string hash = i % 2 ? "changed" + std::to_string(i) : "hash" + std::to_string(i);
      if (i % 2) file.set_hash("user" + std::to_string(i), hash);
      expected += "user" + std::to_string(i) + ":" + hash + "\n";
      if (i % 7 == 0) expected += "#note\n";
    }
    EXPECT_EQ(text_of(file), expected);
    EXPECT_EQ(file.find_hash("user4999"), "changed4999");
    EXPECT_EQ(file.find_hash("user4998"), "hash4998");
  }
}

TEST(LoadTest, ReadsFileAndKeepsPath) {
  test::TempDir dir;
  const std::string path = dir.file("users");
  test::write_file(path, "#c\r\nalice:h1\r\nbob:h2");
  PasswordFile file;
  ASSERT_TRUE(file.load(path));
  EXPECT_EQ(file.path(), path);
  EXPECT_EQ(records_of(file), (Records{{"alice", "h1"}, {"bob", "h2"}}));
  EXPECT_EQ(text_of(file), "#c\nalice:h1\nbob:h2\n");
}

TEST(LoadTest, EmptyFileLoads) {
  test::TempDir dir;
  test::write_file(dir.file("users"), "");
  PasswordFile file;
  EXPECT_TRUE(file.load(dir.file("users")));
  EXPECT_TRUE(records_of(file).empty());
  EXPECT_EQ(file.find_hash("bob"), "");
}

// Whatever cannot be read as a regular file fails; the path is set anyway
// and what was loaded before stays.
TEST(LoadTest, UnreadablePathsFailAndKeepEarlierRecords) {
  test::TempDir dir;
  test::write_file(dir.file("users"), "bob:h\n");
  ASSERT_EQ(::mkdir(dir.file("directory").c_str(), 0700), 0);
  ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);  // must not block
  const std::vector<std::string> paths = {"", dir.file("missing"), dir.file("directory"),
                                          dir.file("fifo"), dir.file("users") + "\0x"s};
  for (const std::string& path : paths) {
    SCOPED_TRACE(path);
    PasswordFile file;
    ASSERT_TRUE(file.load(dir.file("users")));
    EXPECT_FALSE(file.load(path));
    EXPECT_EQ(file.path(), path);
    EXPECT_EQ(file.find_hash("bob"), "h");
  }
}

TEST(LoadTest, SecondLoadReplacesEverything) {
  test::TempDir dir;
  test::write_file(dir.file("a"), "alice:1\n#a\n");
  test::write_file(dir.file("b"), "bob:2\n");
  PasswordFile file;
  ASSERT_TRUE(file.load(dir.file("a")));
  file.set_hash("alice", "X");
  ASSERT_TRUE(file.load(dir.file("b")));
  EXPECT_EQ(text_of(file), "bob:2\n");
}

// Offsets, not pointers: a moved file still reads its own text, whether
// given (short enough to live inside the string) or loaded.
TEST(PasswordFileTest, SurvivesMove) {
  test::TempDir dir;
  test::write_file(dir.file("users"), "a:1\nb:2\n");
  PasswordFile given, loaded;
  given.parse("a:1\nb:2\n");
  ASSERT_TRUE(loaded.load(dir.file("users")));
  for (PasswordFile* file : {&given, &loaded}) {
    file->set_hash("b", "3");
    PasswordFile moved = std::move(*file);
    *file = PasswordFile();
    EXPECT_EQ(text_of(moved), "a:1\nb:3\n");
    EXPECT_EQ(moved.find_hash("a"), "1");
    *file = std::move(moved);
    EXPECT_EQ(file->find_hash("b"), "3");
  }
}

}  // namespace
}  // namespace larkspur::passwd
