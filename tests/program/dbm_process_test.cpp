// SPDX-License-Identifier: Apache-2.0
// A change through the running program when the users are in a DBM file made
// by htdbm: each outcome has the AuthUserFile's page and log line, htdbm
// agrees with the result, and a file that is not of the type is refused
// without a file touched.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <sstream>
#include <vector>

#include "cgi_site.h"
#include "support/case_name.h"

namespace larkspur::test {
namespace {

struct Type {
  const char* label;    // [dbm] type
  const char* htdbm;    // htdbm -T
  const char* refusal;  // why a file of another kind cannot be read
};
constexpr Type kTypes[] = {
    {"db", "DB", "not a Berkeley DB hash file, or damaged"},
    {"gdbm", "GDBM", "not a GDBM file, or damaged, or held by a GDBM writer"},
    {"sdbm", "SDBM", "not an SDBM file pair, or damaged"},
};

enum class Before { kNothing, kFailuresToTheLimit, kNotOfTheType };

struct Case {
  std::string label;
  Type type;
  std::string name, old_password;
  Before before;
  std::string body;   // between <BODY> and </BODY>
  std::string event;  // the log line's text
  bool changes = false;
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.label; }

std::vector<Case> cases() {
  std::vector<Case> all;
  for (const Type& t : kTypes) {
    const std::string type = std::string(t.label) + " ";
    const std::vector<Case> rows = {
        {type + "changed", t, "alice", "old-pass", Before::kNothing,
         plain_message("alice:changed password successfully"), "alice:changed password", true},
        {type + "changed, groups and comment kept", t, "bob", "old-pass", Before::kNothing,
         plain_message("bob:changed password successfully"), "bob:changed password", true},
        {type + "wrong old password", t, "alice", "guess", Before::kNothing,
         linked_message("alice:old password is incorrect"), "alice:old password is incorrect"},
        {type + "unknown user", t, "nobody", "old-pass", Before::kNothing,
         linked_message("nobody:old password is incorrect"), "nobody:no this user"},
        {type + "throttled", t, "alice", "old-pass", Before::kFailuresToTheLimit,
         linked_message("Too many failed attempts, please try again later"),
         "alice:too many failed attempts"},
        {type + "not a file of the type", t, "alice", "old-pass", Before::kNotOfTheType,
         linked_message("Server error...."), "No authuserfile configed"},
    };
    all.insert(all.end(), rows.begin(), rows.end());
  }
  return all;
}

class DbmProcess : public ::testing::TestWithParam<Case> {
 protected:
  std::string users() const { return site_.file("users"); }

  ProcessResult htdbm(const std::vector<std::string>& args) const {
    return run_htdbm(GetParam().type.htdbm, args);
  }

  // What htdbm -l lists, or why it could not; sorted, as a change may move
  // a record within its page.
  std::string listing() const {
    const ProcessResult r = htdbm({"-l", users()});
    std::vector<std::string> lines;
    std::istringstream text(r.out + r.err);
    for (std::string line; std::getline(text, line);) lines.push_back(line);
    std::sort(lines.begin(), lines.end());
    std::string sorted = std::to_string(r.exit_status) + "\n";
    for (const std::string& line : lines) sorted += line + "\n";
    return sorted;
  }

  // The DBM file's files and whatever else a change could leave beside them.
  std::map<std::string, std::string> files() const {
    std::map<std::string, std::string> all;
    for (const auto& entry : std::filesystem::directory_iterator(site_.root())) {
      const std::string name = entry.path().filename();
      if (name == "activity.log" || name.ends_with(".lock") || name.ends_with(".failures"))
        continue;
      all[name] = read_file(entry.path());
    }
    return all;
  }

  std::string last_event() const {
    std::string log = read_file(site_.log_file());
    if (log.empty()) return "(no log)";
    log.pop_back();
    // "[date time] [address][user] " is 42 bytes.
    return log.substr(log.rfind('\n') + 1).substr(42);
  }

  Site site_;
};

TEST_P(DbmProcess, AnswersAsForTheAuthUserFileAndHtdbmAgrees) {
  const Case& c = GetParam();
  ASSERT_EQ(htdbm({"-cb", users(), "alice", "old-pass"}).exit_status, 0);
  ASSERT_EQ(htdbm({"-bt", users(), "bob", "old-pass", "staff,admins:Bob B"}).exit_status, 0);
  for (int i = 0; i < 10; ++i) {
    ASSERT_EQ(htdbm({"-b", users(), "user" + std::to_string(i), "pw"}).exit_status, 0);
  }
  site_.write_ini(
      "[path]\nlog_file=activity.log\n[setup]\nmax_failures=2\n[dbm]\nfile=users\ntype=" +
      std::string(c.type.label) + "\n");
  if (c.before == Before::kNotOfTheType) {
    // An AuthUserFile of a few blocks: SDBM takes less for a file pair.
    const std::string line = htpasswd_line("alice", "old-pass") + "\n";
    std::string text;
    for (int i = 0; i < 60; ++i) text += line;
    for (const char* name : {"users", "users.pag", "users.dir"}) {
      if (file_exists(site_.file(name))) write_file(site_.file(name), text);
    }
    const ProcessResult check = run_process(site_.console("--check"));
    EXPECT_NE(check.exit_status, 0);
    EXPECT_NE(check.out.find("FAIL dbm file users: " + std::string(c.type.refusal) + "\n"),
              std::string::npos)
        << check.out;
  }
  if (c.before == Before::kFailuresToTheLimit) {
    for (const char* address : {"10.0.1.1", "10.0.1.2"}) {
      site_.post(change_body(c.name, "guess", "x", "x"), {std::string("REMOTE_ADDR=") + address});
    }
  }
  const auto before = files();
  const std::string listed = listing();

  const ProcessResult r = site_.post(change_body(c.name, c.old_password, "new-pass", "new-pass"));
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.out, framed(c.body));
  EXPECT_EQ(last_event(), c.event);
  if (c.before == Before::kNotOfTheType) {
    // Berkeley DB writes its own complaint before it.
    EXPECT_TRUE(
        r.err.ends_with("larkspur: cannot read users: " + std::string(c.type.refusal) + "\n"))
        << r.err;
  } else {
    EXPECT_EQ(r.err, "");
  }
  if (c.changes) {
    EXPECT_EQ(htdbm({"-vb", users(), c.name, "new-pass"}).exit_status, 0);
    EXPECT_EQ(htdbm({"-vb", users(), c.name, "old-pass"}).exit_status, 3);
    EXPECT_EQ(listing(), listed);  // every user, bob's groups and comment
  } else {
    EXPECT_EQ(files(), before);
  }
}

INSTANTIATE_TEST_SUITE_P(Outcomes, DbmProcess, ::testing::ValuesIn(cases()), LabelName());

}  // namespace
}  // namespace larkspur::test
