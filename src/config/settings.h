// SPDX-License-Identifier: Apache-2.0
// Every setting of the INI file, parsed once into one typed record. The
// table in settings_table.cpp has one row per key: its section, how it is
// read, its default, its range and its older name. Nothing outside config
// reads the INI file; --check prints the problems, and a request is handed
// the record.
//
// Two readings. The keys the program has always had read as they always
// did (password_min_length like atoi); a value that is not a plain number
// is only reported by --check. Every key added since is strict: a value it
// does not take is a problem, --check fails on it, and a request uses the
// key's default and says so in one line on standard error. A number carries
// no unit.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "config/ini_file.h"
#include "platform/result.h"

namespace larkspur::config {

// The [html] texts, in the order of the table's [html] rows.
enum class Text : unsigned char {
  charset,
  layout,
  lang,
  title,
  description,
  your_name,
  old_password,
  new_password1,
  new_password2,
  btn_change,
  btn_reset,
  back,
  enter_name,
  two_password_not_matched,
  password_must_greater,
  password_too_long,
  password_bad_characters,
  server_error,
  old_password_error,
  change_password_failed,
  change_password_ok,
  post_required,
  too_many_failures,
  not_own_password,
  password_same_as_old,
  password_holds_name,
  password_too_weak,
  password_breached,
  rules_min_length,
  rules_characters,
  rules_not_common,
  rules_not_context,
  count_  // not a text
};
inline constexpr std::size_t kTextCount = static_cast<std::size_t>(Text::count_);

// The defaults are the table's: parse_settings of an empty file gives them.
struct Settings {
  // [path]
  std::string auth_user_file;
  std::string log_file;
  // [setup]
  int password_min_length = 0;
  std::string hash;   // empty: md5; the scheme is checked where hashes are made
  int hash_cost = 0;  // 0: the scheme's default
  int max_failures = 0;
  int max_failures_per_address = 0;
  int failure_window = 0;  // seconds
  bool own_password_only = false;
  bool password_context = false;
  std::string password_quality;    // a pwquality configuration file; empty: off
  std::string breached_passwords;  // a sorted SHA1:COUNT list; empty: off
  int breached_min_count = 0;
  // [dbm]: an AuthDBMUserFile is the store when `dbm_file` is set.
  std::string dbm_file;
  std::string dbm_type;  // as written; the DBM store reads it
  // [dbd]: a database is the store when any is set; the database store
  // checks them, and a faulty section is never the AuthUserFile instead.
  std::string dbd_driver;
  std::string dbd_params;  // may hold a password: never shown
  std::string dbd_user_query;
  std::string dbd_update_query;
  // [html]: the configured text, else its default.
  std::string texts[kTextCount];

  const std::string& text(Text which) const { return texts[static_cast<std::size_t>(which)]; }
};

// A value that is not what its key takes.
struct Problem {
  std::string_view section;
  std::string_view key;
  std::string value;   // as written; empty for a secret
  std::string why;     // "not a whole number from 0 to 1000"
  bool strict = true;  // false: reported by --check only, read as always
};

struct ParsedSettings {
  Settings settings;
  std::vector<Problem> problems;
  // What the file set for each row, in the table's order (the alias's value
  // when only the alias is set): --check shows values as written.
  std::vector<std::string> written;

  const std::string& as_written(std::string_view section, std::string_view key) const;
};

// Reads a number the way atoi would (leading white space, an optional sign,
// digits), without overflow: huge values saturate, and a negative value or
// no digits at all give 0.
int read_like_atoi(std::string_view text);

// Reads every key of `ini` through the table. May throw std::bad_alloc.
ParsedSettings parse_settings(const IniFile& ini);

// Loads the INI file named after the program into `ini` (the process-wide
// one, filled once) and parses it. May throw std::bad_alloc.
platform::Result<ParsedSettings> load_settings(IniFile& ini);

// How a row reads its value.
enum class Reading : unsigned char {
  kText,    // any text
  kAtoi,    // like atoi: white space, a sign, digits; anything else reads 0
  kNumber,  // strictly a whole number within [min, max]
  kYesNo,   // strictly yes or no
};

// One key.
struct SettingRow {
  std::string_view section;
  std::string_view key;
  Reading reading;
  std::string_view fallback;  // the default, as the documentation gives it
  long long min = 0;
  long long max = 0;
  std::string_view alias;    // an older name read when the key is not set
  std::string_view summary;  // one line for the documentation
  // Where the value goes: one of these.
  std::string Settings::*text_field = nullptr;
  int Settings::*number_field = nullptr;
  Text html = Text::count_;
  bool Settings::*flag_field = nullptr;
};

// Every row, in documentation order.
const std::vector<SettingRow>& setting_rows();

// The row of `key` in `section`, or none.
const SettingRow* find_row(std::string_view section, std::string_view key);

// "the default 10 is used": what a request does about a strict problem.
std::string problem_consequence(const Problem& problem);

// The line a request writes on standard error for a strict problem.
std::string problem_line(const Problem& problem, std::string_view ini_shown);

}  // namespace larkspur::config
