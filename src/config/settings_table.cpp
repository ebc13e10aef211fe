// SPDX-License-Identifier: Apache-2.0
// One row per key of the INI file. Adding a key is one row here and one
// field in Settings; the documentation's key tables are checked against
// these rows.
#include <vector>

#include "config/settings.h"

namespace larkspur::config {
namespace {

using S = Settings;

SettingRow path(std::string_view key, std::string S::*field, std::string_view summary) {
  return {"path",  key,   Reading::kText, "",           0,      0, "",
          summary, field, nullptr,        Text::count_, nullptr};
}

SettingRow number(std::string_view key, Reading reading, int S::*field, std::string_view fallback,
                  long long min, long long max, std::string_view summary,
                  std::string_view alias = "") {
  return {"setup", key,     reading, fallback, min,          max,
          alias,   summary, nullptr, field,    Text::count_, nullptr};
}

SettingRow store_key(std::string_view section, std::string_view key, std::string S::*field,
                     std::string_view fallback, std::string_view summary) {
  return {section, key,   Reading::kText, fallback,     0,      0, "",
          summary, field, nullptr,        Text::count_, nullptr};
}

SettingRow flag(std::string_view key, bool S::*field, std::string_view fallback,
                std::string_view summary) {
  return {"setup", key,     Reading::kYesNo, fallback,     0,    0, "",
          summary, nullptr, nullptr,         Text::count_, field};
}

SettingRow text(Text which, std::string_view key, std::string_view fallback,
                std::string_view summary, std::string_view alias = "") {
  return {"html", key,     Reading::kText, fallback, 0,     0,
          alias,  summary, nullptr,        nullptr,  which, nullptr};
}

std::vector<SettingRow> make_rows() {
  constexpr long long kMaxCount = 1000000;
  constexpr long long kMaxWindow = 31 * 24 * 3600;
  return {
      path("auth_user_file", &S::auth_user_file, "the Apache AuthUserFile to edit"),
      path("log_file", &S::log_file, "the activity log"),
      number("password_min_length", Reading::kAtoi, &S::password_min_length, "0", 0, 2147483647,
             "minimum length of a new password, in bytes", "pass_min_length"),
      {"setup", "hash", Reading::kText, "md5", 0, 0, "", "the scheme of new hashes", &S::hash,
       nullptr, Text::count_, nullptr},
      number("hash_cost", Reading::kNumber, &S::hash_cost, "", 1, 999999999,
             "the cost of new hashes; empty: the scheme's default"),
      number("max_failures", Reading::kNumber, &S::max_failures, "10", 0, kMaxCount,
             "failed old-password checks per user name within failure_window; 0: off"),
      number("max_failures_per_address", Reading::kNumber, &S::max_failures_per_address, "30", 0,
             kMaxCount, "the same per client address; 0: off"),
      number("failure_window", Reading::kNumber, &S::failure_window, "900", 1, kMaxWindow,
             "the window of both counts, in seconds"),
      flag("own_password_only", &S::own_password_only, "no",
           "yes: a visitor the web server logged in may change only that user's password"),
      flag("password_context", &S::password_context, "no",
           "yes: refuse the old password again, or one holding the user name"),
      {"setup", "password_quality", Reading::kText, "", 0, 0, "",
       "a pwquality configuration file that new passwords must pass", &S::password_quality, nullptr,
       Text::count_, nullptr},
      {"setup", "breached_passwords", Reading::kText, "", 0, 0, "",
       "a sorted SHA1:COUNT list of breached passwords", &S::breached_passwords, nullptr,
       Text::count_, nullptr},
      number("breached_min_count", Reading::kNumber, &S::breached_min_count, "1", 1, 2147483647,
             "sightings in breached_passwords that refuse a password"),
      store_key("dbm", "file", &S::dbm_file, "",
                "the AuthDBMUserFile to edit instead of the AuthUserFile (for SDBM without "
                ".dir and .pag)"),
      store_key("dbm", "type", &S::dbm_type, "default",
                "the AuthDBMType: default, db, gdbm or sdbm"),
      store_key("dbd", "driver", &S::dbd_driver, "",
                "the DBDriver: pgsql, sqlite3 or mysql; the database is then the store"),
      store_key("dbd", "params", &S::dbd_params, "", "the DBDParams text"),
      store_key("dbd", "user_query", &S::dbd_user_query, "",
                "the AuthDBDUserPWQuery: one %s, the user name"),
      store_key("dbd", "update_query", &S::dbd_update_query, "",
                "the statement that stores a new hash: two %s, the hash then the user name"),
      text(Text::charset, "charset", "GB2312", "the character set the pages declare"),
      text(Text::layout, "layout", "classic", "classic or modern"),
      text(Text::lang, "lang", "en", "the modern pages' language"),
      text(Text::title, "title", "", "page title"),
      text(Text::description, "description", "", "text above the form"),
      text(Text::your_name, "your_name", "your name", "label of the user-name box"),
      text(Text::old_password, "old_password", "your old password",
           "label of the old-password box"),
      text(Text::new_password1, "new_password1", "your new password",
           "label of the new-password box"),
      text(Text::new_password2, "new_password2", "confirm new password",
           "label of the confirmation box"),
      text(Text::btn_change, "btn_change", "Change", "caption of the submit button"),
      text(Text::btn_reset, "btn_reset", "Reset", "caption of the reset button"),
      text(Text::back, "back", "back", "text of the link back to the form"),
      text(Text::enter_name, "enter_name", "Please enter user name", "no user name was entered",
           "please_enter_name"),
      text(Text::two_password_not_matched, "two_password_not_matched",
           "Two new passwords are not matched", "the two new passwords differ"),
      text(Text::password_must_greater, "password_must_greater",
           "Password's length must greater than ", "the new password is too short"),
      text(Text::password_too_long, "password_too_long",
           "Password's length must not be greater than ", "the new password is too long"),
      text(Text::password_bad_characters, "password_bad_characters",
           "The new password holds characters that cannot be used here",
           "the new password holds bytes that would not work at the login"),
      text(Text::server_error, "server_error", "Server error", "the store failed"),
      text(Text::old_password_error, "old_password_error", "old password is incorrect",
           "unknown user or wrong old password"),
      text(Text::change_password_failed, "change_password_failed", "change password failed",
           "the store could not be rewritten"),
      text(Text::change_password_ok, "change_password_ok", "changed password successfully",
           "the password was changed"),
      text(Text::post_required, "post_required", "Please use the form to change your password",
           "a change was sent other than by POST"),
      text(Text::too_many_failures, "too_many_failures",
           "Too many failed attempts, please try again later",
           "the name or the address reached its limit of failed checks"),
      text(Text::not_own_password, "not_own_password", "You can change only your own password",
           "the name is not the one the web server logged the visitor in as"),
      text(Text::password_same_as_old, "password_same_as_old",
           "The new password must differ from the old one", "the new password is the old one"),
      text(Text::password_holds_name, "password_holds_name",
           "The new password must not contain your user name",
           "the new password holds the user name"),
      text(Text::password_too_weak, "password_too_weak", "The new password is too easy to guess: ",
           "libpwquality refused the new password; its reason follows"),
      text(Text::password_breached, "password_breached",
           "The new password is in a list of passwords known from data breaches; choose another",
           "the new password is in the breached list"),
      text(Text::rules_min_length, "rules_min_length", "At least ",
           "the rules under the new-password box: before the minimum length"),
      text(Text::rules_characters, "rules_characters", " characters.", "after the minimum length"),
      text(Text::rules_not_common, "rules_not_common", "Not a common or breached password.",
           "with password_quality or breached_passwords"),
      text(Text::rules_not_context, "rules_not_context",
           "Not your user name nor your old password.", "with password_context"),
  };
}

}  // namespace

const std::vector<SettingRow>& setting_rows() {
  static const std::vector<SettingRow> rows = make_rows();
  return rows;
}

const SettingRow* find_row(std::string_view section, std::string_view key) {
  for (const SettingRow& row : setting_rows()) {
    if (row.section == section && row.key == key) return &row;
  }
  return nullptr;
}

}  // namespace larkspur::config
