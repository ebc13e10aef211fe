// SPDX-License-Identifier: Apache-2.0
// The [dbm] keys, what --check says of the DBM file, and which types this
// build offers.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>

#include "config/settings.h"
#include "platform/ascii.h"
#include "platform/file_checks.h"
#include "store/dbm_store.h"

namespace larkspur::store {
namespace {

using platform::Step;

bool same_name(std::string_view a, std::string_view b) { return platform::ascii_iequals(a, b); }

std::string ok_line(std::string_view subject, std::string_view detail) {
  return "ok   " + std::string(subject) + ' ' + std::string(detail);
}

std::string fail_line(std::string_view subject, std::string_view detail, std::string_view reason) {
  return "FAIL " + std::string(subject) + ' ' + std::string(detail) + ": " + std::string(reason);
}

}  // namespace

Result<DbmType> parse_dbm_type(std::string_view text) {
  DbmType type{};
  if (same_name(text, "default")) {
    type = DbmType::kDefault;
  } else if (same_name(text, "db")) {
    type = DbmType::kDb;
  } else if (same_name(text, "gdbm")) {
    type = DbmType::kGdbm;
  } else if (same_name(text, "sdbm")) {
    type = DbmType::kSdbm;
  } else if (same_name(text, "ndbm")) {
    return platform::fixed_error(Step::kOther, "[dbm] type",
                                 "NDBM is not built into APR-util here: use db, gdbm or sdbm");
  } else {
    return platform::fixed_error(Step::kOther, "[dbm] type",
                                 "not a DBM type: use default, db, gdbm or sdbm");
  }
  if (!dbm_type_built_in(type)) {
    return platform::fixed_error(Step::kOther, "[dbm] type",
                                 "this build offers only sdbm (APR-util's built-in type)");
  }
  return type;
}

DbmSettings dbm_settings(const config::Settings& settings) {
  return {settings.dbm_file, settings.dbm_type.empty() ? "default" : settings.dbm_type};
}

Status prepare_dbm_store(const DbmSettings& settings) {
  auto type = parse_dbm_type(settings.type);
  if (!type) return type.error();
  auto names = dbm_file_names(type.value(), settings.file);
  if (!names) return names.error();
  return {};
}

std::string dbm_types_offered() {
  std::string list;
  for (const DbmType type : {DbmType::kDb, DbmType::kGdbm, DbmType::kSdbm}) {
    if (!dbm_type_built_in(type)) continue;
    if (!list.empty()) list += ' ';
    list += dbm_type_name(type);
  }
  return list;
}

DbmCheck check_dbm_store(const DbmSettings& settings) {
  DbmCheck check;
  auto fail = [&check](std::string line) {
    check.lines.push_back(std::move(line));
    check.ok = false;
  };
  auto type = parse_dbm_type(settings.type);
  if (!type) {
    fail(fail_line("dbm type", settings.type, type.error().reason()));
    return check;
  }
  if (type.value() == DbmType::kDefault) {
    const std::string meaning = default_dbm_type();
    check.lines.push_back(ok_line(
        "dbm type", "default (" + (meaning.empty() ? "unknown" : meaning) + " in this APR-util)"));
  } else {
    check.lines.push_back(ok_line("dbm type", dbm_type_name(type.value())));
  }
  if (settings.file.empty()) {
    fail(fail_line("dbm file", "(none)", "not set in [dbm]: every change would fail"));
    return check;
  }
  auto names = dbm_file_names(type.value(), settings.file);
  if (!names) {
    fail(fail_line("dbm file", settings.file, names.error().reason()));
    return check;
  }
  bool files_ok = true;
  for (const std::string& name : names.value()) {
    const Result<platform::FileKind> kind = platform::file_kind(name, false);
    if (kind && kind.value() == platform::FileKind::kLink) {
      fail(fail_line("dbm file", name,
                     "is a symbolic link; a change would put a file in its place, name the file "
                     "itself"));
      files_ok = false;
    }
  }
  if (files_ok) {
    auto file = DbmFile::open(type.value(), settings.file, DbmFile::Access::kRead);
    Result<std::size_t> users = file ? file.value()->count() : Result<std::size_t>(file.error());
    if (!users) {
      fail(fail_line("dbm file", settings.file, users.error().reason()));
    } else {
      const std::size_t n = users.value();
      check.lines.push_back(ok_line(
          "dbm file", settings.file + " (" + std::to_string(n) + (n == 1 ? " user)" : " users)")));
    }
  }
  // The copy of a change, the lock and the failure counts are made beside it.
  const std::string dir = platform::directory_of(settings.file);
  if (const Status writable = platform::check_directory_writable(dir); !writable) {
    fail(fail_line("dbm directory", dir,
                   "a change cannot create its copy there: " + writable.error().reason()));
  } else {
    check.lines.push_back(ok_line("dbm directory", dir + " (writable)"));
  }
  return check;
}

}  // namespace larkspur::store
