// SPDX-License-Identifier: Apache-2.0
// Failures on the server's side leave one "larkspur: " line on standard
// error, which the web server puts in its error log; the page is unchanged
// and no secret is ever written there.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>
#include <string>

#include "cgi_site.h"

namespace larkspur::test {
namespace {

constexpr const char* kNewPassword = "n3w-Secret-77";

struct DiagnosticCase {
  const char* name;
  const char* ini;  // nullptr: no INI file; "@" stands for the site's directory
  std::function<void(const Site&)> setup;
  std::vector<std::string> extra_env;  // "@" as above
  const char* page;                    // the message the page carries
  const char* err;                     // expected standard error, "@" as above
};

std::string at_root(const Site& site, std::string text) {
  for (auto at = text.find('@'); at != std::string::npos; at = text.find('@', at)) {
    text.replace(at, 1, site.root());
    at += site.root().size();
  }
  return text;
}

void alice(const Site& site) { write_file(site.auth_file(), htpasswd_line("alice", "old-pw") + "\n"); }

const char* const kIni = "[path]\nauth_user_file=htpasswd\nlog_file=activity.log\n";

const DiagnosticCase kCases[] = {
    {"NoIniFile", nullptr, nullptr, {}, "Server error!",
     "larkspur: cannot read the configuration file @/larkspur.cgi.ini: No such file or directory\n"},
    {"IniWithNoSetting", "title=x\n", nullptr, {}, "Server error!",
     "larkspur: cannot read the configuration file @/larkspur.cgi.ini: holds no setting under a "
     "[section]\n"},
    {"AuthUserFileNotSet", "[path]\nlog_file=activity.log\n", nullptr, {}, "Server error....",
     "larkspur: auth_user_file is not set in [path] of @/larkspur.cgi.ini\n"},
    {"AuthUserFileMissing", kIni, nullptr, {}, "Server error....",
     "larkspur: cannot read the AuthUserFile htpasswd: No such file or directory\n"},
    {"AuthUserFileIsADirectory", kIni,
     [](const Site& site) { ASSERT_EQ(::mkdir(site.auth_file().c_str(), 0755), 0); }, {},
     "Server error....", "larkspur: cannot read the AuthUserFile htpasswd: not a regular file\n"},
    {"LockCannotBeOpened", kIni,
     [](const Site& site) {
       alice(site);
       ASSERT_EQ(::mkdir((site.auth_file() + ".lock").c_str(), 0755), 0);
     },
     {}, "Server error..", "larkspur: cannot open the update lock htpasswd.lock: Is a directory\n"},
    {"AuthUserFileDirectoryMissing", "[path]\nauth_user_file=@/gone/htpasswd\n", nullptr, {},
     "Server error....",
     "larkspur: cannot read the AuthUserFile @/gone/htpasswd: its directory does not exist\n"},
    {"RewriteFails", kIni,
     [](const Site& site) {
       alice(site);
       ASSERT_EQ(::mkdir((site.auth_file() + ".tmp").c_str(), 0755), 0);
     },
     {}, "alice:change password failed",
     "larkspur: cannot rewrite the AuthUserFile htpasswd: Is a directory\n"},
    {"LogCannotBeWritten", "[path]\nauth_user_file=htpasswd\nlog_file=@/gone/activity.log\n",
     alice, {}, nullptr,
     "larkspur: cannot write the log @/gone/activity.log: No such file or directory\n"},
    {"LogIsADirectory", kIni,
     [](const Site& site) {
       alice(site);
       ASSERT_EQ(::mkdir(site.log_file().c_str(), 0755), 0);
     },
     {}, nullptr, "larkspur: cannot write the log activity.log: Is a directory\n"},
    {"SuccessSaysNothing", kIni, alice, {}, nullptr, ""},
};

void PrintTo(const DiagnosticCase& c, std::ostream* os) { *os << c.name; }

class Diagnostics : public ::testing::TestWithParam<DiagnosticCase> {};

TEST_P(Diagnostics, OneLineOnStandardErrorAndTheSamePage) {
  const DiagnosticCase& c = GetParam();
  Site site;
  if (c.ini != nullptr) site.write_ini(at_root(site, c.ini));
  if (c.setup) c.setup(site);
  std::vector<std::string> env;
  for (const std::string& e : c.extra_env) env.push_back(at_root(site, e));
  ProcessResult r = site.post(change_body("alice", "old-pw", kNewPassword, kNewPassword), env);
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.err, at_root(site, c.err));
  if (c.page == nullptr) {
    EXPECT_EQ(r.out, framed(plain_message("alice:changed password successfully")));
  } else if (std::string(c.page) == "Server error!") {
    EXPECT_EQ(r.out, kHead + linked_message("Server error!"));
  } else {
    EXPECT_EQ(r.out, framed(linked_message(c.page)));
  }
  EXPECT_EQ(r.err.find(kNewPassword), std::string::npos);
  EXPECT_EQ(r.err.find("old-pw"), std::string::npos);
  EXPECT_EQ(r.err.find("$apr1$"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Program, Diagnostics, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace larkspur::test
