// SPDX-License-Identifier: Apache-2.0
// The fixed texts of the activity log, one row per outcome. The fail2ban
// filter and the log readers that sites already run match these bytes:
// reword none of them. A text that starts with ':' follows the user name.
#pragma once

#include <string_view>

namespace larkspur::logging {

struct EventTexts {
  std::string_view no_user_name = "Enter no user name";
  std::string_view passwords_differ = "Two new passwords are not matched";
  std::string_view too_short = "Password's length must greater than ";        // + the minimum
  std::string_view too_long = "Password's length must not be greater than ";  // + the limit
  std::string_view bad_characters = "New password has characters that cannot be used";
  std::string_view no_store = "No authuserfile configed";
  std::string_view lock_open_failed = "Can't open or create mutex";
  std::string_view lock_wait_failed = "Wait for mutex error";
  std::string_view no_such_user = ":no this user";
  std::string_view wrong_old_password = ":old password is incorrect";
  std::string_view change_failed = ":change password failed";
  std::string_view changed = ":changed password";
  std::string_view throttled = ":too many failed attempts";
  std::string_view not_post = "Change refused: not sent by POST";
  // Not a guess: the visitor is logged in as another user.
  std::string_view not_own_password = ":change refused: logged in as another user";
  // Refusals of a new password by the rules; not guesses either.
  std::string_view same_as_old = ":new password is the old one";
  std::string_view holds_name = ":new password holds the user name";
  std::string_view too_weak = ":new password failed the quality check: ";  // + the reason
  std::string_view breached = ":new password is a breached password";
};

inline constexpr EventTexts kEvents{};

}  // namespace larkspur::logging
