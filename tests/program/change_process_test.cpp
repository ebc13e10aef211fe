// SPDX-License-Identifier: Apache-2.0
// Every outcome of a submitted change, through the running program: the page,
// the log line and what happens to the AuthUserFile.
#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <functional>
#include <regex>

#include "cgi_site.h"
#include "support/case_name.h"

namespace larkspur::test {
namespace {

const std::string kMarkupUser = "<b>\"O'Neil\"&co";

struct Case {
  std::string label;
  std::string min_length;  // [setup] password_min_length; empty: no key
  std::string name, old_password, new_password, confirmation;
  std::string body;   // the page body between <BODY> and </BODY>
  std::string event;  // the log line's text
  bool changes = false;
  std::function<void(const Site&)> prepare = {};
  std::string auth_user_file = "htpasswd";
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.label; }

std::vector<Case> cases() {
  const std::string x81(81, 'x');
  return {
      {"empty name", "", "", "old-secret", "n1", "n1", linked_message("Please enter user name"),
       "Enter no user name"},
      {"new passwords differ", "", "alice", "old-secret", "Secret1", "secret1",
       linked_message("Two new passwords are not matched"), "Two new passwords are not matched"},
      {"too short for a minimum read like atoi", "  8abc", "alice", "old-secret", "1234567",
       "1234567", linked_message("Password's length must greater than 8"),
       "Password's length must greater than 8"},
      {"new password over 80 bytes", "", "alice", "old-secret", x81, x81,
       linked_message("Password's length must not be greater than 80"),
       "Password's length must not be greater than 80"},
      {"unreadable AuthUserFile",
       "",
       "alice",
       "old-secret",
       "n1",
       "n1",
       linked_message("Server error...."),
       "No authuserfile configed",
       false,
       {},
       "missing"},
      {"unknown user", "", "carol", "old-secret", "n1", "n1",
       linked_message("carol:old password is incorrect"), "carol:no this user"},
      {"wrong old password", "", "alice", "wrong", "n1", "n1",
       linked_message("alice:old password is incorrect"), "alice:old password is incorrect"},
      {"failed rewrite", "", "alice", "old-secret", "n1", "n1",
       linked_message("alice:change password failed"), "alice:change password failed", false,
       [](const Site& site) { std::filesystem::create_directory(site.auth_file() + ".tmp"); }},
      {"success", "6", "alice", "old-secret", "new pw+&=%", "new pw+&=%",
       plain_message("alice:changed password successfully"), "alice:changed password", true},
      {"markup in the name is escaped on the page", "", kMarkupUser, "mark-pass", "n1", "n1",
       plain_message("&lt;b&gt;&quot;O&#39;Neil&quot;&amp;co:changed password successfully"),
       kMarkupUser + ":changed password", true},
  };
}

class ChangeProcess : public ::testing::TestWithParam<Case> {
 protected:
  void SetUp() override {
    original_ = htpasswd_line("alice", "old-secret") + "\n" + htpasswd_line("bob", "bob-pass") +
                "\n" + htpasswd_line(kMarkupUser, "mark-pass") + "\n";
    write_file(site_.auth_file(), original_);
  }

  void configure(const Case& c) {
    std::string ini = "[path]\nauth_user_file=" + c.auth_user_file + "\nlog_file=activity.log\n";
    if (!c.min_length.empty()) ini += "[setup]\npassword_min_length=" + c.min_length + "\n";
    site_.write_ini(ini);
  }

  void expect_logged(const std::string& event) {
    const std::string log = read_file(site_.log_file());
    static const std::regex line(
        R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\] \[10\.0\.0\.5\]\[webuser\] )");
    ASSERT_GE(log.size(), 42u) << log;
    EXPECT_TRUE(std::regex_match(log.substr(0, 42), line)) << log;
    EXPECT_EQ(log.substr(42), event + "\n");
  }

  Site site_;
  std::string original_;
};

TEST_P(ChangeProcess, AnswersWithPageLogLineAndFile) {
  const Case& c = GetParam();
  configure(c);
  if (c.prepare) c.prepare(site_);
  ProcessResult r = site_.post(change_body(c.name, c.old_password, c.new_password, c.confirmation));
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(r.out, framed(c.body));
  expect_logged(c.event);
  if (c.changes) {
    EXPECT_TRUE(htpasswd_verifies(site_.auth_file(), c.name, c.new_password));
    EXPECT_FALSE(htpasswd_verifies(site_.auth_file(), c.name, c.old_password));
    EXPECT_EQ(read_file(site_.auth_file()).size(), original_.size());
  } else {
    EXPECT_EQ(read_file(site_.auth_file()), original_);
  }
}

INSTANTIATE_TEST_SUITE_P(Outcomes, ChangeProcess, ::testing::ValuesIn(cases()), test::LabelName());

TEST_F(ChangeProcess, MultipartSubmissionOfTheFormChangesThePassword) {
  configure({});
  const std::string body =
      "--XyZ\r\nContent-Disposition: form-data; name=\"name\"\r\n\r\nbob\r\n"
      "--XyZ\r\nContent-Disposition: form-data; name=\"op\"\r\n\r\nbob-pass\r\n"
      "--XyZ\r\nContent-Disposition: form-data; name=\"p1\"\r\n\r\nfresh&new\r\n"
      "--XyZ\r\nContent-Disposition: form-data; name=\"p2\"\r\n\r\nfresh&new\r\n"
      "--XyZ\r\nContent-Disposition: form-data; name=\"chgpasswd\"\r\n\r\nChange\r\n"
      "--XyZ--\r\n";
  ProcessResult r = run_process(site_.command(
      site_.environment({"REQUEST_METHOD=POST", "CONTENT_TYPE=multipart/form-data; boundary=XyZ",
                         "CONTENT_LENGTH=" + std::to_string(body.size())}),
      body));
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(r.out, framed(plain_message("bob:changed password successfully")));
  expect_logged("bob:changed password");
  EXPECT_TRUE(htpasswd_verifies(site_.auth_file(), "bob", "fresh&new"));
  EXPECT_TRUE(htpasswd_verifies(site_.auth_file(), "alice", "old-secret"));
}

// The new-password rules, confined as every request is: each refusal has its
// page and log line, comes before the lock (no lock file is ever made) and
// leaves the file as it was; a list that cannot be read fails the change.
TEST_F(ChangeProcess, NewPasswordRulesRefuseBeforeTheLock) {
  write_file(site_.file("pwquality.conf"), "difok = 5\ndictcheck = 1\n");
  // password1, seen twice, in the published form.
  write_file(site_.file("breached.txt"),
             "0000000000000000000000000000000000000001:1\r\n"
             "E38AD214943DAAD1D64C102FAEC29DE4AFE9DA3D:2\r\n"
             "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF:1\r\n");
  struct Rule {
    std::string list, new_password, body, event;
    bool changes = false;
  };
  const std::vector<Rule> rules = {
      {"breached.txt", "old-secret",
       linked_message("The new password must differ from the old one"),
       "alice:new password is the old one"},
      {"breached.txt", "my-ALICE-9!",
       linked_message("The new password must not contain your user name"),
       "alice:new password holds the user name"},
      {"breached.txt", "elephants",
       linked_message("The new password is too easy to guess: The password fails the dictionary "
                      "check - it is based on a dictionary word"),
       "alice:new password failed the quality check: The password fails the dictionary check - it "
       "is based on a dictionary word"},
      {"breached.txt", "password1",
       linked_message("The new password is in a list of passwords known from data breaches; "
                      "choose another"),
       "alice:new password is a breached password"},
      {"missing.txt", "Xk4#pq9!vR2mzW7q", linked_message("alice:change password failed"),
       "alice:change password failed"},
      {"breached.txt", "Xk4#pq9!vR2mzW7q", plain_message("alice:changed password successfully"),
       "alice:changed password", true},
  };
  for (const Rule& rule : rules) {
    SCOPED_TRACE(rule.new_password);
    std::filesystem::remove(site_.log_file());
    site_.write_ini(
        "[path]\nauth_user_file=htpasswd\nlog_file=activity.log\n[setup]\n"
        "password_context=yes\npassword_quality=pwquality.conf\n"
        "breached_passwords=" +
        rule.list + "\nbreached_min_count=2\n");
    const ProcessResult r =
        site_.post(change_body("alice", "old-secret", rule.new_password, rule.new_password));
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.out, framed(rule.body));
    expect_logged(rule.event);
    if (rule.changes) {
      EXPECT_TRUE(htpasswd_verifies(site_.auth_file(), "alice", rule.new_password));
      continue;
    }
    EXPECT_EQ(read_file(site_.auth_file()), original_);
    EXPECT_FALSE(file_exists(site_.auth_file() + ".lock"));
    if (rule.list == "missing.txt") {
      EXPECT_EQ(
          r.err,
          "larkspur: cannot check the new password: missing.txt: No such file or directory\n");
    } else {
      EXPECT_EQ(r.err, "");
    }
  }
}

}  // namespace
}  // namespace larkspur::test
