// SPDX-License-Identifier: Apache-2.0
// The one place that picks the store the settings name: a database when
// [dbd] is set, else a DBM file when [dbm] file is, else the AuthUserFile.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "config/settings.h"
#include "store/user_store.h"

namespace larkspur::store {

// The store, with whatever it loads at run time (a DBM module, a database
// driver) loaded now, before the process is confined. A store whose
// settings are wrong is returned too: every change then fails at its lock,
// with the fault on the server's error log, and never falls back to
// another store. None when no store is configured at all.
std::unique_ptr<UserStore> open_store(const config::Settings& settings);

// The path whose directory a request may change: the AuthUserFile, the DBM
// file, or the SQLite database; empty for a database server.
std::string store_path(const config::Settings& settings);

// What a confined request needs, beyond store_path(), to reach a database:
// its client's system calls, the server's TCP port (0 for a Unix socket or
// SQLite), and the resolver's files when the server is named by host name.
struct StoreReach {
  bool database_client = false;
  int tcp_port = 0;
  std::vector<std::string> read_only;
};
StoreReach store_reach(const config::Settings& settings);

// The store kinds and drivers this build can use, for --version.
std::string stores_offered();

}  // namespace larkspur::store
