// SPDX-License-Identifier: Apache-2.0
// The console commands: --version, --check, and arguments ignored under a
// web server.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "cgi_site.h"

namespace larkspur::test {
namespace {

// Replaces every "@" by the site's directory.
std::string at_root(const Site& site, std::string text) {
  for (auto at = text.find('@'); at != std::string::npos; at = text.find('@', at)) {
    text.replace(at, 1, site.root());
    at += site.root().size();
  }
  return text;
}

TEST(ConsoleProcess, VersionPrintsTheProjectVersion) {
  Site site;
  ProcessResult r = run_process(site.console("--version"));
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_TRUE(r.out.starts_with("Larkspur " LARKSPUR_VERSION "\nstores: file, dbm (")) << r.out;
  EXPECT_EQ(r.err, "");
}

// The help is decided before any INI file is looked for.
TEST(ConsoleProcess, HelpNeedsNoIniFile) {
  Site site;
  for (const char* arg : {"-h", "/?"}) {
    ProcessResult r = run_process(site.console(arg));
    EXPECT_EQ(r.exit_status, 0) << arg;
    EXPECT_TRUE(r.out.starts_with("\n\t*****")) << arg;
    EXPECT_EQ(r.err, "") << arg;
  }
}

TEST(ConsoleProcess, ArgumentsAreIgnoredUnderAWebServer) {
  Site site;
  site.write_ini("[html]\ntitle=T\n");
  const std::string page = site.get().out;
  ASSERT_EQ(page.rfind("Content-type: text/html\r\n", 0), 0u);
  for (const char* arg : {"-h", "/?", "--version", "--check"}) {
    Command c = site.console(arg);
    c.env = site.environment({"REQUEST_METHOD=GET"});
    ProcessResult r = run_process(c);
    EXPECT_EQ(r.exit_status, 0) << arg;
    EXPECT_EQ(r.out, page) << arg;
  }
}

struct CheckCase {
  const char* name;
  const char* ini;  // "@" stands for the site's directory
  std::function<void(const Site&)> setup;
  const char* expected;
  int status;
};

void users(const Site& site) {
  write_file(site.auth_file(), "alice:$apr1$x$y\n# staff\nbob:$apr1$z$w\n");
}

const CheckCase kCheckCases[] = {
    {"NoIniFile", nullptr, nullptr, "FAIL INI file @/larkspur.cgi.ini: No such file or directory\n",
     1},
    {"IniWithoutSection", "auth_user_file=@/htpasswd\n", nullptr,
     "FAIL INI file @/larkspur.cgi.ini: holds no setting under a [section]\n", 1},
    {"AllGood",
     "[path]\nauth_user_file=@/htpasswd\nlog_file=@/activity.log\n[setup]\npassword_min_length=8\n",
     users,
     "ok   INI file @/larkspur.cgi.ini\n"
     "ok   auth_user_file @/htpasswd (2 users)\n"
     "ok   auth_user_file directory @ (writable)\n"
     "ok   log_file @/activity.log (will be created)\n"
     "ok   password_min_length 8\n"
     "ok   hash (none): md5\n"
     "ok   charset (none): GB2312\n"
     "ok   layout (none): classic\n",
     0},
    {"RelativePathsAsARequestSeesThem", "[path]\nauth_user_file=htpasswd\nlog_file=activity.log\n",
     [](const Site& site) {
       users(site);
       write_file(site.log_file(), "");
     },
     "ok   INI file @/larkspur.cgi.ini\n"
     "ok   auth_user_file htpasswd (2 users)\n"
     "ok   auth_user_file directory . (writable)\n"
     "ok   log_file activity.log (appendable)\n"
     "ok   password_min_length (none): no minimum\n"
     "ok   hash (none): md5\n"
     "ok   charset (none): GB2312\n"
     "ok   layout (none): classic\n",
     0},
    {"NothingSet", "[html]\ntitle=x\n", nullptr,
     "ok   INI file @/larkspur.cgi.ini\n"
     "FAIL auth_user_file (none): not set in [path]: every change would fail\n"
     "ok   log_file (none): nothing is logged\n"
     "ok   password_min_length (none): no minimum\n"
     "ok   hash (none): md5\n"
     "ok   charset (none): GB2312\n"
     "ok   layout (none): classic\n",
     1},
    {"MissingFilesAndDirectories",
     "[path]\nauth_user_file=@/nodir/htpasswd\nlog_file=@/nodir/x.log\n", nullptr,
     "ok   INI file @/larkspur.cgi.ini\n"
     "FAIL auth_user_file @/nodir/htpasswd: No such file or directory\n"
     "FAIL auth_user_file directory @/nodir: a change cannot create its temporary file there: "
     "No such file or directory\n"
     "FAIL log_file @/nodir/x.log: does not exist and cannot be created in @/nodir: "
     "No such file or directory\n"
     "ok   password_min_length (none): no minimum\n"
     "ok   hash (none): md5\n"
     "ok   charset (none): GB2312\n"
     "ok   layout (none): classic\n",
     1},
    {"LinksAreRefused", "[path]\nauth_user_file=@/link\nlog_file=@/log-link\n",
     [](const Site& site) {
       users(site);
       write_file(site.log_file(), "");
       ASSERT_EQ(::symlink(site.auth_file().c_str(), (site.root() + "/link").c_str()), 0);
       ASSERT_EQ(::symlink(site.log_file().c_str(), (site.root() + "/log-link").c_str()), 0);
     },
     "ok   INI file @/larkspur.cgi.ini\n"
     "FAIL auth_user_file @/link: is a symbolic link; a change would put a file in its place, "
     "name the file itself\n"
     "ok   auth_user_file directory @ (writable)\n"
     "FAIL log_file @/log-link: is a symbolic link, which is never written; name the file\n"
     "ok   password_min_length (none): no minimum\n"
     "ok   hash (none): md5\n"
     "ok   charset (none): GB2312\n"
     "ok   layout (none): classic\n",
     1},
    {"DirectoriesAndEmptyFiles", "[path]\nauth_user_file=@/htpasswd\nlog_file=@/logs\n",
     [](const Site& site) {
       write_file(site.auth_file(), "# nobody yet\n\n");
       ASSERT_EQ(::mkdir((site.root() + "/logs").c_str(), 0755), 0);
     },
     "ok   INI file @/larkspur.cgi.ini\n"
     "FAIL auth_user_file @/htpasswd: holds no user:hash line\n"
     "ok   auth_user_file directory @ (writable)\n"
     "FAIL log_file @/logs: not a regular file\n"
     "ok   password_min_length (none): no minimum\n"
     "ok   hash (none): md5\n"
     "ok   charset (none): GB2312\n"
     "ok   layout (none): classic\n",
     1},
    {"AuthUserFileIsADirectory", "[path]\nauth_user_file=@/sub\n",
     [](const Site& site) { ASSERT_EQ(::mkdir((site.root() + "/sub").c_str(), 0755), 0); },
     "ok   INI file @/larkspur.cgi.ini\n"
     "FAIL auth_user_file @/sub: not a regular file\n"
     "ok   auth_user_file directory @ (writable)\n"
     "ok   log_file (none): nothing is logged\n"
     "ok   password_min_length (none): no minimum\n"
     "ok   hash (none): md5\n"
     "ok   charset (none): GB2312\n"
     "ok   layout (none): classic\n",
     1},
};

void PrintTo(const CheckCase& c, std::ostream* os) { *os << c.name; }

class CheckTest : public ::testing::TestWithParam<CheckCase> {};

TEST_P(CheckTest, PrintsOneLinePerCheck) {
  const CheckCase& c = GetParam();
  Site site;
  if (c.ini != nullptr) site.write_ini(at_root(site, c.ini));
  if (c.setup) c.setup(site);
  ProcessResult r = run_process(site.console("--check"));
  EXPECT_EQ(r.out, at_root(site, c.expected));
  EXPECT_EQ(r.exit_status, c.status);
  EXPECT_EQ(r.err, "");
}

INSTANTIATE_TEST_SUITE_P(Console, CheckTest, ::testing::ValuesIn(kCheckCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ConsoleProcess, CheckSettingValues) {
  const struct {
    const char* setting;  // "[section]\nkey=value"
    const char* line;     // the line --check prints for it
  } cases[] = {
      {"[setup]\npassword_min_length=0", "ok   password_min_length 0"},
      {"[setup]\npassword_min_length=80", "ok   password_min_length 80"},
      {"[setup]\npassword_min_length=+6", "ok   password_min_length +6"},
      {"[setup]\npassword_min_length=81",
       "FAIL password_min_length 81: no password can be that long; at most 80 bytes are accepted"},
      {"[setup]\npassword_min_length=eight",
       "FAIL password_min_length eight: not a whole number; it is read as 0"},
      {"[setup]\npassword_min_length=8 bytes",
       "FAIL password_min_length 8 bytes: not a whole number; it is read as 8"},
      {"[setup]\npassword_min_length=-3",
       "FAIL password_min_length -3: not a whole number; it is read as 0"},
      {"[setup]\npass_min_length=6", "ok   password_min_length 6"},
      {"[setup]\nhash=bcrypt\npassword_min_length=73",
       "FAIL password_min_length 73: no password can be that long; at most 72 bytes are accepted"},
      {"[setup]\nhash=bcrypt\nhash_cost=10", "ok   hash bcrypt, hash_cost 10"},
      {"[setup]\nhash=yescrypt", "ok   hash yescrypt"},
      {"[setup]\nhash=sha1", "FAIL hash sha1: "},
      {"[setup]\nhash=bcrypt\nhash_cost=40", "FAIL hash bcrypt, hash_cost 40: "},
      {"[html]\ncharset=UTF-8", "ok   charset UTF-8"},
      {"[html]\ncharset=iso-8859-1", "ok   charset iso-8859-1"},
      {"[html]\ncharset=utf 8", "FAIL charset utf 8: not the name of a character set"},
      {"[html]\ncharset=\"><script>", "FAIL charset \"><script>: not the name of a character set"},
      {"[html]\nlayout=Modern", "ok   layout Modern"},
      {"[html]\nlayout=classic", "ok   layout classic"},
      {"[html]\nlayout=moden",
       "FAIL layout moden: neither classic nor modern; the classic pages are shown"},
      {"[setup]\nmax_failures=xyz",
       "FAIL max_failures xyz: not a whole number from 0 to 1000000; the default 10 is used"},
      {"[setup]\nfailure_window=15m",
       "FAIL failure_window 15m: not a whole number from 1 to 2678400; the default 900 is used"},
      {"[setup]\nhash=bcrypt\nhash_cost=abc",
       "FAIL hash_cost abc: not a whole number from 1 to 999999999; the default is used"},
  };
  for (const auto& c : cases) {
    Site site;
    users(site);
    site.write_ini("[path]\nauth_user_file=htpasswd\n" + std::string(c.setting) + "\n");
    ProcessResult r = run_process(site.console("--check"));
    const std::string line = c.line;
    // A line ending in ": " is a prefix: the wording of a fault is the hashing code's own.
    const std::string wanted = line.ends_with(": ") ? "\n" + line : "\n" + line + "\n";
    EXPECT_NE(r.out.find(wanted), std::string::npos) << c.setting << "\n" << r.out;
    EXPECT_EQ(r.exit_status, c.line[0] == 'o' ? 0 : 1) << c.setting;
  }
}

// The checks ask as the user who runs them: root may read anything, so
// as root the program runs as nobody.
TEST(ConsoleProcess, CheckRunsAsTheCallingUser) {
  Site site;
  users(site);
  write_file(site.log_file(), "");
  site.write_ini(at_root(site, "[path]\nauth_user_file=@/htpasswd\nlog_file=@/activity.log\n"));
  Command c = site.console("--check");
  const bool root = ::geteuid() == 0;
  if (root) {
    c.uid = c.gid = 65534;
    ::chmod(site.root().c_str(), 0755);
    ::chmod(site.auth_file().c_str(), 0600);
  } else {
    ::chmod(site.root().c_str(), 0555);
    ::chmod(site.auth_file().c_str(), 0);
    ::chmod(site.log_file().c_str(), 0444);
  }
  ProcessResult r = run_process(c);
  ::chmod(site.root().c_str(), 0700);
  EXPECT_EQ(r.out, at_root(site,
                           "ok   INI file @/larkspur.cgi.ini\n"
                           "FAIL auth_user_file @/htpasswd: Permission denied\n"
                           "FAIL auth_user_file directory @: a change cannot create its "
                           "temporary file there: Permission denied\n"
                           "FAIL log_file @/activity.log: cannot be appended to: "
                           "Permission denied\n"
                           "ok   password_min_length (none): no minimum\n"
                           "ok   hash (none): md5\n"
                           "ok   charset (none): GB2312\n"
                           "ok   layout (none): classic\n"));
  EXPECT_EQ(r.exit_status, 1);
}

}  // namespace
}  // namespace larkspur::test
