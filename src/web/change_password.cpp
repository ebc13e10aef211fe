// SPDX-License-Identifier: Apache-2.0
// The change-password transaction: check the request, take the update lock,
// verify the old password against the AuthUserFile, store a fresh hash, and
// report the outcome as one page and one log line.
#include <array>
#include <chrono>
#include <cstring>
#include <ctime>
#include <optional>
#include <span>
#include <string>

#include "cgi/form.h"
#include "cgi/request_env.h"
#include "config/ini_file.h"
#include "log/activity_log.h"
#include "passwd/hashing.h"
#include "passwd/password_file.h"
#include "platform/diagnose.h"
#include "platform/platform.h"
#include "platform/wipe.h"
#include "web/charset.h"
#include "web/failure_counts.h"
#include "web/layout.h"
#include "web/pages.h"
#include "web/password_rules.h"
#include "web/text.h"

namespace larkspur::web {

namespace {

// 80 bytes of a form value and its NUL.
constexpr std::size_t kFieldSize = 81;
constexpr std::size_t kHashSize = 128;
constexpr auto kLockTimeout = std::chrono::milliseconds(5000);

// The submitted values and the new hash, wiped on every way out.
struct Secrets {
  std::array<char, kFieldSize> name{};
  std::array<char, kFieldSize> old_password{};
  std::array<char, kFieldSize> new_password{};
  std::array<char, kFieldSize> confirmation{};
  std::array<char, kHashSize> hash{};

  Secrets() = default;
  Secrets(const Secrets&) = delete;
  Secrets& operator=(const Secrets&) = delete;
  ~Secrets() {
    platform::secure_wipe(std::span(name));
    platform::secure_wipe(std::span(old_password));
    platform::secure_wipe(std::span(new_password));
    platform::secure_wipe(std::span(confirmation));
    platform::secure_wipe(std::span(hash));
  }
};

struct Outcome {
  std::string page;
  std::string event;   // the log line's fixed English text
  bool plain = false;  // success carries no link back to the form
  bool failed_check = false;  // no such user, or a wrong old password
};

// "Server error" and the dots that say which failure it was.
std::string server_error(std::string_view dots) {
  return page_text(html("server_error")).append(dots);
}

void report(const Outcome& outcome) {
  const PageSet& pages = page_set();
  if (outcome.plain) {
    pages.success(outcome.page);
  } else {
    pages.failure(outcome.page);
  }
  logging::log_activity(outcome.event);
}

// The checks that need no lock, in their fixed order.
std::optional<Outcome> check_request(const Secrets& s, bool value_cut) {
  if (s.name[0] == '\0') {
    return Outcome{page_text(html("enter_name")), "Enter no user name"};
  }
  const int min_length = parse_min_length(config::ini_file().get("setup", "password_min_length"));
  if (std::strcmp(s.new_password.data(), s.confirmation.data()) != 0) {
    return Outcome{page_text(html("two_password_not_matched")),
                   "Two new passwords are not matched"};
  }
  if (std::strlen(s.new_password.data()) < static_cast<std::size_t>(min_length)) {
    const std::string number = std::to_string(min_length);
    return Outcome{page_text(html("password_must_greater")) + number,
                   "Password's length must greater than " + number};
  }
  // A longer value was cut to 80 bytes; storing the cut password would lock
  // the user out with a password they never chose.
  if (value_cut) {
    const std::string number = std::to_string(kFieldSize - 1);
    return Outcome{page_text(html("password_too_long")) + number,
                   "Password's length must not be greater than " + number};
  }
  return std::nullopt;
}

Outcome as_outcome(Refusal refusal) {
  return Outcome{std::move(refusal.page), std::move(refusal.event)};
}

// Outcome 9: the AuthUserFile stays as it was.
Outcome change_failed(const std::string& user) {
  return Outcome{html_escape(user) + ":" + page_text(html("change_password_failed")),
                 logging::escape_log_text(user) + ":change password failed"};
}

Outcome no_auth_user_file() {
  return Outcome{server_error(kPasswordFileUnreadable), "No authuserfile configed"};
}

// The rules of the configured hash scheme and of the page's charset. A
// faulty hash setting fails every change, the same way as a failed rewrite,
// and tells the administrator why in the server's error log.
std::optional<Outcome> check_new_password(const Secrets& s, passwd::HashChoice& choice) {
  const std::string fault = configured_hash_choice(choice);
  if (!fault.empty()) {
    platform::diagnose(fault);
    return change_failed(s.name.data());
  }
  // Under `keep` the scheme, and so this limit, is known only from the file.
  if (!choice.keep) {
    const std::size_t longest = passwd::longest_new_password(choice.scheme);
    if (std::strlen(s.new_password.data()) > longest) return as_outcome(too_long(longest));
  }
  // The value as posted: the copy above has lost any CR, LF and what follows a NUL.
  const cgi::FormEntry* posted = cgi::form_find("p1");
  if (!new_password_bytes_ok(posted ? std::string_view(posted->value) : std::string_view(),
                             page_charset_is_utf8())) {
    return as_outcome(bad_characters());
  }
  return std::nullopt;
}

// Everything that must happen under the lock, up to the rewritten file.
Outcome update_password_file(Secrets& s, const passwd::HashChoice& choice,
                             const std::string& auth_user_file) {
  const std::string user(s.name.data());
  // The name came from the visitor: escaped for HTML on the page, and its
  // control bytes escaped in the log, where they could forge a line.
  const std::string shown = html_escape(user);
  const std::string logged = logging::escape_log_text(user);

  passwd::PasswordFile file;
  if (const platform::Status loaded = file.load(auth_user_file); !loaded) {
    platform::diagnose("cannot read the AuthUserFile " + auth_user_file + ": " +
                       loaded.error().reason());
    return no_auth_user_file();
  }
  // One pass over the file finds every record of the user for the change.
  const passwd::UserRecords records = file.look_up(user);
  if (records.scan == passwd::UserRecords::Scan::failed) {
    platform::diagnose("cannot read the AuthUserFile " + auth_user_file + ": " +
                       records.error.reason());
    return no_auth_user_file();
  }
  const std::string& stored = records.hash;
  // An unknown name gets the page of a wrong password, so that the page does
  // not tell which names exist; the log still tells them apart.
  const std::string incorrect = shown + ":" + page_text(html("old_password_error"));
  if (stored.empty()) return Outcome{incorrect, logged + ":no this user", false, true};
  if (!passwd::password_matches(s.old_password.data(), stored.c_str())) {
    return Outcome{incorrect, logged + ":old password is incorrect", false, true};
  }
  const passwd::Scheme scheme = passwd::scheme_for(choice, stored);
  const std::size_t longest = passwd::longest_new_password(scheme);
  if (std::strlen(s.new_password.data()) > longest) return as_outcome(too_long(longest));
  // A hash that could not be made must not replace the old one: that would
  // lock the user out, so it counts as a failed rewrite.
  const bool encoded = passwd::encode_password(s.new_password.data(), scheme, choice.cost,
                                               s.hash.data(), s.hash.size()) == 0 &&
                       s.hash[0] != '\0';
  if (encoded) file.set_hash(records, s.hash.data());
  if (!encoded) {
    platform::diagnose("cannot make a hash of the new password");
    return change_failed(user);
  }
  if (const platform::Status saved = file.save(); !saved) {
    platform::diagnose("cannot rewrite the AuthUserFile " + auth_user_file + ": " +
                       saved.error().reason());
    return change_failed(user);
  }
  return Outcome{shown + ":" + page_text(html("change_password_ok")), logged + ":changed password",
                 true};
}

}  // namespace

void change_password() {
  Secrets s;
  cgi::form_get_value("name", s.name);
  cgi::form_get_value("op", s.old_password);
  const bool new_cut = cgi::form_get_value("p1", s.new_password) == cgi::FORM_TRUNCATED;
  const bool confirmation_cut = cgi::form_get_value("p2", s.confirmation) == cgi::FORM_TRUNCATED;

  if (std::optional<Outcome> refused = check_request(s, new_cut || confirmation_cut)) {
    report(*refused);
    return;
  }
  passwd::HashChoice choice;
  if (std::optional<Outcome> refused = check_new_password(s, choice)) {
    report(*refused);
    return;
  }

  // Without an AuthUserFile there is nothing to lock: an administrator's
  // mistake, told as such without waiting for anything.
  const std::string auth_user_file = config::ini_file().get("path", "auth_user_file");
  if (auth_user_file.empty()) {
    platform::diagnose("auth_user_file is not set in [path] of " + config::config_file_shown());
    report(no_auth_user_file());
    return;
  }
  platform::UpdateLock lock{auth_user_file};
  if (const platform::Status opened = lock.open(); !opened) {
    if (opened.error().step == platform::Step::kMissing) {
      platform::diagnose("cannot read the AuthUserFile " + auth_user_file +
                         ": its directory does not exist");
      report(no_auth_user_file());
    } else {
      platform::diagnose("cannot open the update lock " +
                         platform::UpdateLock::lock_file_path(auth_user_file) + ": " +
                         opened.error().reason());
      report({server_error(kLockOpenFailed), "Can't open or create mutex"});
    }
    return;
  }
  if (!lock.wait(kLockTimeout)) {
    platform::diagnose("the update lock " + platform::UpdateLock::lock_file_path(auth_user_file) +
                       " was not free within 5 seconds");
    report({server_error(kLockWaitFailed), "Wait for mutex error"});
    return;
  }
  // The page and the log line are written while the lock is held, so that
  // lines of concurrent changes follow the order in which they were applied.
  Throttle throttle(auth_user_file, s.name.data(), cgi::request_env().REMOTE_ADDR,
                    throttle_limits(), std::time(nullptr));
  if (throttle.refuses()) {
    report({page_text(html("too_many_failures")),
            logging::escape_log_text(s.name.data()) + ":too many failed attempts"});
    return;
  }
  const Outcome outcome = update_password_file(s, choice, auth_user_file);
  if (outcome.failed_check) throttle.count_failure();
  if (outcome.plain) throttle.forget_name();
  report(outcome);
}

}  // namespace larkspur::web
