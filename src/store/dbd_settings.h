// SPDX-License-Identifier: Apache-2.0
// The [dbd] section: the users' hashes in a database, reached the way
// Apache's mod_authn_dbd reaches it. Its keys mirror Apache's directives so
// that an administrator can copy them over: driver (DBDriver), params
// (DBDParams), user_query (AuthDBDUserPWQuery) and update_query.
#pragma once

#include <string>
#include <vector>

#include "config/settings.h"

namespace larkspur::store {

struct DbdSettings {
  std::string driver;        // pgsql, sqlite3 or mysql; empty: no database
  std::string params;        // the driver's connection text; may hold a password
  std::string user_query;    // one %s, the user name; first column of first row
  std::string update_query;  // two %s: the new hash, then the user name

  bool configured() const {
    return !driver.empty() || !params.empty() || !user_query.empty() || !update_query.empty();
  }
};

// The [dbd] section as the settings record holds it.
DbdSettings dbd_settings(const config::Settings& settings);

// What is wrong with the values, one line each ("driver: ..."); none when
// they can be used. A section that is wrong is a fault of the
// configuration: no key of it has a default to fall back on, since the
// file store would be a different store.
std::vector<std::string> dbd_problems(const DbdSettings& settings);

}  // namespace larkspur::store
