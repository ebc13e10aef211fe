// SPDX-License-Identifier: Apache-2.0
// Every [html] text the pages show, with the text used when the INI file
// sets none. Adding a text is one row here; the README's key table is
// checked against these rows.
#pragma once

#include <string_view>

namespace larkspur::web {

struct PageText {
  std::string_view key;
  std::string_view fallback;
};

inline constexpr PageText kPageTexts[] = {
    {"charset", "GB2312"},
    {"layout", "classic"},
    {"lang", "en"},
    {"title", ""},
    {"description", ""},
    {"your_name", "your name"},
    {"old_password", "your old password"},
    {"new_password1", "your new password"},
    {"new_password2", "confirm new password"},
    {"btn_change", "Change"},
    {"btn_reset", "Reset"},
    {"back", "back"},
    {"enter_name", "Please enter user name"},
    {"two_password_not_matched", "Two new passwords are not matched"},
    {"password_must_greater", "Password's length must greater than "},
    {"password_too_long", "Password's length must not be greater than "},
    {"password_bad_characters", "The new password holds characters that cannot be used here"},
    {"password_same_as_old", "The new password must differ from the old one"},
    {"password_holds_name", "The new password must not contain your user name"},
    {"password_too_weak", "The new password is too easy to guess: "},
    {"password_breached",
     "The new password is in a list of passwords known from data breaches; choose another"},
    {"rules_min_length", "At least "},
    {"rules_characters", " characters."},
    {"rules_not_common", "Not a common or breached password."},
    {"rules_not_context", "Not your user name nor your old password."},
    {"server_error", "Server error"},
    {"old_password_error", "old password is incorrect"},
    {"change_password_failed", "change password failed"},
    {"change_password_ok", "changed password successfully"},
    {"post_required", "Please use the form to change your password"},
    {"too_many_failures", "Too many failed attempts, please try again later"},
};

// The row of `key`; a key without a row does not compile.
consteval PageText html(std::string_view key) {
  for (const PageText& text : kPageTexts) {
    if (text.key == key) return text;
  }
  throw "no such [html] key";  // not a constant expression: a compile error
}

// The dots after "Server error" tell apart which failure stopped a change.
inline constexpr std::string_view kLockOpenFailed = "..";
inline constexpr std::string_view kLockWaitFailed = "...";
inline constexpr std::string_view kPasswordFileUnreadable = "....";

}  // namespace larkspur::web
