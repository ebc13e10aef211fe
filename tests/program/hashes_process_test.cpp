// SPDX-License-Identifier: Apache-2.0
// Hash schemes, the bytes a new password may hold, and faulty hash settings,
// through the running program: the page, the log line, the AuthUserFile and
// htpasswd's own verdict on the hash written.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "cgi_site.h"

namespace larkspur::test {
namespace {

const std::string kFailed = linked_message("alice:change password failed");
const std::string kBadCharacters =
    linked_message("The new password holds characters that cannot be used here");

// What the change wrote between <BODY> and </BODY>, whatever the charset.
std::string body_of(const std::string& page) {
  const std::size_t start = page.find("<BODY>\n");
  const std::size_t end = page.rfind("</BODY></HTML>\n");
  if (start == std::string::npos || end == std::string::npos || end < start) return page;
  return page.substr(start + 7, end - start - 7);
}

class HashesProcess : public ::testing::Test {
 protected:
  // alice's line is made by `htpasswd <flag>`; bob's stays as it is.
  void start(const std::string& ini_extra, const std::string& alice_flag = "-nbm") {
    ProcessResult made = run_htpasswd({"htpasswd", alice_flag, "alice", "old-secret"});
    ASSERT_EQ(made.exit_status, 0) << made.err;
    original_ =
        made.out.substr(0, made.out.find('\n')) + "\n" + htpasswd_line("bob", "bob-pass") + "\n";
    write_file(site_.auth_file(), original_);
    site_.write_ini("[path]\nauth_user_file=htpasswd\nlog_file=activity.log\n" + ini_extra);
  }

  ProcessResult change(const std::string& new_password) {
    return site_.post(change_body("alice", "old-secret", new_password, new_password));
  }

  std::string alice_hash() const {
    const std::string text = read_file(site_.auth_file());
    return text.substr(6, text.find('\n') - 6);
  }

  void expect_changed_to(const std::string& password, const ProcessResult& r) {
    EXPECT_EQ(body_of(r.out), plain_message("alice:changed password successfully")) << r.err;
    EXPECT_TRUE(htpasswd_verifies(site_.auth_file(), "alice", password));
    EXPECT_FALSE(htpasswd_verifies(site_.auth_file(), "alice", "old-secret"));
    const std::string text = read_file(site_.auth_file());
    EXPECT_EQ(text.substr(text.find('\n') + 1), original_.substr(original_.find('\n') + 1));
  }

  void expect_untouched() const { EXPECT_EQ(read_file(site_.auth_file()), original_); }

  std::string logged() const {
    const std::string log = read_file(site_.log_file());
    const std::size_t end = log.rfind('\n');
    const std::size_t start = log.rfind("] ", end);
    return start == std::string::npos ? log : log.substr(start + 2, end - start - 2);
  }

  Site site_;
  std::string original_;
};

TEST_F(HashesProcess, EachSchemeWritesItsHashWhichHtpasswdVerifies) {
  struct Case {
    const char* setup;  // lines of [setup]
    const char* alice_flag;
    const char* prefix;
  } cases[] = {
      {"", "-nbm", "$apr1$"},
      {"hash = md5\n", "-nbB", "$apr1$"},
      {"hash = bcrypt\n", "-nbm", "$2y$05$"},
      {"hash = bcrypt\nhash_cost = 10\n", "-nbm", "$2y$10$"},
      {"hash = sha256\n", "-nbm", "$5$"},
      {"hash = sha512\nhash_cost = 20000\n", "-nbm", "$6$rounds=20000$"},
      {"hash = yescrypt\n", "-nbm", "$y$j9T$"},
      {"hash = keep\n", "-nbB", "$2y$05$"},
      {"hash = keep\n", "-nb5", "$6$"},
      {"hash = keep\n", "-nb2", "$5$"},
      {"hash = keep\n", "-nbm", "$apr1$"},
      {"hash = keep\n", "-nbs", "$apr1$"},  // SHA-1 is none of ours: the default
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.setup) + c.alice_flag);
    start(std::string("[setup]\n") + c.setup, c.alice_flag);
    const ProcessResult r = change("new secret 1");
    expect_changed_to("new secret 1", r);
    EXPECT_TRUE(alice_hash().starts_with(c.prefix)) << alice_hash();
    EXPECT_EQ(logged(), "alice:changed password");
    EXPECT_EQ(r.err, "");
  }
}

TEST_F(HashesProcess, RefusedNewPasswordsLeaveTheFileAlone) {
  const std::string x72(72, 'x'), x73(73, 'x');
  struct Case {
    const char* label;
    std::string ini_extra;
    std::string alice_flag;
    std::string new_password;
    std::string page;
    std::string event;
  } cases[] = {
      {"bcrypt reads 72 bytes", "[setup]\nhash=bcrypt\n", "-nbm", x73,
       linked_message("Password's length must not be greater than 72"),
       "Password's length must not be greater than 72"},
      {"keep landing on bcrypt", "[setup]\nhash=keep\n", "-nbB", x73,
       linked_message("Password's length must not be greater than 72"),
       "Password's length must not be greater than 72"},
      {"configured text for too long", "[setup]\nhash=bcrypt\n[html]\npassword_too_long=Max:\n",
       "-nbm", x73, linked_message("Max:72"), "Password's length must not be greater than 72"},
      {"GB2312 page: a byte above 0x7F", "", "-nbm",
       "Gr\xA8\xB9\xDF"
       "e-2026",
       kBadCharacters, "New password has characters that cannot be used"},
      {"GB2312 page: a character reference", "", "-nbm", "Gr&#252;&#223;e-2026", kBadCharacters,
       "New password has characters that cannot be used"},
      {"GB2312 page: UTF-8 is refused too", "[html]\ncharset=gb2312\n", "-nbm",
       "Gr\xC3\xBC\xC3\x9F"
       "e",
       kBadCharacters, "New password has characters that cannot be used"},
      {"a NUL byte", "", "-nbm", std::string("ab\0cd", 5), kBadCharacters,
       "New password has characters that cannot be used"},
      {"a carriage return", "[html]\ncharset=UTF-8\n", "-nbm", "abc\rdef", kBadCharacters,
       "New password has characters that cannot be used"},
      {"a tab", "[html]\ncharset=UTF-8\n", "-nbm", "abc\tdef", kBadCharacters,
       "New password has characters that cannot be used"},
      {"DEL", "", "-nbm", "abc\x7F", kBadCharacters,
       "New password has characters that cannot be used"},
      {"UTF-8 page: invalid UTF-8", "[html]\ncharset=utf8\n", "-nbm",
       "Gr\xFC\xDF"
       "e",
       kBadCharacters, "New password has characters that cannot be used"},
      {"UTF-8 page: overlong form", "[html]\ncharset=UTF-8\n", "-nbm", "a\xC0\xAF", kBadCharacters,
       "New password has characters that cannot be used"},
      {"configured refusal text", "[html]\npassword_bad_characters=<b>No</b>\n", "-nbm", "\xB0\xA1",
       linked_message("<b>No</b>"), "New password has characters that cannot be used"},
      {"the help's name of the minimum", "[setup]\npass_min_length=8\n", "-nbm", "ab",
       linked_message("Password's length must greater than 8"),
       "Password's length must greater than 8"},
      {"the documented minimum wins", "[setup]\npassword_min_length=3\npass_min_length=2\n", "-nbm",
       "ab", linked_message("Password's length must greater than 3"),
       "Password's length must greater than 3"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    start(c.ini_extra, c.alice_flag);
    const ProcessResult r = change(c.new_password);
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(body_of(r.out), c.page) << r.err;
    EXPECT_EQ(logged(), c.event);
    expect_untouched();
  }
}

TEST_F(HashesProcess, AcceptedBytesAndLengths) {
  struct Case {
    const char* label;
    std::string ini_extra;
    std::string alice_flag;
    std::string new_password;
  } cases[] = {
      {"UTF-8 page: accents", "[html]\ncharset=UTF-8\n", "-nbm",
       "Gr\xC3\xBC\xC3\x9F"
       "e-2026"},
      {"UTF-8 page: four-byte character", "[html]\ncharset=UTF-8\n", "-nbB",
       "\xF0\x9F\x94\x91 key"},
      {"UTF-8 page: \"&#\" is typed text there", "[html]\ncharset=UTF-8\n", "-nbm", "a&#1;b"},
      {"bcrypt at 72 bytes", "[setup]\nhash=bcrypt\n", "-nbm", std::string(72, 'y')},
      {"keep on md5 allows 80", "[setup]\nhash=keep\n", "-nbm", std::string(80, 'z')},
      {"every printable ASCII byte", "", "-nbm", " !\"#$%&'()*+,-./09:;<=>?@AZ[\\]^_`az{|}~"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    start(c.ini_extra, c.alice_flag);
    const ProcessResult r = change(c.new_password);
    expect_changed_to(c.new_password, r);
  }
}

TEST_F(HashesProcess, FaultyHashSettingFailsTheChangeAndSaysWhyOnStderr) {
  struct Case {
    const char* setup;
    const char* diagnosis;
  } cases[] = {
      {"hash = sha1\n", "larkspur: hash = sha1 is unknown"},
      {"hash = bcrypt\nhash_cost = 31\n", "larkspur: hash_cost = 31 is out of range"},
      {"hash = sha256\nhash_cost = 500\n", "larkspur: hash_cost = 500 is out of range"},
      {"hash = keep\nhash_cost = 10\n", "larkspur: hash_cost = 10 has no meaning"},
      {"hash_cost = 10\n", "larkspur: hash_cost = 10 has no meaning with hash = md5"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.setup);
    start(std::string("[setup]\n") + c.setup);
    const ProcessResult r = change("new secret 1");
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out, framed(kFailed));
    EXPECT_EQ(logged(), "alice:change password failed");
    EXPECT_EQ(r.err.rfind(c.diagnosis, 0), 0u) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    expect_untouched();
    // The form page is not affected.
    EXPECT_EQ(site_.get().err, "");
  }
}

}  // namespace
}  // namespace larkspur::test
