// SPDX-License-Identifier: Apache-2.0
// The change-password transaction: check the request, take the store's
// update lock, verify the old password against the stored hash, store a
// fresh hash, and report the outcome as one page and one log line.
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <optional>
#include <span>
#include <string>

#include "cgi/form.h"
#include "config/settings.h"
#include "log/activity_log.h"
#include "log/event_texts.h"
#include "passwd/hashing.h"
#include "platform/diagnose.h"
#include "platform/wipe.h"
#include "store/user_store.h"
#include "web/charset.h"
#include "web/layout.h"
#include "web/pages.h"
#include "web/password_rules.h"
#include "web/rule_refusals.h"
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
  std::string event;          // the log line's text
  bool plain = false;         // success carries no link back to the form
  bool failed_check = false;  // no such user, or a wrong old password
};

using config::Text;
const logging::EventTexts& kEvents = logging::kEvents;

// "Server error" and the dots that say which failure it was.
std::string server_error(const Request& rq, std::string_view dots) {
  return std::string(rq.text(Text::server_error)).append(dots);
}

void report(const Request& rq, const Outcome& outcome) {
  const PageSet& pages = page_set(rq.settings);
  if (outcome.plain) {
    pages.success(rq, outcome.page);
  } else {
    pages.failure(rq, outcome.page);
  }
  logging::log_activity(outcome.event);
}

// The checks that need no lock, in their fixed order.
std::optional<Outcome> check_request(const Request& rq, const Secrets& s, bool value_cut) {
  if (s.name[0] == '\0') {
    return Outcome{rq.text(Text::enter_name), std::string(kEvents.no_user_name)};
  }
  const int min_length = rq.settings.password_min_length;
  if (std::strcmp(s.new_password.data(), s.confirmation.data()) != 0) {
    return Outcome{rq.text(Text::two_password_not_matched), std::string(kEvents.passwords_differ)};
  }
  if (std::strlen(s.new_password.data()) < static_cast<std::size_t>(min_length)) {
    const std::string number = std::to_string(min_length);
    return Outcome{rq.text(Text::password_must_greater) + number,
                   std::string(kEvents.too_short) + number};
  }
  // A longer value was cut to 80 bytes; storing the cut password would lock
  // the user out with a password they never chose.
  if (value_cut) {
    const std::string number = std::to_string(kFieldSize - 1);
    return Outcome{rq.text(Text::password_too_long) + number,
                   std::string(kEvents.too_long) + number};
  }
  return std::nullopt;
}

Outcome as_outcome(Refusal refusal) {
  return Outcome{std::move(refusal.page), std::move(refusal.event)};
}

// Outcome 9: the store stays as it was.
Outcome change_failed(const Request& rq, const std::string& user) {
  return Outcome{html_escape(user) + ":" + rq.text(Text::change_password_failed),
                 logging::escape_log_text(user) + std::string(kEvents.change_failed)};
}

Outcome no_store(const Request& rq) {
  return Outcome{server_error(rq, kPasswordFileUnreadable), std::string(kEvents.no_store)};
}

// The administrator's line for a store that failed.
std::string failure_line(const platform::Error& error) {
  using platform::Step;
  switch (error.step) {
    case Step::kWait:
      return error.subject + " " + error.reason();
    case Step::kLock:
      return "cannot open " + error.subject + ": " + error.reason();
    case Step::kWrite:
      return "cannot rewrite " + error.subject + ": " + error.reason();
    case Step::kConnect:
      return "cannot reach " + error.subject + ": " + error.reason();
    case Step::kQuery:
      return "a statement failed on " + error.subject + ": " + error.reason();
    default:
      return "cannot read " + error.subject + ": " + error.reason();
  }
}

// A lock that could not be had: each way has its own dots and log text.
Outcome lock_failed(const Request& rq, const platform::Error& error) {
  platform::diagnose(failure_line(error));
  switch (error.step) {
    case platform::Step::kLock:
      return {server_error(rq, kLockOpenFailed), std::string(kEvents.lock_open_failed)};
    case platform::Step::kWait:
      return {server_error(rq, kLockWaitFailed), std::string(kEvents.lock_wait_failed)};
    default:
      return no_store(rq);
  }
}

// The rules of the configured hash scheme and of the page's charset. A
// faulty hash setting fails every change, the same way as a failed rewrite,
// and tells the administrator why in the server's error log.
std::optional<Outcome> check_new_password(const Request& rq, const Secrets& s,
                                          passwd::HashChoice& choice) {
  const std::string fault = configured_hash_choice(rq.settings, choice);
  if (!fault.empty()) {
    platform::diagnose(fault);
    return change_failed(rq, s.name.data());
  }
  // Under `keep` the scheme, and so this limit, is known only from the store.
  if (!choice.keep) {
    const std::size_t longest = passwd::longest_new_password(choice.scheme);
    if (std::strlen(s.new_password.data()) > longest) return as_outcome(too_long(rq, longest));
  }
  // The value as posted: the copy above has lost any CR, LF and what follows a NUL.
  const cgi::FormEntry* posted = cgi::form_find(rq.form, "p1");
  if (!new_password_bytes_ok(posted ? std::string_view(posted->value) : std::string_view(),
                             page_charset_is_utf8(rq.settings))) {
    return as_outcome(bad_characters(rq));
  }
  return std::nullopt;
}

// Releases the store's lock on every way out.
class LockHeld {
 public:
  explicit LockHeld(store::UserStore& users) : users_(users) {}
  ~LockHeld() { users_.unlock(); }
  LockHeld(const LockHeld&) = delete;
  LockHeld& operator=(const LockHeld&) = delete;

 private:
  store::UserStore& users_;
};

// A visitor the web server logged in changes only their own password, when
// the administrator says so: a guess at another name is refused unchecked.
std::optional<Outcome> check_own_name(const Request& rq, const Secrets& s) {
  if (!rq.settings.own_password_only || rq.env.REMOTE_USER.empty()) return std::nullopt;
  if (rq.env.REMOTE_USER == s.name.data()) return std::nullopt;
  return Outcome{rq.text(Text::not_own_password),
                 logging::escape_log_text(s.name.data()) + std::string(kEvents.not_own_password)};
}

// The attempt counts as a failure before its hash is checked, so that a
// check killed while it runs still counts. Empty when the check may go on.
std::optional<Outcome> count_attempt(const Request& rq, store::UserStore& users,
                                     const store::Attempt& attempt,
                                     const store::ThrottleLimits& limits) {
  if (const platform::Status locked = users.lock(kLockTimeout); !locked) {
    return lock_failed(rq, locked.error());
  }
  const LockHeld held(users);
  if (users.throttled(attempt, limits)) {
    return Outcome{rq.text(Text::too_many_failures),
                   logging::escape_log_text(attempt.name) + std::string(kEvents.throttled)};
  }
  users.count_failure(attempt, limits);
  return std::nullopt;
}

// What the old password was checked against: the hash as stored.
struct Checked {
  std::optional<Outcome> refused;  // set when the check failed
  std::string stored;
};

// Checks the old password without the lock: the store is only ever replaced
// whole, so a read sees one whole version. An unknown name costs what a wrong
// password costs, so that timing does not tell which names exist.
Checked check_old_password(const Request& rq, store::UserStore& users, Secrets& s,
                           const passwd::HashChoice& choice) {
  const std::string user(s.name.data());
  const platform::Result<std::string> found = users.look_up(user);
  if (!found) {
    platform::diagnose(failure_line(found.error()));
    return {no_store(rq), {}};
  }
  // An unknown name gets the page of a wrong password, so that the page does
  // not tell which names exist; the log still tells them apart.
  const std::string incorrect = html_escape(user) + ":" + rq.text(Text::old_password_error);
  const std::string logged = logging::escape_log_text(user);
  if (found.value().empty()) {
    const passwd::Scheme scheme = passwd::scheme_for(choice, "");
    passwd::encode_password(s.old_password.data(), scheme, choice.cost, s.hash.data(),
                            s.hash.size());
    return {Outcome{incorrect, logged + std::string(kEvents.no_such_user), false, true}, {}};
  }
  if (!passwd::password_matches(s.old_password.data(), found.value().c_str())) {
    return {Outcome{incorrect, logged + std::string(kEvents.wrong_old_password), false, true}, {}};
  }
  return {std::nullopt, found.value()};
}

// Stores the new hash if the user's hash is still the one that was checked.
// The page and the log line are written while the lock is held, so that
// lines of concurrent changes follow the order in which they were applied.
void store_new_hash(const Request& rq, store::UserStore& users, const Secrets& s,
                    const std::string& checked, const store::Attempt& attempt,
                    const store::ThrottleLimits& limits) {
  const std::string user(s.name.data());
  if (const platform::Status locked = users.lock(kLockTimeout); !locked) {
    report(rq, lock_failed(rq, locked.error()));
    return;
  }
  const LockHeld held(users);
  users.forget_failures(attempt, limits);
  const platform::Result<std::string> found = users.look_up(user);
  if (!found) {
    platform::diagnose(failure_line(found.error()));
    report(rq, no_store(rq));
    return;
  }
  // Changed by another request since the check: that change stands.
  if (found.value() != checked) {
    platform::diagnose("the hash of " + logging::escape_log_text(user) + " in " + users.describe() +
                       " changed while its old password was checked");
    report(rq, change_failed(rq, user));
    return;
  }
  if (const platform::Status saved = users.replace(user, s.hash.data()); !saved) {
    platform::diagnose(failure_line(saved.error()));
    report(rq, change_failed(rq, user));
    return;
  }
  report(rq, Outcome{html_escape(user) + ":" + rq.text(Text::change_password_ok),
                     logging::escape_log_text(user) + std::string(kEvents.changed), true});
}

}  // namespace

void change_password(const Request& rq, store::UserStore* users) {
  Secrets s;
  cgi::form_get_value(rq.form, "name", s.name);
  cgi::form_get_value(rq.form, "op", s.old_password);
  const bool new_cut = cgi::form_get_value(rq.form, "p1", s.new_password) == cgi::FORM_TRUNCATED;
  const bool confirmation_cut =
      cgi::form_get_value(rq.form, "p2", s.confirmation) == cgi::FORM_TRUNCATED;

  if (s.name[0] != '\0') {
    if (std::optional<Outcome> refused = check_own_name(rq, s)) {
      report(rq, *refused);
      return;
    }
  }
  if (std::optional<Outcome> refused = check_request(rq, s, new_cut || confirmation_cut)) {
    report(rq, *refused);
    return;
  }
  passwd::HashChoice choice;
  if (std::optional<Outcome> refused = check_new_password(rq, s, choice)) {
    report(rq, *refused);
    return;
  }
  // The rules before the lock: the AuthUserFile is never read for a
  // refused new password.
  if (std::optional<Refusal> refused =
          refuse_by_rules(rq, rules::rule_settings(rq.settings), s.name.data(),
                          s.old_password.data(), s.new_password.data())) {
    report(rq, as_outcome(std::move(*refused)));
    return;
  }

  // Without a store there is nothing to lock: an administrator's mistake,
  // told as such without waiting for anything.
  if (users == nullptr) {
    platform::diagnose("auth_user_file is not set in [path] of " + config::config_file_shown());
    report(rq, no_store(rq));
    return;
  }
  const store::ThrottleLimits limits{rq.settings.max_failures, rq.settings.max_failures_per_address,
                                     rq.settings.failure_window};
  const store::Attempt attempt{s.name.data(), rq.env.REMOTE_ADDR, std::time(nullptr)};
  if (std::optional<Outcome> refused = count_attempt(rq, *users, attempt, limits)) {
    report(rq, *refused);
    return;
  }
  Checked checked = check_old_password(rq, *users, s, choice);
  if (checked.refused) {
    report(rq, *checked.refused);
    return;
  }
  const passwd::Scheme scheme = passwd::scheme_for(choice, checked.stored);
  const std::size_t longest = passwd::longest_new_password(scheme);
  if (std::strlen(s.new_password.data()) > longest) {
    report(rq, as_outcome(too_long(rq, longest)));
    return;
  }
  // A hash that could not be made must not replace the old one: that would
  // lock the user out, so it counts as a failed rewrite. Made before the
  // lock is taken, as no hash is computed under it.
  const bool encoded = passwd::encode_password(s.new_password.data(), scheme, choice.cost,
                                               s.hash.data(), s.hash.size()) == 0 &&
                       s.hash[0] != '\0';
  if (!encoded) {
    platform::diagnose("cannot make a hash of the new password");
    report(rq, change_failed(rq, s.name.data()));
    return;
  }
  store_new_hash(rq, *users, s, checked.stored, attempt, limits);
}

}  // namespace larkspur::web
