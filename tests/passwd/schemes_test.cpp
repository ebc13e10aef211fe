// SPDX-License-Identifier: Apache-2.0
// The hash schemes an administrator can choose: reading the two keys, the
// hashes each scheme makes, and what `keep` keeps.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "passwd/hashing.h"
#include "support/process.h"

namespace larkspur::passwd {
namespace {

TEST(ParseHashChoiceTest, ReadsSchemeAndCostOrSaysWhatIsWrong) {
  struct Case {
    const char* hash;
    const char* cost;
    const char* error;  // a piece of the error text; nullptr: accepted
    bool keep;
    Scheme scheme;
    int parsed_cost;
  } cases[] = {
      {"", "", nullptr, false, Scheme::md5, 0},
      {"md5", "", nullptr, false, Scheme::md5, 0},
      {"bcrypt", "", nullptr, false, Scheme::bcrypt, 0},
      {"BCrypt", "10", nullptr, false, Scheme::bcrypt, 10},
      {"bcrypt", "4", nullptr, false, Scheme::bcrypt, 4},
      {"bcrypt", "14", nullptr, false, Scheme::bcrypt, 14},
      {"bcrypt", "3", "bcrypt takes a cost from 4 to 14", false, Scheme::md5, 0},
      {"bcrypt", "15", "out of range", false, Scheme::md5, 0},
      {"sha256", "1000", nullptr, false, Scheme::sha256, 1000},
      {"sha512", "1000000", nullptr, false, Scheme::sha512, 1000000},
      {"sha512", "999", "sha512 takes a rounds from 1000 to 1000000", false, Scheme::md5, 0},
      {"sha256", "1000001", "out of range", false, Scheme::md5, 0},
      {"sha256", "99999999999999999999", "out of range", false, Scheme::md5, 0},
      {"yescrypt", "1", nullptr, false, Scheme::yescrypt, 1},
      {"yescrypt", "5", nullptr, false, Scheme::yescrypt, 5},
      {"yescrypt", "0", "out of range", false, Scheme::md5, 0},
      {"yescrypt", "6", "out of range", false, Scheme::md5, 0},
      {"yescrypt", "11", "out of range", false, Scheme::md5, 0},
      {"bcrypt", "ten", "hash_cost = ten is out of range", false, Scheme::md5, 0},
      {"bcrypt", "-5", "out of range", false, Scheme::md5, 0},
      {"bcrypt", "5x", "out of range", false, Scheme::md5, 0},
      {"keep", "", nullptr, true, Scheme::md5, 0},
      {"keep", "10", "has no meaning with hash = keep", false, Scheme::md5, 0},
      {"md5", "5", "has no meaning with hash = md5", false, Scheme::md5, 0},
      {"sha1", "", "hash = sha1 is unknown", false, Scheme::md5, 0},
      {"crypt", "", "unknown", false, Scheme::md5, 0},
      {"md5 ", "", "unknown", false, Scheme::md5, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.hash) + " / " + c.cost);
    HashChoice choice;
    choice.cost = -1;  // untouched on a fault
    const std::string error = parse_hash_choice(c.hash, c.cost, choice);
    if (c.error) {
      EXPECT_NE(error.find(c.error), std::string::npos) << error;
      EXPECT_EQ(error.find('\n'), std::string::npos);
      EXPECT_EQ(choice.cost, -1);
    } else {
      EXPECT_EQ(error, "");
      EXPECT_EQ(choice.keep, c.keep);
      EXPECT_EQ(choice.scheme, c.scheme);
      EXPECT_EQ(choice.cost, c.parsed_cost);
    }
  }
}

TEST(LongestNewPasswordTest, BcryptReadsOnly72Bytes) {
  EXPECT_EQ(longest_new_password(Scheme::bcrypt), 72u);
  for (Scheme s : {Scheme::md5, Scheme::sha256, Scheme::sha512, Scheme::yescrypt}) {
    EXPECT_EQ(longest_new_password(s), 80u);
  }
  // The form does not know the user, so under `keep` it allows the most.
  EXPECT_EQ(longest_new_password(HashChoice{true, Scheme::md5, 0}), 80u);
  EXPECT_EQ(longest_new_password(HashChoice{false, Scheme::bcrypt, 0}), 72u);
  // Why: bcrypt ignores what follows the 72nd byte.
  char hash[128];
  ASSERT_EQ(encode_password(std::string(72, 'a').c_str(), Scheme::bcrypt, 4, hash, sizeof hash), 0);
  EXPECT_TRUE(password_matches(std::string(73, 'a').c_str(), hash));
}

test::ProcessResult htpasswd(std::vector<std::string> args) {
  args.insert(args.begin(), "htpasswd");
  test::Command command;
  command.program = "/usr/bin/htpasswd";
  command.argv = std::move(args);
  command.env = {"PATH=/usr/bin:/bin", "LC_ALL=C"};
  return test::run_process(command);
}

TEST(EncodeSchemeTest, EachSchemeMakesAFreshHashThatHtpasswdVerifies) {
  struct Case {
    Scheme scheme;
    int cost;
    const char* prefix;
    std::size_t length;  // 0: not fixed
  } cases[] = {
      {Scheme::md5, 0, "$apr1$", 37},
      {Scheme::bcrypt, 0, "$2y$05$", 60},  // htpasswd -B's default cost
      {Scheme::bcrypt, 4, "$2y$04$", 60},
      {Scheme::sha256, 0, "$5$", 63},  // 5000 rounds are not written out
      {Scheme::sha256, 1000, "$5$rounds=1000$", 0},
      {Scheme::sha512, 0, "$6$", 106},
      {Scheme::sha512, 2000, "$6$rounds=2000$", 0},
      {Scheme::yescrypt, 0, "$y$j9T$", 0},
      {Scheme::yescrypt, 1, "$y$j75$", 0},
  };
  test::TempDir dir;
  const std::string path = dir.file("users");
  const std::string password =
      "Gr\xC3\xBC\xC3\x9F"
      "e-2026 $:\\";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.prefix);
    char first[128] = {}, second[128] = {};
    ASSERT_EQ(encode_password(password.c_str(), c.scheme, c.cost, first, sizeof first), 0);
    ASSERT_EQ(encode_password(password.c_str(), c.scheme, c.cost, second, sizeof second), 0);
    const std::string hash = first;
    EXPECT_TRUE(hash.starts_with(c.prefix)) << hash;
    if (c.length) {
      EXPECT_EQ(hash.size(), c.length) << hash;
    }
    EXPECT_NE(hash, std::string(second)) << "the salt must be fresh";
    EXPECT_EQ(scheme_of(hash), c.scheme);
    EXPECT_TRUE(password_matches(password.c_str(), first));
    EXPECT_FALSE(password_matches((password + "x").c_str(), first));
    test::write_file(path, "user:" + hash + "\n");
    EXPECT_EQ(htpasswd({"-vb", path, "user", password}).exit_status, 0);
    EXPECT_NE(htpasswd({"-vb", path, "user", "Grusse-2026"}).exit_status, 0);
  }
}

TEST(EncodeSchemeTest, NoRoomOrBadCostGivesNothing) {
  struct Case {
    Scheme scheme;
    int cost;
    std::size_t size;
  } cases[] = {
      {Scheme::bcrypt, 0, 60},   {Scheme::bcrypt, 3, 128},    {Scheme::bcrypt, 18, 128},
      {Scheme::sha256, 0, 63},   {Scheme::sha512, 0, 106},    {Scheme::sha512, 999, 128},
      {Scheme::yescrypt, 0, 20}, {Scheme::yescrypt, 12, 128}, {Scheme::md5, 0, 37},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.scheme));
    char result[128];
    std::fill(std::begin(result), std::end(result), 'x');
    EXPECT_NE(encode_password("secret", c.scheme, c.cost, result, c.size), 0);
    EXPECT_EQ(result[0], '\0');
  }
}

TEST(KeepTest, KeepsTheSchemeOfEveryHashHtpasswdMakes) {
  const HashChoice keep{true, Scheme::md5, 0};
  struct Case {
    const char* flag;
    Scheme expected;
  } cases[] = {
      {"-nbB", Scheme::bcrypt}, {"-nb5", Scheme::sha512}, {"-nb2", Scheme::sha256},
      {"-nbm", Scheme::md5},    {"-nbs", Scheme::md5},  // SHA-1: none of ours
      {"-nbd", Scheme::md5},                            // DES crypt: none of ours
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.flag);
    test::ProcessResult made = htpasswd({c.flag, "user", "secret"});
    ASSERT_EQ(made.exit_status, 0) << made.err;
    std::string hash = made.out.substr(made.out.find(':') + 1);
    hash = hash.substr(0, hash.find_first_of("\r\n"));
    EXPECT_EQ(scheme_for(keep, hash), c.expected) << hash;
    // A chosen scheme is written whatever the user has now.
    EXPECT_EQ(scheme_for(HashChoice{false, Scheme::sha256, 0}, hash), Scheme::sha256);
  }
  const std::pair<const char*, Scheme> others[] = {
      {"$2a$05$x", Scheme::bcrypt},
      {"$2b$05$x", Scheme::bcrypt},
      {"$y$j9T$x", Scheme::yescrypt},
      {"$1$abc$def", Scheme::md5},
      {"", Scheme::md5},
      {"plain", Scheme::md5},
  };
  for (const auto& [hash, expected] : others) EXPECT_EQ(scheme_for(keep, hash), expected) << hash;
}

}  // namespace
}  // namespace larkspur::passwd
