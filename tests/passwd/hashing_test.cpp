// SPDX-License-Identifier: Apache-2.0
// Salts, Apache MD5 hashes, and agreement with Apache's own htpasswd.

#include "passwd/hashing.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "support/process.h"

namespace larkspur::passwd {
namespace {

constexpr const char* kHtpasswd = "/usr/bin/htpasswd";

std::string salt_of(std::uint64_t value, int count = 8) {
  std::string out(static_cast<std::size_t>(count), '?');
  fill_salt(out.data(), count, value);
  return out;
}

TEST(FillSaltTest, TakesSixBitsPerCharacterFromTheLowEnd) {
  EXPECT_EQ(salt_of(0), "........");
  EXPECT_EQ(salt_of(32767), "zz5.....");
  EXPECT_EQ(salt_of(0xFFFFFFFFFFFFull), "zzzzzzzz");
  EXPECT_EQ(salt_of(1 | 2 << 6 | 12 << 12 | 38ull << 18 | 63ull << 42), "/0Aa...z");
  EXPECT_EQ(salt_of(~0ull, 12), "zzzzzzzzzzD.");  // the 64 bits run out in the eleventh
  EXPECT_EQ(salt_of(5, 0), "");
}

std::string encode(const std::string& password) {
  char result[128] = {};
  EXPECT_EQ(encode_password(password.c_str(), result, sizeof result), 0);
  return result;
}

TEST(EncodePasswordTest, MakesApacheMd5HashWithFreshFullSalt) {
  std::set<std::string> salts;
  std::vector<std::set<char>> per_position(8);
  for (int i = 0; i < 200; ++i) {
    const std::string hash = encode("secret");
    ASSERT_EQ(hash.size(), 37u) << hash;
    ASSERT_EQ(hash.substr(0, 6), "$apr1$");
    ASSERT_EQ(hash[14], '$');
    const std::string salt = hash.substr(6, 8);
    for (std::size_t k = 0; k < 8; ++k) {
      ASSERT_NE(salt_alphabet.find(salt[k]), std::string_view::npos) << salt;
      per_position[k].insert(salt[k]);
    }
    ASSERT_TRUE(password_matches("secret", hash.c_str())) << hash;
    salts.insert(salt);
  }
  EXPECT_EQ(salts.size(), 200u);  // all within about a second
  for (std::size_t k = 0; k < 8; ++k) EXPECT_GT(per_position[k].size(), 10u) << "position " << k;
}

// apr_md5_encode silently cuts its output to fit; a cut hash must not come out.
TEST(EncodePasswordTest, TooSmallBufferGivesNothing) {
  char result[64];
  for (std::size_t size : {0, 1, 37, 38}) {
    std::fill(std::begin(result), std::end(result), 'x');
    EXPECT_NE(encode_password("secret", result, size), 0) << size;
    if (size > 0) {
      EXPECT_EQ(result[0], '\0') << size;
    }
  }
  EXPECT_EQ(encode_password("secret", result, 39), 0);
  EXPECT_EQ(std::string(result).size(), 37u);
}

test::ProcessResult htpasswd(std::vector<std::string> args) {
  args.insert(args.begin(), kHtpasswd);
  test::Command command;
  command.program = kHtpasswd;
  command.argv = std::move(args);
  command.env = {"PATH=/usr/bin:/bin", "LC_ALL=C"};
  return test::run_process(command);
}

TEST(InteropTest, HtpasswdVerifiesOurHashes) {
  test::TempDir dir;
  const std::string path = dir.file("users");
  for (const std::string password :
       {"secret", "", "a much longer pass phrase with spaces", "\xE4\xF6\xFC:$\\\"'"}) {
    SCOPED_TRACE(password);
    test::write_file(path, "user:" + encode(password) + "\n");
    EXPECT_EQ(htpasswd({"-vb", path, "user", password}).exit_status, 0);
    EXPECT_NE(htpasswd({"-vb", path, "user", password + "x"}).exit_status, 0);
  }
}

TEST(InteropTest, AcceptsEveryHashFormHtpasswdMakes) {
  for (const char* form : {"-nbm", "-nbB", "-nbs", "-nbd"}) {
    SCOPED_TRACE(form);
    test::ProcessResult made = htpasswd({form, "user", "secret"});
    ASSERT_EQ(made.exit_status, 0) << made.err;
    std::string hash = made.out.substr(made.out.find(':') + 1);
    hash = hash.substr(0, hash.find_first_of("\r\n"));
    ASSERT_FALSE(hash.empty()) << made.out;
    EXPECT_TRUE(password_matches("secret", hash.c_str())) << hash;
    EXPECT_FALSE(password_matches("Secret", hash.c_str())) << hash;
    EXPECT_FALSE(password_matches("", hash.c_str())) << hash;
  }
}

TEST(PasswordMatchesTest, RejectsEmptyAndMalformedHashes) {
  for (const char* hash : {"", "$apr1$", "$apr1$abc", "$2y$05$short", "{SHA}", "x", "secret"}) {
    EXPECT_FALSE(password_matches("secret", hash)) << hash;
    EXPECT_FALSE(password_matches("", hash)) << hash;
  }
  EXPECT_FALSE(password_matches(nullptr, "$apr1$x$y"));
  EXPECT_FALSE(password_matches("secret", nullptr));
}

}  // namespace
}  // namespace larkspur::passwd
