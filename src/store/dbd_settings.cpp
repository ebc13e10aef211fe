// SPDX-License-Identifier: Apache-2.0
#include "store/dbd_settings.h"

#include <string_view>

namespace larkspur::store {
#ifndef _WIN32
namespace {

// The number of %s in `query`, or -1 when it holds any other % form: the
// statement is prepared by APR-util, which would read %d or %pDt as a
// parameter of another type.
int placeholders(std::string_view query) {
  int count = 0;
  for (std::size_t i = 0; i < query.size(); ++i) {
    if (query[i] != '%') continue;
    if (i + 1 < query.size() && query[i + 1] == 's') {
      ++count;
    } else if (!(i + 1 < query.size() && query[i + 1] == '%')) {
      return -1;
    }
    ++i;
  }
  return count;
}

void check_query(std::vector<std::string>& problems, std::string_view key, std::string_view query,
                 int wanted, std::string_view what) {
  if (query.empty()) {
    problems.push_back(std::string(key) + ": not set");
    return;
  }
  const int found = placeholders(query);
  if (found != wanted) {
    problems.push_back(std::string(key) + ": needs " + std::string(what) +
                       " and no other % than %%");
  }
}

}  // namespace
#endif

DbdSettings dbd_settings(const config::Settings& settings) {
  return {settings.dbd_driver, settings.dbd_params, settings.dbd_user_query,
          settings.dbd_update_query};
}

std::vector<std::string> dbd_problems(const DbdSettings& settings) {
  std::vector<std::string> problems;
#ifdef _WIN32
  if (settings.configured()) {
    problems.emplace_back(
        "[dbd]: larkspur.exe has no database stores; keep the users in "
        "auth_user_file");
  }
  return problems;
#else
  if (!settings.configured()) return problems;
  if (settings.driver != "pgsql" && settings.driver != "sqlite3" && settings.driver != "mysql") {
    problems.push_back(
        "driver: " + std::string(settings.driver.empty() ? "not set" : "is unknown") +
        ": use pgsql, sqlite3 or mysql");
  }
  if (settings.params.empty()) problems.emplace_back("params: not set");
  check_query(problems, "user_query", settings.user_query, 1, "one %s (the user name)");
  check_query(problems, "update_query", settings.update_query, 2,
              "two %s (the new hash, then the user name)");
  return problems;
#endif
}

}  // namespace larkspur::store
