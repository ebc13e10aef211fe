// SPDX-License-Identifier: Apache-2.0
// Every outcome of a change through the running, confined program with the
// users in a database of each driver: the page, the log line, the rows, and
// what the server's error log is told.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <regex>

#include "cgi_site.h"
#include "platform/confine.h"
#include "support/sql_database.h"

namespace larkspur::test {
namespace {

const std::string kOld = "old-secret";
const std::string kNew = "n3w pa$$word";

struct Case {
  const char* label = "";
  std::string name{}, old_password{};
  std::string body{};      // the page body
  std::string event{};     // the last log line's text
  bool changes = false;    // the name's row then holds a hash of kNew
  std::string err{};       // what standard error holds, or begins with ("...")
  int guesses_before = 0;  // wrong guesses sent first
  std::string table = "authn";
  std::string update_query{};  // empty: the one that works
  std::string params{};        // empty: the database's own
};

std::vector<Case> cases(const SqlDatabase& db) {
  const std::string server_error = linked_message("Server error....");
  // A server that is not there: a socket nobody listens on, or no file.
  const std::string down = db.driver() == "pgsql" ? "host=/nonexistent user=web password=s3cret-pw"
                           : db.driver() == "mysql"
                               ? "sock=/nonexistent/m.sock,user=web,pass=s3cret-pw"
                               : db.params() + ".missing";
  const std::string statement_failed = "larkspur: a statement failed on the " + db.driver() + "...";
  return {
      {.label = "changed",
       .name = "alice",
       .old_password = kOld,
       .body = plain_message("alice:changed password successfully"),
       .event = "alice:changed password",
       .changes = true},
      {.label = "wrong old password",
       .name = "alice",
       .old_password = "wrong",
       .body = linked_message("alice:old password is incorrect"),
       .event = "alice:old password is incorrect"},
      {.label = "unknown user",
       .name = "carol",
       .old_password = kOld,
       .body = linked_message("carol:old password is incorrect"),
       .event = "carol:no this user"},
      {.label = "eleventh guess refused",
       .name = "alice",
       .old_password = kOld,
       .body = linked_message("Too many failed attempts, please try again later"),
       .event = "alice:too many failed attempts",
       .guesses_before = 10},
      {.label = "two rows: rolled back",
       .name = "dave",
       .old_password = kOld,
       .body = linked_message("dave:change password failed"),
       .event = "dave:change password failed",
       .err = statement_failed,
       .table = "twice"},
      {.label = "a statement that fails",
       .name = "alice",
       .old_password = kOld,
       .body = server_error,
       .event = "No authuserfile configed",
       .err = statement_failed,
       .update_query = "UPDATE nowhere SET password = %s WHERE name = %s"},
      {.label = "database down",
       .name = "alice",
       .old_password = kOld,
       .body = server_error,
       .event = "No authuserfile configed",
       .err = (db.driver() == "sqlite3" ? "larkspur: cannot read the "
                                        : "larkspur: cannot reach the ") +
              db.driver() + "...",
       .params = down},
  };
}

class SqlProcess : public testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    if (!db_.available()) GTEST_SKIP() << GetParam() << " server not started for this run";
  }

  // The database as the case finds it: alice, bob, and dave twice.
  void fill() {
    db_.reset();
    const auto hash = [](const std::string& user, const std::string& password) {
      const std::string line = htpasswd_line(user, password);
      return line.substr(line.find(':') + 1);
    };
    const std::string dave = hash("dave", kOld);
    db_.sql("INSERT INTO authn VALUES ('alice', '" + hash("alice", kOld) +
            "'); INSERT INTO authn VALUES ('bob', '" + hash("bob", "bob-pass") +
            "'); INSERT INTO twice VALUES ('dave', '" + dave +
            "'); INSERT INTO twice VALUES ('dave', '" + dave + "')");
  }

  void configure(const Case& c) {
    site_.write_ini("[path]\nlog_file=activity.log\n[dbd]\ndriver=" + GetParam() +
                    "\nparams=" + (c.params.empty() ? db_.params() : c.params) +
                    "\nuser_query=" + db_.user_query(c.table) + "\nupdate_query=" +
                    (c.update_query.empty() ? db_.update_query(c.table) : c.update_query) + "\n");
  }

  std::string last_event() const {
    const std::string log = read_file(site_.log_file());
    const std::size_t start = log.rfind('\n', log.size() - 2) + 1;
    // "[date time] [address][user] " is 42 bytes.
    return log.size() > start + 42 ? log.substr(start + 42, log.size() - start - 43) : log;
  }

  Site site_;
  SqlDatabase db_{GetParam(), site_.root()};
};

TEST_P(SqlProcess, EachOutcomeOfAChange) {
  for (const Case& c : cases(db_)) {
    SCOPED_TRACE(c.label);
    fill();
    configure(c);
    const std::string before = db_.rows(c.table);
    for (int i = 0; i < c.guesses_before; ++i) site_.post(change_body(c.name, "guess", kNew, kNew));
    const auto start = std::chrono::steady_clock::now();
    const ProcessResult r = site_.post(change_body(c.name, c.old_password, kNew, kNew));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out, framed(c.body));
    EXPECT_EQ(last_event(), c.event);
    if (c.err.ends_with("...")) {
      EXPECT_EQ(r.err.rfind(c.err.substr(0, c.err.size() - 3), 0), 0u) << r.err;
      EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
    } else {
      EXPECT_EQ(r.err, c.err);
    }
    EXPECT_EQ(r.err.find("s3cret"), std::string::npos) << r.err;
    const std::string after = db_.rows(c.table);
    if (c.changes) {
      const std::string row = after.substr(0, after.find('\n'));
      EXPECT_TRUE(row_verifies(row, c.name, kNew)) << row;
      EXPECT_FALSE(row_verifies(row, c.name, kOld)) << row;
      EXPECT_EQ(after.substr(after.find('\n')), before.substr(before.find('\n')));
    } else {
      EXPECT_EQ(after, before);
    }
  }
}

// Changes at the same moment, confined: SQLite's busy file is tried again
// after a pause, the servers' rows wait for each other; every change lands.
TEST_P(SqlProcess, SimultaneousChangesAllLand) {
  fill();
  configure({});
  constexpr int kUsers = 12;
  std::string users;
  for (int i = 0; i < kUsers; ++i) {
    const std::string line = htpasswd_line("u" + std::to_string(i), kOld);
    users += "INSERT INTO authn VALUES ('u" + std::to_string(i) + "', '" +
             line.substr(line.find(':') + 1) + "');";
  }
  db_.sql(users);
  std::vector<std::future<ProcessResult>> changes;
  for (int i = 0; i < kUsers; ++i) {
    changes.push_back(std::async(std::launch::async, [this, i] {
      return site_.post(change_body("u" + std::to_string(i), kOld, kNew, kNew),
                        {"REMOTE_ADDR=10.0.1." + std::to_string(i)});
    }));
  }
  for (int i = 0; i < kUsers; ++i) {
    const ProcessResult r = changes[static_cast<std::size_t>(i)].get();
    EXPECT_EQ(r.signal, 0) << i;
    EXPECT_EQ(r.out,
              framed(plain_message("u" + std::to_string(i) + ":changed password successfully")))
        << r.err;
  }
}

// The change above ran confined; strace shows that it did, with the
// database store's filter, and that it reached the server all the same.
TEST_P(SqlProcess, ChangesConfined) {
  if (GetParam() == "mysql") GTEST_SKIP() << "shown for SQLite and PostgreSQL";
  fill();
  configure({});
  TempDir trace;
  Command command = site_.post_spec(change_body("alice", kOld, kNew, kNew));
  const std::string program = command.program;
  command.program = "/usr/bin/strace";
  command.argv = {"strace",
                  "-f",
                  "-qq",
                  "-o",
                  trace.file("trace"),
                  "-e",
                  "trace=landlock_restrict_self,seccomp",
                  program};
  command.env.push_back("ASAN_OPTIONS=detect_leaks=0");
  const ProcessResult r = run_process(command);
  EXPECT_EQ(r.out, framed(plain_message("alice:changed password successfully")));
  EXPECT_EQ(r.err, "");
  const std::string strace = read_file(trace.file("trace"));
  static const std::regex restricted(R"(landlock_restrict_self\(\d+, 0\) += 0\n)");
  static const std::regex filtered(
      R"(seccomp\(SECCOMP_SET_MODE_FILTER, 0, \{len=\d+, filter=0x[0-9a-f]+\}\) += 0\n)");
  EXPECT_TRUE(std::regex_search(strace, restricted)) << strace;
  EXPECT_EQ(std::regex_search(strace, filtered), platform::confine_filters_syscalls()) << strace;
  EXPECT_TRUE(row_verifies(db_.rows(), "alice", kNew));
}

INSTANTIATE_TEST_SUITE_P(Drivers, SqlProcess, testing::Values("sqlite3", "pgsql", "mysql"),
                         [](const auto& info) { return info.param; });

}  // namespace
}  // namespace larkspur::test
