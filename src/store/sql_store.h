// SPDX-License-Identifier: Apache-2.0
// The users' hashes in PostgreSQL, SQLite or MariaDB, through APR-util's
// apr_dbd with the drivers and statements Apache's mod_authn_dbd uses.
//
// lock() connects and begins a transaction; look_up() reads the hash with
// the row locked against a concurrent change (" FOR UPDATE" is appended to
// the user query on pgsql and mysql; SQLite's transaction is an immediate
// write transaction); replace() runs the update, which must change exactly
// one row, and commits; unlock() rolls back what was not committed. The
// connection lasts as long as the store: look_up() outside the lock runs
// the user query as written on it (connecting first if need be) and sees
// what is committed.
//
// Waiting is bounded by lock()'s timeout: pgsql's connect_timeout,
// lock_timeout and statement_timeout; mysql's wait for the server's
// greeting and innodb_lock_wait_timeout; SQLite's busy timeout.
//
// The failed checks live in the table larkspur_failures (contrib/sql), so
// that every front end on the database shares one limit.
//
// The driver is a shared object that APR-util loads with dlopen: open the
// store (which loads it) before the process is confined. A confined request
// then needs the SQLite file's directory (the journal sits beside the
// file), or the server's Unix socket or TCP port.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "store/dbd_settings.h"
#include "store/user_store.h"

namespace larkspur::store {

// Loads the driver and prepares nothing yet: no connection is made before
// lock(). The settings must have passed dbd_problems().
Result<std::unique_ptr<UserStore>> open_sql_store(const DbdSettings& settings);

// The drivers APR-util can load here, "pgsql sqlite3" or empty, for --version.
std::string loadable_drivers();

// `params` with any password replaced by "***", to be shown.
std::string redact_params(std::string_view driver, std::string_view params);

// One line of --check.
struct CheckLine {
  enum class Kind { kOk, kFail, kWarning } kind;
  std::string subject, detail, reason;
};

// Connects, prepares both statements and runs the user query for a name
// that cannot exist; warns when `ini_path` holds a password in params and
// other users can read it.
std::vector<CheckLine> check_sql_store(const DbdSettings& settings, const std::string& ini_path);

}  // namespace larkspur::store
