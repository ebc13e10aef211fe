// SPDX-License-Identifier: Apache-2.0
// One database of a driver for a test, emptied and given the documented
// schema: a SQLite file in a temporary directory, or the PostgreSQL and
// MariaDB servers that tests/support/private_pg.sh and private_mariadb.sh
// start for the run (they set LARKSPUR_TEST_PGSQL and LARKSPUR_TEST_MYSQL).
// Statements run through the driver's own command-line client.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "support/process.h"

namespace larkspur::test {

inline const char* env_value(const char* name) {
  const char* value = std::getenv(name);
  return value && *value ? value : nullptr;
}

class SqlDatabase {
 public:
  // The SQLite file lives in `dir` (a test's own directory).
  SqlDatabase(std::string driver, const std::string& dir) : driver_(std::move(driver)) {
    if (driver_ == "sqlite3") params_ = dir + "/users.db";
    if (driver_ == "pgsql" && env_value("LARKSPUR_TEST_PGSQL"))
      params_ = env_value("LARKSPUR_TEST_PGSQL");
    if (driver_ == "mysql" && env_value("LARKSPUR_TEST_MYSQL"))
      params_ = env_value("LARKSPUR_TEST_MYSQL");
  }
  bool available() const { return !params_.empty(); }
  const std::string& driver() const { return driver_; }
  const std::string& params() const { return params_; }

  // The schema of contrib/sql, and a table "twice" without a key, where a
  // name can have two rows.
  void reset() const {
    sql("DROP TABLE IF EXISTS authn; DROP TABLE IF EXISTS larkspur_failures;"
        "DROP TABLE IF EXISTS twice");
    std::ifstream schema(std::string(LARKSPUR_SOURCE_DIR) + "/contrib/sql/" + driver_ + ".sql");
    sql(std::string(std::istreambuf_iterator<char>(schema), {}));
    sql("CREATE TABLE twice (" + quoted("user") + " VARCHAR(64), password VARCHAR(255))");
  }

  // The column name quoted the driver's way ("user" is a keyword in PostgreSQL).
  std::string quoted(const std::string& name) const {
    return driver_ == "mysql" ? "`" + name + "`" : "\"" + name + "\"";
  }
  std::string user_query(const std::string& table = "authn") const {
    return "SELECT password FROM " + table + " WHERE " + quoted("user") + " = %s";
  }
  std::string update_query(const std::string& table = "authn") const {
    return "UPDATE " + table + " SET password = %s WHERE " + quoted("user") + " = %s";
  }

  // Runs `statements` with the driver's own client; its output, tab-separated.
  std::string sql(const std::string& statements) const {
    Command c;
    if (driver_ == "sqlite3") {
      c.program = "/usr/bin/sqlite3";
      c.argv = {"sqlite3", "-batch", "-bail", "-separator", "\t", params_};
      c.stdin_data = statements;
    } else if (driver_ == "pgsql") {
      c.program = std::string(env_value("LARKSPUR_TEST_PGSQL_BIN")) + "/psql";
      c.argv = {"psql", "-X",    "-q", "-A",      "-t", "-F", "\t", "-v", "ON_ERROR_STOP=1",
                "-d",   params_, "-c", statements};
    } else {
      c.program = "/usr/bin/mariadb";
      c.argv = {"mariadb", "--no-defaults", "-S", socket(),  "-u", "root", "-N",
                "-B",      "larkspur",      "-e", statements};
    }
    c.env = {"PATH=/usr/bin:/bin", "LC_ALL=C"};
    const ProcessResult r = run_process(c);
    EXPECT_EQ(r.exit_status, 0) << statements << "\n" << r.err;
    return r.out;
  }

  std::string rows(const std::string& table = "authn") const {
    return sql("SELECT " + quoted("user") + ", password FROM " + table + " ORDER BY 1, 2");
  }

 private:
  // MariaDB's socket, from "sock=PATH user=root dbname=larkspur".
  std::string socket() const {
    const std::size_t at = params_.find("sock=") + 5;
    return params_.substr(at, params_.find(' ', at) - at);
  }

  std::string driver_;
  std::string params_;
};

// Whether htpasswd takes `password` for `user` with the hash of a row
// ("user\thash") written out as a file of one line.
inline bool row_verifies(const std::string& row, const std::string& user,
                         const std::string& password) {
  TempDir dir;
  std::string line = row.substr(0, row.find('\n'));
  line[line.find('\t')] = ':';
  write_file(dir.file("users"), line + "\n");
  Command c;
  c.program = "/usr/bin/htpasswd";
  c.argv = {"htpasswd", "-vb", dir.file("users"), user, password};
  return run_process(c).exit_status == 0;
}

}  // namespace larkspur::test
