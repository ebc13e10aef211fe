// SPDX-License-Identifier: Apache-2.0
#include "store/sql_store.h"

#include <apr_dbd.h>
#include <apr_general.h>
#include <apr_pools.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>

#include "platform/address_block.h"
#include "platform/diagnose.h"
#include "store/dbd_params.h"
#include "store/server_probe.h"

namespace larkspur::store {
namespace {

using Clock = std::chrono::steady_clock;

// A read outside the lock waits no longer than a lock would.
constexpr auto kUnlockedBound = std::chrono::seconds(5);
using platform::Error;
using platform::fixed_error;
using platform::Step;

enum class Kind { kPgsql, kSqlite, kMysql };

// One pool for the process, made on first use; the drivers live in it.
apr_pool_t* process_pool() {
  static apr_pool_t* const pool = [] {
    apr_initialize();
    apr_pool_t* made = nullptr;
    apr_pool_create(&made, nullptr);
    apr_dbd_init(made);
    return made;
  }();
  return pool;
}

struct PoolDeleter {
  void operator()(apr_pool_t* pool) const noexcept { apr_pool_destroy(pool); }
};
using Pool = std::unique_ptr<apr_pool_t, PoolDeleter>;

Pool child_pool(apr_pool_t* parent) {
  apr_pool_t* made = nullptr;
  apr_pool_create(&made, parent);
  return Pool(made);
}

const apr_dbd_driver_t* load_driver(const std::string& name) {
  const apr_dbd_driver_t* driver = nullptr;
  return apr_dbd_get_driver(process_pool(), name.c_str(), &driver) == APR_SUCCESS ? driver
                                                                                  : nullptr;
}

// Remaining time before `deadline`, at least `floor`.
long long left_ms(Clock::time_point deadline, long long floor = 1) {
  const long long left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left < floor ? floor : left;
}

// Failed checks are keyed by the hex of the name or address, cut like the
// file's: no byte of a visitor's name can break the database's encoding.
std::string hex_key(std::string_view key) {
  static constexpr char kHex[] = "0123456789abcdef";
  key = key.substr(0, 255);
  std::string out;
  for (const char c : key) {
    const auto byte = static_cast<unsigned char>(c);
    out += kHex[byte >> 4];
    out += kHex[byte & 0xf];
  }
  return out;
}

class SqlStore final : public UserStore {
 public:
  SqlStore(DbdSettings settings, Kind kind, const apr_dbd_driver_t* driver)
      : settings_(std::move(settings)), kind_(kind), driver_(driver) {}
  ~SqlStore() override { disconnect(); }
  SqlStore(const SqlStore&) = delete;
  SqlStore& operator=(const SqlStore&) = delete;

  std::string describe() const override {
    return "the " + settings_.driver + " database " +
           redact_params(settings_.driver, settings_.params);
  }

  Status lock(std::chrono::milliseconds timeout) override {
    unlock();
    deadline_ = Clock::now() + timeout;
    if (Status set = open_session(); !set) return set;
    const char* begin = kind_ == Kind::kSqlite  ? "BEGIN IMMEDIATE"
                        : kind_ == Kind::kMysql ? "START TRANSACTION"
                                                : "BEGIN";
    if (const int rv = run(begin); rv != 0) {
      // SQLITE_BUSY, SQLITE_LOCKED: another change holds the file.
      const Step step =
          kind_ == Kind::kSqlite && (rv == 5 || rv == 6) ? Step::kWait : Step::kConnect;
      Error error = driver_error(step, rv, "cannot begin a transaction");
      disconnect();
      return error;
    }
    in_transaction_ = true;
    std::string user_query = settings_.user_query;
    if (kind_ != Kind::kSqlite) {
      while (!user_query.empty() && (user_query.back() == ';' || user_query.back() == ' ')) {
        user_query.pop_back();
      }
      user_query += " FOR UPDATE";
    }
    user_statement_ = prepare(user_query);
    update_statement_ = user_statement_ ? prepare(settings_.update_query) : nullptr;
    if (!update_statement_) {
      Error error = driver_error(Step::kQuery, 1, "cannot prepare the statements");
      disconnect();
      return error;
    }
    return {};
  }

  Result<std::string> look_up(std::string_view user) override {
    apr_dbd_prepared_t* statement = user_statement_;
    if (!in_transaction_) {
      // Outside the lock: a plain read of what is committed, on the
      // connection the lock left open or a new one, bounded as a lock is.
      if (!handle_) {
        deadline_ = Clock::now() + kUnlockedBound;
        if (Status set = open_session(); !set) return set.error();
      }
      if (!plain_user_statement_) plain_user_statement_ = prepare(settings_.user_query);
      if (!plain_user_statement_) {
        return driver_error(Step::kQuery, 1, "cannot prepare the user query");
      }
      statement = plain_user_statement_;
    }
    const std::string name(user);
    apr_dbd_results_t* results = nullptr;
    if (const int rv = apr_dbd_pvselect(driver_, statements_.get(), handle_, &results, statement, 1,
                                        name.c_str(), nullptr);
        rv != 0) {
      return driver_error(Step::kQuery, rv, "the user query failed");
    }
    if (apr_dbd_num_cols(driver_, results) < 1) {
      return fixed_error(Step::kQuery, describe(), "the user query returns no column");
    }
    apr_dbd_row_t* row = nullptr;
    if (apr_dbd_get_row(driver_, statements_.get(), results, &row, 1) != 0) return std::string();
    const char* hash = apr_dbd_get_entry(driver_, row, 0);
    return std::string(hash ? hash : "");
  }

  Status replace(std::string_view user, std::string_view hash) override {
    if (!in_transaction_) return fixed_error(Step::kQuery, describe(), "not locked");
    const std::string name(user), stored(hash);
    int rows = 0;
    if (const int rv = apr_dbd_pvquery(driver_, statements_.get(), handle_, &rows,
                                       update_statement_, stored.c_str(), name.c_str(), nullptr);
        rv != 0) {
      Error error = driver_error(Step::kQuery, rv, "the update failed");
      roll_back();
      return error;
    }
    if (rows != 1) {
      roll_back();
      return fixed_error(Step::kQuery, describe(),
                         rows == 0 ? "the update changed no row: nothing was changed"
                                   : "the update changed more than one row: nothing was changed");
    }
    in_transaction_ = false;
    if (const int rv = run("COMMIT"); rv != 0)
      return driver_error(Step::kWrite, rv, "cannot commit");
    return {};
  }

  // The connection stays open for the next hold of the lock and the reads
  // between: a request connects once.
  void unlock() noexcept override {
    if (!handle_) return;
    roll_back();
    user_statement_ = update_statement_ = nullptr;
  }

  bool throttled(const Attempt& attempt, const ThrottleLimits& limits) override {
    bool refused = false;
    counted("cannot read the failed checks", [&] {
      const std::time_t since = attempt.now - limits.window_seconds;
      int names = 0, addresses = 0;
      if (limits.max_failures > 0 && !count('n', attempt.name, since, names)) return false;
      if (limits.max_failures > 0 && names >= limits.max_failures) {
        refused = true;
        return true;
      }
      if (limits.max_failures_per_address <= 0 || attempt.address.empty()) return true;
      if (!count('a', platform::address_block(attempt.address), since, addresses)) return false;
      refused = addresses >= limits.max_failures_per_address;
      return true;
    });
    return refused;
  }

  void count_failure(const Attempt& attempt, const ThrottleLimits& limits) override {
    const bool ok = counted("cannot count a failed check", [&] {
      const std::string now = std::to_string(static_cast<long long>(attempt.now));
      if (limits.max_failures > 0 && !execute("INSERT INTO larkspur_failures (kind, subject, "
                                              "failed_at) VALUES ('n', %s, " +
                                                  now + ")",
                                              hex_key(attempt.name).c_str())) {
        return false;
      }
      if (limits.max_failures_per_address > 0 && !attempt.address.empty() &&
          !execute("INSERT INTO larkspur_failures (kind, subject, failed_at) VALUES ('a', %s, " +
                       now + ")",
                   hex_key(platform::address_block(attempt.address)).c_str())) {
        return false;
      }
      const long long since = static_cast<long long>(attempt.now) - limits.window_seconds;
      return execute("DELETE FROM larkspur_failures WHERE failed_at <= " + std::to_string(since),
                     nullptr);
    });
    // A failed check is never followed by a change: the counts are made
    // durable now, which also ends the transaction.
    if (ok && in_transaction_) {
      in_transaction_ = false;
      if (const int rv = run("COMMIT"); rv != 0)
        report(driver_error(Step::kWrite, rv, "cannot commit"));
    }
  }

  void forget_failures(const Attempt& attempt, const ThrottleLimits& limits) override {
    // Inside a transaction the forgetting is made durable with the change.
    counted("cannot forget the failed checks", [&] {
      if (!execute("DELETE FROM larkspur_failures WHERE kind = 'n' AND subject = %s",
                   hex_key(attempt.name).c_str())) {
        return false;
      }
      if (limits.max_failures_per_address <= 0 || attempt.address.empty()) return true;
      // The one failure this attempt counted for its address, and no other
      // of the same second: each driver's way of deleting one row.
      const std::string one = "kind = 'a' AND subject = %s AND failed_at = " +
                              std::to_string(static_cast<long long>(attempt.now));
      const std::string statement =
          kind_ == Kind::kMysql ? "DELETE FROM larkspur_failures WHERE " + one + " LIMIT 1"
          : kind_ == Kind::kPgsql
              ? "DELETE FROM larkspur_failures WHERE ctid = (SELECT ctid FROM larkspur_failures "
                "WHERE " +
                    one + " LIMIT 1)"
              : "DELETE FROM larkspur_failures WHERE rowid = (SELECT rowid FROM larkspur_failures "
                "WHERE " +
                    one + " LIMIT 1)";
      return execute(statement, hex_key(platform::address_block(attempt.address)).c_str());
    });
  }

 private:
  // Connects unless connected, and bounds the waits by deadline_.
  Status open_session() {
    if (!handle_) {
      if (Status reached = connect(); !reached) return reached;
    }
    if (Status set = set_up_session(); !set) {
      disconnect();
      return set;
    }
    return {};
  }

  void disconnect() noexcept {
    if (!handle_) return;
    roll_back();
    // Statements first: SQLite will not close a connection that has some.
    statements_.reset();
    apr_dbd_close(driver_, handle_);
    handle_ = nullptr;
    connection_.reset();
    user_statement_ = update_statement_ = plain_user_statement_ = nullptr;
  }

  Status connect() {
    if (kind_ == Kind::kSqlite) {
      // The driver would make an empty database of a mistyped path.
      struct stat info {};
      if (::stat(settings_.params.c_str(), &info) != 0) {
        return platform::system_error(errno == ENOENT ? Step::kMissing : Step::kConnect,
                                      describe());
      }
    }
    std::string params = settings_.params;
    if (kind_ == Kind::kPgsql) {
      // libpq counts whole seconds, two at least.
      const long long seconds = left_ms(deadline_) / 1000;
      params = with_connect_timeout(params, static_cast<int>(seconds < 2 ? 2 : seconds));
    } else if (kind_ == Kind::kMysql) {
      // The client library would wait without bound for a server that
      // accepted the connection but does not speak.
      ServerAddress address;
      address.host = mysql_param(params, "host");
      if (address.host.empty() || address.host == "localhost") {
        address.socket_path = mysql_param(params, "sock");
        if (address.socket_path.empty()) address.socket_path = "/run/mysqld/mysqld.sock";
      } else {
        address.port = mysql_param(params, "port");
        if (address.port.empty()) address.port = "3306";
      }
      if (Status answered = wait_for_greeting(address, deadline_); !answered) {
        Error error = answered.error();
        error.subject = describe() + " (" + error.subject + ")";
        return error;
      }
    }
    connection_ = child_pool(process_pool());
    const char* reason = nullptr;
    if (apr_dbd_open_ex(driver_, connection_.get(), params.c_str(), &handle_, &reason) !=
            APR_SUCCESS ||
        !handle_) {
      handle_ = nullptr;
      const std::string why =
          scrub_reason(settings_.driver, settings_.params, reason ? reason : "");
      connection_.reset();
      return fixed_error(Step::kConnect, describe() + ": " + why, "cannot connect");
    }
    statements_ = child_pool(connection_.get());
    return {};
  }

  // The waits inside the database, bounded by what is left of the lock's.
  Status set_up_session() {
    const long long ms = left_ms(deadline_, 100);
    std::vector<std::string> settings;
    if (kind_ == Kind::kPgsql) {
      settings = {"SET lock_timeout = " + std::to_string(ms),
                  "SET statement_timeout = " + std::to_string(ms)};
    } else if (kind_ == Kind::kMysql) {
      settings = {"SET SESSION innodb_lock_wait_timeout = " + std::to_string((ms + 999) / 1000)};
      // MariaDB's; MySQL has none by that name, and keeps its lock bound.
      run(("SET SESSION max_statement_time = " + std::to_string(ms / 1000.0)).c_str());
    } else {
      // The driver itself tries a busy statement again, 16 times in all,
      // with a pause of 0.1 s: SQLite's own wait is what is left of each.
      const long long each = ms / 16 - 100;
      settings = {"PRAGMA busy_timeout = " + std::to_string(each < 0 ? 0 : each)};
    }
    for (const std::string& statement : settings) {
      // SQLite's pragma answers with a row: a select to the driver.
      apr_dbd_results_t* results = nullptr;
      if (const int rv = kind_ == Kind::kSqlite
                             ? apr_dbd_select(driver_, statements_.get(), handle_, &results,
                                              statement.c_str(), 1)
                             : run(statement.c_str());
          rv != 0) {
        return driver_error(Step::kConnect, rv, "cannot set the time limits");
      }
    }
    return {};
  }

  int run(const char* statement) {
    int rows = 0;
    return apr_dbd_query(driver_, handle_, &rows, statement);
  }

  void roll_back() noexcept {
    if (!in_transaction_) return;
    in_transaction_ = false;
    run("ROLLBACK");
  }

  apr_dbd_prepared_t* prepare(const std::string& query) {
    // pgsql keeps prepared statements by name for the connection.
    const std::string label = "larkspur_" + std::to_string(++statement_count_);
    apr_dbd_prepared_t* statement = nullptr;
    if (apr_dbd_prepare(driver_, statements_.get(), handle_, query.c_str(), label.c_str(),
                        &statement) != 0) {
      return nullptr;
    }
    return statement;
  }

  // Runs `query` with one %s for `value`, or none when `value` is null.
  bool execute(const std::string& query, const char* value) {
    apr_dbd_prepared_t* statement = prepare(query);
    if (!statement) return false;
    int rows = 0;
    return apr_dbd_pvquery(driver_, statements_.get(), handle_, &rows, statement, value, nullptr) ==
           0;
  }

  bool count(char kind, std::string_view key, std::time_t since, int& found) {
    apr_dbd_prepared_t* statement = prepare(
        std::string("SELECT COUNT(*) FROM larkspur_failures WHERE kind = '") + kind +
        "' AND subject = %s AND failed_at > " + std::to_string(static_cast<long long>(since)));
    apr_dbd_results_t* results = nullptr;
    apr_dbd_row_t* row = nullptr;
    const std::string subject = hex_key(key);
    if (!statement ||
        apr_dbd_pvselect(driver_, statements_.get(), handle_, &results, statement, 1,
                         subject.c_str(), nullptr) != 0 ||
        apr_dbd_get_row(driver_, statements_.get(), results, &row, 1) != 0) {
      return false;
    }
    const char* text = apr_dbd_get_entry(driver_, row, 0);
    found = text ? std::atoi(text) : 0;
    return true;
  }

  // Runs the statements of `work` apart from the change: inside a
  // transaction under a savepoint, so that a missing table cannot spoil it.
  template <typename Work>
  bool counted(const char* what, Work work) {
    if (!handle_) return false;
    const bool inside = in_transaction_;
    if (inside && run("SAVEPOINT larkspur_counts") != 0) {
      report(driver_error(Step::kQuery, 1, what));
      return false;
    }
    const bool done = work();
    if (!done) report(driver_error(Step::kQuery, 1, what));
    if (inside)
      run(done ? "RELEASE SAVEPOINT larkspur_counts" : "ROLLBACK TO SAVEPOINT larkspur_counts");
    return done;
  }

 public:
  // For --check: the failures table can be read.
  Status check_failures_table() {
    int found = 0;
    if (count('n', "", 0, found)) return {};
    return driver_error(Step::kQuery, 1, "cannot read the table larkspur_failures");
  }

 private:
  void report(const Error& error) const {
    platform::diagnose(error.subject + ": " + error.reason());
  }

  Error driver_error(Step step, int rv, std::string_view what) const {
    const char* said = handle_ ? apr_dbd_error(driver_, handle_, rv) : nullptr;
    return fixed_error(
        step,
        describe() + ": " + scrub_reason(settings_.driver, settings_.params, said ? said : ""),
        what);
  }

  DbdSettings settings_;
  Kind kind_;
  const apr_dbd_driver_t* driver_;
  Pool connection_;  // the handle's
  Pool statements_;  // prepared statements and results, freed before the handle
  apr_dbd_t* handle_ = nullptr;
  apr_dbd_prepared_t* user_statement_ = nullptr;
  apr_dbd_prepared_t* update_statement_ = nullptr;
  apr_dbd_prepared_t* plain_user_statement_ =
      nullptr;  // the user query, for reads outside the lock
  bool in_transaction_ = false;
  int statement_count_ = 0;
  Clock::time_point deadline_{};
};

Kind kind_of(const std::string& driver) {
  return driver == "pgsql" ? Kind::kPgsql : driver == "mysql" ? Kind::kMysql : Kind::kSqlite;
}

}  // namespace

Result<std::unique_ptr<UserStore>> open_sql_store(const DbdSettings& settings) {
  const apr_dbd_driver_t* driver = load_driver(settings.driver);
  if (!driver) {
    return fixed_error(Step::kConnect, "the " + settings.driver + " driver of APR-util",
                       "cannot be loaded: is its package (libaprutil1-dbd-...) installed?");
  }
  return std::unique_ptr<UserStore>(
      std::make_unique<SqlStore>(settings, kind_of(settings.driver), driver));
}

std::string loadable_drivers() {
  std::string names;
  for (const char* name : {"pgsql", "sqlite3", "mysql"}) {
    if (!load_driver(name)) continue;
    if (!names.empty()) names += ' ';
    names += name;
  }
  return names;
}

std::vector<CheckLine> check_sql_store(const DbdSettings& settings, const std::string& ini_path) {
  using K = CheckLine::Kind;
  std::vector<CheckLine> lines;
  const std::vector<std::string> problems = dbd_problems(settings);
  for (const std::string& problem : problems)
    lines.push_back({K::kFail, "[dbd]", problem, "bad value"});
  if (!problems.empty()) return lines;
  if (!password_spans(settings.driver, settings.params).empty()) {
    struct stat info {};
    if (::stat(ini_path.c_str(), &info) == 0 && (info.st_mode & S_IROTH) != 0) {
      lines.push_back({K::kWarning, "[dbd] params", "holds a password",
                       ini_path + " can be read by other users: chmod o-r it"});
    }
  }
  const apr_dbd_driver_t* driver = load_driver(settings.driver);
  if (!driver) {
    lines.push_back({K::kFail, "[dbd] driver", settings.driver,
                     "APR-util cannot load it: install libaprutil1-dbd-" + settings.driver});
    return lines;
  }
  lines.push_back({K::kOk, "[dbd] driver", settings.driver + " loads", ""});
  SqlStore store(settings, kind_of(settings.driver), driver);
  const std::string where = store.describe();
  if (Status locked = store.lock(std::chrono::seconds(5)); !locked) {
    const Error& error = locked.error();
    if (error.step == Step::kQuery) {
      lines.push_back({K::kOk, "[dbd] connection to", where, ""});
      lines.push_back({K::kFail, "[dbd] user_query and update_query", "prepared",
                       error.subject + ": " + error.reason()});
    } else {
      lines.push_back(
          {K::kFail, "[dbd] connection to", where, error.subject + ": " + error.reason()});
    }
    return lines;
  }
  lines.push_back({K::kOk, "[dbd] connection to", where, ""});
  lines.push_back({K::kOk, "[dbd] user_query and update_query", "prepared", ""});
  // A name with a colon cannot be given to basic authentication.
  if (Result<std::string> found = store.look_up("larkspur:check"); !found) {
    lines.push_back({K::kFail, "[dbd] user_query", "runs",
                     found.error().subject + ": " + found.error().reason()});
  } else {
    lines.push_back({K::kOk, "[dbd] user_query", "runs", ""});
  }
  if (Status table = store.check_failures_table(); !table) {
    lines.push_back({K::kFail, "[dbd] failed checks", "in larkspur_failures",
                     table.error().subject + ": " + table.error().reason()});
  } else {
    lines.push_back({K::kOk, "[dbd] failed checks", "in larkspur_failures", ""});
  }
  store.unlock();
  return lines;
}

}  // namespace larkspur::store
