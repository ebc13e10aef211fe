// SPDX-License-Identifier: Apache-2.0
// The change-password transaction: every outcome with its page, its log line,
// the lock and the AuthUserFile it leaves behind.
#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <filesystem>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "passwd/hashing.h"
#include "passwd/password_file.h"
#include "platform/platform.h"
#include "support/case_name.h"
#include "web/pages.h"
#include "web_fixture.h"

namespace larkspur::test {
namespace {

const std::string kMarkupUser = "<b>\"O'Neil\"&co";

std::string hash_of(const char* password) {
  char buffer[128] = {};
  passwd::encode_password(password, buffer, sizeof buffer);
  return buffer;
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

class ChangeTest : public WebTest {
 protected:
  void SetUp() override {
    WebTest::SetUp();
    auth_file_ = data_.file("htpasswd");
    log_file_ = data_.file("activity.log");
    original_ = "alice:" + hash_of("old-secret") + "\n" + "bob:" + hash_of("bob-pass") + "\n" +
                kMarkupUser + ":" + hash_of("mark-pass") + "\n" + "empty:\n";
    write_file(auth_file_, original_);
    set_ini("path", "auth_user_file", auth_file_);
    logging::log_file_path() = log_file_;
  }

  void submit(const std::string& name, const std::string& old_password,
              const std::string& new_password, const std::string& confirmation) {
    add_field("name", name);
    add_field("op", old_password);
    add_field("p1", new_password);
    add_field("p2", confirmation);
    add_field("chgpasswd", "Change");
    change_password();
  }

  // The log holds exactly one line, for this request, ending in `event`.
  void expect_logged(const std::string& event) {
    const std::string log = read_file(log_file_);
    static const std::regex stamp(R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\])");
    ASSERT_GE(log.size(), 21u) << log;
    EXPECT_TRUE(std::regex_match(log.substr(0, 21), stamp)) << log;
    EXPECT_EQ(log.substr(21), " [10.0.0.5][webuser] " + event + "\n");
  }

  bool lock_ever_opened() const { return file_exists(auth_file_ + ".lock"); }

  bool lock_is_free() const {
    platform::UpdateLock probe{auth_file_};
    return probe.open().ok() && probe.wait(std::chrono::milliseconds(0)).ok();
  }

  // `user` now has a hash of `password`, and every other line is as it was.
  void expect_changed(const std::string& user, const std::string& password) {
    passwd::PasswordFile file;
    ASSERT_TRUE(file.load(auth_file_));
    const std::string hash = file.find_hash(user);
    EXPECT_EQ(hash.rfind("$apr1$", 0), 0u) << hash;
    EXPECT_TRUE(passwd::password_matches(password.c_str(), hash.c_str()));
    const auto before = lines_of(original_);
    const auto after = lines_of(read_file(auth_file_));
    ASSERT_EQ(after.size(), before.size());
    for (std::size_t i = 0; i < before.size(); ++i) {
      if (before[i].rfind(user + ":", 0) == 0) continue;
      EXPECT_EQ(after[i], before[i]);
    }
  }

  TempDir data_;
  std::string auth_file_;
  std::string log_file_;
  std::string original_;
};

struct Setting {
  std::string section, key, value;  // an empty value removes the key
};

struct Case {
  std::string label;
  std::vector<Setting> settings = {};
  std::string name, old_password, new_password, confirmation;
  std::string page;
  std::string event;
  bool changes = false;  // the name's password becomes new_password
  bool locks = true;     // the update lock is taken
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.label; }

std::vector<Case> outcome_cases() {
  const std::string x80(80, 'x'), x81(81, 'x'), a100(100, 'a'), a80(80, 'a');
  return {
      {.label = "empty name",
       .name = "",
       .old_password = "old-secret",
       .new_password = "newpass",
       .confirmation = "newpass",
       .page = linked_message("Please enter user name"),
       .event = "Enter no user name",
       .locks = false},
      {.label = "name of CR LF only is empty",
       .name = "\r\n",
       .old_password = "old-secret",
       .new_password = "newpass",
       .confirmation = "newpass",
       .page = linked_message("Please enter user name"),
       .event = "Enter no user name",
       .locks = false},
      {.label = "configured enter_name",
       .settings = {{"html", "enter_name", "<b>Name?</b>"}},
       .name = "",
       .old_password = "",
       .new_password = "",
       .confirmation = "",
       .page = linked_message("<b>Name?</b>"),
       .event = "Enter no user name",
       .locks = false},
      {.label = "new passwords differ in case",
       .name = "alice",
       .old_password = "old-secret",
       .new_password = "Secret1",
       .confirmation = "secret1",
       .page = linked_message("Two new passwords are not matched"),
       .event = "Two new passwords are not matched",
       .locks = false},
      {.label = "shorter than the minimum",
       .settings = {{"setup", "password_min_length", "6"}},
       .name = "alice",
       .old_password = "old-secret",
       .new_password = "12345",
       .confirmation = "12345",
       .page = linked_message("Password's length must greater than 6"),
       .event = "Password's length must greater than 6",
       .locks = false},
      {.label = "exactly the minimum",
       .settings = {{"setup", "password_min_length", "6"}},
       .name = "alice",
       .old_password = "old-secret",
       .new_password = "123456",
       .confirmation = "123456",
       .page = plain_message("alice:changed password successfully"),
       .event = "alice:changed password",
       .changes = true},
      {.label = "minimum read like atoi",
       .settings = {{"setup", "password_min_length", "  8abc"}},
       .name = "alice",
       .old_password = "old-secret",
       .new_password = "1234567",
       .confirmation = "1234567",
       .page = linked_message("Password's length must greater than 8"),
       .event = "Password's length must greater than 8",
       .locks = false},
      {.label = "configured minimum text joins the number directly",
       .settings = {{"setup", "password_min_length", "6"},
                    {"html", "password_must_greater", "At least:"}},
       .name = "alice",
       .old_password = "old-secret",
       .new_password = "abc",
       .confirmation = "abc",
       .page = linked_message("At least:6"),
       .event = "Password's length must greater than 6",
       .locks = false},
      {.label = "negative minimum lets an empty password through",
       .settings = {{"setup", "password_min_length", "-3"}},
       .name = "alice",
       .old_password = "old-secret",
       .new_password = "",
       .confirmation = "",
       .page = plain_message("alice:changed password successfully"),
       .event = "alice:changed password",
       .changes = true},
      {.label = "new password over 80 bytes",
       .name = "alice",
       .old_password = "old-secret",
       .new_password = x81,
       .confirmation = x81,
       .page = linked_message("Password's length must not be greater than 80"),
       .event = "Password's length must not be greater than 80",
       .locks = false},
      {.label = "cut new password equal to its confirmation",
       .name = "alice",
       .old_password = "old-secret",
       .new_password = x81,
       .confirmation = x80,
       .page = linked_message("Password's length must not be greater than 80"),
       .event = "Password's length must not be greater than 80",
       .locks = false},
      {.label = "configured too-long text",
       .settings = {{"html", "password_too_long", "Max: "}},
       .name = "alice",
       .old_password = "old-secret",
       .new_password = x80 + "yz",
       .confirmation = x80 + "y",
       .page = linked_message("Max: 80"),
       .event = "Password's length must not be greater than 80",
       .locks = false},
      {.label = "minimum checked before the length limit",
       .settings = {{"setup", "password_min_length", "100"}},
       .name = "alice",
       .old_password = "old-secret",
       .new_password = x81,
       .confirmation = x81,
       .page = linked_message("Password's length must greater than 100"),
       .event = "Password's length must greater than 100",
       .locks = false},
      {.label = "80 bytes fit",
       .name = "alice",
       .old_password = "old-secret",
       .new_password = x80,
       .confirmation = x80,
       .page = plain_message("alice:changed password successfully"),
       .event = "alice:changed password",
       .changes = true},
      {.label = "no auth_user_file key",
       .settings = {{"path", "auth_user_file", ""}},
       .name = "alice",
       .old_password = "old-secret",
       .new_password = "n1",
       .confirmation = "n1",
       .page = linked_message("Server error...."),
       .event = "No authuserfile configed",
       .locks = false},
      {.label = "missing AuthUserFile in an existing directory",
       .settings = {{"path", "auth_user_file", "@DATA@/missing"}},
       .name = "alice",
       .old_password = "old-secret",
       .new_password = "n1",
       .confirmation = "n1",
       .page = linked_message("Server error...."),
       .event = "No authuserfile configed",
       .locks = false},
      {.label = "missing AuthUserFile",
       .settings = {{"path", "auth_user_file", "/nonexistent/htpasswd"}},
       .name = "alice",
       .old_password = "old-secret",
       .new_password = "n1",
       .confirmation = "n1",
       .page = linked_message("Server error...."),
       .event = "No authuserfile configed",
       .locks = false},
      {.label = "configured server_error",
       .settings = {{"path", "auth_user_file", ""}, {"html", "server_error", "Oops"}},
       .name = "alice",
       .old_password = "old-secret",
       .new_password = "n1",
       .confirmation = "n1",
       .page = linked_message("Oops...."),
       .event = "No authuserfile configed",
       .locks = false},
      {.label = "unknown user",
       .name = "carol",
       .old_password = "old-secret",
       .new_password = "n1",
       .confirmation = "n1",
       .page = linked_message("carol:old password is incorrect"),
       .event = "carol:no this user"},
      {.label = "user differing in case",
       .name = "Alice",
       .old_password = "old-secret",
       .new_password = "n1",
       .confirmation = "n1",
       .page = linked_message("Alice:old password is incorrect"),
       .event = "Alice:no this user"},
      {.label = "user with an empty hash",
       .name = "empty",
       .old_password = "",
       .new_password = "n1",
       .confirmation = "n1",
       .page = linked_message("empty:old password is incorrect"),
       .event = "empty:no this user"},
      {.label = "name holding a colon",
       .name = "alice:x",
       .old_password = "old-secret",
       .new_password = "n1",
       .confirmation = "n1",
       .page = linked_message("alice:x:old password is incorrect"),
       .event = "alice:x:no this user"},
      {.label = "long name cut to 80 bytes",
       .name = a100,
       .old_password = "old-secret",
       .new_password = "n1",
       .confirmation = "n1",
       .page = linked_message(a80 + ":old password is incorrect"),
       .event = a80 + ":no this user"},
      {.label = "control bytes of the name are escaped in the log",
       .name = "ev\x1b[2Jil\t",
       .old_password = "p",
       .new_password = "n1",
       .confirmation = "n1",
       .page = linked_message("ev\x1b[2Jil\t:old password is incorrect"),
       .event = "ev\\x1b[2Jil\\x09:no this user"},
      {.label = "wrong old password",
       .name = "alice",
       .old_password = "old-secreT",
       .new_password = "n1",
       .confirmation = "n1",
       .page = linked_message("alice:old password is incorrect"),
       .event = "alice:old password is incorrect"},
      {.label = "configured old_password_error",
       .settings = {{"html", "old_password_error", "<i>bad</i>"}},
       .name = "bob",
       .old_password = "nope",
       .new_password = "n1",
       .confirmation = "n1",
       .page = linked_message("bob:<i>bad</i>"),
       .event = "bob:old password is incorrect"},
      {.label = "success",
       .name = "alice",
       .old_password = "old-secret",
       .new_password = "brand new",
       .confirmation = "brand new",
       .page = plain_message("alice:changed password successfully"),
       .event = "alice:changed password",
       .changes = true},
      {.label = "configured success text stays unescaped",
       .settings = {{"html", "change_password_ok", "<b>done</b>"}},
       .name = "bob",
       .old_password = "bob-pass",
       .new_password = "n1",
       .confirmation = "n1",
       .page = plain_message("bob:<b>done</b>"),
       .event = "bob:changed password",
       .changes = true},
      {.label = "markup in the name is escaped on the page only",
       .name = kMarkupUser,
       .old_password = "mark-pass",
       .new_password = "n1",
       .confirmation = "n1",
       .page =
           plain_message("&lt;b&gt;&quot;O&#39;Neil&quot;&amp;co:changed password successfully"),
       .event = kMarkupUser + ":changed password",
       .changes = true},
      {.label = "markup in an unknown name is escaped",
       .name = "<script>x</script>",
       .old_password = "p",
       .new_password = "n1",
       .confirmation = "n1",
       .page = linked_message("&lt;script&gt;x&lt;/script&gt;:old password is incorrect"),
       .event = "<script>x</script>:no this user"},
  };
}

class OutcomeTest : public ChangeTest, public ::testing::WithParamInterface<Case> {};

TEST_P(OutcomeTest, WritesPageLogLineAndFile) {
  const Case& c = GetParam();
  for (const Setting& s : c.settings) {
    if (s.value.empty()) {
      config::ini_file().entries.erase(s.section + std::string(config::IniFile::kJoiner) + s.key);
    } else {
      std::string value = s.value;
      if (value.starts_with("@DATA@")) value.replace(0, 6, data_.path());
      set_ini(s.section, s.key, value);
    }
  }
  submit(c.name, c.old_password, c.new_password, c.confirmation);

  EXPECT_EQ(output(), c.page);
  expect_logged(c.event);
  if (c.changes) {
    expect_changed(std::string(c.name, 0, 80), c.new_password);
  } else {
    EXPECT_EQ(read_file(auth_file_), original_);
  }
  EXPECT_EQ(lock_ever_opened(), c.locks);
  EXPECT_TRUE(lock_is_free());
}

INSTANTIATE_TEST_SUITE_P(Outcomes, OutcomeTest, ::testing::ValuesIn(outcome_cases()),
                         test::LabelName());

TEST_F(ChangeTest, FailedRewriteKeepsTheFileAndReleasesTheLock) {
  std::filesystem::create_directory(auth_file_ + ".tmp");
  submit("alice", "old-secret", "n1", "n1");
  EXPECT_EQ(output(), linked_message("alice:change password failed"));
  expect_logged("alice:change password failed");
  EXPECT_EQ(read_file(auth_file_), original_);
  EXPECT_TRUE(lock_is_free());
}

TEST_F(ChangeTest, LockThatCannotBeOpenedIsAServerError) {
  std::filesystem::create_directory(auth_file_ + ".lock");
  submit("alice", "old-secret", "n1", "n1");
  EXPECT_EQ(output(), linked_message("Server error.."));
  expect_logged("Can't open or create mutex");
  EXPECT_EQ(read_file(auth_file_), original_);
}

TEST_F(ChangeTest, DuplicateUserIsVerifiedByTheFirstLineAndBothLinesChange) {
  original_ =
      "alice:" + hash_of("first") + "\nbob:" + hash_of("b") + "\nalice:" + hash_of("second") + "\n";
  write_file(auth_file_, original_);
  submit("alice", "second", "n1", "n1");
  EXPECT_EQ(output(), linked_message("alice:old password is incorrect"));
  EXPECT_EQ(read_file(auth_file_), original_);

  out_.str("");
  cgi::form_free_all();
  submit("alice", "first", "n2", "n2");
  EXPECT_EQ(output(), plain_message("alice:changed password successfully"));
  const auto after = lines_of(read_file(auth_file_));
  ASSERT_EQ(after.size(), 3u);
  EXPECT_EQ(after[0], after[2]);
  EXPECT_EQ(after[1], lines_of(original_)[1]);
  passwd::PasswordFile file;
  ASSERT_TRUE(file.load(auth_file_));
  EXPECT_TRUE(passwd::password_matches("n2", file.find_hash("alice").c_str()));
}

TEST_F(ChangeTest, WithoutALogFileTheChangeStillSucceeds) {
  logging::log_file_path().clear();
  submit("alice", "old-secret", "n1", "n1");
  EXPECT_EQ(output(), plain_message("alice:changed password successfully"));
  EXPECT_FALSE(file_exists(log_file_));
  expect_changed("alice", "n1");
}

}  // namespace
}  // namespace larkspur::test
