// SPDX-License-Identifier: Apache-2.0
// The shipped fail2ban filter, run by Debian's fail2ban-regex on a log that
// the program itself wrote: it matches failed checks of an old password,
// with the client's address, and nothing else (throttle refusals are no
// guesses).
#include <gtest/gtest.h>

#include <set>
#include <sstream>

#include "cgi_site.h"

namespace larkspur::test {
namespace {

TEST(Fail2ban, FilterMatchesOnlyGuessesWithTheirAddresses) {
  Site site;
  site.write_ini(
      "[path]\nauth_user_file=htpasswd\nlog_file=activity.log\n"
      "[setup]\npassword_min_length=2\nmax_failures=2\npassword_context=yes\n");
  write_file(site.auth_file(),
             htpasswd_line("alice", "old-secret") + "\n" + htpasswd_line("b]ob", "pw") + "\n");
  struct Request {
    std::string addr, user, body;
    bool matches;
  };
  const std::vector<Request> requests = {
      {"203.0.113.9", "", change_body("mallory", "x", "n1", "n1"), true},       // no this user
      {"203.0.113.9", "", change_body("alice", "wrong", "n1", "n1"), true},     // wrong password
      {"2001:db8::7", "eve", change_body("alice", "wrong", "n1", "n1"), true},  // wrong password
      {"198.51.100.4", "", change_body("alice", "old-secret", "n1", "n1"), false},  // throttled
      // A name shaped like a failure, and a REMOTE_USER with a bracket.
      {"192.0.2.1", "x][1.2.3.4", change_body("b]ob", "pw", "n1", "n1"), false},
      {"192.0.2.1", "", change_body("x:no this user", "x", "a", "b"), false},
      {"192.0.2.1", "", change_body("", "x", "n1", "n1"), false},
      {"192.0.2.1", "", change_body("alice", "x", "n", "n"), false},
      {"192.0.2.1", "", "chgpasswd=1", false},  // sent as GET below
      // A weak new password is refused, but is no guess.
      {"192.0.2.1", "", change_body("alice", "x", "my-alice", "my-alice"), false},
  };
  std::multiset<std::string> expected;
  for (const Request& r : requests) {
    std::vector<std::string> env = {"REMOTE_ADDR=" + r.addr, "REMOTE_USER=" + r.user};
    if (r.body == "chgpasswd=1") {
      site.get(r.body, env);
    } else {
      site.post(r.body, env);
    }
    if (r.matches) expected.insert(r.addr);
  }
  const std::string log = read_file(site.log_file());
  ASSERT_NE(log.find("alice:too many failed attempts"), std::string::npos) << log;
  ASSERT_NE(log.find("b]ob:changed password"), std::string::npos) << log;

  Command command;
  command.program = "/usr/bin/fail2ban-regex";
  command.argv = {"fail2ban-regex", "-o", "ip", site.log_file(),
                  std::string(LARKSPUR_SOURCE_DIR) + "/contrib/fail2ban/filter.d/larkspur.conf"};
  command.env = {"PATH=/usr/sbin:/usr/bin:/sbin:/bin", "LANG=C.UTF-8"};
  const ProcessResult result = run_process(command);
  ASSERT_EQ(result.exit_status, 0) << result.out << result.err;
  std::multiset<std::string> matched;
  std::istringstream lines(result.out);
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty()) matched.insert(line);
  }
  EXPECT_EQ(matched, expected) << result.out << "\n" << log;
}

}  // namespace
}  // namespace larkspur::test
